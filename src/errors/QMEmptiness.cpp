#include "errors/QMEmptiness.h"

#include "errors/QMNull.h"

#include <QAssociativeIterable>
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

bool QMIsEmptyString(const QVariant &value)
{
    if (!value.isValid() || QMIsNull(value))
        return true;
    return value.metaType() == QMetaType::fromType<QString>() && value.toString().isEmpty();
}

namespace {

std::optional<qsizetype> lengthOf(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QString>())
        return value.toString().size();
    if (value.metaType() == QMetaType::fromType<QByteArray>())
        return value.toByteArray().size();
    return std::nullopt;
}

std::optional<qsizetype> countOf(const QVariant &value)
{
    const QMetaType type = value.metaType();
    if (QMetaType::canConvert(type, QMetaType::fromType<QSequentialIterable>()))
        return value.value<QSequentialIterable>().size();
    if (QMetaType::canConvert(type, QMetaType::fromType<QAssociativeIterable>()))
        return value.value<QAssociativeIterable>().size();
    return std::nullopt;
}

} // namespace

bool QMIsEmpty(const QVariant &value)
{
    if (!value.isValid() || QMIsNull(value))
        return true;
    const std::optional<qsizetype> length = lengthOf(value);
    if (length && *length == 0)
        return true;
    if (length)
        return false; // A text or byte buffer has no element count.
    const std::optional<qsizetype> count = countOf(value);
    return count && *count == 0;
}

bool QMIsNotEmptyString(const QVariant &value)
{
    return !QMIsEmptyString(value);
}

bool QMIsNotEmpty(const QVariant &value)
{
    return !QMIsEmpty(value);
}
