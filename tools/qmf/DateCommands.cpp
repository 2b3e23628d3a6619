#include "DateCommands.h"

#include <QMFoundation/dates/ISO8601.h>
#include <QMFoundation/dates/RFC3339.h>
#include <QMFoundation/dates/RelativeDateString.h>

#include <QCoreApplication>
#include <QDir>
#include <QTranslator>

#include <algorithm>
#include <memory>

namespace {

const QString notAnInstant
        = QStringLiteral("\"%1\" is not a timestamp, \"now\" or an offset such as -3h or +2d");

QMOptionPtr option(const char *alias, const char *explanation, const char *valueDescription)
{
    return QMOption::optionWithFlag(
            QString(), QString::fromLatin1(alias), QString::fromLatin1(explanation),
            valueDescription ? QString::fromLatin1(valueDescription) : QString(),
            valueDescription ? QMOptionTypeString : QMOptionTypeNone, false);
}

// Prints "qmf: message" and returns 1, the status for input that is not a date.
int dataError(Invocation &invocation, const QString &message)
{
    invocation.err << "qmf: " << message << "\n";
    return 1;
}

// Where the library's translations are: beside an installed qmf, then in the build tree.
QStringList translationDirectories()
{
    QStringList directories;
    if (QCoreApplication::instance())
        directories.append(QDir::cleanPath(QCoreApplication::applicationDirPath()
                                           + QStringLiteral("/" QMF_TRANSLATIONS_FROM_BINDIR)));
    directories.append(QStringLiteral(QMF_BUILD_TRANSLATIONS_DIR));
    return directories;
}

// Installs the library's translation for `name` for the life of the object; English, the
// language of the sources, needs none.
class Translation
{
public:
    bool load(Invocation &invocation, const QString &name)
    {
        const QLocale locale(name);
        if (locale.language() == QLocale::English)
            return true;
        if (!QCoreApplication::instance()) {
            invocation.usageError(QStringLiteral("--locale needs a QCoreApplication"));
            return false;
        }
        const QStringList directories = translationDirectories();
        for (const QString &directory : directories) {
            auto translator = std::make_unique<QTranslator>();
            if (locale.language() != QLocale::C
                && translator->load(locale, QStringLiteral("qmfoundation"), QStringLiteral("_"),
                                    directory)) {
                QCoreApplication::installTranslator(translator.get());
                m_translator = std::move(translator);
                return true;
            }
        }
        invocation.usageError(QStringLiteral("no translation for the locale \"%1\" in %2")
                                      .arg(name, directories.join(QStringLiteral(", "))));
        return false;
    }
    ~Translation()
    {
        if (m_translator)
            QCoreApplication::removeTranslator(m_translator.get());
    }

private:
    std::unique_ptr<QTranslator> m_translator;
};

int runWords(Invocation &invocation, const QMOptionPtr &nowOption, const QMOptionPtr &localeOption)
{
    if (invocation.arguments().size() != 1)
        return invocation.usageError(
                QStringLiteral("date words needs one TIMESTAMP (an offset that begins with \"-\" "
                               "goes after \"--\")"));
    QDateTime now = QDateTime::currentDateTimeUtc();
    if (invocation.has(nowOption)) {
        const QString text = invocation.value(nowOption).toString();
        const std::optional<QDateTime> given = DateCommands::instant(text, now);
        if (!given)
            return dataError(invocation, notAnInstant.arg(text));
        now = *given;
    }
    const QString text = invocation.arguments().first();
    const std::optional<QDateTime> date = DateCommands::instant(text, now);
    if (!date)
        return dataError(invocation, notAnInstant.arg(text));
    Translation translation;
    if (invocation.has(localeOption)
        && !translation.load(invocation, invocation.value(localeOption).toString()))
        return 2;
    invocation.out << RelativeDateString::distanceOfTimeInWords(*date, now) << "\n";
    return 0;
}

int runFormat(Invocation &invocation, const QMOptionPtr &isoOption)
{
    if (invocation.arguments().size() > 1)
        return invocation.usageError(QStringLiteral("date format takes at most one TIMESTAMP"));
    const QString text = invocation.arguments().value(0, QStringLiteral("now"));
    const std::optional<QDateTime> date
            = DateCommands::instant(text, QDateTime::currentDateTimeUtc());
    if (!date)
        return dataError(invocation, notAnInstant.arg(text));
    const QString written = invocation.has(isoOption) ? ISO8601::iso8601DateString(*date)
                                                      : RFC3339::rfc3339DateString(*date);
    if (written.isNull())
        return dataError(invocation,
                         QStringLiteral("%1 lies outside the years 0001 to 9999").arg(text));
    invocation.out << written << "\n";
    return 0;
}

int runParse(Invocation &invocation)
{
    if (invocation.arguments().size() != 1)
        return invocation.usageError(QStringLiteral("date parse needs one TEXT"));
    const QString text = invocation.arguments().first();
    QDateTime date = RFC3339::dateWithRFC3339DateString(text);
    if (!date.isValid())
        date = ISO8601::dateWithISO8601DateString(text);
    if (!date.isValid())
        return dataError(invocation,
                         QStringLiteral("\"%1\" is not a timestamp: expected "
                                        "yyyy-MM-ddTHH:mm:ss.SSSZ (RFC 3339) or "
                                        "yyyy-MM-ddTHH:mm:ss.SSSSSZ (ISO 8601), in UTC")
                                 .arg(text));
    invocation.out << "RFC 3339: " << RFC3339::rfc3339DateString(date) << "\n"
                   << "ISO 8601: " << ISO8601::iso8601DateString(date) << "\n";
    return 0;
}

} // namespace

std::optional<QDateTime> DateCommands::instant(const QString &text, const QDateTime &now)
{
    if (text == QLatin1String("now"))
        return now;
    for (const QDateTime &date :
         {RFC3339::dateWithRFC3339DateString(text), ISO8601::dateWithISO8601DateString(text)}) {
        if (date.isValid())
            return date;
    }
    if (text.size() < 3 || (text.front() != u'-' && text.front() != u'+'))
        return std::nullopt;
    const QStringView digits = QStringView(text).mid(1, text.size() - 2);
    if (!std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    const QString units = QStringLiteral("smhdw");
    const qint64 unitSeconds[] = {1, 60, 3600, 86400, 7 * 86400};
    const qsizetype unit = units.indexOf(text.back());
    bool ok = false;
    const qint64 count = digits.toLongLong(&ok);
    qint64 seconds = 0;
    if (unit < 0 || !ok || __builtin_mul_overflow(count, unitSeconds[unit] * 1000, &seconds))
        return std::nullopt;
    const qint64 base = now.toMSecsSinceEpoch();
    qint64 msecs = 0;
    if (__builtin_add_overflow(base, text.front() == u'-' ? -seconds : seconds, &msecs))
        return std::nullopt;
    return QDateTime::fromMSecsSinceEpoch(msecs, Qt::UTC);
}

ToolCommand DateCommands::command()
{
    const QMOptionPtr now
            = option("now", "Measure from TIMESTAMP instead of the clock", "TIMESTAMP");
    const QMOptionPtr locale = option("locale", "Word it in LOCALE's language (en, de)", "LOCALE");
    const QMOptionPtr iso = option("iso8601", "Write five fraction digits (ISO 8601)", nullptr);
    return ToolCommand::make(
            QStringLiteral("date"), {}, {},
            QStringLiteral("Word, write and read timestamps: date words TIMESTAMP, date format "
                           "[TIMESTAMP], date parse TEXT"),
            {},
            {ToolCommand::make(
                     QStringLiteral("words"), {now, locale}, {QStringLiteral("TIMESTAMP")},
                     QStringLiteral(
                             "Usage: qmf date words [--now TIMESTAMP] [--locale LOCALE] "
                             "TIMESTAMP\n\n"
                             "Prints the distance between TIMESTAMP and now in words, the same "
                             "for the past\n"
                             "and the future. TIMESTAMP is yyyy-MM-ddTHH:mm:ss.SSSZ (RFC 3339), "
                             "the same with\n"
                             "five fraction digits (ISO 8601), \"now\", or an offset from now "
                             "such as +2d or\n"
                             "-3h (units s, m, h, d, w; an offset that begins with \"-\" goes "
                             "after \"--\")."),
                     [=](Invocation &invocation) { return runWords(invocation, now, locale); }),
             ToolCommand::make(
                     QStringLiteral("format"), {iso}, {QStringLiteral("TIMESTAMP")},
                     QStringLiteral("Usage: qmf date format [--iso8601] [TIMESTAMP]\n\n"
                                    "Prints TIMESTAMP (now without one; the forms of date words) "
                                    "as\n"
                                    "yyyy-MM-ddTHH:mm:ss.SSSZ, or with --iso8601 with five "
                                    "fraction digits, in UTC."),
                     [=](Invocation &invocation) { return runFormat(invocation, iso); }),
             ToolCommand::make(
                     QStringLiteral("parse"), {}, {QStringLiteral("TEXT")},
                     QStringLiteral("Usage: qmf date parse TEXT\n\n"
                                    "Reads TEXT strictly as a timestamp of either format and "
                                    "prints the instant in\n"
                                    "both, or says why not and exits with status 1."),
                     runParse)});
}

void DateCommands::tourSection(QTextStream &out)
{
    out << "Timestamps in two fixed UTC formats, read strictly: the exact number of fraction\n"
           "digits, a literal Z, fields in range (qmf date parse TEXT):\n\n";
    const QString texts[] = {
            QStringLiteral("2021-03-04T05:06:07.891Z"),
            QStringLiteral("2021-03-04T05:06:07.89100Z"),
            QStringLiteral("2021-03-04T05:06:07Z"),
            QStringLiteral("2021-03-04T05:06:07.891+02:00"),
            QStringLiteral("2021-02-29T05:06:07.891Z"),
    };
    for (const QString &text : texts) {
        const QDateTime rfc3339 = RFC3339::dateWithRFC3339DateString(text);
        const QDateTime iso8601 = ISO8601::dateWithISO8601DateString(text);
        out << "    " << text.leftJustified(30) << " -> "
            << (rfc3339.isValid() ? QStringLiteral("RFC 3339, as ISO 8601 ")
                                + ISO8601::iso8601DateString(rfc3339)
                        : iso8601.isValid() ? QStringLiteral("ISO 8601, as RFC 3339 ")
                                + RFC3339::rfc3339DateString(iso8601)
                                            : QStringLiteral("not a timestamp"))
            << "\n";
    }

    const QDateTime now = RFC3339::dateWithRFC3339DateString(texts[0]);
    out << "\nDistances in words, the same before and after, measured from " << texts[0]
        << "\n(qmf date words --now " << texts[0] << " -- OFFSET):\n\n";
    const char *offsets[]
            = {"-30s", "+90s", "-44m", "+45m", "-3h", "+2d", "-45d", "+400d", "-1000d"};
    for (const char *offset : offsets) {
        const QString text = QString::fromLatin1(offset);
        out << "    " << text.leftJustified(7) << " "
            << RelativeDateString::distanceOfTimeInWords(*instant(text, now), now) << "\n";
    }
}
