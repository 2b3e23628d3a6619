// `qmf diff` as a whole program (started, reading two files, writing its output to /dev/null)
// beside the library's own comparison of the same two lists in this process: the program should
// cost what its output costs, which for the changes alone is little more than the comparison
// plus reading the files.
//
// The lists are the "one percent" case of the list benchmarks (ListInputs.h): N distinct lines
// and a new version with N / 100 changes, a third each deletes, inserts and moves. Each program
// run reports its peak resident memory (the kernel's accounting of the finished child) as the
// counter peak_MiB.

#include "ListInputs.h"

#include <QMFoundation/lists/QMListComparator.h>

#include <benchmark/benchmark.h>

#include <QHash>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

struct Files
{
    std::string oldPath;
    std::string newPath;
    QStringList oldLines;
    QStringList newLines;
};

QStringList linesOf(const std::vector<std::int64_t> &numbers)
{
    QStringList lines;
    lines.reserve(qsizetype(numbers.size()));
    for (const qint64 number : numbers)
        lines.append(QString::number(number));
    return lines;
}

void writeLines(const std::string &path, const QStringList &lines)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const QString &line : lines)
        file << line.toStdString() << '\n';
}

// Written once per size into a directory that lives as long as the program.
const Files &files(qint64 n)
{
    static QTemporaryDir directory;
    static std::map<qint64, Files> made;
    auto [it, inserted] = made.try_emplace(n);
    if (inserted) {
        const ListInputs::Lists lists = ListInputs::make(ListInputs::Kind::OnePercent, n);
        Files &f = it->second;
        f.oldLines = linesOf(lists.oldList);
        f.newLines = linesOf(lists.newList);
        f.oldPath = directory.filePath(QStringLiteral("old-%1.txt").arg(n)).toStdString();
        f.newPath = directory.filePath(QStringLiteral("new-%1.txt").arg(n)).toStdString();
        writeLines(f.oldPath, f.oldLines);
        writeLines(f.newPath, f.newLines);
    }
    return it->second;
}

// Runs qmf with `arguments`, its output to /dev/null; returns its peak resident memory in MiB,
// or -1 when it could not run or failed.
double runQmf(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), QMF_TOOL_PATH);
    std::vector<char *> argv;
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return -1;
    int status = 0;
    rusage usage {};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return double(usage.ru_maxrss) / 1024.0; // KiB
}

void BM_QmfDiffProgram(benchmark::State &state, std::vector<std::string> options)
{
    const Files &input = files(state.range(0));
    std::vector<std::string> arguments {"diff"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(input.oldPath);
    arguments.push_back(input.newPath);
    double peak = 0;
    for (auto _ : state) {
        peak = runQmf(arguments);
        if (peak < 0) {
            state.SkipWithError("qmf diff failed");
            return;
        }
    }
    state.counters["peak_MiB"] = peak;
}

// The peer: the library's comparison of the same lines as text items, the lists made beforehand.
void BM_LibraryComparison(benchmark::State &state)
{
    const Files &input = files(state.range(0));
    const QMListItemList oldItems = QMTextListItem::itemsWithTexts(input.oldLines);
    QMListItemList newItems = QMTextListItem::itemsWithTexts(input.newLines);
    // Items that stay are the same instances, as the list manager arranges before comparing.
    QHash<QString, QMListItemPointer> byText;
    for (const QMListItemPointer &item : oldItems)
        byText.insert(item->identifier(), item);
    for (QMListItemPointer &item : newItems)
        item = byText.value(item->identifier(), item);
    const QMListComparator comparator;
    qint64 changes = 0;
    for (auto _ : state) {
        changes = comparator.compareList(oldItems, newItems).changes().size();
        benchmark::DoNotOptimize(changes);
    }
    state.counters["changes"] = double(changes);
}

} // namespace

BENCHMARK_CAPTURE(BM_QmfDiffProgram, changes, std::vector<std::string> {})
        ->Arg(20000)
        ->Arg(100000)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
BENCHMARK_CAPTURE(BM_QmfDiffProgram, json, std::vector<std::string> {"--json"})
        ->Arg(20000)
        ->Arg(100000)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
// With --steps the output itself grows with lines times steps (each step prints the whole list):
// 20,000 lines make about 24 MB of it.
BENCHMARK_CAPTURE(BM_QmfDiffProgram, steps, std::vector<std::string> {"--steps"})
        ->Arg(20000)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
BENCHMARK(BM_LibraryComparison)->Arg(20000)->Arg(100000)->Unit(benchmark::kMillisecond);
