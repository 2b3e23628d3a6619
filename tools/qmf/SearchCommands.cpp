#include "SearchCommands.h"

#include "Tour.h"

#include <QMFoundation/text/QMSearching.h>
#include <QMFoundation/text/QMStringRepresentations.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace {

QMOptionPtr switchOption(const char *alias, const char *explanation)
{
    return QMOption::optionWithFlag(QString(), QString::fromLatin1(alias),
                                    QString::fromLatin1(explanation), QString(), QMOptionTypeNone,
                                    false);
}

// `--limit N`: N is read as text, since the parser's numbers accept "1e3x" and "2.5".
std::optional<qsizetype> parseLimit(const QString &text)
{
    if (text.isEmpty()
        || !std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return std::nullopt;
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    // Digits alone are never out of range for the user: more lines than exist means all.
    if (!ok || value > qulonglong(std::numeric_limits<qsizetype>::max()))
        return std::numeric_limits<qsizetype>::max();
    return qsizetype(value);
}

} // namespace

QStringList SearchCommands::candidateLines(const QString &text)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    if (lines.last().isEmpty())
        lines.removeLast();
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
    }
    return lines;
}

QList<QByteArrayView> SearchCommands::candidateLines(QByteArrayView bytes)
{
    QList<QByteArrayView> lines;
    lines.reserve(bytes.count('\n') + 1);
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        const qsizetype next = end < 0 ? bytes.size() : end + 1;
        if (end < 0)
            end = bytes.size();
        QByteArrayView line = bytes.sliced(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        start = next;
    }
    return lines;
}

QList<SearchCommands::RankedLine> SearchCommands::rank(const QStringList &candidates,
                                                       const QString &query, bool caseSensitive,
                                                       bool allowsMismatch, qsizetype limit)
{
    const quint64 options
            = caseSensitive ? QMSearching::CaseSensitiveSearch : QMSearching::CaseInsensitiveSearch;
    // The best `limit` so far as a heap whose top is the worst of them: a higher score ranks
    // first, and of equal scores the earlier line.
    struct Entry
    {
        double score;
        qsizetype position;
    };
    const auto ranksBefore = [](const Entry &a, const Entry &b) {
        return a.score > b.score || (!(b.score > a.score) && a.position < b.position);
    };
    std::vector<Entry> best;
    for (qsizetype i = 0; i < candidates.size() && limit > 0; ++i) {
        const QString &candidate = candidates.at(i);
        if (!QMSearching::fuzzyMatchesString(candidate, query))
            continue;
        const Entry entry {
                QMSearching::similarityScoreForString(candidate, query, options, allowsMismatch),
                i};
        if (qsizetype(best.size()) < limit) {
            best.push_back(entry);
            std::push_heap(best.begin(), best.end(), ranksBefore);
        } else if (ranksBefore(entry, best.front())) {
            std::pop_heap(best.begin(), best.end(), ranksBefore);
            best.back() = entry;
            std::push_heap(best.begin(), best.end(), ranksBefore);
        }
    }
    std::sort(best.begin(), best.end(), ranksBefore);
    QList<RankedLine> ranking;
    ranking.reserve(qsizetype(best.size()));
    for (const Entry &entry : best)
        ranking.append({candidates.at(entry.position), entry.score, entry.position});
    return ranking;
}

QString SearchCommands::scoreText(double score)
{
    if (std::floor(score) == score && std::abs(score) < 1e15)
        return QString::number(qint64(score));
    return QMStringRepresentations::stringForDouble(score);
}

QList<ToolCommand> SearchCommands::commands()
{
    const QMOptionPtr caseSensitive = switchOption(
            "case-sensitive", "Score with case-sensitive search (the filter always ignores case)");
    const QMOptionPtr noMismatch
            = switchOption("no-mismatch", "Score 0 when a character of QUERY is not found");
    const QMOptionPtr scores = switchOption("scores", "Print each line's score and a tab first");
    const QMOptionPtr limit = QMOption::optionWithFlag(
            QString(), QStringLiteral("limit"), QStringLiteral("Print at most N lines"),
            QStringLiteral("N"), QMOptionTypeString, false);
    const QMOptionPtr ignoreCase = switchOption("ignore-case", "Compare the lower-cased texts");

    const auto fuzzy = [=](Invocation &invocation) {
        const QStringList &arguments = invocation.arguments();
        if (arguments.isEmpty() || arguments.size() > 2)
            return invocation.usageError(
                    QStringLiteral("fuzzy takes a QUERY and at most one FILE"));
        qsizetype maximumLines = std::numeric_limits<qsizetype>::max();
        if (invocation.has(limit)) {
            const QString text = invocation.value(limit).toString();
            const std::optional<qsizetype> parsed = parseLimit(text);
            if (!parsed)
                return invocation.usageError(
                        QStringLiteral("--limit needs a non-negative integer, not \"%1\"")
                                .arg(text));
            maximumLines = *parsed;
        }
        const std::optional<QByteArray> input
                = invocation.readInput(arguments.size() > 1 ? arguments.at(1) : QString());
        if (!input)
            return 2;
        const QList<RankedLine> ranking
                = rank(candidateLines(QString::fromUtf8(*input)), arguments.first(),
                       invocation.has(caseSensitive), !invocation.has(noMismatch), maximumLines);
        // Each line goes out as its bytes came in, gathered into pieces of about 64 KiB.
        const QList<QByteArrayView> lines = candidateLines(QByteArrayView(*input));
        const bool withScores = invocation.has(scores);
        QByteArray piece;
        for (const RankedLine &ranked : ranking) {
            if (withScores)
                piece += scoreText(ranked.score).toLatin1() + '\t';
            piece += lines.at(ranked.position);
            piece += '\n';
            if (piece.size() >= 64 * 1024) {
                if (!invocation.writeBytes(piece))
                    return 1; // qmf reports the output's failure
                piece.clear();
            }
        }
        invocation.writeBytes(piece);
        return 0;
    };

    const auto distance = [=](Invocation &invocation) {
        const QStringList &arguments = invocation.arguments();
        if (arguments.size() != 2)
            return invocation.usageError(QStringLiteral("distance takes two texts, A and B"));
        invocation.out << QMSearching::distanceForString(arguments.at(0), arguments.at(1),
                                                         invocation.has(ignoreCase))
                       << '\n';
        return 0;
    };

    return {
            ToolCommand::make(
                    QStringLiteral("fuzzy"), {caseSensitive, noMismatch, scores, limit},
                    {QStringLiteral("QUERY"), QStringLiteral("FILE")},
                    QStringLiteral("Rank lines holding QUERY's characters in order: fuzzy QUERY "
                                   "[FILE]"),
                    fuzzy),
            ToolCommand::make(QStringLiteral("distance"), {ignoreCase},
                              {QStringLiteral("A"), QStringLiteral("B")},
                              QStringLiteral("Print the edit distance of two texts: distance A B"),
                              distance),
    };
}

void SearchCommands::tourSection(QTextStream &out)
{
    const QStringList files = Tour::resourceLines(QStringLiteral("files.txt"));
    out << "files.txt lists " << files.size()
        << " paths. The ones that contain a query's characters in order,\n"
           "ignoring case, best first (at most five), with their scores (at most 1000: each\n"
           "skipped character costs 10, each character of the path 1):\n";
    for (const char *query : {"qmsr", "testopt", "READMD"}) {
        out << "\n  $ qmf fuzzy --scores --limit 5 " << query << " files.txt\n";
        const QList<RankedLine> ranking = rank(files, QString::fromLatin1(query), false, true);
        for (qsizetype i = 0; i < ranking.size() && i < 5; ++i)
            out << "    " << scoreText(ranking.at(i).score) << '\t' << ranking.at(i).line << '\n';
    }
    out << "\nEdit distance in UTF-16 code units, optionally ignoring case:\n"
        << "    distance(\"OptionParser.cpp\", \"optionparser.h\")              -> "
        << QMSearching::distanceForString(QStringLiteral("OptionParser.cpp"),
                                          QStringLiteral("optionparser.h"))
        << "\n    distance(\"OptionParser.cpp\", \"optionparser.h\", ignoreCase) -> "
        << QMSearching::distanceForString(QStringLiteral("OptionParser.cpp"),
                                          QStringLiteral("optionparser.h"), true)
        << "\n";
}
