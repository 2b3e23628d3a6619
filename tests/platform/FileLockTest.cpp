// Kernel file locks, bounded reads and atomic writes: the ground the file-backed stores stand on.

#include "QMFoundation/platform/QMFileLock_p.h"
#include "support/Unprivileged.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <csignal>
#include <limits>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

// How many descriptors of this process have the file at `path` open.
int descriptorsOf(const QString &path)
{
    int n = 0;
    const QDir fds(u"/proc/self/fd"_s);
    for (const QString &fd :
         fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[4096];
        const ssize_t size = ::readlink(QFile::encodeName(fds.filePath(fd)).constData(), target,
                                        sizeof target);
        n += size > 0 && QFile::decodeName(QByteArray(target, size)) == path ? 1 : 0;
    }
    return n;
}

} // namespace

TEST(FileLockTest, readsOnlyRegularFilesWithinTheLimit)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(u"data"_s);
    ASSERT_TRUE(writeFile(file, QByteArray(100, 'x')));
    const QString fifo = dir.filePath(u"fifo"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString link = dir.filePath(u"link"_s);
    ASSERT_TRUE(QFile::link(file, link));

    struct Row
    {
        const char *name;
        QString path;
        qint64 limit;
        QMFileStatus::Kind expected;
        qsizetype size;
    };
    const Row rows[] = {
            // Regular files up to the limit, also through a link.
            {"within the limit", file, 1000, QMFileStatus::Ok, 100},
            {"exactly the limit", file, 100, QMFileStatus::Ok, 100},
            {"through a link", link, 100, QMFileStatus::Ok, 100},
            // One byte over, and what is not a regular file at all: a FIFO must not block the
            // open, /dev/zero must not be read until memory runs out.
            {"one byte over", file, 99, QMFileStatus::TooLarge, 0},
            {"a FIFO", fifo, 1000, QMFileStatus::NotRegular, 0},
            {"an endless device", u"/dev/zero"_s, 1000, QMFileStatus::NotRegular, 0},
            {"a directory", dir.path(), 1000, QMFileStatus::NotRegular, 0},
            {"nothing", dir.filePath(u"missing"_s), 1000, QMFileStatus::Missing, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QByteArray bytes;
        const QMFileStatus status = QMFileIO::readRegularFile(row.path, row.limit, &bytes);
        EXPECT_EQ(status.kind, row.expected);
        EXPECT_EQ(bytes.size(), row.size);

        QMFileLock lock;
        const QMFileStatus locked = lock.lock(row.path, QMFileLock::Shared, 100ms);
        if (row.expected == QMFileStatus::TooLarge) {
            ASSERT_TRUE(locked.ok());
            EXPECT_EQ(lock.readAll(row.limit, &bytes).kind, QMFileStatus::TooLarge);
        } else {
            EXPECT_EQ(locked.kind, row.expected);
        }
    }
    EXPECT_EQ(QMFileStatus {QMFileStatus::TooLarge}.reason(64 * 1024 * 1024),
              u"it is larger than 64 MiB"_s);
}

TEST(FileLockTest, sharedLocksMeetExclusiveOnesAcrossDescriptions)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"data"_s);
    ASSERT_TRUE(writeFile(file, "a"));

    QMFileLock reader1, reader2, writer;
    ASSERT_TRUE(reader1.lock(file, QMFileLock::Shared, 0ms).ok());
    ASSERT_TRUE(reader2.lock(file, QMFileLock::Shared, 0ms).ok());
    EXPECT_EQ(writer.lock(file, QMFileLock::Exclusive, 30ms).kind, QMFileStatus::TimedOut);
    reader1.unlock();
    reader2.unlock();
    ASSERT_TRUE(writer.lock(file, QMFileLock::Exclusive, 0ms).ok());
    EXPECT_EQ(reader1.lock(file, QMFileLock::Shared, 30ms).kind, QMFileStatus::TimedOut);
    // Moved, the lock stays held.
    QMFileLock moved = std::move(writer);
    EXPECT_FALSE(writer.isLocked());
    EXPECT_EQ(reader1.lock(file, QMFileLock::Shared, 0ms).kind, QMFileStatus::TimedOut);
    moved.unlock();
    EXPECT_TRUE(reader1.lock(file, QMFileLock::Shared, 0ms).ok());
}

// A time-out longer than the clock can count (a caller's "wait for ever") waits for the holder
// rather than overflowing into a deadline in the past and giving up at once. The waiter is
// given a moment to start waiting before the holder lets go; however long that moment turns
// out to be, only a waiter that gave up can see TimedOut.
TEST(FileLockTest, aTimeoutTooLongForTheClockWaitsForTheHolder)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"data"_s);
    ASSERT_TRUE(writeFile(file, "a"));
    const std::chrono::milliseconds timeouts[] = {
            std::chrono::milliseconds::max(),
            std::chrono::milliseconds(std::numeric_limits<qint64>::max() / 1000),
            std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::hours(24 * 365 * 400)),
    };
    for (const std::chrono::milliseconds timeout : timeouts) {
        SCOPED_TRACE(timeout.count());
        QMFileLock holder;
        ASSERT_TRUE(holder.lock(file, QMFileLock::Exclusive, 0ms).ok());
        QMFileStatus waited {QMFileStatus::SystemError, 0};
        std::thread waiter([&] {
            QMFileLock lock;
            waited = lock.lock(file, QMFileLock::Shared, timeout);
        });
        std::this_thread::sleep_for(30ms);
        holder.unlock();
        waiter.join();
        EXPECT_TRUE(waited.ok()) << int(waited.kind);
    }
}

TEST(FileLockTest, aKilledHolderLeavesNoLockBehind)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"data"_s);
    ASSERT_TRUE(writeFile(file, "a"));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY);
        ::flock(fd, LOCK_EX);
        ::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    char x = 0;
    ASSERT_EQ(::read(ready[0], &x, 1), 1);
    QMFileLock lock;
    EXPECT_EQ(lock.lock(file, QMFileLock::Shared, 20ms).kind, QMFileStatus::TimedOut);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(lock.lock(file, QMFileLock::Exclusive, 0ms).ok());
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(FileLockTest, aWaiterLocksTheFileAWriterPutInPlace)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"data"_s);
    ASSERT_TRUE(writeFile(file, "old"));
    QMFileLock writer;
    ASSERT_TRUE(writer.lock(file, QMFileLock::Exclusive, 0ms).ok());

    QByteArray seen;
    QMFileStatus status;
    std::thread waiter([&] {
        QMFileLock lock;
        status = lock.lock(file, QMFileLock::Exclusive, 10s);
        if (status.ok())
            status = lock.readAll(100, &seen);
    });
    // Once the waiter holds the old file open (it then waits for its lock), the writer replaces
    // the file and lets go of the old one.
    while (descriptorsOf(file) < 2)
        std::this_thread::yield();
    ASSERT_TRUE(QMFileIO::writeAtomically(file, "new", -1, QMFileIO::Existing::Replace).ok());
    writer.unlock();
    waiter.join();
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(seen, "new");
}

TEST(FileLockTest, atomicWritesReplaceOrKeepAndLeaveNothingElse)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"data"_s);
    const QByteArray path = QFile::encodeName(file);

    // A new file, with the caller's mode.
    ASSERT_TRUE(QMFileIO::writeAtomically(file, "one", 0600, QMFileIO::Existing::Keep).ok());
    struct stat info
    { };
    ASSERT_EQ(::stat(path.constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    // Keep: an existing file stays as it is.
    EXPECT_EQ(QMFileIO::writeAtomically(file, "two", 0600, QMFileIO::Existing::Keep).kind,
              QMFileStatus::Exists);
    EXPECT_EQ(contents(file), "one");
    // Replace without a mode keeps the replaced file's mode.
    ASSERT_EQ(::chmod(path.constData(), 0640), 0);
    ASSERT_TRUE(QMFileIO::writeAtomically(file, "three", -1, QMFileIO::Existing::Replace).ok());
    ASSERT_EQ(::stat(path.constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(contents(file), "three");
    // Through a link, the file it names is replaced and the link stays.
    const QString link = dir.filePath(u"link"_s);
    ASSERT_TRUE(QFile::link(file, link));
    ASSERT_TRUE(QMFileIO::writeAtomically(link, "four", -1, QMFileIO::Existing::Replace).ok());
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(contents(file), "four");
    // Nothing is left beside them, and a directory in the way is refused.
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList({u"data"_s, u"link"_s}));
    EXPECT_EQ(QMFileIO::writeAtomically(dir.path(), "x", -1, QMFileIO::Existing::Replace).kind,
              QMFileStatus::NotRegular);
    const QMFileStatus missingDirectory = QMFileIO::writeAtomically(
            dir.filePath(u"no/such/file"_s), "x", -1, QMFileIO::Existing::Replace);
    EXPECT_EQ(missingDirectory.kind, QMFileStatus::Missing);
}

TEST(FileLockTest, readersNeedNoWriteAccessAndDenialsSayPermission)
{
    QTemporaryDir dir;
    // A directory and a file that "nobody" may read but not write, and a file only root reads.
    const QString shared = dir.filePath(u"shared"_s);
    ASSERT_TRUE(QDir().mkdir(shared));
    const QString readable = shared + u"/readable"_s;
    const QString secret = shared + u"/secret"_s;
    ASSERT_TRUE(writeFile(readable, "open"));
    ASSERT_TRUE(writeFile(secret, "closed"));
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(shared).constData(), 0555), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(readable).constData(), 0644), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(secret).constData(), 0600), 0);

    EXPECT_EQ(TestSupport::runAsNobody([&] {
                  QMFileLock lock;
                  QByteArray bytes;
                  if (!lock.lock(readable, QMFileLock::Shared, 100ms).ok())
                      return 1;
                  if (!lock.readAll(100, &bytes).ok() || bytes != "open")
                      return 2;
                  // Even an exclusive lock: it needs no write access either.
                  lock.unlock();
                  return lock.lock(readable, QMFileLock::Exclusive, 100ms).ok() ? 0 : 3;
              }),
              0);
    EXPECT_EQ(TestSupport::runAsNobody([&] {
                  QMFileLock lock;
                  const QMFileStatus status = lock.lock(secret, QMFileLock::Shared, 100ms);
                  return status.isPermissionDenied() && status.reason() == u"Permission denied"_s
                          ? 0
                          : 1;
              }),
              0);
    EXPECT_EQ(TestSupport::runAsNobody([&] {
                  const QMFileStatus status = QMFileIO::writeAtomically(
                          readable, "x", -1, QMFileIO::Existing::Replace);
                  return status.isPermissionDenied() ? 0 : 1;
              }),
              0);
    EXPECT_EQ(contents(readable), "open");
    ::chmod(QFile::encodeName(shared).constData(), 0755);
}
