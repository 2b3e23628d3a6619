// QMSearching beside the straightforward ways of computing the same results.
//
// Edit distance: two unrelated texts of 64 and of 512 code units (26 letters, so that some
// units line up), by the full (n + 1) x (m + 1) table that defines the distance, by the same
// table kept two rows at a time, and by QMSearching::distanceForString().
//
// Ranking: 100,000 file paths, generated from a fixed seed, filtered with the fuzzy test and
// ranked by the case-insensitive similarity score (ties in input order) for each of five
// queries. The peers: the definition transcribed literally (the query split into graphemes
// on every call, each step a QString searched with QString::indexOf(Qt::CaseInsensitive)), and
// the obvious implementation (the query split once, then QStringView::indexOf() with
// Qt::CaseInsensitive on each step). Before timing, each query's ranking is checked to be the
// same for all three.

#include <QMFoundation/text/QMSearching.h>

#include "SearchingReference.h"

#include <QStringList>
#include <QTextBoundaryFinder>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

// --- Edit distance

QString randomLetters(std::mt19937_64 &random, qsizetype length)
{
    QString text;
    for (qsizetype i = 0; i < length; ++i)
        text += QChar(char16_t(u'a' + random() % 26));
    return text;
}

std::pair<QString, QString> distancePair(qsizetype length)
{
    std::mt19937_64 random {quint64(length)};
    QString a = randomLetters(random, length);
    QString b = randomLetters(random, length);
    // Different first and last units, so that no shared prefix or suffix shortens the work.
    a[0] = u'A';
    b[0] = u'B';
    a[length - 1] = u'Y';
    b[length - 1] = u'Z';
    return {a, b};
}

quint64 twoRowDistance(const QString &a, const QString &b)
{
    std::vector<quint64> previous(size_t(b.size() + 1));
    std::vector<quint64> current(previous.size());
    for (size_t j = 0; j < previous.size(); ++j)
        previous[j] = j;
    for (qsizetype i = 1; i <= a.size(); ++i) {
        current[0] = quint64(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const quint64 substitution = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, substitution});
        }
        std::swap(previous, current);
    }
    return previous.back();
}

void BM_DistanceFullTable(benchmark::State &state)
{
    const auto [a, b] = distancePair(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(SearchingReference::distance(a, b));
}
BENCHMARK(BM_DistanceFullTable)->Arg(64)->Arg(512);

void BM_DistanceTwoRows(benchmark::State &state)
{
    const auto [a, b] = distancePair(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(twoRowDistance(a, b));
}
BENCHMARK(BM_DistanceTwoRows)->Arg(64)->Arg(512);

void BM_DistanceQMSearching(benchmark::State &state)
{
    const auto [a, b] = distancePair(state.range(0));
    if (QMSearching::distanceForString(a, b) != twoRowDistance(a, b))
        state.SkipWithError("the distances differ");
    for (auto _ : state)
        benchmark::DoNotOptimize(QMSearching::distanceForString(a, b));
}
BENCHMARK(BM_DistanceQMSearching)->Arg(64)->Arg(512);

// --- Ranking

const QStringList &candidates()
{
    static const QStringList paths = [] {
        const char *const directories[]
                = {"src",     "include", "tests",    "tools",  "docs",    "lib",      "app",
                   "core",    "network", "widgets",  "utils",  "gui",     "platform", "text",
                   "options", "models",  "internal", "vendor", "scripts", "data",     "Resources"};
        const char *const words[]
                = {"Option",  "Parser",   "Search", "Index",  "Tree",     "List",   "Manager",
                   "Request", "Client",   "Cache",  "Reader", "Writer",   "Button", "View",
                   "Model",   "Delegate", "Error",  "Format", "Document", "Query",  "Session",
                   "Window",  "Thread",   "Queue",  "Timer",  "Store",    "Key",    "Value"};
        const char *const extensions[] = {".cpp", ".h", ".txt", ".md", ".json", ".qml", ".py"};
        std::mt19937_64 random(20240607);
        const auto pick = [&random](const auto &list) {
            return QString::fromLatin1(list[random() % std::size(list)]);
        };
        QStringList list;
        list.reserve(100000);
        for (int i = 0; i < 100000; ++i) {
            QString path;
            const int depth = 1 + int(random() % 4);
            for (int d = 0; d < depth; ++d)
                path += pick(directories) + u'/';
            const int parts = 1 + int(random() % 3);
            QString name = random() % 3 == 0 ? QStringLiteral("QM") : QString();
            for (int p = 0; p < parts; ++p)
                name += pick(words);
            if (random() % 4 == 0)
                name = name.toLower();
            list.append(path + name + pick(extensions));
        }
        return list;
    }();
    return paths;
}

const QStringList queries
        = {QStringLiteral("qmsearch"), QStringLiteral("srcnetreq"), QStringLiteral("TreeMan.h"),
           QStringLiteral("docread"), QStringLiteral("wdgbtnview")};

struct Ranked
{
    double score;
    int index;
};

// Highest score first, ties in input order.
void sortRanking(std::vector<Ranked> &ranking)
{
    std::stable_sort(ranking.begin(), ranking.end(),
                     [](const Ranked &a, const Ranked &b) { return a.score > b.score; });
}

std::vector<Ranked> rankLiteral(const QString &query)
{
    std::vector<Ranked> ranking;
    const QStringList &list = candidates();
    for (int i = 0; i < list.size(); ++i) {
        if (SearchingReference::fuzzyMatches(list[i], query))
            ranking.push_back(
                    {SearchingReference::similarityScore(list[i], query, 1000, 200, 1, true), i});
    }
    sortRanking(ranking);
    return ranking;
}

// What one writes first: split the query once, then QStringView::indexOf() with
// Qt::CaseInsensitive on each step.
std::vector<Ranked> rankObvious(const QString &query)
{
    const QStringList steps = SearchingReference::graphemes(query);
    std::vector<Ranked> ranking;
    const QStringList &list = candidates();
    for (int i = 0; i < list.size(); ++i) {
        const QStringView candidate = list[i];
        qsizetype previous = -1;
        bool matches = true;
        for (const QString &step : steps) {
            if (previous >= 0 && previous + 1 >= candidate.size()) {
                matches = false;
                break;
            }
            previous = candidate.indexOf(step, previous + 1, Qt::CaseInsensitive);
            if (previous < 0) {
                matches = false;
                break;
            }
        }
        if (!matches)
            continue;
        if (query.size() > candidate.size()) {
            ranking.push_back({0, i});
            continue;
        }
        previous = -1;
        quint64 gaps = 0;
        double mismatches = 0;
        bool found = false;
        for (const QString &step : steps) {
            const qsizetype position = candidate.indexOf(step, previous + 1, Qt::CaseInsensitive);
            if (position < 0) {
                mismatches += 200;
                continue;
            }
            gaps += 10 * quint64(position - previous - 1);
            previous = position;
            found = true;
        }
        const double raw = found ? 1000.0 - double(gaps) - mismatches : 0.0;
        ranking.push_back(
                {std::max(0.0, std::min(1000.0, std::max(raw, 0.0) - double(candidate.size()))),
                 i});
    }
    sortRanking(ranking);
    return ranking;
}

std::vector<Ranked> rankQMSearching(const QString &query)
{
    std::vector<Ranked> ranking;
    const QStringList &list = candidates();
    for (int i = 0; i < list.size(); ++i) {
        if (QMSearching::fuzzyMatchesString(list[i], query))
            ranking.push_back({QMSearching::similarityScoreForString(
                                       list[i], query, QMSearching::CaseInsensitiveSearch, true),
                               i});
    }
    sortRanking(ranking);
    return ranking;
}

bool sameRanking(const std::vector<Ranked> &a, const std::vector<Ranked> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Ranked &x, const Ranked &y) {
        return x.score == y.score && x.index == y.index;
    });
}

template<std::vector<Ranked> (*rank)(const QString &)>
void BM_Rank(benchmark::State &state)
{
    const QString &query = queries.at(state.range(0));
    const std::vector<Ranked> expected = rankLiteral(query);
    if (!sameRanking(rank(query), expected))
        state.SkipWithError("the rankings differ");
    for (auto _ : state)
        benchmark::DoNotOptimize(rank(query));
    state.SetLabel(QStringLiteral("\"%1\": %2 of %3 match")
                           .arg(query, QString::number(expected.size()),
                                QString::number(candidates().size()))
                           .toStdString());
}
BENCHMARK(BM_Rank<rankLiteral>)
        ->Name("BM_RankLiteral")
        ->DenseRange(0, 4)
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rank<rankObvious>)
        ->Name("BM_RankObvious")
        ->DenseRange(0, 4)
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Rank<rankQMSearching>)
        ->Name("BM_RankQMSearching")
        ->DenseRange(0, 4)
        ->Unit(benchmark::kMillisecond);

} // namespace
