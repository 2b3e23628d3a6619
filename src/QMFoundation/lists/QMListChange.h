#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMListItem.h>

#include <QString>

/// The kind of a list change.
enum QMListChangeType : quint64 {
    QMListChangeTypeInsert = 0,
    QMListChangeTypeDelete = 1,
    QMListChangeTypeMove = 2,
};

/// One change of a changeset: an item inserted, deleted or moved, with its positions.
///
/// A plain record: every field is read-write and zero (or empty) on creation. `index` is the
/// item's position after the change (in the new list for an insert, the target of a move;
/// QMNotFound for a delete); `oldIndex` its position before (in the old list for a delete, the
/// source of a move; QMNotFound for an insert). Changes are shared (`std::shared_ptr`): a
/// changeset's lists and maps point to the same records.
class QMF_CORE_EXPORT QMListChange
{
public:
    QMListChange() = default;
    /// A change of `type` for `item`, at `index` after and `oldIndex` before the change.
    QMListChange(QMListChangeType type, QMListItemPointer item, qint64 index, qint64 oldIndex);

    /// Insert, delete or move.
    QMListChangeType type() const { return m_type; }
    /// Sets the kind of change.
    void setType(QMListChangeType type) { m_type = type; }
    /// The item inserted, deleted or moved.
    const QMListItemPointer &item() const { return m_item; }
    /// Sets the item.
    void setItem(QMListItemPointer item) { m_item = std::move(item); }
    /// The position after the change (see the class).
    qint64 index() const { return m_index; }
    /// Sets the position after the change.
    void setIndex(qint64 index) { m_index = index; }
    /// The position before the change (see the class).
    qint64 oldIndex() const { return m_oldIndex; }
    /// Sets the position before the change.
    void setOldIndex(qint64 oldIndex) { m_oldIndex = oldIndex; }

    /// "INS", "DEL" or "MOV"; a null QString for a type outside 0 to 2.
    static QString labelForType(QMListChangeType type);
    /// "LABEL: item | OLD: (i: oldIndex) ==> NEW: (i: index)", for example
    /// "MOV: c | OLD: (i: 2) ==> NEW: (i: 0)"; the not-found marker prints as
    /// 9223372036854775807 and an unknown type's label as "(null)".
    QString description() const;

private:
    QMListChangeType m_type = QMListChangeTypeInsert;
    QMListItemPointer m_item;
    qint64 m_index = 0;
    qint64 m_oldIndex = 0;
};

/// A shared change record.
using QMListChangePointer = std::shared_ptr<QMListChange>;
/// A list of shared change records.
using QMListChangeList = QList<QMListChangePointer>;
