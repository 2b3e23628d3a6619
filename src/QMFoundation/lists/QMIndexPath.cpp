#include <QMFoundation/lists/QMIndexPath.h>

#include <QMFoundation/lists/QMListItem.h>

quint64 QMIndexPath::indexAtPosition(qsizetype position) const
{
    if (position < 0 || position >= m_indexes.size())
        return quint64(QMNotFound);
    return m_indexes[position];
}

QMIndexPath QMIndexPath::indexPathByAddingIndex(quint64 index) const
{
    QMIndexPath path = *this;
    path.m_indexes.append(index);
    return path;
}

QMIndexPath QMIndexPath::indexPathByRemovingLastIndex() const
{
    QMIndexPath path = *this;
    if (!path.m_indexes.isEmpty())
        path.m_indexes.removeLast();
    return path;
}

QString QMIndexPath::description() const
{
    QString text = QStringLiteral(""); // empty, not null: the empty path has a description
    for (qsizetype i = 0; i < m_indexes.size(); ++i) {
        if (i > 0)
            text += QLatin1Char('.');
        text += QString::number(m_indexes[i]);
    }
    return text;
}
