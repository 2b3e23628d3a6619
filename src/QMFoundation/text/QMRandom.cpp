#include <QMFoundation/text/QMRandom.h>

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/random.h>
#endif

namespace {

constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz1234567890";
constexpr unsigned letterCount = sizeof letters - 1;
// The bytes below it fall evenly on the letters (7 times each); the ones above are drawn again.
constexpr unsigned evenLimit = 256 - 256 % letterCount;

// Fills `size` bytes at `out` from the operating system's secure source in as few calls as it
// allows: one getrandom() per buffer (up to 32 MiB a call), not one per value.
void fillFromSystem(char *out, qsizetype size)
{
#if defined(__linux__)
    while (size > 0) {
        const ssize_t got = ::getrandom(out, size_t(size), 0);
        if (got > 0) {
            out += got;
            size -= got;
        } else if (got < 0 && errno != EINTR) {
            break; // a kernel without getrandom(): Qt's source below
        }
    }
#endif
    while (size > 0) {
        quint32 values[64];
        const qsizetype count = std::min<qsizetype>(64, (size + 3) / 4);
        QRandomGenerator::system()->fillRange(values, count);
        const qsizetype bytes = std::min<qsizetype>(size, count * 4);
        std::memcpy(out, values, size_t(bytes));
        out += bytes;
        size -= bytes;
    }
}

} // namespace

QByteArray QMRandom::alphabet()
{
    return QByteArray(letters, letterCount);
}

QByteArray QMRandom::randomDataWithSizeInBytes(quint64 count)
{
    if (count > quint64(std::numeric_limits<qsizetype>::max()))
        throw std::bad_alloc();
    QByteArray data(qsizetype(count), Qt::Uninitialized);
    char *out = data.data();
    const qsizetype size = data.size();
    // Random bytes are drawn into the result and turned into letters in place; the few that
    // would favour some letters are dropped and the rest drawn again.
    for (qsizetype done = 0; done < size;) {
        fillFromSystem(out + done, size - done);
        qsizetype kept = done;
        for (qsizetype i = done; i < size; ++i) {
            const auto byte = static_cast<unsigned char>(out[i]);
            if (byte < evenLimit)
                out[kept++] = letters[byte % letterCount];
        }
        done = kept;
    }
    return data;
}
