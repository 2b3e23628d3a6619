// Writes the blocks of InterleavedStreams::generate() to its standard output and standard
// error, alternating: interleaved_writer SEED TOTAL.

#include "InterleavedStreams.h"

#include <cerrno>
#include <cstdlib>

#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    const auto seed = std::uint32_t(std::strtoul(argv[1], nullptr, 10));
    const auto total = std::size_t(std::strtoull(argv[2], nullptr, 10));
    int status = 0;
    InterleavedStreams::generate(seed, total,
                                 [&status](int descriptor, const char *data, std::size_t left) {
                                     while (left > 0 && status == 0) {
                                         const ssize_t written = ::write(descriptor, data, left);
                                         if (written < 0 && errno == EINTR)
                                             continue;
                                         if (written <= 0) {
                                             status = 1;
                                             break;
                                         }
                                         data += written;
                                         left -= std::size_t(written);
                                     }
                                 });
    return status;
}
