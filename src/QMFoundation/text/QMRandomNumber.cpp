#include <QMFoundation/text/QMRandomNumber.h>

#include <QRandomGenerator>

qint32 QMRandomNumber::randomNumber()
{
    return qint32(QRandomGenerator::system()->generate());
}

quint32 QMRandomNumber::randomNumberWithLimit(quint64 limit)
{
    const auto bound = quint32(limit);
    if (bound < 2)
        return 0;
    // Values below 2^32 mod bound would make the low results more likely than the others;
    // rejecting them leaves a whole number of copies of 0..bound-1. At most half of all values
    // are rejected, so the loop ends quickly.
    const quint32 threshold = quint32(-bound) % bound;
    for (;;) {
        const quint32 value = QRandomGenerator::system()->generate();
        if (value >= threshold)
            return value % bound;
    }
}
