#include <QMFoundation/operations/QMSeparator.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QByteArrayView>

#include <cstring>

namespace QMSeparator {

QStringList componentsSeparatedByStringSequence(const QByteArray &data,
                                                const QString &stringSequence)
{
    QMParameterAssert(!stringSequence.isNull(), "stringSequence");
    QStringList result;
    if (data.isEmpty())
        return result;
    const QByteArray separator = stringSequence.toUtf8();
    const char *bytes = data.constData();
    const qsizetype size = data.size();
    if (separator.isEmpty()) {
        // Every byte completes an (empty) match of its own, so each one is a piece.
        result.reserve(size);
        for (qsizetype i = 0; i < size; ++i)
            result.append(QString::fromUtf8(bytes + i, 1));
        return result;
    }
    // All occurrences have the same length, so the first one to end after a cut is also the
    // leftmost one to start there: searching forward from each cut finds exactly the matches
    // that testing the tail of a growing piece after every byte would find.
    const QByteArrayView haystack(data);
    qsizetype start = 0;
    while (start < size) {
        const qsizetype found = haystack.indexOf(separator, start);
        if (found < 0)
            break;
        result.append(QString::fromUtf8(bytes + start, found - start));
        start = found + separator.size();
    }
    if (start < size)
        result.append(QString::fromUtf8(bytes + start, size - start));
    return result;
}

QList<QByteArray> componentsSeparatedByChar(const QByteArray &data, char separator)
{
    QList<QByteArray> result;
    const char *bytes = data.constData();
    const char *const end = bytes + data.size();
    while (bytes < end) {
        const auto *hit
                = static_cast<const char *>(std::memchr(bytes, separator, size_t(end - bytes)));
        const char *pieceEnd = hit ? hit : end;
        if (pieceEnd != bytes)
            result.append(QByteArray(bytes, pieceEnd - bytes));
        bytes = hit ? hit + 1 : end;
    }
    return result;
}

QList<QByteArray> componentsSeparatedByNULByte(const QByteArray &data)
{
    return componentsSeparatedByChar(data, '\0');
}

} // namespace QMSeparator
