// Compares the version texts found in arbitrary input and checks that the comparison is an
// order a sort can rely on, whatever the texts hold:
//  - reflexive (compare(a, a) == 0) and antisymmetric (compare(a, b) == -compare(b, a));
//  - transitive: a <= b and b <= c give a <= c, for every triple of the input's texts;
//  - the same as the rules applied to splitVersionString()'s parts, and the is...Version()
//    tests agree with compareVersion();
//  - splitting loses nothing: the parts join to the text, none is empty, every period stands
//    alone and neighbouring parts of the same class are always split by a period.
//
// The first byte chooses how the rest becomes text: even reads UTF-8, odd reads raw UTF-16 code
// units (lone surrogates and digits of every script included). Texts are separated by line
// feeds; at most 12 are compared.

#include <QMFoundation/text/QMVersionStringComparator.h>

#include "VersionReference.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using Comparator = QMVersionStringComparator;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void checkSplit(const QString &version)
{
    const QStringList parts = Comparator::splitVersionString(version);
    require(parts.join(QString()) == version);
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const QString &part = parts.at(i);
        require(!part.isEmpty());
        const qint32 type = Comparator::typeOfCharacter(part);
        for (QChar unit : part)
            require(Comparator::typeOfCharacter(QString(unit)) == type);
        if (type == 2)
            require(part.size() == 1);
        if (i > 0 && type != 2)
            require(Comparator::typeOfCharacter(parts.at(i - 1)) != type);
    }
}

QStringList texts(const uint8_t *data, size_t size)
{
    if (size == 0)
        return {};
    QString all;
    if (data[0] % 2 == 0) {
        all = QString::fromUtf8(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    } else {
        all = QString(qsizetype((size - 1) / 2), Qt::Uninitialized);
        if (!all.isEmpty())
            std::memcpy(all.data(), data + 1, size_t(all.size()) * sizeof(char16_t));
    }
    return all.split(QLatin1Char('\n')).mid(0, 12);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList versions = texts(data, size);
    const qsizetype n = versions.size();
    QList<qint64> order(n * n);
    for (qsizetype i = 0; i < n; ++i) {
        checkSplit(versions.at(i));
        for (qsizetype j = 0; j < n; ++j) {
            const QString &a = versions.at(i);
            const QString &b = versions.at(j);
            const qint64 result = Comparator::compareVersion(a, b);
            require(result >= -1 && result <= 1);
            require(result == VersionReference::referenceCompare(a, b));
            require(Comparator::isLessThanVersion(a, b) == (result == -1));
            require(Comparator::isGreaterThanOrEqualToVersion(a, b) == (result >= 0));
            require(Comparator::isGreaterThanVersion(a, b) == (result == 1));
            require(Comparator::isLessThanOrEqualToVersion(a, b) == (result <= 0));
            order[i * n + j] = result;
        }
        require(order[i * n + i] == 0);
    }
    for (qsizetype i = 0; i < n; ++i) {
        for (qsizetype j = 0; j < n; ++j) {
            require(order[i * n + j] == -order[j * n + i]);
            for (qsizetype k = 0; k < n; ++k) {
                if (order[i * n + j] <= 0 && order[j * n + k] <= 0)
                    require(order[i * n + k] <= 0);
            }
        }
    }
    return 0;
}
