// Parsing a typical command line with QMOptionParser and with Qt's QCommandLineParser.
//
// Both parsers are configured once outside the timed loop with the same options (a switch,
// a string, a number and a list option, ten more switches as padding), and parse the same
// argument vector of 12 words. QCommandLineParser knows no commands, so the command word is a
// positional argument there.

#include <QMFoundation/options/QMOptionParser.h>

#include <QCommandLineParser>

#include <benchmark/benchmark.h>

namespace {

QStringList arguments()
{
    return {QStringLiteral("tool"),      QStringLiteral("-v"),       QStringLiteral("--output"),
            QStringLiteral("build/out"), QStringLiteral("-n"),       QStringLiteral("42"),
            QStringLiteral("--tags"),    QStringLiteral("a,b,c,d"),  QStringLiteral("--pad-c"),
            QStringLiteral("input.txt"), QStringLiteral("more.txt"), QStringLiteral("-v")};
}

QStringList padding()
{
    QStringList names;
    for (char c = 'a'; c < 'k'; ++c)
        names.append(QStringLiteral("pad-") + QLatin1Char(c));
    return names;
}

void BM_QMOptionParser(benchmark::State &state)
{
    QMOptionList options {QMOption::optionWithFlag(QStringLiteral("v"), QStringLiteral("verbose"),
                                                   {}, {}, QMOptionTypeNone, false),
                          QMOption::optionWithFlag(QStringLiteral("o"), QStringLiteral("output"),
                                                   {}, {}, QMOptionTypeString, false),
                          QMOption::optionWithFlag(QStringLiteral("n"), QStringLiteral("count"), {},
                                                   {}, QMOptionTypeNumber, false),
                          QMOption::optionWithFlag(QString(), QStringLiteral("tags"), {}, {},
                                                   QMOptionTypeStringList, false)};
    for (const QString &name : padding())
        options.append(QMOption::optionWithFlag(QString(), name, {}, {}, QMOptionTypeNone, false));
    QMOptionParser parser(options, {}, QStringLiteral("tool"), {});
    const QStringList args = arguments();
    for (auto _ : state) {
        auto items = parser.parseArguments(args);
        benchmark::DoNotOptimize(items);
        if (!items || items->size() != 8)
            state.SkipWithError("unexpected parse result");
    }
}
BENCHMARK(BM_QMOptionParser);

void BM_QCommandLineParser(benchmark::State &state)
{
    QCommandLineParser parser;
    parser.addOption(
            QCommandLineOption(QStringList {QStringLiteral("v"), QStringLiteral("verbose")}));
    parser.addOption(QCommandLineOption(QStringList {QStringLiteral("o"), QStringLiteral("output")},
                                        QString(), QStringLiteral("file")));
    parser.addOption(QCommandLineOption(QStringList {QStringLiteral("n"), QStringLiteral("count")},
                                        QString(), QStringLiteral("n")));
    parser.addOption(QCommandLineOption(QStringLiteral("tags"), QString(), QStringLiteral("list")));
    for (const QString &name : padding())
        parser.addOption(QCommandLineOption(name));
    const QStringList args = arguments();
    for (auto _ : state) {
        const bool ok = parser.parse(args);
        // Reading the values is part of the work the other parser's result already contains.
        QStringList tags = parser.value(QStringLiteral("tags")).split(QLatin1Char(','));
        double count = parser.value(QStringLiteral("count")).toDouble();
        benchmark::DoNotOptimize(tags);
        benchmark::DoNotOptimize(count);
        if (!ok)
            state.SkipWithError("unexpected parse result");
    }
}
BENCHMARK(BM_QCommandLineParser);

// Configuring a parser with N long options, against adding them to QCommandLineParser.
// Generated definitions (qmf options check, plugins contributing options) can be large;
// configuration must stay linear in their size.
void BM_QMOptionParserConfigure(benchmark::State &state)
{
    QMOptionList options;
    for (int64_t i = 0; i < state.range(0); ++i)
        options.append(QMOption::optionWithFlag(QString(), QStringLiteral("option-%1").arg(i), {},
                                                {}, QMOptionTypeString, false));
    for (auto _ : state) {
        QMOptionParser parser(options, {}, QStringLiteral("tool"), {});
        benchmark::DoNotOptimize(parser.usage());
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_QMOptionParserConfigure)->RangeMultiplier(8)->Range(64, 32768)->Complexity();

void BM_QCommandLineParserConfigure(benchmark::State &state)
{
    QList<QCommandLineOption> options;
    for (int64_t i = 0; i < state.range(0); ++i)
        options.append(QCommandLineOption(QStringLiteral("option-%1").arg(i), QString(),
                                          QStringLiteral("value")));
    for (auto _ : state) {
        QCommandLineParser parser;
        parser.addOptions(options);
        benchmark::DoNotOptimize(parser.helpText());
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_QCommandLineParserConfigure)->RangeMultiplier(8)->Range(64, 32768)->Complexity();

} // namespace
