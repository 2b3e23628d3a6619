#include <QMFoundation/platform/QMSystem.h>

#include <QMetaObject>

#include <unicode/ucnv.h>

#include <sys/types.h>
#include <unistd.h>

bool QMIsDebugEnvironment()
{
    return false;
}

quint64 QMThread::identifier()
{
    return static_cast<quint64>(::gettid());
}

QString QMStringEncoding::stringEncodingFromIANACharSetName(const QString &name)
{
    const QByteArray latin1 = name.toLatin1();
    // ICU reads names as invariant ASCII; anything else names no character set.
    if (name.isEmpty() || QString::fromLatin1(latin1) != name || latin1.contains('\0'))
        return QString();
    UErrorCode status = U_ZERO_ERROR;
    const char *canonical = ucnv_getCanonicalName(latin1.constData(), "IANA", &status);
    if (U_FAILURE(status) || !canonical) {
        // Not an IANA name: perhaps one of ICU's own aliases ("utf8", "latin1").
        status = U_ZERO_ERROR;
        canonical = ucnv_getAlias(latin1.constData(), 0, &status);
        if (U_FAILURE(status) || !canonical)
            return QString();
    }
    status = U_ZERO_ERROR;
    const char *preferred = ucnv_getStandardName(canonical, "MIME", &status);
    if (U_FAILURE(status) || !preferred) {
        status = U_ZERO_ERROR;
        preferred = ucnv_getStandardName(canonical, "IANA", &status);
    }
    if (U_FAILURE(status) || !preferred)
        return QString();
    return QString::fromLatin1(preferred);
}

bool QMStringEncoding::isEqualToUnicodeString(const QString &string, const QString &other)
{
    return string == other;
}

QString QMObjectStrings::defaultStringsTable(const QObject *object)
{
    return object ? QString::fromLatin1(object->metaObject()->className()) : QString();
}
