#pragma once

// Kernel file locks, bounded reads and crash-safe writes, for the parts of the library that keep
// data in files of their own (keychain files, XML object stores, models, catalogs). Internal:
// not installed, exported for the Storage library and the tests.
//
// The rules these helpers carry out:
// - Locks are flock(2) locks on the data file itself. The kernel drops them when the holder's
//   descriptor closes, so a crash never leaves a lock behind, and a reader needs only read
//   access to the file, none to its directory.
// - Writers never change a file in place: they write a new file beside it and rename it over the
//   old one, so a reader sees the whole old file or the whole new one. A writer therefore holds
//   its lock on the old file; whoever waited for that lock finds that the path now names another
//   file and locks that one instead (QMFileLock::lock() does this).
// - A file is read only when it is a regular file of at most a given size, checked on the open
//   descriptor before a byte is read, so a FIFO, a device or an endless file cannot hang or
//   exhaust the reader.

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMFileStatus_p.h>

#include <QByteArray>
#include <QString>

#include <chrono>

/// Which file a path named at one moment, and how it was then: two identities differ when the
/// file was replaced (another inode) or written in place (size, modification time).
struct QMF_CORE_EXPORT QMFileIdentity
{
    quint64 device = 0;
    quint64 inode = 0;
    qint64 size = -1;
    qint64 modifiedNanoseconds = 0;

    bool isValid() const { return size >= 0; }
    friend bool operator==(const QMFileIdentity &, const QMFileIdentity &) = default;
};

/// A lock on a file, held while the object lives. Not copyable; movable.
class QMF_CORE_EXPORT QMFileLock
{
public:
    enum Mode { Shared, Exclusive };

    QMFileLock() = default;
    ~QMFileLock();
    QMFileLock(QMFileLock &&other) noexcept;
    QMFileLock &operator=(QMFileLock &&other) noexcept;
    QMFileLock(const QMFileLock &) = delete;
    QMFileLock &operator=(const QMFileLock &) = delete;

    /// Opens the regular file at `path` for reading (without blocking on a FIFO) and locks it,
    /// waiting at most `timeout` for other holders. Once locked, it checks that `path` still names
    /// the file it locked (a writer may have renamed a new file over it meanwhile) and starts over
    /// on the new file if not. Missing when nothing is at the path, NotRegular for anything but
    /// a regular file, TimedOut when the lock stayed taken, SystemError when open() failed.
    ///
    /// The kernel has no timed wait for flock(2), so the wait tries again after pauses that grow
    /// from 1 to 25 ms, as SQLite's busy handler does.
    QMFileStatus lock(const QString &path, Mode mode, std::chrono::milliseconds timeout);
    bool isLocked() const { return m_fd >= 0; }
    /// Reads the locked file whole, from its start; TooLarge when it holds more than `maxSize`
    /// bytes (its size is checked first, and the read stops one byte past the limit, in case
    /// the file grows).
    QMFileStatus readAll(qint64 maxSize, QByteArray *bytes) const;
    /// The file's size now.
    qint64 size() const;
    /// The locked file's identity now; invalid when nothing is locked.
    QMFileIdentity identity() const;
    /// Reads at most `maxSize` bytes from the start of the locked file (its head).
    QMFileStatus readHead(qint64 maxSize, QByteArray *bytes) const;
    /// Releases the lock and closes the file.
    void unlock();

private:
    int m_fd = -1;
};

namespace QMFileIO {

/// The identity of the file `path` names now (following links).
QMF_CORE_EXPORT QMFileStatus identityOf(const QString &path, QMFileIdentity *identity);

/// How writeAtomically() treats an existing file at the path.
enum class Existing { Replace, Keep };

/// Writes `bytes` to a new file in the directory of `path`, flushes it to disk, and then puts it
/// at `path` in one step: renamed over the existing file (Existing::Replace) or linked there
/// only if nothing is there yet (Existing::Keep: Exists otherwise). A process killed at any
/// point leaves either the old file or the new one at `path`, never a part; where the file
/// system supports unnamed temporary files (O_TMPFILE), it leaves no scratch file either.
/// `permissions` are the new file's mode bits; -1 keeps those of the file replaced, or gives
/// 0666 less the umask to a new file. `written`, when given, receives the new file's identity,
/// taken before it is put in place (so that it is this file's even when another writer
/// replaces it at once).
QMF_CORE_EXPORT QMFileStatus writeAtomically(const QString &path, const QByteArray &bytes,
                                             int permissions, Existing existing,
                                             QMFileIdentity *written = nullptr);

} // namespace QMFileIO
