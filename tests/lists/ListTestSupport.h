#pragma once

#include "support/Failures.h"
#include <QMFoundation/lists/QMListItem.h>

#include <QHash>
#include <QStringList>

#include <algorithm>
#include <memory>
#include <random>

namespace ListTestSupport {

/// An item named by a text, with an optional content that value equality may compare.
class Item : public QMTextListItem
{
public:
    explicit Item(QString identifier, QString content = QString())
        : QMTextListItem(std::move(identifier))
        , m_content(std::move(content))
    { }
    QString content() const { return m_content; }
    void setContent(const QString &content) { m_content = content; }

private:
    QString m_content;
};

/// An item whose value equality compares contents, so distinct instances can be equal.
class ContentItem : public Item
{
public:
    using Item::Item;
    bool isEqual(const QMListItem &other) const override
    {
        const auto *item = dynamic_cast<const ContentItem *>(&other);
        return item && item->content() == content();
    }
    size_t hash() const override { return qHash(content()); }
};

inline QMListItemPointer item(const QString &identifier)
{
    return std::make_shared<Item>(identifier);
}

/// Items named by the given texts.
inline QMListItemList items(const QStringList &identifiers)
{
    QMListItemList list;
    for (const QString &identifier : identifiers)
        list.append(item(identifier));
    return list;
}

/// The letters of `text`, each as one text: letters("abc") is {"a", "b", "c"}.
inline QStringList letters(const char *text)
{
    QStringList list;
    for (const char *c = text; *c; ++c)
        list.append(QString(QLatin1Char(*c)));
    return list;
}

/// The instances of `pool` named by `identifiers`, in that order.
inline QMListItemList pick(const QMListItemList &pool, const QStringList &identifiers)
{
    QMListItemList list;
    for (const QString &identifier : identifiers) {
        const auto found
                = std::find_if(pool.cbegin(), pool.cend(), [&](const QMListItemPointer &x) {
                      return x->identifier() == identifier;
                  });
        list.append(found == pool.cend() ? item(identifier) : *found);
    }
    return list;
}

inline QStringList identifiers(const QMListItemList &list)
{
    QStringList texts;
    for (const QMListItemPointer &x : list)
        texts.append(x->identifier());
    return texts;
}

/// A random pair of lists without duplicates: the new list keeps some old instances (deleting
/// the others), gains new ones, and is rearranged by single moves or a full shuffle.
struct RandomPair
{
    QMListItemList oldList;
    QMListItemList newList;
};

inline RandomPair randomPair(std::mt19937_64 &random, int maxLength, int &serial)
{
    std::uniform_int_distribution<int> lengthOf(0, maxLength);
    RandomPair pair;
    const int oldLength = lengthOf(random);
    for (int i = 0; i < oldLength; ++i)
        pair.oldList.append(item(QString::number(serial++)));
    std::uniform_int_distribution<int> percent(0, 99);
    const int deleteRate = percent(random) / 2;
    for (const QMListItemPointer &x : std::as_const(pair.oldList)) {
        if (percent(random) >= deleteRate)
            pair.newList.append(x);
    }
    const int inserts = std::uniform_int_distribution<int>(0, std::max(1, maxLength / 4))(random);
    for (int k = 0; k < inserts; ++k) {
        const qsizetype at
                = std::uniform_int_distribution<qsizetype>(0, pair.newList.size())(random);
        pair.newList.insert(at, item(QString::number(serial++)));
    }
    if (pair.newList.size() > 1) {
        if (percent(random) < 20) {
            std::shuffle(pair.newList.begin(), pair.newList.end(), random);
        } else {
            const int moves = std::uniform_int_distribution<int>(0, 6)(random);
            std::uniform_int_distribution<qsizetype> position(0, pair.newList.size() - 1);
            for (int k = 0; k < moves; ++k)
                pair.newList.move(position(random), position(random));
        }
    }
    return pair;
}

using TestSupport::failureOf;

} // namespace ListTestSupport
