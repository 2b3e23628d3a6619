#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/values/QMValueTransformer.h>

/// The library's value transformers, each registered under its class name (see
/// QMValueTransformer::valueTransformerForName()). None holds state.
///
/// A value is taken by its type alone: a QString is text, a QDateTime a date, a QUrl a URL, and
/// bool and the integer and floating-point types are numbers. Text holding digits is not a
/// number, and a QByteArray is not text.

/// Text to date and back in the RFC 3339 timestamp format ("2021-03-04T05:06:07.891Z").
class QMF_CORE_EXPORT NSStringToRFC3339DateTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override;
    bool allowsReverseTransformation() const override;
    /// Text gives RFC3339::dateWithRFC3339DateString() of it (none when it does not match);
    /// anything else gives none.
    QVariant transformedValue(const QVariant &value) const override;
    /// A date gives RFC3339::rfc3339DateString() of it; anything else gives none.
    QVariant reverseTransformedValue(const QVariant &value) const override;
};

/// Text to date and back in the ISO 8601 timestamp format ("2021-03-04T05:06:07.89100Z").
class QMF_CORE_EXPORT NSStringToISO8601DateTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override;
    bool allowsReverseTransformation() const override;
    /// Text gives ISO8601::dateWithISO8601DateString() of it; anything else gives none.
    QVariant transformedValue(const QVariant &value) const override;
    /// A date gives ISO8601::iso8601DateString() of it; anything else gives none.
    QVariant reverseTransformedValue(const QVariant &value) const override;
};

/// Text to URL and back.
class QMF_CORE_EXPORT NSStringToNSURLTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override;
    bool allowsReverseTransformation() const override;
    /// Text gives the QUrl parsed from it in strict mode; none when Qt finds the text invalid
    /// (spaces, stray percent signs, bad hosts) or it is empty. Anything else gives none.
    QVariant transformedValue(const QVariant &value) const override;
    /// A URL gives its fully encoded text, which for an absolute URL text that was already
    /// encoded is the text that made it; anything else gives none.
    QVariant reverseTransformedValue(const QVariant &value) const override;
};

/// Number to boolean, in both directions.
class QMF_CORE_EXPORT NSNumberToBoolTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override;
    bool allowsReverseTransformation() const override;
    /// A number gives true exactly when it is not zero (NaN is not zero); anything else, none
    /// included, gives false.
    QVariant transformedValue(const QVariant &value) const override;
    /// The same rule as transformedValue().
    QVariant reverseTransformedValue(const QVariant &value) const override;
};

/// Date to its distance from now in words (RelativeDateString::distanceOfTimeInWords()). The
/// words cannot be read back, so it does not reverse.
class QMF_CORE_EXPORT NSDateToRelativeDateStringTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override;
    /// A date gives its distance from now in words; anything else, none included, gives none.
    QVariant transformedValue(const QVariant &value) const override;
};

/// Date to text in the shared long-date, short-time relative style
/// (QMRelativeDateFormatter::longDateShortTimeFormatter(): "today, 6:18 AM").
class QMF_CORE_EXPORT NSDateToRelativeDateStringWithTimeTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override;
    bool allowsReverseTransformation() const override;
    /// A date gives its text; anything else gives none.
    QVariant transformedValue(const QVariant &value) const override;
};

/// Date to text in the shared long-date relative style without time
/// (QMRelativeDateFormatter::longDateFormatter(): "yesterday", "March 4, 2021").
class QMF_CORE_EXPORT QMTimeagoTransformer : public QMValueTransformer
{
public:
    QMetaType transformedValueClass() const override;
    bool allowsReverseTransformation() const override;
    /// A date gives its text; anything else, none included, gives the empty string.
    QVariant transformedValue(const QVariant &value) const override;
};
