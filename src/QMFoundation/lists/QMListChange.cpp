#include <QMFoundation/lists/QMListChange.h>

QMListChange::QMListChange(QMListChangeType type, QMListItemPointer item, qint64 index,
                           qint64 oldIndex)
    : m_type(type)
    , m_item(std::move(item))
    , m_index(index)
    , m_oldIndex(oldIndex)
{ }

QString QMListChange::labelForType(QMListChangeType type)
{
    switch (type) {
    case QMListChangeTypeInsert:
        return QStringLiteral("INS");
    case QMListChangeTypeDelete:
        return QStringLiteral("DEL");
    case QMListChangeTypeMove:
        return QStringLiteral("MOV");
    }
    return QString();
}

QString QMListChange::description() const
{
    const QString label = labelForType(m_type);
    const QString item = m_item ? m_item->description() : QString();
    // The format's placeholders print a missing object as "(null)".
    return (label.isNull() ? QStringLiteral("(null)") : label) + QStringLiteral(": ")
            + (item.isNull() ? QStringLiteral("(null)") : item) + QStringLiteral(" | OLD: (i: ")
            + QString::number(m_oldIndex) + QStringLiteral(") ==> NEW: (i: ")
            + QString::number(m_index) + u')';
}
