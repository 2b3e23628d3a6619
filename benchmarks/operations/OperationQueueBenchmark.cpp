// The cost of running a trivial block as an operation on a queue, beside QThreadPool running the
// same lambdas: what a queue's scheduling (ordering, dependencies, completion, operation objects)
// costs over the plain pool a Qt program would otherwise use.

#include <QMFoundation/operations/QMBlockOperation.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <benchmark/benchmark.h>

#include <QThreadPool>

#include <atomic>

namespace {

constexpr int Batch = 10000;

// Each iteration hands over a batch of blocks through `submit` and waits until all have run.
template<typename Submit, typename Wait>
void runBatches(benchmark::State &state, Submit submit, Wait wait)
{
    std::atomic<qint64> ran = 0;
    const auto block = [&ran] {
        ran.fetch_add(1, std::memory_order_relaxed);
    };
    for (auto _ : state) {
        for (int i = 0; i < Batch; ++i)
            submit(block);
        wait();
    }
    if (ran.load() != qint64(state.iterations()) * Batch)
        state.SkipWithError("not every block ran");
    state.SetItemsProcessed(qint64(state.iterations()) * Batch);
}

void BM_OperationQueue(benchmark::State &state)
{
    QMOperationQueue queue;
    queue.setMaxConcurrentOperationCount(int(state.range(0)));
    runBatches(
            state,
            [&](const auto &block) {
                queue.addOperation(QMBlockOperation::blockOperationWithBlock(block));
            },
            [&] { queue.waitUntilAllOperationsAreFinished(); });
}

void BM_QThreadPool(benchmark::State &state)
{
    QThreadPool pool;
    pool.setMaxThreadCount(int(state.range(0)));
    runBatches(
            state, [&](const auto &block) { pool.start(block); }, [&] { pool.waitForDone(); });
}

} // namespace

// Width 1 (a serial queue) and the default width (QThread::idealThreadCount(), 2 here). The work
// happens on other threads, so the rates are per wall-clock second.
BENCHMARK(BM_OperationQueue)
        ->Arg(1)
        ->Arg(QThread::idealThreadCount())
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QThreadPool)
        ->Arg(1)
        ->Arg(QThread::idealThreadCount())
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
