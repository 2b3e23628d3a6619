#include <QMFoundation/dates/QMRelativeDateFormatter.h>

#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <mutex>

class QMRelativeDateFormatter::Private
{
public:
    TimeStyle timeStyle;
    // ICU formatters keep a working calendar that each format() call changes, so even a const
    // call must not run on two threads at once.
    mutable std::mutex mutex;
    std::unique_ptr<icu::DateFormat> format;
};

namespace {

icu::Locale icuLocale(const QLocale &locale)
{
    // The C locale's POSIX conventions are ICU's en_US_POSIX.
    if (locale.language() == QLocale::C)
        return icu::Locale("en_US_POSIX");
    UErrorCode status = U_ZERO_ERROR;
    const QByteArray tag = locale.bcp47Name().toLatin1();
    icu::Locale result = icu::Locale::forLanguageTag(tag.constData(), status);
    return U_SUCCESS(status) ? result : icu::Locale::getDefault();
}

icu::TimeZone *icuTimeZone(const QTimeZone &timeZone)
{
    const QByteArray id = timeZone.id();
    icu::TimeZone *zone = icu::TimeZone::createTimeZone(
            icu::UnicodeString::fromUTF8(icu::StringPiece(id.constData(), int(id.size()))));
    if (*zone == icu::TimeZone::getUnknown()) {
        delete zone;
        zone = icu::TimeZone::createDefault();
    }
    return zone;
}

} // namespace

QMRelativeDateFormatter::QMRelativeDateFormatter(TimeStyle timeStyle, const QLocale &locale,
                                                 const QTimeZone &timeZone)
    : d(std::make_unique<Private>())
{
    d->timeStyle = timeStyle;
    const icu::Locale where = icuLocale(locale);
    d->format.reset(timeStyle == TimeStyle::Short ? icu::DateFormat::createDateTimeInstance(
                            icu::DateFormat::kLongRelative, icu::DateFormat::kShort, where)
                                                  : icu::DateFormat::createDateInstance(
                                                          icu::DateFormat::kLongRelative, where));
    if (d->format)
        d->format->adoptTimeZone(icuTimeZone(timeZone));
}

QMRelativeDateFormatter::~QMRelativeDateFormatter() = default;

const QMRelativeDateFormatter &QMRelativeDateFormatter::longDateShortTimeFormatter()
{
    static const QMRelativeDateFormatter formatter(TimeStyle::Short);
    return formatter;
}

const QMRelativeDateFormatter &QMRelativeDateFormatter::longDateFormatter()
{
    static const QMRelativeDateFormatter formatter(TimeStyle::None);
    return formatter;
}

QMRelativeDateFormatter::TimeStyle QMRelativeDateFormatter::timeStyle() const
{
    return d->timeStyle;
}

QString QMRelativeDateFormatter::stringFromDate(const QDateTime &date) const
{
    if (!date.isValid() || !d->format)
        return QString();
    icu::UnicodeString text;
    {
        const std::lock_guard lock(d->mutex);
        d->format->format(UDate(date.toMSecsSinceEpoch()), text);
    }
    return QString(reinterpret_cast<const QChar *>(text.getBuffer()), text.length());
}
