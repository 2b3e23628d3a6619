#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMListChange.h>

#include <QHash>
#include <QList>
#include <QString>

/// How an old list became a new one: an ordered series of changes, with the inserts, moves and
/// deletes also listed apart and mapped by item identifier.
///
/// `addChange()` appends to `changes()` and to the list of the change's kind, and maps the
/// item's identifier to the change in the map of its kind (a later change for the same
/// identifier replaces the earlier one in the map; the lists keep both). A change of unknown
/// type only enters `changes()`. Setters replace a whole container. A value type: copies share
/// the change records.
class QMF_CORE_EXPORT QMListChangeset
{
public:
    /// Changes by item identifier.
    using ChangeMap = QHash<QString, QMListChangePointer>;

    QMListChangeset() = default;

    /// Records one change. Throws "Invalid parameter not satisfying: insertedItem" for a null
    /// change.
    void addChange(const QMListChangePointer &change);
    /// Makes room for the given numbers of inserts, deletes and moves, so that adding them
    /// allocates nothing more. A hint only: the changeset is unchanged.
    void reserve(qsizetype inserts, qsizetype deletes, qsizetype moves);
    /// True when moveMap() holds a change under `key`. Throws "Invalid parameter not
    /// satisfying: key" for a null key.
    bool hasMoveForKey(const QString &key) const;
    /// True when deleteMap() holds a change under `key`; a null key throws as above.
    bool hasDeleteForKey(const QString &key) const;
    /// hasMoveForKey() with a UTF-8 key.
    bool hasMoveForKey(const char *key) const { return hasMoveForKey(QString::fromUtf8(key)); }
    /// hasDeleteForKey() with a UTF-8 key.
    bool hasDeleteForKey(const char *key) const { return hasDeleteForKey(QString::fromUtf8(key)); }

    /// A copy of inserts(): change records, not bare items.
    QMListChangeList insertedItems() const { return m_inserts; }
    /// A copy of deletes(): change records, not bare items.
    QMListChangeList deletedItems() const { return m_deletes; }
    /// A copy of moves(): change records, not bare items.
    QMListChangeList movedItems() const { return m_moves; }

    /// The inserts by item identifier.
    const ChangeMap &insertMap() const { return m_insertMap; }
    /// Replaces the insert map.
    void setInsertMap(ChangeMap map) { m_insertMap = std::move(map); }
    /// The moves by item identifier.
    const ChangeMap &moveMap() const { return m_moveMap; }
    /// Replaces the move map.
    void setMoveMap(ChangeMap map) { m_moveMap = std::move(map); }
    /// The deletes by item identifier.
    const ChangeMap &deleteMap() const { return m_deleteMap; }
    /// Replaces the delete map.
    void setDeleteMap(ChangeMap map) { m_deleteMap = std::move(map); }
    /// Every change in the order recorded.
    const QMListChangeList &changes() const { return m_changes; }
    /// Replaces the list of all changes.
    void setChanges(QMListChangeList changes) { m_changes = std::move(changes); }
    /// The inserts in the order recorded.
    const QMListChangeList &inserts() const { return m_inserts; }
    /// Replaces the list of inserts.
    void setInserts(QMListChangeList inserts) { m_inserts = std::move(inserts); }
    /// The moves in the order recorded.
    const QMListChangeList &moves() const { return m_moves; }
    /// Replaces the list of moves.
    void setMoves(QMListChangeList moves) { m_moves = std::move(moves); }
    /// The deletes in the order recorded.
    const QMListChangeList &deletes() const { return m_deletes; }
    /// Replaces the list of deletes.
    void setDeletes(QMListChangeList deletes) { m_deletes = std::move(deletes); }

    /// The changes as a list is described: "(\n    change,\n    change\n)", each change by its
    /// description(); "(\n)" when there are none.
    QString description() const;

private:
    ChangeMap m_insertMap;
    ChangeMap m_moveMap;
    ChangeMap m_deleteMap;
    QMListChangeList m_changes;
    QMListChangeList m_inserts;
    QMListChangeList m_moves;
    QMListChangeList m_deletes;
};
