#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

/// Splitting runs of bytes, typically a program's collected output, into lines or records.
namespace QMSeparator {

/// `data` split at every occurrence of `stringSequence` encoded as UTF-8, each piece decoded as
/// UTF-8. The bytes are scanned once from the start and cut at the leftmost occurrence, then
/// again after it, so occurrences never overlap ("aaa" split by "aa" gives "" and "a"). A
/// separator at the start gives an empty first piece and two adjacent separators an empty piece
/// between them, but a separator at the very end adds no empty last piece. Empty data gives an
/// empty list. An empty separator makes every byte a piece of its own. Bytes are compared as
/// they are: no normalisation, no case folding.
///
/// A piece that is not valid UTF-8 (a cut multi-byte character included) is decoded the way
/// QString::fromUtf8() does it: each invalid sequence becomes one U+FFFD replacement character,
/// so the number and order of the pieces never depend on their bytes being text.
///
/// Throws QMInternalInconsistencyException "Invalid parameter not satisfying: stringSequence"
/// when `stringSequence` is a null QString.
QMF_CORE_EXPORT QStringList componentsSeparatedByStringSequence(const QByteArray &data,
                                                                const QString &stringSequence);

/// `data` split at every byte equal to `separator`, as bytes. Empty pieces are dropped: leading,
/// trailing and repeated separators produce nothing, and no piece contains the separator.
QMF_CORE_EXPORT QList<QByteArray> componentsSeparatedByChar(const QByteArray &data, char separator);

/// componentsSeparatedByChar() with the byte 0, for NUL-separated records such as the output of
/// `find -print0`.
QMF_CORE_EXPORT QList<QByteArray> componentsSeparatedByNULByte(const QByteArray &data);

} // namespace QMSeparator
