#include "QMFoundation/persistence/QMPersistenceValue_p.h"

#include <QMFoundation/dates/ISO8601.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QDateTime>

#include <unicode/stringoptions.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

using namespace Qt::StringLiterals;

int QMPersistenceValue::compareCodePoints(QStringView a, QStringView b)
{
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x == y)
            continue;
        // Surrogates (0xD800..0xDFFF) stand for code points above 0xFFFF, so they sort after
        // every other code unit.
        const auto rank = [](char16_t c) -> int {
            return (c >= 0xD800 && c <= 0xDFFF) ? c + 0x2000 : (c >= 0xE000 ? c - 0x800 : c);
        };
        return rank(x) < rank(y) ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

int QMPersistenceValue::compare(const QVariant &a, const QVariant &b, QMAttributeType type)
{
    const bool absentA = isAbsent(a);
    const bool absentB = isAbsent(b);
    if (absentA || absentB)
        return absentA == absentB ? 0 : (absentA ? -1 : 1);
    const auto order = [](auto x, auto y) {
        return x < y ? -1 : (y < x ? 1 : 0);
    };
    switch (type) {
    case QMAttributeType::String:
        return compareCodePoints(a.toString(), b.toString());
    case QMAttributeType::Integer:
        return order(a.toLongLong(), b.toLongLong());
    case QMAttributeType::Double:
        return order(a.toDouble(), b.toDouble());
    case QMAttributeType::Boolean:
        return order(int(a.toBool()), int(b.toBool()));
    case QMAttributeType::Date:
        return order(a.toDateTime().toMSecsSinceEpoch(), b.toDateTime().toMSecsSinceEpoch());
    case QMAttributeType::Binary: {
        const QByteArray x = a.toByteArray();
        const QByteArray y = b.toByteArray();
        const int c
                = std::memcmp(x.constData(), y.constData(), size_t(std::min(x.size(), y.size())));
        return c != 0 ? (c < 0 ? -1 : 1) : order(x.size(), y.size());
    }
    }
    return 0;
}

QString QMPersistenceValue::folded(const QString &text)
{
    // QString::toCaseFolded() folds one code unit to one, so "ß" would not match "SS"; ICU's
    // full folding maps a unit to at most three.
    if (text.size() > std::numeric_limits<int32_t>::max() / 3)
        return text.toCaseFolded();
    QString out(text.size() * 3, Qt::Uninitialized);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = u_strFoldCase(reinterpret_cast<UChar *>(out.data()), int32_t(out.size()),
                                         reinterpret_cast<const UChar *>(text.utf16()),
                                         int32_t(text.size()), U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status))
        return text.toCaseFolded();
    out.truncate(length);
    return out;
}

namespace {

const QChar emptyCharacter;

// SQLite keeps texts as UTF-8, which has no code for a lone surrogate, and would store something
// else in its place; it also reads U+FFFE and U+FFFF back as U+FFFD. Replacing them where values
// enter a store keeps what memory holds equal to what SQLite gives back.
bool isReplaced(QChar c)
{
    return c.isSurrogate() || c.unicode() >= 0xFFFE;
}

QString wellFormed(const QString &text)
{
    if (QMPersistenceValue::storesTextAsIs(text))
        return text;
    QString out = text;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (out.at(i).isHighSurrogate() && i + 1 < out.size() && out.at(i + 1).isLowSurrogate())
            ++i;
        else if (isReplaced(out.at(i)))
            out[i] = QChar::ReplacementCharacter;
    }
    return out;
}

} // namespace

bool QMPersistenceValue::storesTextAsIs(QStringView text)
{
    return std::none_of(text.cbegin(), text.cend(), isReplaced);
}

QVariant QMPersistenceValue::toStorage(const QVariant &value, QMAttributeType type)
{
    if (isAbsent(value))
        return QVariant();
    switch (type) {
    case QMAttributeType::Date:
        return QVariant(value.toDateTime().toMSecsSinceEpoch());
    case QMAttributeType::Boolean:
        return QVariant(qint64(value.toBool() ? 1 : 0));
    case QMAttributeType::String:
        // Qt SQL binds a null QString as NULL, which would turn an empty text into no value; a
        // QString made from a non-null pointer is never null, even when it is empty.
        if (value.toString().isNull())
            return QVariant(QString(&emptyCharacter, 0));
        return QVariant(wellFormed(value.toString()));
    case QMAttributeType::Binary:
        if (value.toByteArray().isNull())
            return QVariant(QByteArray("", 0));
        return value;
    default:
        return value;
    }
}

QVariant QMPersistenceValue::fromStorage(const QVariant &stored, QMAttributeType type)
{
    if (!stored.isValid() || stored.isNull())
        return QVariant();
    switch (type) {
    case QMAttributeType::String:
        return QVariant(stored.toString());
    case QMAttributeType::Integer:
        return QVariant(stored.toLongLong());
    case QMAttributeType::Double:
        return QVariant(stored.toDouble());
    case QMAttributeType::Boolean:
        return QVariant(stored.toLongLong() != 0);
    case QMAttributeType::Date:
        return QVariant(QDateTime::fromMSecsSinceEpoch(stored.toLongLong(), Qt::UTC));
    case QMAttributeType::Binary:
        return QVariant(stored.toByteArray());
    }
    return QVariant();
}

QString QMAttributeTypeName(QMAttributeType type)
{
    switch (type) {
    case QMAttributeType::String:
        return u"string"_s;
    case QMAttributeType::Integer:
        return u"integer"_s;
    case QMAttributeType::Double:
        return u"double"_s;
    case QMAttributeType::Boolean:
        return u"boolean"_s;
    case QMAttributeType::Date:
        return u"date"_s;
    case QMAttributeType::Binary:
        return u"binary"_s;
    }
    return QString();
}

namespace {

QMError conversionError(const QMAttributeDescription &attribute, const QVariant &value)
{
    return QMError(QMPersistenceErrorDomain, QMValidationValueTypeError,
                   {{QMLocalizedDescriptionKey,
                     u"The value %1 does not fit the %2 attribute \"%3\"."_s.arg(
                             value.toString().isEmpty() ? QString::fromLatin1(value.typeName())
                                                        : u"\""_s + value.toString() + u"\""_s,
                             QMAttributeTypeName(attribute.type), attribute.name)},
                    {QMValidationKeyErrorKey, attribute.name},
                    {QMValidationValueErrorKey, value}});
}

bool isNumber(const QVariant &v)
{
    switch (v.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Double:
    case QMetaType::Float:
        return true;
    default:
        return false;
    }
}

bool isFloating(const QVariant &v)
{
    return v.typeId() == QMetaType::Double || v.typeId() == QMetaType::Float;
}

} // namespace

QVariant QMAttributeDescription::convertedValue(const QVariant &value, QMError *error) const
{
    if (QMPersistenceValue::isAbsent(value))
        return QVariant();
    const auto fail = [&]() {
        if (error)
            *error = conversionError(*this, value);
        return QVariant();
    };
    const int id = value.typeId();
    switch (type) {
    case QMAttributeType::String:
        if (id == QMetaType::QString) {
            // A text kept as it is stays the value given, without a copy.
            const QString &text = *static_cast<const QString *>(value.constData());
            return QMPersistenceValue::storesTextAsIs(text) ? value : QVariant(wellFormed(text));
        }
        if (id == QMetaType::QChar)
            return QVariant(wellFormed(QString(value.toChar())));
        return fail();
    case QMAttributeType::Integer: {
        if (id == QMetaType::LongLong)
            return value;
        if (id == QMetaType::Bool)
            return QVariant(qint64(value.toBool()));
        if (isFloating(value)) {
            const double d = value.toDouble();
            // 2^63 itself does not fit, so the upper bound is exclusive.
            if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0
                || d >= 9223372036854775808.0)
                return fail();
            return QVariant(qint64(d));
        }
        if (id == QMetaType::ULongLong || id == QMetaType::ULong) {
            if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
                return fail();
            return QVariant(qint64(value.toULongLong()));
        }
        if (isNumber(value))
            return QVariant(value.toLongLong());
        if (id == QMetaType::QString) {
            bool ok = false;
            const qint64 n = value.toString().trimmed().toLongLong(&ok);
            return ok ? QVariant(n) : fail();
        }
        return fail();
    }
    case QMAttributeType::Double: {
        if (id == QMetaType::Bool)
            return QVariant(value.toBool() ? 1.0 : 0.0);
        // NaN and infinity are refused: SQLite keeps NaN as no value, so the stores would
        // differ on them.
        if (isNumber(value)) {
            const double d = value.toDouble();
            return std::isfinite(d) ? QVariant(d) : fail();
        }
        if (id == QMetaType::QString) {
            bool ok = false;
            // QString::toDouble() reads the C locale, whatever the host's locale is.
            const double d = value.toString().trimmed().toDouble(&ok);
            return ok && std::isfinite(d) ? QVariant(d) : fail();
        }
        return fail();
    }
    case QMAttributeType::Boolean: {
        if (id == QMetaType::Bool)
            return value;
        if (isNumber(value)) {
            const double d = value.toDouble();
            if (d == 0 || d == 1)
                return QVariant(d == 1);
            return fail();
        }
        if (id == QMetaType::QString) {
            const QString t = value.toString().trimmed().toLower();
            if (t == u"true"_s || t == u"yes"_s || t == u"1"_s)
                return QVariant(true);
            if (t == u"false"_s || t == u"no"_s || t == u"0"_s)
                return QVariant(false);
        }
        return fail();
    }
    case QMAttributeType::Date: {
        QDateTime date;
        if (id == QMetaType::QDateTime) {
            date = *static_cast<const QDateTime *>(value.constData());
            if (date.isValid() && date.timeSpec() == Qt::UTC)
                return value;
        } else if (id == QMetaType::QString) {
            const QString text = value.toString().trimmed();
            date = ISO8601::dateWithISO8601DateString(text);
            if (!date.isValid()) {
                date = QDateTime::fromString(text, Qt::ISODateWithMs);
                // A text without an offset names a UTC time, whatever the host's zone.
                if (date.isValid() && date.timeSpec() == Qt::LocalTime)
                    date.setTimeSpec(Qt::UTC);
            }
        }
        if (!date.isValid())
            return fail();
        // Stores keep milliseconds in UTC; keeping the same here makes a value read back equal
        // to the value set.
        return QVariant(QDateTime::fromMSecsSinceEpoch(date.toMSecsSinceEpoch(), Qt::UTC));
    }
    case QMAttributeType::Binary:
        if (id == QMetaType::QByteArray)
            return value;
        return fail();
    }
    return fail();
}

QJsonValue QMAttributeDescription::JSONValue(const QVariant &value) const
{
    if (QMPersistenceValue::isAbsent(value))
        return QJsonValue::Null;
    switch (type) {
    case QMAttributeType::String:
        return value.toString();
    case QMAttributeType::Integer:
        return value.toLongLong();
    case QMAttributeType::Double:
        return value.toDouble();
    case QMAttributeType::Boolean:
        return value.toBool();
    case QMAttributeType::Date:
        return value.toDateTime().toUTC().toString(Qt::ISODateWithMs);
    case QMAttributeType::Binary:
        return QString::fromLatin1(value.toByteArray().toBase64());
    }
    return QJsonValue::Null;
}
