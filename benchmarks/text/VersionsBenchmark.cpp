// Comparing and sorting version texts with QMVersionStringComparator, beside Qt's two ways of
// ordering versions: QVersionNumber (parsed from each text, as a caller holding texts must) and
// QCollator in numeric mode for en_US (for the C locale QCollator compares code points and
// ignores numeric mode).
//
// They do not order every text alike: QVersionNumber reads only the leading numbers ("2.0b3" is
// 2.0 with the suffix "b3" ignored) and QCollator applies the locale's collation. On the plain
// numeric versions below all three agree (each sort benchmark checks that first); the mixed
// list shows the cost with labels too.

#include <QMFoundation/text/QMVersionStringComparator.h>

#include <QCollator>
#include <QRandomGenerator>
#include <QVersionNumber>

#include <benchmark/benchmark.h>

#include <algorithm>

namespace {

QStringList numericVersions(int count)
{
    QRandomGenerator random(42);
    QStringList versions;
    for (int i = 0; i < count; ++i) {
        QStringList parts;
        const int depth = 2 + int(random.bounded(3));
        for (int k = 0; k < depth; ++k)
            parts.append(QString::number(random.bounded(k == 0 ? 5 : 40)));
        versions.append(parts.join(QLatin1Char('.')));
    }
    return versions;
}

QStringList mixedVersions(int count)
{
    const QString labels[] = {QString(), QStringLiteral("a1"), QStringLiteral("b2"),
                              QStringLiteral("rc1"), QStringLiteral("-beta")};
    QRandomGenerator random(7);
    QStringList versions = numericVersions(count);
    for (QString &version : versions)
        version += labels[random.bounded(int(std::size(labels)))];
    return versions;
}

const QString pairA = QStringLiteral("10.4.11.2");
const QString pairB = QStringLiteral("10.4.9.17");

void BM_Compare_QMVersionStringComparator(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QMVersionStringComparator::compareVersion(pairA, pairB));
}
BENCHMARK(BM_Compare_QMVersionStringComparator);

void BM_Compare_QVersionNumber(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QVersionNumber::compare(QVersionNumber::fromString(pairA),
                                                         QVersionNumber::fromString(pairB)));
}
BENCHMARK(BM_Compare_QVersionNumber);

void BM_Compare_QCollatorNumeric(benchmark::State &state)
{
    QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
    collator.setNumericMode(true);
    for (auto _ : state)
        benchmark::DoNotOptimize(collator.compare(pairA, pairB));
}
BENCHMARK(BM_Compare_QCollatorNumeric);

template<typename Less>
void sortBenchmark(benchmark::State &state, const QStringList &versions, Less less,
                   bool sameOrderExpected = true)
{
    if (sameOrderExpected) {
        QStringList ours = versions;
        QStringList theirs = versions;
        std::stable_sort(ours.begin(), ours.end(), &QMVersionStringComparator::isLessThanVersion);
        std::stable_sort(theirs.begin(), theirs.end(), less);
        if (ours != theirs)
            state.SkipWithError("the comparators order these versions differently");
    }
    for (auto _ : state) {
        QStringList copy = versions;
        std::stable_sort(copy.begin(), copy.end(), less);
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(state.iterations() * versions.size());
}

void BM_SortNumeric_QMVersionStringComparator(benchmark::State &state)
{
    sortBenchmark(state, numericVersions(int(state.range(0))),
                  &QMVersionStringComparator::isLessThanVersion);
}
BENCHMARK(BM_SortNumeric_QMVersionStringComparator)->Arg(1000);

void BM_SortNumeric_QVersionNumber(benchmark::State &state)
{
    sortBenchmark(state, numericVersions(int(state.range(0))),
                  [](const QString &a, const QString &b) {
                      return QVersionNumber::fromString(a) < QVersionNumber::fromString(b);
                  });
}
BENCHMARK(BM_SortNumeric_QVersionNumber)->Arg(1000);

void BM_SortNumeric_QCollatorNumeric(benchmark::State &state)
{
    QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
    collator.setNumericMode(true);
    sortBenchmark(state, numericVersions(int(state.range(0))), collator);
}
BENCHMARK(BM_SortNumeric_QCollatorNumeric)->Arg(1000);

void BM_SortMixed_QMVersionStringComparator(benchmark::State &state)
{
    sortBenchmark(state, mixedVersions(int(state.range(0))),
                  &QMVersionStringComparator::isLessThanVersion);
}
BENCHMARK(BM_SortMixed_QMVersionStringComparator)->Arg(1000);

void BM_SortMixed_QCollatorNumeric(benchmark::State &state)
{
    QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
    collator.setNumericMode(true);
    sortBenchmark(state, mixedVersions(int(state.range(0))), collator, false);
}
BENCHMARK(BM_SortMixed_QCollatorNumeric)->Arg(1000);

} // namespace
