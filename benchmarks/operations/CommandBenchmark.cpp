// Streaming a program's output: QMCommandOperation, with a delegate that counts the bytes of
// each chunk, beside the plainest QProcess read loop on the same program. Each reads 512 MiB
// that `head` copies from /dev/zero. The operation also keeps everything it received, as its
// result data; the bare loop throws each chunk away, and a second bare loop keeps the bytes
// too, to tell the cost of holding 512 MiB (fresh memory, page by page) from the cost of the
// operation's threads and queues. A second operation keeps nothing (setRetainedOutputLimit(0)),
// as a host that takes the output from its delegate does.

#include "PeakMemory.h"

#include <QMFoundation/operations/QMCommandOperation.h>

#include <QProcess>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <utility>

namespace {

constexpr qint64 Total = qint64(512) * 1024 * 1024;

const QString HeadPath = QStringLiteral("/usr/bin/head");
const QStringList HeadArguments {QStringLiteral("-c"), QString::number(Total),
                                 QStringLiteral("/dev/zero")};

class CountingDelegate : public QMCommandOperationDelegate
{
public:
    // Called on the operation's serial file-handle queue only.
    void commandDidReceiveStandardOutputData(QMCommandOperation &, const QByteArray &data) override
    {
        bytes += data.size();
    }
    qint64 bytes = 0;
};

void runCommandOperation(benchmark::State &state, qsizetype retainedOutputLimit)
{
    const qint64 kept = retainedOutputLimit == QMCommandOperation::RetainAllOutput ? Total : 0;
    for (auto _ : state) {
        const auto delegate = std::make_shared<CountingDelegate>();
        const auto command
                = QMCommandOperation::commandWithLaunchPath(HeadPath, HeadArguments, delegate);
        command->setRetainedOutputLimit(retainedOutputLimit);
        command->start();
        if (delegate->bytes != Total || command->exitCode() != 0
            || command->standardOutputData()->size() != kept) {
            state.SkipWithError("the operation did not deliver every byte");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * Total);
}

void commandOperation(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    runCommandOperation(state, QMCommandOperation::RetainAllOutput);
}

void commandOperationKeepingNothing(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    runCommandOperation(state, 0);
}

// The plainest loop: start the program, take what it wrote until it has ended, give each chunk
// to `take`; `kept` is what the loop says it received.
template<typename Take, typename Kept>
void bareLoop(benchmark::State &state, Take take, Kept kept)
{
    for (auto _ : state) {
        QProcess process;
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(HeadPath, HeadArguments);
        process.waitForStarted(-1);
        // waitForReadyRead() returns false once the program has ended and its pipe is drained.
        do
            take(process.readAllStandardOutput());
        while (process.waitForReadyRead(-1));
        take(process.readAllStandardOutput());
        if (kept() != Total || process.exitCode() != 0) {
            state.SkipWithError("the read loop did not get every byte");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * Total);
}

void bareProcess(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    qint64 bytes = 0;
    bareLoop(
            state, [&](const QByteArray &chunk) { bytes += chunk.size(); },
            [&] { return std::exchange(bytes, 0); });
}

void bareProcessKeepingBytes(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    QByteArray kept;
    bareLoop(
            state,
            [&](const QByteArray &chunk) {
                // Doubling, as the operation does: append() alone would copy far more.
                if (kept.size() + chunk.size() > kept.capacity())
                    kept.reserve(std::max(2 * kept.capacity(), kept.size() + chunk.size()));
                kept.append(chunk);
            },
            [&] { return std::exchange(kept, QByteArray()).size(); });
}

} // namespace

BENCHMARK(commandOperation)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(commandOperationKeepingNothing)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(bareProcess)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(bareProcessKeepingBytes)->Unit(benchmark::kMillisecond)->UseRealTime();
