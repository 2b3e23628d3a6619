// The list comparison beside its step-by-step definition (the test oracle) and beside dtl, the
// C++ diff library a user would otherwise reach for (it finds an edit script, no moves).

#include "PeakMemory.h"

#include "ListDiffOracle.h"
#include "ListInputs.h"

#include <QMFoundation/lists/Comparing.h>
#include <QMFoundation/lists/QMListComparator.h>
#include <QMFoundation/lists/QMListManager.h>
#include <QMFoundation/lists/QMListModel.h>

#include <benchmark/benchmark.h>
#include <dtl/dtl.hpp>

#include <QHash>

#include <algorithm>
#include <malloc.h>
#include <map>
#include <random>
#include <vector>

namespace {

// Each iteration allocates and frees the same large arrays. By default glibc hands large freed
// blocks back to the kernel, so an iteration could pay for page faults on fresh memory, and how
// often depends on which benchmarks ran before. Keeping freed memory in the heap measures every
// library in its steady state, whatever the order.
const bool heapKeepsFreedMemory = [] {
    return mallopt(M_MMAP_THRESHOLD, 32 << 20) == 1 && mallopt(M_TRIM_THRESHOLD, 1 << 30) == 1
            && mallopt(M_TOP_PAD, 256 << 20) == 1;
}();

class Item : public QMListItem
{
public:
    explicit Item(qint64 number)
        : m_number(number)
    { }
    QString identifier() const override { return QString::number(m_number); }
    qint64 number() const { return m_number; }

private:
    qint64 m_number;
};

struct Input
{
    QMListItemList oldList;
    QMListItemList newList;
};

using ListInputs::Kind;

QMListItemList items(const std::vector<std::int64_t> &numbers)
{
    QMListItemList list;
    list.reserve(qsizetype(numbers.size()));
    for (const qint64 number : numbers)
        list.append(std::make_shared<Item>(number));
    return list;
}

// The new list holds the old list's instances for the numbers they share, as the comparator
// expects of items that stay.
Input makeInput(Kind kind, qint64 n)
{
    const ListInputs::Lists lists = ListInputs::make(kind, n);
    Input input;
    input.oldList = items(lists.oldList);
    input.newList.reserve(qsizetype(lists.newList.size()));
    for (const std::int64_t number : lists.newList)
        input.newList.append(number < n ? input.oldList[number] : std::make_shared<Item>(number));
    return input;
}

const Input &cachedInput(Kind kind, qint64 n)
{
    static std::map<std::pair<int, qint64>, Input> inputs;
    auto [it, inserted] = inputs.try_emplace({int(kind), n});
    if (inserted)
        it->second = makeInput(kind, n);
    return it->second;
}

void BM_ListComparator(benchmark::State &state, Kind kind)
{
    const PeakMemory::Scope peak(state);
    const Input &input = cachedInput(kind, state.range(0));
    const QMListComparator comparator;
    qint64 changes = 0;
    for (auto _ : state) {
        const QMListChangeset changeset = comparator.compareList(input.oldList, input.newList);
        changes = changeset.changes().size();
        benchmark::DoNotOptimize(changes);
    }
    state.counters["changes"] = double(changes);
}

// The comparison alone: removed and inserted positions and the moves, without the changeset's
// change records (the part of the work that dtl's diff does too).
void BM_ArrayComparison(benchmark::State &state, Kind kind)
{
    const PeakMemory::Scope peak(state);
    const Input &input = cachedInput(kind, state.range(0));
    qint64 moves = 0;
    for (auto _ : state) {
        Comparing::compareIndexesOfObjectsWithIndexesOfObjectsInArray(
                input.oldList, input.newList,
                [&](const QMIndexSet &, const QMIndexSet &, const QMMovePairList &moved) {
                    moves = moved.size();
                });
        benchmark::DoNotOptimize(moves);
    }
    state.counters["moves"] = double(moves);
}

void BM_StepByStepDefinition(benchmark::State &state, Kind kind)
{
    const PeakMemory::Scope peak(state);
    const Input &input = cachedInput(kind, state.range(0));
    const ListDiffOracle::Oracle<QMListItemPointer> oracle;
    qint64 moves = 0;
    for (auto _ : state) {
        const ListDiffOracle::Result result = oracle.compare(input.oldList, input.newList);
        moves = result.movedIndexes.size();
        benchmark::DoNotOptimize(moves);
    }
    state.counters["moves"] = double(moves);
}

// dtl compares sequences of values; the items' numbers stand for them.
void BM_Dtl(benchmark::State &state, Kind kind)
{
    const PeakMemory::Scope peak(state);
    const Input &input = cachedInput(kind, state.range(0));
    const auto numbers = [](const QMListItemList &list) {
        std::vector<qint64> values;
        values.reserve(size_t(list.size()));
        for (const QMListItemPointer &item : list)
            values.push_back(static_cast<const Item &>(*item).number());
        return values;
    };
    const std::vector<qint64> a = numbers(input.oldList);
    const std::vector<qint64> b = numbers(input.newList);
    qint64 distance = 0;
    for (auto _ : state) {
        dtl::Diff<qint64> diff(a, b);
        diff.compose();
        distance = diff.getEditDistance();
        benchmark::DoNotOptimize(distance);
    }
    state.counters["editDistance"] = double(distance);
}

class RecordingDelegate : public QMListManagerDelegate
{
public:
    void listManagerDidDeleteItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        steps.append({indexes.count(), list.size()});
    }
    void listManagerDidInsertItemsAtIndexPaths(const QMIndexSet &indexes,
                                               const QMListItemList &list) override
    {
        steps.append({indexes.count(), list.size()});
    }
    void listManagerDidMoveItemAtIndex(qint64 from, qint64 to, const QMListItemList &list) override
    {
        steps.append({quint64(from ^ to), list.size()});
    }
    QList<std::pair<quint64, qsizetype>> steps;
};

// The whole update: identifier matching, the comparison, and every step told to a delegate.
void BM_ListManagerUpdate(benchmark::State &state, Kind kind)
{
    const PeakMemory::Scope peak(state);
    const Input &input = cachedInput(kind, state.range(0));
    // A fetched list has fresh instances; persisting items are matched by identifier.
    QMListItemList fetched;
    for (const QMListItemPointer &item : input.newList)
        fetched.append(std::make_shared<Item>(static_cast<const Item &>(*item).number()));
    QMListManager manager;
    const auto delegate = std::make_shared<RecordingDelegate>();
    manager.setDelegate(delegate);
    for (auto _ : state) {
        delegate->steps.clear();
        const QMListItemList updated = manager.updateList(input.oldList, fetched);
        benchmark::DoNotOptimize(updated.size());
    }
    state.counters["steps"] = double(delegate->steps.size());
}

// The same update through the list model: the manager's steps become row removals, insertions
// and moves (one signal pair per range or move), with no view attached. Each iteration starts
// from the old rows; that reset is not timed.
void BM_ListModelUpdate(benchmark::State &state, Kind kind)
{
    const PeakMemory::Scope peak(state);
    const Input &input = cachedInput(kind, state.range(0));
    QMListItemList fetched;
    for (const QMListItemPointer &item : input.newList)
        fetched.append(std::make_shared<Item>(static_cast<const Item &>(*item).number()));
    QMListModel model;
    qint64 signals = 0;
    QObject::connect(&model, &QAbstractItemModel::rowsMoved, [&] { ++signals; });
    QObject::connect(&model, &QAbstractItemModel::rowsRemoved, [&] { ++signals; });
    QObject::connect(&model, &QAbstractItemModel::rowsInserted, [&] { ++signals; });
    for (auto _ : state) {
        state.PauseTiming();
        model.setItems(input.oldList);
        signals = 0;
        state.ResumeTiming();
        model.updateItems(fetched);
        benchmark::DoNotOptimize(model.rowCount());
    }
    state.counters["signals"] = double(signals);
}

} // namespace

BENCHMARK_CAPTURE(BM_ListComparator, one_percent, Kind::OnePercent)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->Arg(1000000)
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ListComparator, ten_k_deleted_ten_k_inserted, Kind::TenKDeletedTenKInserted)
        ->Arg(100000)
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ListComparator, full_shuffle, Kind::FullShuffle)
        ->Arg(10000)
        ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_ArrayComparison, one_percent, Kind::OnePercent)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->Arg(1000000)
        ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_StepByStepDefinition, one_percent, Kind::OnePercent)
        ->Arg(1000)
        ->Arg(10000)
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_StepByStepDefinition, full_shuffle, Kind::FullShuffle)
        ->Arg(1000)
        ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_Dtl, one_percent, Kind::OnePercent)
        ->Arg(1000)
        ->Arg(10000)
        ->Arg(100000)
        ->Arg(1000000)
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Dtl, ten_k_deleted_ten_k_inserted, Kind::TenKDeletedTenKInserted)
        ->Arg(100000)
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Dtl, full_shuffle, Kind::FullShuffle)
        ->Arg(10000)
        ->Unit(benchmark::kMillisecond);

BENCHMARK_CAPTURE(BM_ListManagerUpdate, one_percent, Kind::OnePercent)
        ->Arg(100000)
        ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ListModelUpdate, one_percent, Kind::OnePercent)
        ->Arg(100000)
        ->Unit(benchmark::kMillisecond);
