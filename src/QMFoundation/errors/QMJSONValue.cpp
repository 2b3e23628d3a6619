#include "QMFoundation/errors/QMJSONValue_p.h"

#include "QMFoundation/errors/QMNumberKind_p.h"
#include "QMFoundation/errors/QMNumberText_p.h"
#include <QMFoundation/errors/QMNull.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <cmath>
#include <limits>

namespace {

std::nullopt_t refuse(QMJSONValueFailure *failure, const QString &reason)
{
    if (failure)
        *failure = {QStringLiteral(""), reason};
    return std::nullopt;
}

// The path is only needed once something failed, so it is built on the way back up.
void prependStep(QMJSONValueFailure *failure, QString step)
{
    if (!failure)
        return;
    step.replace(QLatin1Char('~'), QStringLiteral("~0"));
    step.replace(QLatin1Char('/'), QStringLiteral("~1"));
    failure->path.prepend(QLatin1Char('/') + step);
}

QString notFinite(double value)
{
    return QStringLiteral("a double that is not finite (") + QMNumberText::forDouble(value)
            + QLatin1Char(')');
}

// JSON values built in code may still hold what the writer cannot write faithfully: QJsonValue
// keeps NaN and infinities (written as null) and can be undefined (written as null, or left out).
bool isWritable(const QJsonValue &json, QMJSONValueFailure *failure)
{
    switch (json.type()) {
    case QJsonValue::Undefined:
        refuse(failure, QStringLiteral("an undefined JSON value"));
        return false;
    case QJsonValue::Double:
        if (!std::isfinite(json.toDouble())) {
            refuse(failure, notFinite(json.toDouble()));
            return false;
        }
        return true;
    case QJsonValue::Array: {
        const QJsonArray array = json.toArray();
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (!isWritable(array.at(i), failure)) {
                prependStep(failure, QString::number(i));
                return false;
            }
        }
        return true;
    }
    case QJsonValue::Object: {
        const QJsonObject object = json.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            if (!isWritable(it.value(), failure)) {
                prependStep(failure, it.key());
                return false;
            }
        }
        return true;
    }
    case QJsonValue::Null:
    case QJsonValue::Bool:
    case QJsonValue::String:
        return true;
    }
    return true;
}

std::optional<QJsonValue> checked(const QJsonValue &json, QMJSONValueFailure *failure)
{
    if (!isWritable(json, failure))
        return std::nullopt;
    return json;
}

template<typename Map>
std::optional<QJsonValue> objectFrom(const Map &map, QMJSONValueFailure *failure)
{
    QJsonObject object;
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        std::optional<QJsonValue> member = QMJSONValueFromVariant(it.value(), failure);
        if (!member) {
            prependStep(failure, it.key());
            return std::nullopt;
        }
        object.insert(it.key(), *member);
    }
    return object;
}

std::optional<QJsonValue> numberFrom(const QVariant &value, QMNumberKind kind,
                                     QMJSONValueFailure *failure)
{
    switch (kind) {
    case QMNumberKind::Boolean:
        return QJsonValue(value.toBool());
    case QMNumberKind::Signed:
        return QJsonValue(value.toLongLong());
    case QMNumberKind::Unsigned: {
        // QJsonValue has no unsigned integers; above qint64 it would round to a double.
        const quint64 number = value.toULongLong();
        if (number > quint64(std::numeric_limits<qint64>::max()))
            return refuse(failure,
                          QStringLiteral("an unsigned integer above 9223372036854775807 (")
                                  + QString::number(number) + QLatin1Char(')'));
        return QJsonValue(qint64(number));
    }
    case QMNumberKind::Floating: {
        const double number = value.toDouble();
        if (!std::isfinite(number))
            return refuse(failure, notFinite(number));
        return QJsonValue(number);
    }
    case QMNumberKind::NotANumber:
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<QJsonValue> QMJSONValueFromVariant(const QVariant &value, QMJSONValueFailure *failure)
{
    if (!value.isValid() || QMIsNull(value))
        return QJsonValue(QJsonValue::Null);
    if (const QMNumberKind kind = QMNumberKindOf(value); kind != QMNumberKind::NotANumber)
        return numberFrom(value, kind, failure);
    switch (value.metaType().id()) {
    case QMetaType::QString:
        return QJsonValue(value.toString());
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(value.toStringList());
    case QMetaType::QVariantList: {
        const QVariantList list = value.toList();
        QJsonArray array;
        for (qsizetype i = 0; i < list.size(); ++i) {
            std::optional<QJsonValue> element = QMJSONValueFromVariant(list.at(i), failure);
            if (!element) {
                prependStep(failure, QString::number(i));
                return std::nullopt;
            }
            array.append(*element);
        }
        return array;
    }
    case QMetaType::QVariantMap:
        return objectFrom(value.toMap(), failure);
    case QMetaType::QVariantHash:
        return objectFrom(value.toHash(), failure);
    case QMetaType::QJsonValue:
        return checked(value.toJsonValue(), failure);
    case QMetaType::QJsonArray:
        return checked(value.toJsonArray(), failure);
    case QMetaType::QJsonObject:
        return checked(value.toJsonObject(), failure);
    case QMetaType::QJsonDocument: {
        const QJsonDocument document = value.toJsonDocument();
        if (document.isArray())
            return checked(document.array(), failure);
        if (document.isObject())
            return checked(document.object(), failure);
        return refuse(failure, QStringLiteral("an empty QJsonDocument"));
    }
    default:
        return refuse(failure,
                      QStringLiteral("a value of type ") + QString::fromUtf8(value.typeName()));
    }
}
