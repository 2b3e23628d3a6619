#include "VersionCommands.h"

#include "Tour.h"

#include <QMFoundation/text/QMStringDecoding.h>
#include <QMFoundation/text/QMVersionStringComparator.h>

#include <algorithm>

namespace {

int runCompare(Invocation &invocation)
{
    const QStringList &arguments = invocation.arguments();
    if (arguments.size() != 2)
        return invocation.usageError(
                QStringLiteral("version compare needs two versions, A and B (a version that "
                               "begins with \"-\" goes after \"--\")"));
    invocation.out << QMVersionStringComparator::compareVersion(arguments.at(0), arguments.at(1))
                   << "\n";
    return 0;
}

int runSort(Invocation &invocation)
{
    const QStringList &arguments = invocation.arguments();
    if (arguments.size() > 1)
        return invocation.usageError(QStringLiteral("version sort takes at most one FILE"));
    const std::optional<QByteArray> input = invocation.readInput(arguments.value(0));
    if (!input)
        return 2;
    for (const QString &line : VersionCommands::sorted(VersionCommands::lines(*input)))
        invocation.out << line << "\n";
    return 0;
}

} // namespace

ToolCommand VersionCommands::command()
{
    return ToolCommand::make(
            QStringLiteral("version"), {}, {},
            QStringLiteral("Compare and sort version texts: version compare A B, version sort "
                           "[FILE]"),
            {},
            {ToolCommand::make(QStringLiteral("compare"), {},
                               {QStringLiteral("A"), QStringLiteral("B")},
                               QStringLiteral("Usage: qmf version compare A B\n\n"
                                              "Prints -1 when version A is lower than B, 0 when "
                                              "they are equal and 1 when A\n"
                                              "is higher. Versions that begin with \"-\" go after "
                                              "\"--\"."),
                               runCompare),
             ToolCommand::make(QStringLiteral("sort"), {}, {QStringLiteral("FILE")},
                               QStringLiteral("Usage: qmf version sort [FILE]\n\n"
                                              "Prints the lines of FILE (standard input without "
                                              "FILE or with \"-\") from the\n"
                                              "lowest to the highest version; equal versions keep "
                                              "their order."),
                               runSort)});
}

QStringList VersionCommands::lines(const QByteArray &input)
{
    const QString text = QMStringDecoding::stringUsingBestEncoding(input);
    if (text.isEmpty())
        return {};
    QStringList lines = text.split(QLatin1Char('\n'));
    if (text.endsWith(QLatin1Char('\n')))
        lines.removeLast();
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    return lines;
}

QStringList VersionCommands::sorted(QStringList lines)
{
    std::stable_sort(lines.begin(), lines.end(), &QMVersionStringComparator::isLessThanVersion);
    return lines;
}

void VersionCommands::tourSection(QTextStream &out)
{
    const QStringList versions = Tour::resourceLines(QStringLiteral("versions.txt"));
    out << "Version texts as people read them: numbers by value, letters as text, and a\n"
           "pre-release label below the release. versions.txt, sorted (qmf version sort):\n\n";
    for (const QString &version : sorted(versions))
        out << "    " << version << "\n";

    const std::pair<const char *, const char *> pairs[] = {
            {"1.10", "1.9"},     {"1.01", "1.1"}, {"2.0b3", "2.0"},
            {"2.0b3", "2.0b10"}, {"1.0.", "1.0"}, {"1.0B", "1.0b"},
    };
    out << "\nSome comparisons (qmf version compare A B):\n";
    for (const auto &[a, b] : pairs) {
        const QString left = QString::fromUtf8(a);
        const QString right = QString::fromUtf8(b);
        const qint64 order = QMVersionStringComparator::compareVersion(left, right);
        const char *relation = order < 0 ? "<" : (order > 0 ? ">" : "=");
        out << "    " << left.leftJustified(7) << relation << " " << right << "\n";
    }
}
