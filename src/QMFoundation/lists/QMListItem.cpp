#include <QMFoundation/lists/QMListItem.h>

#include <QHash>

QMListItem::~QMListItem() = default;

bool QMListItem::isEqual(const QMListItem &other) const
{
    return this == &other;
}

size_t QMListItem::hash() const
{
    return qHash(static_cast<const void *>(this));
}

QString QMListItem::description() const
{
    return identifier();
}

QMTextListItem::QMTextListItem(QString text)
    : m_text(std::move(text))
{ }

QString QMTextListItem::identifier() const
{
    return m_text;
}

QMListItemList QMTextListItem::itemsWithTexts(const QStringList &texts)
{
    QMListItemList items;
    items.reserve(texts.size());
    for (const QString &text : texts)
        items.append(std::make_shared<QMTextListItem>(text));
    return items;
}
