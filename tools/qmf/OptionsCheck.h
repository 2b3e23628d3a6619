#pragma once

#include <QMFoundation/options/QMOptionParser.h>

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QStringList>

/// What `qmf options check` reports: the parser's usage, the descriptions of its global options
/// and, for each argument group, the items, the error and the help text of the parse. The error
/// object holds the domain, the code, the description and the failure reason (null when the
/// error has none).
namespace OptionsCheck {

/// The separator between argument groups on the command line.
inline constexpr QLatin1StringView groupSeparator {"--next"};

/// Splits `arguments` at every "--next" into groups; there is always at least one group.
QList<QStringList> splitGroups(const QStringList &arguments);

/// Parses each group in turn on the same parser and returns the report object.
QJsonObject report(QMOptionParser &parser, const QList<QStringList> &groups);

/// The JSON form of one result item, with only the fields of its kind.
QJsonObject itemToJson(const QMOptionParserResultItem &item);
/// A value of a result item: string, number, array or null (also for non-finite numbers).
QJsonValue valueToJson(const QVariant &value);

} // namespace OptionsCheck
