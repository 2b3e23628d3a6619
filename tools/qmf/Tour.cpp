#include "Tour.h"

#include "CodecCommands.h"
#include "DateCommands.h"
#include "Definition.h"
#include "ErrorCommands.h"
#include "HttpCommand.h"
#include "KeychainCommand.h"
#include "ListCommands.h"
#include "ObserveCommand.h"
#include "OptionsCheck.h"
#include "ReachCommand.h"
#include "RunCommand.h"
#include "SearchCommands.h"
#include "StoreCommand.h"
#include "SysCommands.h"
#include "TreeCommands.h"
#include "VersionCommands.h"

#include <QMFoundation/QMFoundationVersion.h>
#include <QMFoundation/errors/QMEmptiness.h>
#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/errors/QMObjectDescribing.h>
#include <QMFoundation/text/QMCounting.h>
#include <QMFoundation/text/QMInitials.h>
#include <QMFoundation/text/QMRegularExpression.h>
#include <QMFoundation/text/QMXMLEntities.h>
#include <QMFoundation/text/Titleize.h>
#include <QMFoundation/text/Trimming.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

QString Tour::resource(const QString &name)
{
    QFile file(QStringLiteral(":/tour/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QStringList Tour::resourceLines(const QString &name)
{
    QStringList lines;
    for (const QString &line : resource(name).split(QLatin1Char('\n'))) {
        if (!line.isEmpty()
            && (!line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1String("## "))))
            lines.append(line);
    }
    return lines;
}

QString Tour::valueText(const QVariant &value)
{
    const QJsonValue json = OptionsCheck::valueToJson(value);
    if (json.isNull())
        return QStringLiteral("none");
    // Wrapping in an array lets QJsonDocument quote strings and render lists for us.
    const QString text
            = QString::fromUtf8(QJsonDocument(QJsonArray {json}).toJson(QJsonDocument::Compact));
    return text.mid(1, text.size() - 2);
}

QString Tour::indented(const QString &text, const QString &indent)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = line.isEmpty() ? line : indent + line;
    return lines.join(QLatin1Char('\n'));
}

namespace {

using Tour::indented;
using Tour::resource;
using Tour::resourceLines;
using Tour::valueText;

QString optionName(const QMOptionPtr &option)
{
    return option->alias().isNull() ? QStringLiteral("-") + option->flag()
                                    : QStringLiteral("--") + option->alias();
}

QString itemText(const QMOptionParserResultItem &item)
{
    switch (item.kind()) {
    case QMOptionParserResultItem::Kind::Command:
        return QStringLiteral("command   %1").arg(item.command()->name());
    case QMOptionParserResultItem::Kind::Option:
        return QStringLiteral("option    %1").arg(optionName(item.option()));
    case QMOptionParserResultItem::Kind::OptionWithValue:
        return QStringLiteral("option    %1 = %2")
                .arg(optionName(item.option()), valueText(item.value()));
    case QMOptionParserResultItem::Kind::Argument:
        return QStringLiteral("argument  %1").arg(item.argument());
    }
    return QString();
}

void commandLineParsing(QTextStream &out)
{
    QString error;
    const std::optional<QMOptionParserPtr> loaded = Definition::parserFromJson(
            resource(QStringLiteral("archiver.json")).toUtf8(), &error);
    if (!loaded) {
        out << "The bundled archiver.json did not load: " << error << "\n";
        return;
    }
    QMOptionParser &parser = **loaded;
    out << "A parser for an imaginary archiver, loaded from archiver.json (the format that\n"
           "`qmf options check` reads). Its usage text, built from the definition:\n\n"
        << indented(parser.usage()) << "\n\n"
        << "What it makes of some command lines (hidden options and commands still work):\n";

    for (const QString &line : resourceLines(QStringLiteral("command-lines.txt"))) {
        if (line.startsWith(QLatin1String("## "))) {
            out << "\n  " << line.mid(3);
            continue;
        }
        out << "\n  $ " << line << "\n";
        QMError parseError;
        const std::optional<QMOptionParserResultList> items = parser.parseString(line, &parseError);
        if (!items) {
            out << "    error " << parseError.code() << ": "
                << parseError.localizedDescription().replace(QLatin1Char('\n'),
                                                             QStringLiteral("\n    "))
                << "\n";
            continue;
        }
        const QString help = parser.help();
        if (!help.isNull()) {
            out << "    help:\n" << indented(help, QStringLiteral("      ")) << "\n";
            continue;
        }
        for (const QMOptionParserResultItem &item : *items)
            out << "    " << itemText(item) << "\n";
    }
}

void textHelpers(QTextStream &out)
{
    out << "Initials of names (the part before a comma; first and last word):\n";
    for (const QString &name : resourceLines(QStringLiteral("names.txt"))) {
        const QString initials = QMInitials::initials(name);
        out << "    " << name.leftJustified(24) << " -> "
            << (initials.isNull() ? QStringLiteral("none") : initials) << "\n";
    }
    out << "\nTitles from identifiers:\n";
    for (const QString &identifier : resourceLines(QStringLiteral("identifiers.txt")))
        out << "    " << identifier.leftJustified(24) << " -> " << Titleize::titleize(identifier)
            << "\n";

    const QString path
            = QStringLiteral("/home/anna/Documents/Projects/2026/Quarterly Report (final).pdf");
    out << "\nA long path shortened in the middle for a narrow label (at most 30 -> 33 "
           "characters):\n"
        << "    " << Trimming::trimInTheMiddleWithMaxLength(path, 30) << "\n";

    const QString feed = resource(QStringLiteral("feed.xml"));
    out << "\nfeed.xml has " << QMCounting::lineCount(feed)
        << " lines. Its texts, unescaped; references that name\n"
        << "no character are kept as they are:\n";
    const QRegularExpression element(QStringLiteral("<(\\w+)>([^<]*)</\\1>"));
    for (auto it = element.globalMatch(feed); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        out << "    " << match.captured(1).leftJustified(8) << " "
            << QMXMLEntities::stringByUnescapingXMLEntities(match.captured(2)) << "\n";
    }
    const QString title = QStringLiteral("Fish & Chips <\"special\">");
    out << "And escaped again: " << QMXMLEntities::stringByEscapingXMLEntities(title) << "\n";

    const std::optional<QVariantList> parts
            = QMRegularExpression::componentsMatchedByRegularExpression(
                    QStringLiteral("timeout=30"),
                    QRegularExpression(QStringLiteral("(\\w+)=(\\w+)(;.*)?")));
    out << "\nThe groups of (\\w+)=(\\w+)(;.*)? in \"timeout=30\" (the unmatched group is the null "
           "marker):\n"
        << indented(QMObjectDescribing::prettyDescriptionForObject(parts ? QVariant(*parts)
                                                                         : QVariant()))
        << "\n";
}

void emptinessAndEquality(QTextStream &out)
{
    out << "Absent and empty are different things, and these functions say so:\n"
        << "    QMEqualStrings(QString(), QString(\"\"))  -> "
        << QMStringFromBOOL(QMEqualStrings(QString(), QStringLiteral("")))
        << "  (Qt's own == says YES)\n"
        << "    QMEqualStrings(QString(), QString())    -> "
        << QMStringFromBOOL(QMEqualStrings(QString(), QString())) << "\n"
        << "    QMStringIsEmptyOrWhiteSpaces(\" \\n\\t\")   -> "
        << QMStringFromBOOL(QMStringIsEmptyOrWhiteSpaces(QStringLiteral(" \n\t"))) << "\n"
        << "    QMIsEmpty(QVariantList())               -> "
        << QMStringFromBOOL(QMIsEmpty(QVariantList())) << "\n"
        << "    QMIsEmpty(QJsonObject())                -> "
        << QMStringFromBOOL(QMIsEmpty(QVariant(QJsonObject()))) << "\n"
        << "    QMIsEmpty(0)                            -> "
        << QMStringFromBOOL(QMIsEmpty(QVariant(0))) << "\n"
        << "Values of different kinds are never equal; numbers compare by value:\n"
        << "    QMEqualValues(1, \"1\")                   -> "
        << QMStringFromBOOL(QMEqualValues(QVariant(1), QVariant(QStringLiteral("1"))))
        << "  (QVariant's == says YES)\n"
        << "    QMEqualValues(1, 1.0)                   -> "
        << QMStringFromBOOL(QMEqualValues(QVariant(1), QVariant(1.0))) << "\n"
        << "    QMEqualValues(QJsonArray{1, \"a\"}, QVariantList{1, \"a\"}) -> "
        << QMStringFromBOOL(QMEqualValues(QVariant(QJsonArray {1, QStringLiteral("a")}),
                                          QVariant(QVariantList {1, QStringLiteral("a")})))
        << "\n";
}

} // namespace

// The tour's data is compiled into the qmf_tool static library; a static library's resources
// are registered only when asked for by name.
static void initTourResources()
{
    Q_INIT_RESOURCE(data);
}

void Tour::run(QTextStream &out)
{
    initTourResources();

    // The sections in the order shown; a new area of the library adds its own here.
    const struct
    {
        const char *title;
        void (*show)(QTextStream &);
    } sections[] = {
            {"Command-line parsing", commandLineParsing},
            {"Text helpers", textHelpers},
            {"Emptiness and equality", emptinessAndEquality},
            {"Fuzzy matching", SearchCommands::tourSection},
            {"Version strings", VersionCommands::tourSection},
            {"Base64 and digests", CodecCommands::tour},
            {"List diffing", ListCommands::tourSection},
            {"Running commands", RunCommand::tourSection},
            {"Dates", DateCommands::tourSection},
            {"Error catalogs", ErrorCommands::tourSection},
            {"Trees", TreeCommands::tourSection},
            {"REST client", HttpCommand::tourSection},
            {"Key-value observation", ObserveCommand::tourSection},
            {"Files and the system", SysCommands::tourSection},
            {"Credential store", KeychainCommand::tourSection},
            {"Network reachability", ReachCommand::tourSection},
            {"Object store", StoreCommand::tourSection},
    };

    out << "QMFoundation " << QStringLiteral(QMFOUNDATION_VERSION_STRING)
        << ": a tour of what the library does\n";
    int number = 0;
    for (const auto &section : sections) {
        const QString title = QStringLiteral("%1. %2").arg(QString::number(++number),
                                                           QString::fromUtf8(section.title));
        out << "\n" << title << "\n" << QString(title.size(), QLatin1Char('=')) << "\n\n";
        section.show(out);
    }
    out << "\nTry your own command-line design: qmf options check SPEC.json ARG... (see qmf "
           "options -h)\n";
    out.flush();
}
