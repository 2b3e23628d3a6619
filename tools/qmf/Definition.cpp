#include "Definition.h"

#include "JsonReading.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <cmath>

namespace {

using JsonReading::fail;
using JsonReading::fieldPath;
using JsonReading::indexPath;
using JsonReading::stringOf;

bool isPlainNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
            || c == u'_' || c == u'-';
}

// An unknown field's name as it appears in an error's path. The name comes from the file, so
// anything but a plain word is quoted and escaped as in JSON: a line break in it must not
// break the one-line message, and "", "a.b" or "x[0]" must not pass for path syntax.
QString nameForPath(const QString &name)
{
    if (!name.isEmpty() && std::all_of(name.cbegin(), name.cend(), isPlainNameCharacter))
        return name;
    QString quoted = QStringLiteral("\"");
    for (const QChar c : name) {
        if (c == u'"' || c == u'\\') {
            quoted += QLatin1Char('\\') + c;
        } else if (!c.isPrint() || c.category() == QChar::Separator_Line
                   || c.category() == QChar::Separator_Paragraph) {
            // Control, format and unassigned characters, lone surrogates and line separators.
            switch (c.unicode()) {
            case u'\n':
                quoted += QStringLiteral("\\n");
                break;
            case u'\r':
                quoted += QStringLiteral("\\r");
                break;
            case u'\t':
                quoted += QStringLiteral("\\t");
                break;
            default:
                quoted += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
                break;
            }
        } else {
            quoted += c;
        }
    }
    return quoted + QLatin1Char('"');
}

void rejectUnknownFields(const QJsonObject &object, const QString &path, const QSet<QString> &known)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!known.contains(it.key()))
            fail(fieldPath(path, nameForPath(it.key())), QStringLiteral("unknown field"));
    }
}

bool isAbsent(const QJsonObject &object, const QString &key)
{
    return !object.contains(key) || object.value(key).isNull();
}

QString text(const QJsonObject &object, const QString &path, const QString &key)
{
    if (isAbsent(object, key))
        return QString();
    const QJsonValue value = object.value(key);
    if (!value.isString())
        fail(fieldPath(path, key), QStringLiteral("expected a string"));
    return stringOf(value);
}

bool boolean(const QJsonObject &object, const QString &path, const QString &key)
{
    if (isAbsent(object, key))
        return false;
    const QJsonValue value = object.value(key);
    if (!value.isBool())
        fail(fieldPath(path, key), QStringLiteral("expected true or false"));
    return value.toBool();
}

quint64 optionType(const QJsonObject &object, const QString &path)
{
    const QString key = QStringLiteral("type");
    if (isAbsent(object, key))
        return 0;
    const QJsonValue value = object.value(key);
    constexpr double largestExactInteger = 9007199254740992.0; // 2^53
    const double number = value.toDouble(-1);
    if (!value.isDouble() || number < 0 || number > largestExactInteger
        || std::floor(number) != number)
        fail(fieldPath(path, key), QStringLiteral("expected a non-negative integer"));
    return quint64(number);
}

QJsonArray array(const QJsonObject &object, const QString &path, const QString &key)
{
    if (isAbsent(object, key))
        return QJsonArray();
    const QJsonValue value = object.value(key);
    if (!value.isArray())
        fail(fieldPath(path, key), QStringLiteral("expected an array"));
    return value.toArray();
}

QJsonObject element(const QJsonArray &array, qsizetype index, const QString &path)
{
    const QJsonValue value = array.at(index);
    if (!value.isObject())
        fail(indexPath(path, index), QStringLiteral("expected an object"));
    return value.toObject();
}

QStringList texts(const QJsonObject &object, const QString &path, const QString &key)
{
    QStringList result;
    const QJsonArray values = array(object, path, key);
    for (qsizetype i = 0; i < values.size(); ++i) {
        if (!values.at(i).isString())
            fail(indexPath(fieldPath(path, key), i), QStringLiteral("expected a string"));
        result.append(stringOf(values.at(i)));
    }
    return result;
}

QMOptionPtr option(const QJsonObject &object, const QString &path)
{
    rejectUnknownFields(object, path,
                        {QStringLiteral("flag"), QStringLiteral("alias"),
                         QStringLiteral("explanation"), QStringLiteral("valueDescription"),
                         QStringLiteral("type"), QStringLiteral("required"),
                         QStringLiteral("hidden")});
    auto result = QMOption::optionWithFlag(
            text(object, path, QStringLiteral("flag")), text(object, path, QStringLiteral("alias")),
            text(object, path, QStringLiteral("explanation")),
            text(object, path, QStringLiteral("valueDescription")), optionType(object, path),
            boolean(object, path, QStringLiteral("required")));
    result->setHidden(boolean(object, path, QStringLiteral("hidden")));
    return result;
}

QMOptionList options(const QJsonObject &object, const QString &path)
{
    const QString key = QStringLiteral("options");
    const QJsonArray values = array(object, path, key);
    QMOptionList result;
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QString itemPath = indexPath(fieldPath(path, key), i);
        result.append(option(element(values, i, fieldPath(path, key)), itemPath));
    }
    return result;
}

QMOptionCommandList commands(const QJsonArray &values, const QString &path, int level);

QMOptionCommandPtr command(const QJsonObject &object, const QString &path, int level)
{
    // Every level of commands costs stack here and again in the parser's descriptions. Qt's
    // JSON reader refuses documents nested past 1024 levels (about 510 levels of commands),
    // which an 8 MB stack survives, but that limit is Qt's undocumented choice and the stack may
    // be a thread's: the loader states its own, far beyond any real command line.
    if (level > Definition::maximumCommandDepth)
        fail(path,
             QStringLiteral("commands nested more than %1 levels deep")
                     .arg(Definition::maximumCommandDepth));
    rejectUnknownFields(object, path,
                        {QStringLiteral("name"), QStringLiteral("explanation"),
                         QStringLiteral("hidden"), QStringLiteral("argumentNames"),
                         QStringLiteral("options"), QStringLiteral("subCommands")});
    std::optional<QMOptionCommandList> subCommands;
    const QString subKey = QStringLiteral("subCommands");
    if (!isAbsent(object, subKey))
        subCommands = commands(array(object, path, subKey), fieldPath(path, subKey), level + 1);
    auto result = QMOptionCommand::optionCommandWithName(
            text(object, path, QStringLiteral("name")), options(object, path),
            texts(object, path, QStringLiteral("argumentNames")), subCommands,
            text(object, path, QStringLiteral("explanation")));
    result->setHidden(boolean(object, path, QStringLiteral("hidden")));
    return result;
}

QMOptionCommandList commands(const QJsonArray &values, const QString &path, int level)
{
    QMOptionCommandList result;
    for (qsizetype i = 0; i < values.size(); ++i)
        result.append(command(element(values, i, path), indexPath(path, i), level));
    return result;
}

} // namespace

std::optional<QMOptionParserPtr> Definition::parserFromJson(const QByteArray &json, QString *error)
{
    const std::optional<QJsonDocument> parsed = JsonReading::parse(json, error);
    if (!parsed)
        return std::nullopt;
    const QJsonDocument &document = *parsed;
    if (!document.isObject()) {
        if (error)
            *error = QStringLiteral("the definition must be a JSON object");
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    try {
        rejectUnknownFields(root, QString(),
                            {QStringLiteral("executableName"), QStringLiteral("argumentNames"),
                             QStringLiteral("listSeparator"), QStringLiteral("options"),
                             QStringLiteral("commands")});
        if (isAbsent(root, QStringLiteral("executableName")))
            fail(QStringLiteral("executableName"), QStringLiteral("missing"));
        const QString executableName = text(root, QString(), QStringLiteral("executableName"));
        const QMOptionList globalOptions = options(root, QString());
        const QMOptionCommandList topCommands = commands(
                array(root, QString(), QStringLiteral("commands")), QStringLiteral("commands"), 1);
        const QStringList argumentNames = texts(root, QString(), QStringLiteral("argumentNames"));
        const QString listSeparator = text(root, QString(), QStringLiteral("listSeparator"));

        QMOptionParserPtr parser;
        try {
            parser = QMOptionParser::parserWithOptions(globalOptions, topCommands, executableName,
                                                       argumentNames);
        } catch (const QMInternalInconsistencyException &e) {
            fail(QStringLiteral("options"), e.reason());
        }
        if (!listSeparator.isNull())
            parser->setListSeparator(listSeparator);
        return parser;
    } catch (const JsonReading::Fault &e) {
        if (error)
            *error = e.message;
        return std::nullopt;
    }
}
