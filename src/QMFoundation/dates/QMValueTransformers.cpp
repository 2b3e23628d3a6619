#include <QMFoundation/dates/QMValueTransformers.h>

#include "QMFoundation/errors/QMNumberKind_p.h"
#include <QMFoundation/dates/ISO8601.h>
#include <QMFoundation/dates/QMRelativeDateFormatter.h>
#include <QMFoundation/dates/RFC3339.h>
#include <QMFoundation/dates/RelativeDateString.h>

#include <QUrl>

namespace {

template<class T>
bool holds(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<T>();
}

// Non-zero for every number type QVariant carries; false for anything else.
bool isNonZeroNumber(const QVariant &value)
{
    switch (QMNumberKindOf(value)) {
    case QMNumberKind::Boolean:
        return value.toBool();
    case QMNumberKind::Signed:
        return value.toLongLong() != 0;
    case QMNumberKind::Unsigned:
        return value.toULongLong() != 0;
    case QMNumberKind::Floating:
        return value.toDouble() != 0;
    case QMNumberKind::NotANumber:
        break;
    }
    return false;
}

// A date or none, as a QVariant: an unreadable timestamp is none, not an invalid QDateTime.
QVariant dateOrNone(const QDateTime &date)
{
    return date.isValid() ? QVariant(date) : QVariant();
}

QVariant textOrNone(const QString &text)
{
    return text.isNull() ? QVariant() : QVariant(text);
}

// Text to a date through `read`, and back through `write`; none for anything else.
QVariant dateFromText(const QVariant &value, QDateTime (*read)(const QString &))
{
    return holds<QString>(value) ? dateOrNone(read(value.value<QString>())) : QVariant();
}

QVariant textFromDate(const QVariant &value, QString (*write)(const QDateTime &))
{
    return holds<QDateTime>(value) ? textOrNone(write(value.value<QDateTime>())) : QVariant();
}

template<class T>
void registerTransformer(const char *name)
{
    QMValueTransformer::setValueTransformerFactory(QString::fromLatin1(name),
                                                   [] { return std::make_unique<T>(); });
}

} // namespace

QMetaType NSStringToRFC3339DateTransformer::transformedValueClass() const
{
    return QMetaType::fromType<QDateTime>();
}

bool NSStringToRFC3339DateTransformer::allowsReverseTransformation() const
{
    return true;
}

QVariant NSStringToRFC3339DateTransformer::transformedValue(const QVariant &value) const
{
    return dateFromText(value, RFC3339::dateWithRFC3339DateString);
}

QVariant NSStringToRFC3339DateTransformer::reverseTransformedValue(const QVariant &value) const
{
    return textFromDate(value, RFC3339::rfc3339DateString);
}

QMetaType NSStringToISO8601DateTransformer::transformedValueClass() const
{
    return QMetaType::fromType<QDateTime>();
}

bool NSStringToISO8601DateTransformer::allowsReverseTransformation() const
{
    return true;
}

QVariant NSStringToISO8601DateTransformer::transformedValue(const QVariant &value) const
{
    return dateFromText(value, ISO8601::dateWithISO8601DateString);
}

QVariant NSStringToISO8601DateTransformer::reverseTransformedValue(const QVariant &value) const
{
    return textFromDate(value, ISO8601::iso8601DateString);
}

QMetaType NSStringToNSURLTransformer::transformedValueClass() const
{
    return QMetaType::fromType<QUrl>();
}

bool NSStringToNSURLTransformer::allowsReverseTransformation() const
{
    return true;
}

QVariant NSStringToNSURLTransformer::transformedValue(const QVariant &value) const
{
    if (!holds<QString>(value))
        return QVariant();
    const QUrl url(value.value<QString>(), QUrl::StrictMode);
    if (!url.isValid())
        return QVariant();
    // Qt reads some texts that it writes otherwise ("#" inside a fragment comes out as "%23"),
    // and the URL read from that writing compares unequal to the first one. The URL of the
    // written form is the one that the reverse transformation gives back unchanged.
    const QUrl written(url.toString(QUrl::FullyEncoded), QUrl::StrictMode);
    return written.isValid() ? QVariant(written) : QVariant();
}

QVariant NSStringToNSURLTransformer::reverseTransformedValue(const QVariant &value) const
{
    return holds<QUrl>(value) ? QVariant(value.value<QUrl>().toString(QUrl::FullyEncoded))
                              : QVariant();
}

QMetaType NSNumberToBoolTransformer::transformedValueClass() const
{
    return QMetaType::fromType<bool>();
}

bool NSNumberToBoolTransformer::allowsReverseTransformation() const
{
    return true;
}

QVariant NSNumberToBoolTransformer::transformedValue(const QVariant &value) const
{
    return QVariant(isNonZeroNumber(value));
}

QVariant NSNumberToBoolTransformer::reverseTransformedValue(const QVariant &value) const
{
    return QVariant(isNonZeroNumber(value));
}

QMetaType NSDateToRelativeDateStringTransformer::transformedValueClass() const
{
    return QMetaType::fromType<QString>();
}

QVariant NSDateToRelativeDateStringTransformer::transformedValue(const QVariant &value) const
{
    return holds<QDateTime>(value)
            ? textOrNone(RelativeDateString::distanceOfTimeInWords(value.value<QDateTime>()))
            : QVariant();
}

QMetaType NSDateToRelativeDateStringWithTimeTransformer::transformedValueClass() const
{
    return QMetaType::fromType<QString>();
}

bool NSDateToRelativeDateStringWithTimeTransformer::allowsReverseTransformation() const
{
    return false;
}

QVariant
NSDateToRelativeDateStringWithTimeTransformer::transformedValue(const QVariant &value) const
{
    return holds<QDateTime>(value)
            ? textOrNone(QMRelativeDateFormatter::longDateShortTimeFormatter().stringFromDate(
                    value.value<QDateTime>()))
            : QVariant();
}

QMetaType QMTimeagoTransformer::transformedValueClass() const
{
    return QMetaType::fromType<QString>();
}

bool QMTimeagoTransformer::allowsReverseTransformation() const
{
    return false;
}

QVariant QMTimeagoTransformer::transformedValue(const QVariant &value) const
{
    const QString text = holds<QDateTime>(value)
            ? QMRelativeDateFormatter::longDateFormatter().stringFromDate(value.value<QDateTime>())
            : QString();
    return QVariant(text.isNull() ? QStringLiteral("") : text);
}

namespace {

// The dates area contributes its transformers to the registry of the values area when the library
// is loaded, before any host code can look a name up. The registry itself knows no transformer.
[[maybe_unused]] const bool transformersRegistered = [] {
    registerTransformer<NSStringToRFC3339DateTransformer>("NSStringToRFC3339DateTransformer");
    registerTransformer<NSStringToISO8601DateTransformer>("NSStringToISO8601DateTransformer");
    registerTransformer<NSStringToNSURLTransformer>("NSStringToNSURLTransformer");
    registerTransformer<NSNumberToBoolTransformer>("NSNumberToBoolTransformer");
    registerTransformer<NSDateToRelativeDateStringTransformer>(
            "NSDateToRelativeDateStringTransformer");
    registerTransformer<NSDateToRelativeDateStringWithTimeTransformer>(
            "NSDateToRelativeDateStringWithTimeTransformer");
    registerTransformer<QMTimeagoTransformer>("QMTimeagoTransformer");
    return true;
}();

} // namespace
