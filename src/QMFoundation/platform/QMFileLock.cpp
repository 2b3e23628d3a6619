#include "QMFoundation/platform/QMFileLock_p.h"

#include "QMFoundation/platform/QMDeadline_p.h"

#include <QFile>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}

void closeDescriptor(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

QMFileIdentity identityFrom(const struct stat &info)
{
    return {quint64(info.st_dev), quint64(info.st_ino), qint64(info.st_size),
            qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

QByteArray scratchName(const QByteArray &path)
{
    return path + ".tmp-" + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
}

bool writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += n;
    }
    return true;
}

// The directory's entry for the new file is on disk only once the directory is synced.
void syncDirectory(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    const QByteArray directory = slash < 0 ? QByteArray(".")
            : slash == 0                   ? QByteArray("/")
                                           : path.left(slash);
    const int fd = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

QMFileLock::~QMFileLock()
{
    unlock();
}

QMFileLock::QMFileLock(QMFileLock &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{ }

QMFileLock &QMFileLock::operator=(QMFileLock &&other) noexcept
{
    if (this != &other) {
        unlock();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

QMFileStatus QMFileLock::lock(const QString &path, Mode mode, std::chrono::milliseconds timeout)
{
    unlock();
    const QByteArray name = encoded(path);
    const auto deadline = QMDeadlineAfter(timeout);
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        // Over NFS flock() becomes a byte-range lock, which takes a descriptor open for writing
        // to lock exclusively; elsewhere a read-only descriptor serves, so it is the fallback.
        int fd = mode == Exclusive ? QMFileIO::openFile(name, O_RDWR) : -1;
        if (fd < 0)
            fd = QMFileIO::openFile(name);
        if (fd < 0)
            return QMFileStatus::fromErrno(errno);
        struct stat locked
        { };
        if (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
            const int cause = errno;
            const bool regular = S_ISREG(locked.st_mode) || locked.st_mode == 0;
            closeDescriptor(fd);
            return regular && cause != 0 ? QMFileStatus::fromErrno(cause)
                                         : QMFileStatus {QMFileStatus::NotRegular, 0};
        }
        for (;;) {
            if (::flock(fd, (mode == Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
                break;
            if (errno == EINTR)
                continue;
            if (errno != EWOULDBLOCK) {
                const int cause = errno;
                closeDescriptor(fd);
                return QMFileStatus::fromErrno(cause);
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline) {
                closeDescriptor(fd);
                return {QMFileStatus::TimedOut, 0};
            }
            std::this_thread::sleep_for(
                    std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::milliseconds(25));
        }
        struct stat current
        { };
        if (::stat(name.constData(), &current) != 0) {
            const int cause = errno;
            closeDescriptor(fd);
            return QMFileStatus::fromErrno(cause);
        }
        if (sameFile(locked, current)) {
            m_fd = fd;
            return {};
        }
        // A writer put a new file at the path while we waited: lock that one.
        closeDescriptor(fd);
    }
}

QMFileStatus QMFileLock::readAll(qint64 maxSize, QByteArray *bytes) const
{
    if (m_fd < 0)
        return {QMFileStatus::SystemError, EBADF};
    return QMFileIO::readDescriptor(m_fd, maxSize, bytes);
}

qint64 QMFileLock::size() const
{
    struct stat info
    { };
    return m_fd >= 0 && ::fstat(m_fd, &info) == 0 ? qint64(info.st_size) : -1;
}

QMFileIdentity QMFileLock::identity() const
{
    struct stat info
    { };
    return m_fd >= 0 && ::fstat(m_fd, &info) == 0 ? identityFrom(info) : QMFileIdentity();
}

QMFileStatus QMFileLock::readHead(qint64 maxSize, QByteArray *bytes) const
{
    if (m_fd < 0)
        return {QMFileStatus::SystemError, EBADF};
    QByteArray data(qsizetype(maxSize), Qt::Uninitialized);
    qint64 done = 0;
    while (done < maxSize) {
        const ssize_t n = ::pread(m_fd, data.data() + done, size_t(maxSize - done), off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return QMFileStatus::fromErrno(errno);
        if (n == 0)
            break;
        done += n;
    }
    data.resize(qsizetype(done));
    *bytes = std::move(data);
    return {};
}

void QMFileLock::unlock()
{
    // Closing the only descriptor of the open file releases its flock() lock.
    closeDescriptor(std::exchange(m_fd, -1));
}

QMFileStatus QMFileIO::identityOf(const QString &path, QMFileIdentity *identity)
{
    struct stat info
    { };
    if (::stat(encoded(path).constData(), &info) != 0)
        return QMFileStatus::fromErrno(errno);
    *identity = identityFrom(info);
    return {};
}

QMFileStatus QMFileIO::writeAtomically(const QString &path, const QByteArray &bytes,
                                       int permissions, Existing existing, QMFileIdentity *written)
{
    QByteArray target = encoded(path);
    // A link is followed, so that the file it names is replaced rather than the link.
    struct stat info
    { };
    if (::lstat(target.constData(), &info) == 0 && S_ISLNK(info.st_mode)) {
        if (char *resolved = ::realpath(target.constData(), nullptr)) {
            target = resolved;
            ::free(resolved);
        }
    }
    const bool exists = ::stat(target.constData(), &info) == 0;
    if (exists && existing == Existing::Keep)
        return {QMFileStatus::Exists, 0};
    if (exists && !S_ISREG(info.st_mode))
        return {QMFileStatus::NotRegular, 0};
    mode_t mode = 0666;
    bool setMode = false;
    if (permissions >= 0) {
        mode = mode_t(permissions);
        setMode = true;
    } else if (exists) {
        mode = info.st_mode & 07777;
        setMode = true;
    }

    const qsizetype slash = target.lastIndexOf('/');
    const QByteArray directory = slash < 0 ? QByteArray(".")
            : slash == 0                   ? QByteArray("/")
                                           : target.left(slash);
    // An unnamed file first: if the process dies before it is linked in, nothing is left behind.
    // A mode of the caller's is set once the file is written, so the content stays the owner's
    // until then; a new file's default mode comes from open() itself, less the umask.
    const mode_t createMode = setMode ? 0600 : 0666;
    bool unnamed = true;
    QByteArray scratch;
    int fd = ::open(directory.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, createMode);
    if (fd < 0 && errno != EACCES && errno != EPERM && errno != EROFS && errno != ENOSPC
        && errno != EDQUOT) {
        unnamed = false;
        for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
            scratch = scratchName(target);
            fd = ::open(scratch.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, createMode);
            if (fd < 0 && errno != EEXIST)
                break;
        }
    }
    if (fd < 0)
        return QMFileStatus::fromErrno(errno);
    const auto fail = [&](int cause) {
        closeDescriptor(fd);
        if (!unnamed)
            ::unlink(scratch.constData());
        return QMFileStatus::fromErrno(cause);
    };
    if (!writeAll(fd, bytes))
        return fail(errno);
    if (setMode && ::fchmod(fd, mode) != 0)
        return fail(errno);
    if (::fsync(fd) != 0)
        return fail(errno);
    if (written) {
        struct stat writtenInfo
        { };
        if (::fstat(fd, &writtenInfo) != 0)
            return fail(errno);
        *written = identityFrom(writtenInfo);
    }
    if (unnamed) {
        // The unnamed file gets its name through /proc; without /proc, AT_EMPTY_PATH does the
        // same for a process that may (CAP_DAC_READ_SEARCH).
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
        const auto linkTo = [&](const QByteArray &name) {
            if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, name.constData(), AT_SYMLINK_FOLLOW)
                == 0)
                return true;
            return errno == ENOENT
                    && ::linkat(fd, "", AT_FDCWD, name.constData(), AT_EMPTY_PATH) == 0;
        };
        if (existing == Existing::Keep) {
            if (!linkTo(target)) {
                const int cause = errno;
                closeDescriptor(fd);
                return cause == EEXIST ? QMFileStatus {QMFileStatus::Exists, 0}
                                       : QMFileStatus::fromErrno(cause);
            }
        } else {
            scratch = scratchName(target);
            if (!linkTo(scratch))
                return fail(errno);
            unnamed = false; // from here on a named scratch file exists until the rename
            if (::rename(scratch.constData(), target.constData()) != 0)
                return fail(errno);
        }
    } else if (existing == Existing::Keep) {
        // link() refuses an existing name, where rename() would replace it.
        if (::link(scratch.constData(), target.constData()) != 0) {
            const int cause = errno;
            closeDescriptor(fd);
            ::unlink(scratch.constData());
            return cause == EEXIST ? QMFileStatus {QMFileStatus::Exists, 0}
                                   : QMFileStatus::fromErrno(cause);
        }
        ::unlink(scratch.constData());
    } else if (::rename(scratch.constData(), target.constData()) != 0) {
        return fail(errno);
    }
    closeDescriptor(fd);
    syncDirectory(target);
    return {};
}
