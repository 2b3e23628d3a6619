#include <QMFoundation/text/QMRandom.h>

#include <QRandomGenerator>

#include <limits>
#include <new>

QByteArray QMRandom::alphabet()
{
    return QByteArrayLiteral("abcdefghijklmnopqrstuvwxyz1234567890");
}

QByteArray QMRandom::randomDataWithSizeInBytes(quint64 count)
{
    if (count > quint64(std::numeric_limits<qsizetype>::max()))
        throw std::bad_alloc();
    QByteArray data(qsizetype(count), Qt::Uninitialized);
    // The system source is a system call per request; drawing in blocks keeps that cost per
    // block instead of per byte.
    constexpr qsizetype block = 256;
    quint32 values[block];
    const QByteArray characters = alphabet();
    const char *letter = characters.constData();
    const auto letters = quint32(characters.size());
    char *out = data.data();
    for (qsizetype done = 0; done < data.size();) {
        const qsizetype n = std::min(block, data.size() - done);
        QRandomGenerator::system()->fillRange(values, n);
        for (qsizetype i = 0; i < n; ++i)
            out[done + i] = letter[values[i] % letters];
        done += n;
    }
    return data;
}
