// make_diff_lists N OLD NEW: writes the two lists of the "one percent" case of the list
// benchmarks, one number a line, to the files OLD and NEW: N distinct lines, and a new version
// with N / 100 changes (a third each deletes, inserts and moves). For timing `qmf diff` as a
// whole program (scripts/measure-diff.sh).

#include "ListInputs.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

bool writeLines(const char *path, const std::vector<std::int64_t> &numbers)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    for (const std::int64_t number : numbers)
        file << number << '\n';
    file.close();
    return bool(file);
}

} // namespace

int main(int argc, char **argv)
{
    char *end = nullptr;
    const long long n = argc == 4 ? std::strtoll(argv[1], &end, 10) : 0;
    if (argc != 4 || *end != '\0' || n < 1) {
        std::fprintf(stderr, "usage: make_diff_lists N OLD NEW (N at least 1)\n");
        return 2;
    }
    const ListInputs::Lists lists = ListInputs::make(ListInputs::Kind::OnePercent, n);
    if (!writeLines(argv[2], lists.oldList) || !writeLines(argv[3], lists.newList)) {
        std::fprintf(stderr, "make_diff_lists: cannot write %s or %s\n", argv[2], argv[3]);
        return 1;
    }
    return 0;
}
