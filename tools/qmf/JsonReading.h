#pragma once

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QString>

#include <optional>

/// What qmf's JSON readers (Definition, TreeReader) share. A reader throws a Fault where it finds
/// one and turns it into its one-line error, "PATH: what", at its boundary; paths read
/// "commands[0].subCommands[1].name".
namespace JsonReading {

struct Fault
{
    QString message;
};

/// Throws the fault `what` at `path`; at the top (an empty path) the message is `what` alone.
[[noreturn]] inline void fail(const QString &path, const QString &what)
{
    throw Fault {path.isEmpty() ? what : QStringLiteral("%1: %2").arg(path, what)};
}

/// "path.key", or "key" at the top.
inline QString fieldPath(const QString &path, const QString &key)
{
    return path.isEmpty() ? key : path + QLatin1Char('.') + key;
}

/// "path[index]".
inline QString indexPath(const QString &path, qsizetype index)
{
    // One multi-argument arg(): chained calls would substitute the index into the path's own text.
    return QStringLiteral("%1[%2]").arg(path, QString::number(index));
}

/// The text of a JSON string. QJsonValue gives back a null QString for "", which would read as
/// "none"; a JSON "" must stay an empty text.
inline QString stringOf(const QJsonValue &value)
{
    const QString string = value.toString();
    return string.isNull() ? QStringLiteral("") : string;
}

/// The document in `json`, or none with "invalid JSON at offset N: reason" in `error` (when
/// given).
inline std::optional<QJsonDocument> parse(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error == QJsonParseError::NoError)
        return document;
    if (error) {
        *error = QStringLiteral("invalid JSON at offset %1: %2")
                         .arg(QString::number(parseError.offset), parseError.errorString());
    }
    return std::nullopt;
}

} // namespace JsonReading
