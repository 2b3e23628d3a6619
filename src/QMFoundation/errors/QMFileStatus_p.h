#pragma once

// What a file operation came to, and a bounded read of a regular file: the lowest layer's part of
// the library's file rules (platform/QMFileLock_p.h has the locks and the crash-safe writes), so
// that every layer reads files the same way. A file is read only when it is a regular file of at
// most a given size, checked on the open descriptor before a byte is read, so a FIFO, a device
// or an endless file cannot hang or exhaust the reader. Internal: not installed, exported for the
// Storage library and the tests.

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QByteArray>
#include <QString>

#include <fcntl.h>

/// What a file operation came to.
struct QMF_CORE_EXPORT QMFileStatus
{
    enum Kind {
        Ok,
        /// Nothing is at the path (or a writer removed it while we waited).
        Missing,
        /// Something other than a regular file is at the path (a directory, a FIFO, a device);
        /// `systemError` is EISDIR for a directory, else 0.
        NotRegular,
        /// The file is larger than the limit the caller gave.
        TooLarge,
        /// Another process held the lock until the deadline.
        TimedOut,
        /// Something is already at the path (a write that must not replace).
        Exists,
        /// The system refused; `systemError` is its errno.
        SystemError,
    };
    Kind kind = Ok;
    int systemError = 0;

    bool ok() const { return kind == Ok; }
    /// Whether the system refused for lack of permission (EACCES, EPERM) or because the file
    /// system is read-only (EROFS).
    bool isPermissionDenied() const;
    /// The reason in words, for a message after the path: "Permission denied", "it is not a
    /// regular file", "it is larger than 64 MiB" (with `limit`), "another process holds its
    /// lock", "it does not exist", "something is already there".
    QString reason(qint64 limit = 0) const;

    static QMFileStatus fromErrno(int error);
};

namespace QMFileIO {

/// Opens `path` (encoded with QFile::encodeName()) with `access` (O_RDONLY or O_RDWR), without
/// blocking on a FIFO and without becoming its controlling terminal; -1 with errno on failure.
QMF_CORE_EXPORT int openFile(const QByteArray &path, int access = O_RDONLY);

/// Reads the regular file open on `fd` whole, from its start, when it holds at most `maxSize`
/// bytes (its size is checked first, and the read stops one byte past the limit, in case the
/// file grows): NotRegular for anything but a regular file, TooLarge past the limit.
QMF_CORE_EXPORT QMFileStatus readDescriptor(int fd, qint64 maxSize, QByteArray *bytes);

/// Reads the regular file at `path` whole, when it holds at most `maxSize` bytes. Nothing is
/// read from anything but a regular file; a FIFO does not block the open.
QMF_CORE_EXPORT QMFileStatus readRegularFile(const QString &path, qint64 maxSize,
                                             QByteArray *bytes);

} // namespace QMFileIO
