#include <QMFoundation/lists/QMListChangeset.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include <QStringList>

QMListChangeset::QMListChangeset(const QMListChangeset &other)
{
    *this = other;
}

QMListChangeset::QMListChangeset(QMListChangeset &&other) noexcept
{
    *this = std::move(other);
}

QMListChangeset &QMListChangeset::operator=(const QMListChangeset &other)
{
    if (this == &other)
        return *this;
    other.mapPendingChanges();
    m_insertMap = other.m_insertMap;
    m_moveMap = other.m_moveMap;
    m_deleteMap = other.m_deleteMap;
    m_changes = other.m_changes;
    m_inserts = other.m_inserts;
    m_moves = other.m_moves;
    m_deletes = other.m_deletes;
    m_mappedInserts = m_inserts.size();
    m_mappedMoves = m_moves.size();
    m_mappedDeletes = m_deletes.size();
    m_unmapped.store(false, std::memory_order_relaxed);
    return *this;
}

QMListChangeset &QMListChangeset::operator=(QMListChangeset &&other) noexcept
{
    if (this == &other)
        return *this;
    m_insertMap = std::exchange(other.m_insertMap, {});
    m_moveMap = std::exchange(other.m_moveMap, {});
    m_deleteMap = std::exchange(other.m_deleteMap, {});
    m_changes = std::exchange(other.m_changes, {});
    m_inserts = std::exchange(other.m_inserts, {});
    m_moves = std::exchange(other.m_moves, {});
    m_deletes = std::exchange(other.m_deletes, {});
    m_mappedInserts = std::exchange(other.m_mappedInserts, 0);
    m_mappedMoves = std::exchange(other.m_mappedMoves, 0);
    m_mappedDeletes = std::exchange(other.m_mappedDeletes, 0);
    m_unmapped.store(other.m_unmapped.exchange(false, std::memory_order_relaxed),
                     std::memory_order_relaxed);
    return *this;
}

QMListChangeset::~QMListChangeset() = default;

void QMListChangeset::addChange(const QMListChangePointer &change)
{
    QMParameterAssert(change != nullptr, "insertedItem");
    m_changes.append(change);
    switch (change->type()) {
    case QMListChangeTypeInsert:
        m_inserts.append(change);
        break;
    case QMListChangeTypeDelete:
        m_deletes.append(change);
        break;
    case QMListChangeTypeMove:
        m_moves.append(change);
        break;
    default:
        return;
    }
    m_unmapped.store(true, std::memory_order_relaxed);
}

void QMListChangeset::mapPendingChangesLocked() const
{
    const std::lock_guard lock(m_mapping);
    if (!m_unmapped.load(std::memory_order_relaxed))
        return;
    const auto mapFrom = [](const QMListChangeList &changes, qsizetype &mapped, ChangeMap &map) {
        map.reserve(map.size() + changes.size() - mapped);
        for (; mapped < changes.size(); ++mapped) {
            const QMListChangePointer &change = changes[mapped];
            map.insert(change->item() ? change->item()->identifier() : QString(), change);
        }
    };
    mapFrom(m_inserts, m_mappedInserts, m_insertMap);
    mapFrom(m_moves, m_mappedMoves, m_moveMap);
    mapFrom(m_deletes, m_mappedDeletes, m_deleteMap);
    m_unmapped.store(false, std::memory_order_release);
}

void QMListChangeset::reserve(qsizetype inserts, qsizetype deletes, qsizetype moves)
{
    m_changes.reserve(m_changes.size() + inserts + deletes + moves);
    m_inserts.reserve(m_inserts.size() + inserts);
    m_deletes.reserve(m_deletes.size() + deletes);
    m_moves.reserve(m_moves.size() + moves);
}

bool QMListChangeset::hasMoveForKey(const QString &key) const
{
    QMParameterAssert(!key.isNull(), "key");
    return moveMap().contains(key);
}

bool QMListChangeset::hasDeleteForKey(const QString &key) const
{
    QMParameterAssert(!key.isNull(), "key");
    return deleteMap().contains(key);
}

QString QMListChangeset::description() const
{
    QStringList descriptions;
    descriptions.reserve(m_changes.size());
    for (const QMListChangePointer &change : m_changes)
        descriptions.append(change ? change->description() : QStringLiteral("<null>"));
    return QMObjectDescribing::prettyDescriptionForObject(QVariant(descriptions));
}
