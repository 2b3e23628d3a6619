#include <QMFoundation/options/QMOptionParserResultItem.h>

QMOptionParserResultItem
QMOptionParserResultItem::resultWithCommand(const QMOptionCommandPtr &command)
{
    return QMOptionParserResultItem(command);
}

QMOptionParserResultItem QMOptionParserResultItem::resultWithOption(const QMOptionPtr &option)
{
    QMOptionParserResultItem item;
    item.m_option = option;
    return item;
}

QMOptionParserResultItem QMOptionParserResultItem::resultWithOption(const QMOptionPtr &option,
                                                                    const QVariant &value)
{
    QMOptionParserResultItem item;
    item.m_option = option;
    item.setValue(value);
    return item;
}

QMOptionParserResultItem QMOptionParserResultItem::resultWithArgument(const QString &argument)
{
    QMOptionParserResultItem item;
    item.m_argument = argument;
    return item;
}

QMOptionParserResultItem::QMOptionParserResultItem(const QMOptionCommandPtr &command)
    : m_command(command)
{ }

QMOptionParserResultItem::QMOptionParserResultItem(const QMOptionPtr &option, const QVariant &value,
                                                   const QString &argument)
    : m_option(option)
    , m_value(value)
    , m_argument(argument)
    , m_hasValue(value.isValid())
{ }

void QMOptionParserResultItem::setValue(const QVariant &value)
{
    // Once a value was handed over the item stays an option-with-value item, even when the
    // conversion produced nothing: the option did consume an argument.
    m_value = value;
    m_hasValue = true;
}

QMOptionParserResultItem::Kind QMOptionParserResultItem::kind() const
{
    if (m_command)
        return Kind::Command;
    if (m_option)
        return m_hasValue ? Kind::OptionWithValue : Kind::Option;
    return Kind::Argument;
}
