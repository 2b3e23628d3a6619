#include "QMFoundation/errors/QMFileStatus_p.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

bool QMFileStatus::isPermissionDenied() const
{
    return kind == SystemError
            && (systemError == EACCES || systemError == EPERM || systemError == EROFS);
}

QString QMFileStatus::reason(qint64 limit) const
{
    switch (kind) {
    case Ok:
        return QString();
    case Missing:
        return u"it does not exist"_s;
    case NotRegular:
        return u"it is not a regular file"_s;
    case TooLarge:
        if (limit >= 1024 * 1024 && limit % (1024 * 1024) == 0)
            return u"it is larger than %1 MiB"_s.arg(limit / (1024 * 1024));
        return limit > 0 ? u"it is larger than %1 bytes"_s.arg(limit) : u"it is too large"_s;
    case TimedOut:
        return u"another process holds its lock"_s;
    case Exists:
        return u"something is already there"_s;
    case SystemError:
        return QString::fromLocal8Bit(std::strerror(systemError));
    }
    return QString();
}

QMFileStatus QMFileStatus::fromErrno(int error)
{
    if (error == ENOENT)
        return {Missing, error};
    return {SystemError, error};
}

int QMFileIO::openFile(const QByteArray &path, int access)
{
    int fd = -1;
    do {
        // O_NONBLOCK: opening a FIFO would otherwise wait for the other end.
        fd = ::open(path.constData(), access | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

QMFileStatus QMFileIO::readDescriptor(int fd, qint64 maxSize, QByteArray *bytes)
{
    struct stat info
    { };
    if (::fstat(fd, &info) != 0)
        return QMFileStatus::fromErrno(errno);
    if (!S_ISREG(info.st_mode))
        return {QMFileStatus::NotRegular, S_ISDIR(info.st_mode) ? EISDIR : 0};
    if (info.st_size > maxSize)
        return {QMFileStatus::TooLarge, 0};
    QByteArray data(qsizetype(info.st_size) + 1, Qt::Uninitialized);
    qint64 done = 0;
    for (;;) {
        if (done == data.size()) {
            if (done > maxSize)
                return {QMFileStatus::TooLarge, 0};
            data.resize(std::min<qint64>(maxSize + 1, std::max<qint64>(done * 2, 4096)));
        }
        const ssize_t n = ::pread(fd, data.data() + done, size_t(data.size() - done), off_t(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return QMFileStatus::fromErrno(errno);
        }
        if (n == 0)
            break;
        done += n;
    }
    if (done > maxSize)
        return {QMFileStatus::TooLarge, 0};
    data.resize(qsizetype(done));
    *bytes = std::move(data);
    return {};
}

QMFileStatus QMFileIO::readRegularFile(const QString &path, qint64 maxSize, QByteArray *bytes)
{
    const int fd = openFile(QFile::encodeName(path));
    if (fd < 0)
        return QMFileStatus::fromErrno(errno);
    const QMFileStatus status = readDescriptor(fd, maxSize, bytes);
    ::close(fd);
    return status;
}
