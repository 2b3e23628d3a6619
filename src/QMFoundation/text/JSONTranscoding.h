#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

/// Error domain of JSON transcoding, "QMJSONTranscodingErrorDomain".
QMF_CORE_EXPORT extern const QString QMJSONTranscodingErrorDomain;
/// User-information key of a parse error: the byte offset (qint64) in the data where Qt's JSON
/// parser stopped, at most the data's size (the end of the data).
QMF_CORE_EXPORT extern const QString QMJSONErrorOffsetKey;
/// User-information key of a serialization error: where the refused value sits, as a JSON
/// Pointer (QString): "" for the top level, "/items/0" for the first element of "items".
QMF_CORE_EXPORT extern const QString QMJSONErrorPathKey;

/// Error codes in QMJSONTranscodingErrorDomain.
enum QMJSONTranscodingErrorCode : qint64 {
    /// The bytes are not a JSON document. The description reads "The data is not valid JSON:
    /// <Qt's message> at offset <n>.", the failure reason is Qt's message alone ("illegal value",
    /// "garbage at the end of the document", ...) and QMJSONErrorOffsetKey holds the offset.
    QMJSONTranscodingErrorInvalidData = 1,
    /// A value that JSON cannot hold as it is: the description reads "The value at <path>
    /// cannot be written as JSON." ("The value cannot..." at the top level), the failure reason
    /// names what it is ("a value of type QDateTime", "a double that is not finite (nan)") and
    /// QMJSONErrorPathKey holds the path.
    QMJSONTranscodingErrorInvalidValue = 2,
    /// A value to write that is neither an array nor an object (a text, a number, null, an
    /// invalid QVariant): a JSON document holds one of those two at its top level. The
    /// failure reason names the type.
    QMJSONTranscodingErrorInvalidTopLevel = 3,
};

/// Conversions between JSON bytes and Qt's variant lists and maps, through Qt's JSON parser
/// and writer with the rules below. Re-entrant; call from any thread.
///
/// Reading: the document's top level must be an array or an object ("1" or "\"text\"" alone is
/// invalid data; a leading byte-order mark and surrounding white space are allowed). Arrays
/// become QVariantList, objects QVariantMap (of a repeated key the last value counts), texts
/// QString, true and false bool, numbers qlonglong when they are whole and fit in 64 bits
/// (so "-0" and "1.0" read as 0 and 1) and double otherwise, and null the null marker QMNull().
/// Invalid UTF-8 in the data is invalid data; an escaped lone surrogate ("\ud800") is kept.
///
/// Writing: compact, with no white space between tokens; object members in key order. What is
/// written: QString (escaped where JSON needs it, lone surrogates as "\ud800"; a null QString
/// as "", which reads back as an empty, non-null one), bool, integers (unsigned ones up to
/// 2^63 - 1), finite floating-point numbers (in their shortest form that reads back as the
/// same value; negative zero as 0), QMNull() and an invalid QVariant (both null), QStringList,
/// QVariantList, QVariantMap and QVariantHash of those, and QJsonValue, QJsonArray,
/// QJsonObject and QJsonDocument values. Anything else makes the whole conversion fail with
/// QMJSONTranscodingErrorInvalidValue rather than be changed silently: a date, a URL, bytes, a
/// NaN or an infinity, an unsigned integer above 2^63 - 1 (Qt's writer would round it), an
/// undefined QJsonValue, a QObject pointer, a QList<int> (only the list types above are
/// walked).
///
/// Failures return an invalid QVariant, std::nullopt, a null QByteArray (successful output is
/// never empty) or a null QString, and fill `error` when it is given; success leaves `error`
/// untouched.
namespace JSONTranscoding {

/// The parsed top-level value of the JSON `data`, a QVariantList or a QVariantMap: despite its
/// name it does not check for an array. An invalid QVariant and a
/// QMJSONTranscodingErrorInvalidData error when the data is not JSON.
QMF_CORE_EXPORT QVariant arrayWithDataUsingJSONEncoding(const QByteArray &data,
                                                        QMError *error = nullptr);

/// The parsed top-level object of the JSON `data`. When the data holds an array instead, the
/// result is std::nullopt and `*error` (when given) is reset to a null QMError: that is not a
/// parse failure. Invalid JSON gives std::nullopt and a QMJSONTranscodingErrorInvalidData
/// error.
QMF_CORE_EXPORT std::optional<QVariantMap>
dictionaryWithDataUsingJSONEncoding(const QByteArray &data, QMError *error = nullptr);

/// `list` as a compact JSON array, or a null QByteArray and a
/// QMJSONTranscodingErrorInvalidValue error when it holds a value JSON cannot represent.
QMF_CORE_EXPORT QByteArray dataUsingJSONEncoding(const QVariantList &list,
                                                 QMError *error = nullptr);
/// `dictionary` as a compact JSON object, as above.
QMF_CORE_EXPORT QByteArray dataUsingJSONEncoding(const QVariantMap &dictionary,
                                                 QMError *error = nullptr);
/// The same JSON as dataUsingJSONEncoding(dictionary) as text; a null QString on failure.
QMF_CORE_EXPORT QString stringUsingJSONEncoding(const QVariantMap &dictionary,
                                                QMError *error = nullptr);

/// `object` as compact JSON bytes. It must be a list or a map (any of the list and map types
/// named above, or a QJsonValue or QJsonDocument holding an array or object); anything else
/// fails with QMJSONTranscodingErrorInvalidTopLevel. Values inside follow the writing rules.
QMF_CORE_EXPORT QByteArray dataWithJSONObject(const QVariant &object, QMError *error = nullptr);

/// `data` parsed as JSON: the top-level QVariantList or QVariantMap, or an invalid QVariant and
/// a QMJSONTranscodingErrorInvalidData error.
QMF_CORE_EXPORT QVariant JSONObject(const QByteArray &data, QMError *error = nullptr);

} // namespace JSONTranscoding
