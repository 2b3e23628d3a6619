#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMListChange.h>

#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <mutex>

/// How an old list became a new one: an ordered series of changes, with the inserts, moves and
/// deletes also listed apart and mapped by item identifier.
///
/// `addChange()` appends to `changes()` and to the list of the change's kind, and maps the
/// item's identifier to the change in the map of its kind (a later change for the same
/// identifier replaces the earlier one in the map; the lists keep both). A change of unknown
/// type only enters `changes()`. Setters replace a whole container. A value type: copies share
/// the change records.
///
/// The maps are filled when first asked for (a map, `hasMoveForKey()`, `hasDeleteForKey()`, a
/// setter or a copy), so a changeset that is only applied never asks its items for their
/// identifiers. Reading one changeset from several threads at once is safe, as for any value.
class QMF_CORE_EXPORT QMListChangeset
{
public:
    /// Changes by item identifier.
    using ChangeMap = QHash<QString, QMListChangePointer>;

    QMListChangeset() = default;
    /// A copy, with every change already mapped.
    QMListChangeset(const QMListChangeset &other);
    /// Takes over another changeset, which is left empty.
    QMListChangeset(QMListChangeset &&other) noexcept;
    /// Copies another changeset.
    QMListChangeset &operator=(const QMListChangeset &other);
    /// Takes over another changeset, which is left empty.
    QMListChangeset &operator=(QMListChangeset &&other) noexcept;
    ~QMListChangeset();

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
    const ChangeMap &insertMap() const
    {
        mapPendingChanges();
        return m_insertMap;
    }
    /// Replaces the insert map.
    void setInsertMap(ChangeMap map)
    {
        mapPendingChanges();
        m_insertMap = std::move(map);
    }
    /// The moves by item identifier.
    const ChangeMap &moveMap() const
    {
        mapPendingChanges();
        return m_moveMap;
    }
    /// Replaces the move map.
    void setMoveMap(ChangeMap map)
    {
        mapPendingChanges();
        m_moveMap = std::move(map);
    }
    /// The deletes by item identifier.
    const ChangeMap &deleteMap() const
    {
        mapPendingChanges();
        return m_deleteMap;
    }
    /// Replaces the delete map.
    void setDeleteMap(ChangeMap map)
    {
        mapPendingChanges();
        m_deleteMap = std::move(map);
    }
    /// Every change in the order recorded.
    const QMListChangeList &changes() const { return m_changes; }
    /// Replaces the list of all changes (the maps are made from the lists of each kind).
    void setChanges(QMListChangeList changes) { m_changes = std::move(changes); }
    /// The inserts in the order recorded.
    const QMListChangeList &inserts() const { return m_inserts; }
    /// Replaces the list of inserts.
    void setInserts(QMListChangeList inserts)
    {
        mapPendingChanges();
        m_inserts = std::move(inserts);
        m_mappedInserts = m_inserts.size(); // the map stays as it is
    }
    /// The moves in the order recorded.
    const QMListChangeList &moves() const { return m_moves; }
    /// Replaces the list of moves.
    void setMoves(QMListChangeList moves)
    {
        mapPendingChanges();
        m_moves = std::move(moves);
        m_mappedMoves = m_moves.size(); // the map stays as it is
    }
    /// The deletes in the order recorded.
    const QMListChangeList &deletes() const { return m_deletes; }
    /// Replaces the list of deletes.
    void setDeletes(QMListChangeList deletes)
    {
        mapPendingChanges();
        m_deletes = std::move(deletes);
        m_mappedDeletes = m_deletes.size(); // the map stays as it is
    }

    /// The changes as a list is described: "(\n    change,\n    change\n)", each change by its
    /// description(); "(\n)" when there are none.
    QString description() const;

private:
    // Maps the changes added since the maps were last asked for.
    void mapPendingChanges() const
    {
        if (m_unmapped.load(std::memory_order_acquire))
            mapPendingChangesLocked();
    }
    void mapPendingChangesLocked() const;

    // Each kind's list from its mapped count on is not in its map yet. Const readers may map
    // them, one at a time under the lock; m_unmapped says that there is something to map.
    mutable ChangeMap m_insertMap;
    mutable ChangeMap m_moveMap;
    mutable ChangeMap m_deleteMap;
    mutable qsizetype m_mappedInserts = 0;
    mutable qsizetype m_mappedMoves = 0;
    mutable qsizetype m_mappedDeletes = 0;
    mutable std::atomic<bool> m_unmapped {false};
    mutable std::mutex m_mapping;
    QMListChangeList m_changes;
    QMListChangeList m_inserts;
    QMListChangeList m_moves;
    QMListChangeList m_deletes;
};
