#pragma once

// Internal: not installed. The one conversion from QVariant to JSON, for object descriptions
// and for the library's JSON transcoding.
//
// QJsonValue::fromVariant() never refuses: it writes a NaN as null, rounds an unsigned integer
// above 2^63 - 1 to a double, and turns a date, a URL or bytes into a string. This conversion
// accepts only what JSON holds as it is, and says where and why it refused anything else.

#include <QJsonValue>
#include <QString>
#include <QVariant>

#include <optional>

/// Why and where a value could not be converted.
struct QMJSONValueFailure
{
    /// Where the value sits, as a JSON Pointer: "" for the value itself, "/items/0" for the
    /// first element of its "items" member ("~" and "/" in keys written "~0" and "~1").
    QString path;
    /// What the value is, for a message: "a QDateTime", "a double that is not finite (nan)".
    QString reason;
};

/// `value` as JSON, or std::nullopt (filling `failure` when given) when it holds anything but
/// texts, finite numbers, booleans (and the other integer types, with unsigned values up to
/// 2^63 - 1), QMNull() or an invalid QVariant (both null), QStringList, QVariantList,
/// QVariantMap and QVariantHash of those, and QJsonValue, QJsonArray, QJsonObject and
/// QJsonDocument values that hold no undefined value and no non-finite number.
std::optional<QJsonValue> QMJSONValueFromVariant(const QVariant &value,
                                                 QMJSONValueFailure *failure = nullptr);
