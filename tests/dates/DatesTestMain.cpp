#include <QCoreApplication>
#include <QLocale>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <unicode/calendar.h>
#include <unicode/locid.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The locale named by LC_ALL (or LANG), such as "th_TH.UTF-8@calendar=buddhist", made the
// default for Qt and ICU. The machine may have no such glibc locale, so neither library can be
// trusted to pick it up by itself; returns false when the locale or its calendar did not take.
bool applyEnvironmentLocale()
{
    QByteArray name = qgetenv("LC_ALL");
    if (name.isEmpty())
        name = qgetenv("LANG");
    if (name.isEmpty() || name == "C" || name.startsWith("C.") || name == "POSIX")
        return true;
    const qsizetype at = name.indexOf('@');
    const QByteArray keywords = at < 0 ? QByteArray() : name.mid(at);
    const QByteArray language = name.left(at < 0 ? name.size() : at).split('.').first();
    QLocale::setDefault(QLocale(QString::fromLatin1(language)));
    UErrorCode status = U_ZERO_ERROR;
    const QByteArray icuName = language + keywords;
    icu::Locale::setDefault(icu::Locale(icuName.constData()), status);
    const std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(status));
    const QByteArray calendarType = calendar ? QByteArray(calendar->getType()) : QByteArray();
    const bool ok = U_SUCCESS(status) && QLocale().name() == QString::fromLatin1(language)
            && (!keywords.startsWith("@calendar=") || keywords.mid(10) == calendarType);
    std::fprintf(stderr, "Locale %s: Qt %s, ICU %s with the %s calendar\n", name.constData(),
                 qPrintable(QLocale().name()), icu::Locale::getDefault().getName(),
                 calendarType.constData());
    return ok;
}

} // namespace

// The relative-date words are looked up through the application's translators, and the tests
// of the timestamp formats run again in other time zones and locales (see CMakeLists.txt).
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    if (!applyEnvironmentLocale())
        return 1;
    const QByteArray zone = qgetenv("TZ");
    if (!zone.isEmpty() && QTimeZone::systemTimeZoneId() != zone) {
        std::fprintf(stderr, "TZ=%s did not take: the system zone is %s\n", zone.constData(),
                     QTimeZone::systemTimeZoneId().constData());
        return 1;
    }
    return RUN_ALL_TESTS();
}
