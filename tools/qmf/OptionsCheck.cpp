#include "OptionsCheck.h"

#include <QJsonArray>

#include <cmath>

namespace {

QJsonValue textOrNull(const QString &text)
{
    return text.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue numberOrNull(double number)
{
    // JSON has no infinities; an overflowing number ("1e999") is reported as null.
    return std::isfinite(number) ? QJsonValue(number) : QJsonValue(QJsonValue::Null);
}

} // namespace

QList<QStringList> OptionsCheck::splitGroups(const QStringList &arguments)
{
    QList<QStringList> groups {QStringList()};
    for (const QString &argument : arguments) {
        if (argument == groupSeparator)
            groups.append(QStringList());
        else
            groups.last().append(argument);
    }
    return groups;
}

QJsonValue OptionsCheck::valueToJson(const QVariant &value)
{
    if (!value.isValid())
        return QJsonValue(QJsonValue::Null);
    if (value.metaType() == QMetaType::fromType<QStringList>())
        return QJsonArray::fromStringList(value.toStringList());
    if (value.metaType() == QMetaType::fromType<QList<double>>()) {
        QJsonArray numbers;
        for (double number : value.value<QList<double>>())
            numbers.append(numberOrNull(number));
        return numbers;
    }
    if (value.metaType() == QMetaType::fromType<double>())
        return numberOrNull(value.toDouble());
    return QJsonValue(value.toString());
}

QJsonObject OptionsCheck::itemToJson(const QMOptionParserResultItem &item)
{
    QJsonObject json;
    switch (item.kind()) {
    case QMOptionParserResultItem::Kind::Command:
        json.insert(QStringLiteral("kind"), QStringLiteral("command"));
        json.insert(QStringLiteral("command"), textOrNull(item.command()->name()));
        break;
    case QMOptionParserResultItem::Kind::Option:
    case QMOptionParserResultItem::Kind::OptionWithValue:
        json.insert(QStringLiteral("kind"),
                    item.kind() == QMOptionParserResultItem::Kind::Option
                            ? QStringLiteral("option")
                            : QStringLiteral("optionWithValue"));
        json.insert(QStringLiteral("flag"), textOrNull(item.option()->flag()));
        json.insert(QStringLiteral("alias"), textOrNull(item.option()->alias()));
        if (item.kind() == QMOptionParserResultItem::Kind::OptionWithValue)
            json.insert(QStringLiteral("value"), valueToJson(item.value()));
        break;
    case QMOptionParserResultItem::Kind::Argument:
        json.insert(QStringLiteral("kind"), QStringLiteral("argument"));
        json.insert(QStringLiteral("argument"), item.argument());
        break;
    }
    return json;
}

QJsonObject OptionsCheck::report(QMOptionParser &parser, const QList<QStringList> &groups)
{
    QJsonArray descriptions;
    for (const QMOptionPtr &option : parser.options())
        descriptions.append(textOrNull(option->description()));

    QJsonArray parses;
    for (const QStringList &arguments : groups) {
        QJsonObject parse;
        parse.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(arguments));
        QMError error;
        const std::optional<QMOptionParserResultList> items
                = parser.parseArguments(arguments, &error);
        if (items) {
            QJsonArray itemsJson;
            for (const QMOptionParserResultItem &item : *items)
                itemsJson.append(itemToJson(item));
            parse.insert(QStringLiteral("items"), itemsJson);
            parse.insert(QStringLiteral("error"), QJsonValue(QJsonValue::Null));
        } else {
            parse.insert(QStringLiteral("items"), QJsonValue(QJsonValue::Null));
            parse.insert(
                    QStringLiteral("error"),
                    QJsonObject {{QStringLiteral("domain"), error.domain()},
                                 {QStringLiteral("code"), double(error.code())},
                                 {QStringLiteral("description"), error.localizedDescription()},
                                 {QStringLiteral("reason"), textOrNull(parser.failureReason())}});
        }
        parse.insert(QStringLiteral("help"), textOrNull(parser.help()));
        parses.append(parse);
    }

    return QJsonObject {{QStringLiteral("usage"), parser.usage()},
                        {QStringLiteral("options"), descriptions},
                        {QStringLiteral("parses"), parses}};
}
