#include <QMFoundation/errors/QMEmptiness.h>

#include "QMFoundation/errors/QMNumberKind_p.h"
#include <QMFoundation/errors/QMNull.h>

#include <QAbstractItemModel>
#include <QAssociativeIterable>
#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QSequentialIterable>

bool QMStringIsEmpty(const QString &string)
{
    return string.isEmpty();
}

bool QMStringIsEmptyOrWhiteSpaces(const QString &string)
{
    // QString::trimmed() strips QChar::isSpace(), which covers white space and line breaks.
    return string.isEmpty() || string.trimmed().isEmpty();
}

bool QMURLIsEmpty(const QUrl &url)
{
    return url.isEmpty() || url.toString().isEmpty();
}

bool QMDataIsEmpty(const QByteArray &data)
{
    return data.isEmpty();
}

namespace {

// What the emptiness tests see of a value: its absence, its length, its element count.
struct Measure
{
    bool absent = false; // absent or the null marker
    std::optional<qint64> length;
    std::optional<qint64> count;
    bool isText = false;
};

std::optional<qint64> numericProperty(const QObject *object, const char *name)
{
    const QVariant value = object->property(name);
    const QMNumberKind kind = QMNumberKindOf(value);
    if (kind == QMNumberKind::NotANumber || kind == QMNumberKind::Boolean)
        return std::nullopt;
    return value.toLongLong();
}

Measure measureObject(const QObject *object)
{
    Measure measure;
    if (!object) {
        measure.absent = true;
        return measure;
    }
    measure.length = numericProperty(object, "length");
    measure.count = numericProperty(object, "count");
    // A model without a count property still knows how many rows it has.
    if (!measure.count) {
        if (const auto *model = qobject_cast<const QAbstractItemModel *>(object))
            measure.count = model->rowCount();
    }
    return measure;
}

Measure measureJson(const QJsonValue &value)
{
    Measure measure;
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        measure.absent = true;
        break;
    case QJsonValue::String:
        measure.length = value.toString().size();
        measure.isText = true;
        break;
    case QJsonValue::Array:
        measure.count = value.toArray().size();
        break;
    case QJsonValue::Object:
        measure.count = value.toObject().size();
        break;
    case QJsonValue::Bool:
    case QJsonValue::Double:
        break;
    }
    return measure;
}

Measure measureCbor(const QCborValue &value)
{
    Measure measure;
    if (value.isNull() || value.isUndefined() || value.isInvalid()) {
        measure.absent = true;
    } else if (value.isString()) {
        measure.length = value.toString().size();
        measure.isText = true;
    } else if (value.isByteArray()) {
        measure.length = value.toByteArray().size();
    } else if (value.isArray()) {
        measure.count = value.toArray().size();
    } else if (value.isMap()) {
        measure.count = value.toMap().size();
    }
    return measure;
}

Measure measure(const QVariant &value)
{
    Measure measure;
    if (!value.isValid() || QMIsNull(value)) {
        measure.absent = true;
        return measure;
    }
    const QMetaType type = value.metaType();
    switch (type.id()) {
    case QMetaType::QString:
        measure.length = static_cast<const QString *>(value.constData())->size();
        measure.isText = true;
        return measure;
    case QMetaType::QByteArray:
        measure.length = static_cast<const QByteArray *>(value.constData())->size();
        return measure;
    case QMetaType::QJsonValue:
        return measureJson(value.toJsonValue());
    case QMetaType::QJsonArray:
        measure.count = value.toJsonArray().size();
        return measure;
    case QMetaType::QJsonObject:
        measure.count = value.toJsonObject().size();
        return measure;
    case QMetaType::QJsonDocument: {
        const QJsonDocument document = value.toJsonDocument();
        if (document.isNull())
            measure.absent = true;
        else
            measure.count = document.isArray() ? document.array().size() : document.object().size();
        return measure;
    }
    case QMetaType::QCborValue:
        return measureCbor(value.value<QCborValue>());
    case QMetaType::QCborArray:
        measure.count = value.value<QCborArray>().size();
        return measure;
    case QMetaType::QCborMap:
        measure.count = value.value<QCborMap>().size();
        return measure;
    default:
        break;
    }
    if (type.flags().testFlag(QMetaType::PointerToQObject))
        return measureObject(value.value<QObject *>());
    if (QMetaType::canConvert(type, QMetaType::fromType<QAssociativeIterable>()))
        measure.count = value.value<QAssociativeIterable>().size();
    else if (QMetaType::canConvert(type, QMetaType::fromType<QSequentialIterable>()))
        measure.count = value.value<QSequentialIterable>().size();
    return measure;
}

} // namespace

bool QMIsEmptyString(const QVariant &value)
{
    const Measure m = measure(value);
    return m.absent || (m.isText && m.length == 0);
}

bool QMIsEmpty(const QVariant &value)
{
    const Measure m = measure(value);
    if (m.absent)
        return true;
    // A zero length settles it; a non-zero or missing length leaves the decision to the count.
    if (m.length && *m.length == 0)
        return true;
    return m.count && *m.count == 0;
}

bool QMIsNotEmptyString(const QVariant &value)
{
    return !QMIsEmptyString(value);
}

bool QMIsNotEmpty(const QVariant &value)
{
    return !QMIsEmpty(value);
}
