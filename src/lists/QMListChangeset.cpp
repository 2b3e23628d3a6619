#include "lists/QMListChangeset.h"

#include "errors/QMInternalInconsistencyException.h"
#include "errors/QMObjectDescribing.h"

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
