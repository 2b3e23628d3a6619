#include <QMFoundation/text/QMRepetition.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <limits>

namespace QMRepetition {

QString stringByRepeatingStringNumberOfTimes(const QString &string, quint64 times)
{
    if (times == 0 || string.isEmpty())
        return QStringLiteral("");
    // QString::repeated() multiplies without an overflow check, so refuse lengths that cannot be
    // represented before asking it for the memory.
    constexpr quint64 maximumLength = quint64(std::numeric_limits<qsizetype>::max()) / 2;
    QMAssert(times <= maximumLength / quint64(string.size()),
             QStringLiteral("The repeated text would be longer than a string can hold."));
    return string.repeated(qsizetype(times));
}

} // namespace QMRepetition
