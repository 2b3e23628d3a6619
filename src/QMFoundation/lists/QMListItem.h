#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <limits>
#include <memory>

/// The not-found marker: the position of something that is not there (the new position of a
/// deleted item, the old position of an inserted one, a failed search).
inline constexpr qint64 QMNotFound = std::numeric_limits<qint64>::max();

/// An item that takes part in list comparison.
///
/// Items have identity: the list comparator and the array comparator match items by instance
/// (the same `std::shared_ptr` target), and the list manager makes a persisting item the same
/// instance in both versions of a list by looking items up by `identifier()`.
///
/// `identifier()` names the item and must stay the same for the same item across versions of a
/// list. Value equality (`isEqual()`, with `hash()` agreeing with it) defaults to identity; a
/// subclass that compares by content overrides both, as with any hashed type.
class QMF_CORE_EXPORT QMListItem
{
public:
    virtual ~QMListItem();

    /// The item's stable name. Identifiers are texts; a numeric key is given in decimal.
    virtual QString identifier() const = 0;
    /// Value equality; identity unless overridden. Must be reflexive and symmetric, as any
    /// equality: the comparison does not ask an item whether it equals itself.
    virtual bool isEqual(const QMListItem &other) const;
    /// A hash that agrees with isEqual(): equal items have equal hashes.
    virtual size_t hash() const;
    /// The item's text in change descriptions and list views; the identifier unless overridden.
    virtual QString description() const;

protected:
    QMListItem() = default;
    /// Subclasses copy their state as they see fit.
    QMListItem(const QMListItem &) = default;
    /// Subclasses assign their state as they see fit.
    QMListItem &operator=(const QMListItem &) = default;
};

/// A shared list item, as lists, changes and models hold them.
using QMListItemPointer = std::shared_ptr<QMListItem>;
/// A list of shared items.
using QMListItemList = QList<QMListItemPointer>;

/// An item named by a text: the item of a list of names, paths or lines, where two versions of
/// a list share an item exactly when they share its text. Its description is the text too.
class QMF_CORE_EXPORT QMTextListItem : public QMListItem
{
public:
    /// An item whose identifier and description are `text`.
    explicit QMTextListItem(QString text);

    QString identifier() const override;

    /// A new item for each text, in order.
    static QMListItemList itemsWithTexts(const QStringList &texts);

private:
    QString m_text;
};
