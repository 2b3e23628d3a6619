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
    QMListChange(QMListChangeType type, QMListItemPointer item, qint64 index, qint64 oldIndex);

    QMListChangeType type() const { return m_type; }
    void setType(QMListChangeType type) { m_type = type; }
    const QMListItemPointer &item() const { return m_item; }
    void setItem(QMListItemPointer item) { m_item = std::move(item); }
    qint64 index() const { return m_index; }
    void setIndex(qint64 index) { m_index = index; }
    qint64 oldIndex() const { return m_oldIndex; }
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

using QMListChangePointer = std::shared_ptr<QMListChange>;
using QMListChangeList = QList<QMListChangePointer>;
