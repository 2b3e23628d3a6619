#include <QMFoundation/lists/QMListChangeset.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include <QStringList>

void QMListChangeset::addChange(const QMListChangePointer &change)
{
    QMParameterAssert(change != nullptr, "insertedItem");
    m_changes.append(change);
    ChangeMap *map = nullptr;
    switch (change->type()) {
    case QMListChangeTypeInsert:
        m_inserts.append(change);
        map = &m_insertMap;
        break;
    case QMListChangeTypeDelete:
        m_deletes.append(change);
        map = &m_deleteMap;
        break;
    case QMListChangeTypeMove:
        m_moves.append(change);
        map = &m_moveMap;
        break;
    }
    if (map) {
        const QString key = change->item() ? change->item()->identifier() : QString();
        map->insert(key, change);
    }
}

void QMListChangeset::reserve(qsizetype inserts, qsizetype deletes, qsizetype moves)
{
    m_changes.reserve(m_changes.size() + inserts + deletes + moves);
    m_inserts.reserve(m_inserts.size() + inserts);
    m_deletes.reserve(m_deletes.size() + deletes);
    m_moves.reserve(m_moves.size() + moves);
    m_insertMap.reserve(m_insertMap.size() + inserts);
    m_deleteMap.reserve(m_deleteMap.size() + deletes);
    m_moveMap.reserve(m_moveMap.size() + moves);
}

bool QMListChangeset::hasMoveForKey(const QString &key) const
{
    QMParameterAssert(!key.isNull(), "key");
    return m_moveMap.contains(key);
}

bool QMListChangeset::hasDeleteForKey(const QString &key) const
{
    QMParameterAssert(!key.isNull(), "key");
    return m_deleteMap.contains(key);
}

QString QMListChangeset::description() const
{
    QStringList descriptions;
    descriptions.reserve(m_changes.size());
    for (const QMListChangePointer &change : m_changes)
        descriptions.append(change ? change->description() : QStringLiteral("<null>"));
    return QMObjectDescribing::prettyDescriptionForObject(QVariant(descriptions));
}
