#include "errors/QMEquality.h"

#include "errors/QMNumberKind_p.h"

namespace {

bool isIntegral(const QVariant &value)
{
    const QMNumberKind kind = QMNumberKindOf(value);
    return kind == QMNumberKind::Boolean || kind == QMNumberKind::Signed
            || kind == QMNumberKind::Unsigned;
}

bool isUnsigned(const QVariant &value)
{
    return QMNumberKindOf(value) == QMNumberKind::Unsigned;
}

bool isFloating(const QVariant &value)
{
    return QMNumberKindOf(value) == QMNumberKind::Floating;
}

} // namespace

bool QMEqualStrings(const QString &a, const QString &b)
{
    if (b.isNull())
        return a.isNull();
    return !a.isNull() && a == b;
}

bool QMEqualNumbers(const QVariant &a, const QVariant &b)
{
    if (!b.isValid())
        return !a.isValid();
    if (!a.isValid())
        return false;
    if (isIntegral(a) && isIntegral(b)) {
        if (isUnsigned(a) && isUnsigned(b))
            return a.toULongLong() == b.toULongLong();
        if (isUnsigned(a) != isUnsigned(b)) {
            const QVariant &u = isUnsigned(a) ? a : b;
            const QVariant &s = isUnsigned(a) ? b : a;
            return s.toLongLong() >= 0 && quint64(s.toLongLong()) == u.toULongLong();
        }
        return a.toLongLong() == b.toLongLong();
    }
    if ((isIntegral(a) || isFloating(a)) && (isIntegral(b) || isFloating(b)))
        return a.toDouble() == b.toDouble();
    return a == b;
}

bool QMEqualDates(const QDateTime &a, const QDateTime &b)
{
    if (b.isNull())
        return a.isNull();
    return !a.isNull() && a == b;
}

bool QMEqualValues(const QVariant &a, const QVariant &b)
{
    if (!b.isValid())
        return !a.isValid();
    return a.isValid() && a == b;
}

bool QMEqualDataObjects(const QByteArray &a, const QByteArray &b)
{
    if (b.isNull())
        return a.isNull();
    return !a.isNull() && a == b;
}

bool QMEqualObjects(const QVariant &a, const QVariant &b)
{
    return QMEqualValues(a, b);
}

bool QMEqualURLs(const QUrl &a, const QUrl &b)
{
    const QString textA = a.isEmpty() ? QString() : a.toString();
    const QString textB = b.isEmpty() ? QString() : b.toString();
    return QMEqualStrings(textA, textB);
}
