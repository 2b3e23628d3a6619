// Keychain files: their life cycle, what a damaged, foreign, old or oversized file reads as,
// kernel locks, and writers in several threads and processes, also killed at random moments.
// The writer processes are this program started again (KeychainTestMain.cpp).

#include "KeychainTestSupport.h"
#include "QMFoundation/platform/QMFileLock_p.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSet>

#include <sys/stat.h>

#include <cstdio>
#include <random>
#include <thread>

using namespace std::chrono_literals;
using namespace Qt::Literals::StringLiterals;
using namespace KeychainTestSupport;
namespace Format = QMKeychainFileFormat;

namespace {

int fileMode(const QString &path)
{
    struct stat info
    { };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 0777) : -1;
}

// The records of a keychain file with the test password, read with the file format alone.
QMKeychainResult recordsOf(const QString &path, QList<QMKeychainRecord> *records)
{
    return Format::decrypt(
            contents(path),
            [](const Format::Header &header) {
                return Format::deriveKey(password.toUtf8(), header);
            },
            records);
}

QStringList accountsOf(const QList<QMKeychainRecord> &records)
{
    QStringList accounts;
    for (const QMKeychainRecord &record : records)
        accounts.append(record.attributes.value(QMKeychainAttrAccount).toString());
    return accounts;
}

// A new keychain file `name` in `dir` under quickHeader(), opened.
QMKeychain::Ptr openQuickKeychain(const QTemporaryDir &dir, const QString &name)
{
    QMError error;
    const QString path = dir.filePath(name);
    auto keychain = writeQuickKeychain(path)
            ? QMKeychain::openKeychainWithPath(path, password, &error)
            : nullptr;
    EXPECT_TRUE(keychain) << qPrintable(error.localizedFailureReason());
    return keychain;
}

// The lines a writer process printed: the accounts whose adds had returned.
QStringList reportedAccounts(QProcess &writer)
{
    QStringList accounts;
    for (const QByteArray &line : writer.readAllStandardOutput().split('\n'))
        if (!line.isEmpty())
            accounts.append(QString::fromUtf8(line));
    return accounts;
}

} // namespace

TEST(KeychainFile, PasswordsProvidersAndLifecycle)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"k.keychain"_s);
    QMError error;
    auto keychain = QMKeychain::keychainWithPath(path, u"pw"_s, &error);
    ASSERT_TRUE(keychain);
    EXPECT_EQ(keychain->path(), path);
    EXPECT_FALSE(keychain->isDefaultKeychain());
    EXPECT_EQ(fileMode(path), 0600);
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"a"_s, u"s"_s, u"p"_s, &error));
    EXPECT_EQ(fileMode(path), 0600);

    EXPECT_FALSE(QMKeychain::keychainWithPath(path, u"pw"_s, &error));
    EXPECT_EQ(statusOf(error), errSecDuplicateKeychain);
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, u"wrong"_s, &error));
    EXPECT_EQ(statusOf(error), errSecAuthFailed);

    // Without a password: the provider answers, declines, or is missing.
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, QString(), &error));
    EXPECT_EQ(statusOf(error), errSecInteractionNotAllowed);
    QString askedFor;
    QMKeychain::setPasswordProvider([&](const QString &asked) {
        askedFor = asked;
        return asked.endsWith(u"k.keychain"_s) ? u"pw"_s : QString();
    });
    auto reopened = QMKeychain::openKeychainWithPath(path, QString(), &error);
    EXPECT_EQ(askedFor, path);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(reopened->findGenericPasswordItemForAccount(u"a"_s, u"s"_s)->password(), u"p"_s);
    EXPECT_FALSE(QMKeychain::keychainWithPath(dir.filePath(u"other"_s), QString(), &error));
    EXPECT_EQ(statusOf(error), errSecUserCanceled);
    QMKeychain::setPasswordProvider(nullptr);

    ASSERT_TRUE(keychain->destroy(&error));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(reopened->findAllGenericPasswords(&error));
    EXPECT_EQ(statusOf(error), errSecNoSuchKeychain);
    EXPECT_EQ(error.userInfo().value(QMKeychainErrorPathKey), path);
    EXPECT_FALSE(keychain->destroy(&error));
    EXPECT_EQ(statusOf(error), errSecNoSuchKeychain);
    const QString orphan = dir.filePath(u"missing/k"_s);
    EXPECT_FALSE(QMKeychain::keychainWithPath(orphan, u"pw"_s, &error));
    EXPECT_EQ(statusOf(error), errSecIO);
    EXPECT_EQ(error.localizedFailureReason(),
              u"Cannot create the keychain file %1: its folder does not exist."_s.arg(orphan));
}

// Every change to a file, a cut, an addition or a foreign file reads as damage, told apart from a
// wrong password, and leaves the file as it is.
TEST(KeychainFile, DamageAndWrongPasswordsAreToldApart)
{
    QTemporaryDir dir;
    auto keychain = newFileKeychain(dir);
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"a"_s, u"s"_s, u"p"_s));
    const QString path = keychain->path();
    const QByteArray good = contents(path);
    ASSERT_EQ(good.mid(8, 2), QByteArray("\x00\x02", 2)) << "new files have format version 2";

    QMError error;
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, u"guess"_s, &error));
    EXPECT_EQ(statusOf(error), errSecAuthFailed);
    EXPECT_EQ(error.localizedFailureReason(),
              u"Cannot open the keychain file %1: the password is wrong."_s.arg(path));
    EXPECT_EQ(error.userInfo().value(QMKeychainErrorPathKey), path);

    const auto expectRefused = [&](const QByteArray &bytes, OSStatus expected,
                                   const QString &what) {
        ASSERT_TRUE(overwrite(path, bytes));
        EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, password, &error));
        EXPECT_EQ(statusOf(error), expected);
        EXPECT_EQ(error.localizedFailureReason(),
                  u"Cannot open the keychain file %1: %2."_s.arg(path, what));
        EXPECT_EQ(error.userInfo().value(QMKeychainErrorPathKey), path);
        EXPECT_FALSE(keychain->addGenericPasswordWithAccount(u"b"_s, u"s"_s, u"p"_s, &error));
        EXPECT_EQ(statusOf(error), expected);
        EXPECT_EQ(contents(path), bytes);
    };

    struct Flip
    {
        qsizetype at;
        const char *what;
    };
    const Flip flips[] = {
            // Magic and version.
            {0, "it is not a keychain file"},
            {8, "it has format version 258, which this library does not read"},
            {9, "it has format version 3, which this library does not read"},
            // Each field the header checksum covers: key derivation, a zero byte, passes, memory,
            // salt, nonce, sealed size, key check, and the checksum itself.
            {10, "its header is damaged"},
            {11, "its header is damaged"},
            {15, "its header is damaged"},
            {19, "its header is damaged"},
            {20, "its header is damaged"},
            {35, "its header is damaged"},
            {36, "its header is damaged"},
            {59, "its header is damaged"},
            {63, "its header is damaged"},
            {64, "its header is damaged"},
            {80, "its header is damaged"},
            {95, "its header is damaged"},
            // The payload and its tag: the key check passed, so this is damage.
            {96, "its content is damaged"},
            {good.size() - 1, "its content is damaged"},
    };
    for (const Flip &flip : flips) {
        SCOPED_TRACE(flip.at);
        QByteArray flipped = good;
        flipped[flip.at] = char(flipped[flip.at] ^ 0x01);
        expectRefused(flipped, errSecDecode, QString::fromUtf8(flip.what));
    }
    const std::pair<QByteArray, const char *> others[] = {
            {QByteArray(), "it is empty"},
            {good.first(5), "it is cut short"},
            {good.first(60), "it is cut short"},
            {good.first(96), "it is cut short"},
            {good.first(good.size() - 1), "it is cut short"},
            {good + "x", "it has 1 byte past its end"},
            {good + "xyz", "it has 3 bytes past its end"},
            {QByteArray(200, 'Q'), "it is not a keychain file"},
    };
    for (const auto &[bytes, what] : others) {
        SCOPED_TRACE(what);
        expectRefused(bytes, errSecDecode, QString::fromUtf8(what));
    }

    // An authentic file whose content is not an item set.
    Format::Header header;
    ASSERT_TRUE(Format::readHeader(good, &header).ok());
    const QByteArray key = Format::deriveKey(password.toUtf8(), header);
    expectRefused(Format::encrypt(header, key, {QMKeychainRecord {}}), errSecDecode,
                  u"its content is not a set of items"_s);
    // Restored, the file reads again.
    ASSERT_TRUE(overwrite(path, good));
    EXPECT_EQ(keychain->findAllGenericPasswords()->size(), 1);
}

// Files of format version 1 (written before the key check) still open; the next change writes
// version 2.
TEST(KeychainFile, ReadsVersion1AndWritesVersion2)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"old.keychain"_s);
    const QByteArray old = contents(QStringLiteral(QMF_KEYCHAIN_TEST_DATA "/version1.keychain"));
    ASSERT_EQ(old.mid(8, 2), QByteArray("\x00\x01", 2));
    QMError error;

    // Without a key check, a wrong password and a changed payload cannot be told apart; a
    // header out of range can.
    const QString eitherWay
            = u"Cannot open the keychain file %1: the password is wrong, or the "
              "file is damaged (a file of format version 1 cannot tell which)."_s.arg(path);
    ASSERT_TRUE(overwrite(path, old));
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, u"guess"_s, &error));
    EXPECT_EQ(statusOf(error), errSecAuthFailed);
    EXPECT_EQ(error.localizedFailureReason(), eitherWay);
    QByteArray changed = old;
    changed[old.size() - 1] = char(changed[old.size() - 1] ^ 0x01);
    ASSERT_TRUE(overwrite(path, changed));
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, password, &error));
    EXPECT_EQ(statusOf(error), errSecAuthFailed);
    changed = old;
    changed[12] = char(changed[12] ^ 0x01); // passes far over the limit
    ASSERT_TRUE(overwrite(path, changed));
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, password, &error));
    EXPECT_EQ(statusOf(error), errSecDecode);
    EXPECT_TRUE(error.localizedFailureReason().endsWith(u": its header is damaged."_s));

    ASSERT_TRUE(overwrite(path, old));
    auto keychain = QMKeychain::openKeychainWithPath(path, password, &error);
    ASSERT_TRUE(keychain) << qPrintable(error.localizedFailureReason());
    EXPECT_EQ(keychain->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s)->password(),
              u"s3cret"_s);
    EXPECT_EQ(keychain->findInternetPasswordForURL(QUrl(u"https://joe@example.com:8443/repo"_s))
                      ->password(),
              u"hunter2"_s);
    EXPECT_EQ(contents(path), old) << "reading never writes";

    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"ann"_s, u"mail"_s, u"new"_s, &error));
    EXPECT_EQ(contents(path).mid(8, 2), QByteArray("\x00\x02", 2));
    EXPECT_EQ(keychain->findAllGenericPasswords()->size(), 2);
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, u"guess"_s, &error));
    EXPECT_EQ(error.localizedFailureReason(),
              u"Cannot open the keychain file %1: the password is wrong."_s.arg(path));
}

// The size limit is one constant of writer and reader: a change that would cross it is refused
// before anything is written, and a larger file is refused before it is read.
TEST(KeychainFile, NeverWritesAFileItWouldNotRead)
{
    QTemporaryDir dir;
    const auto keychain = openQuickKeychain(dir, u"big.keychain"_s);
    ASSERT_TRUE(keychain);
    const QString path = keychain->path();
    QMError error;
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"a"_s, u"s"_s, u"p"_s, &error));
    const QByteArray before = contents(path);
    const QString tooLarge(Format::MaximumFileSize, u'x');

    EXPECT_FALSE(keychain->addGenericPasswordWithAccount(u"b"_s, u"s"_s, tooLarge, &error));
    EXPECT_EQ(statusOf(error), errSecDataTooLarge);
    EXPECT_TRUE(error.localizedFailureReason().startsWith(
            u"The keychain file %1 would hold "_s.arg(path)))
            << qPrintable(error.localizedFailureReason());
    EXPECT_TRUE(error.localizedFailureReason().endsWith(
            u"bytes, more than a keychain file may hold (64 MiB); it was left as it was."_s));
    EXPECT_EQ(contents(path), before);
    EXPECT_EQ(keychain->findAllGenericPasswords()->size(), 1);

    // The reader takes a file of exactly the limit (this one then fails as no item set) and
    // refuses one byte more, as too large rather than as a wrong password.
    Format::Header header;
    ASSERT_TRUE(Format::readHeader(before, &header).ok());
    const QByteArray key = Format::deriveKey(password.toUtf8(), header);
    const QByteArray atTheLimit = Format::seal(
            header, key, QByteArray(Format::MaximumFileSize - Format::sealedFileSize(0), '\0'));
    ASSERT_EQ(atTheLimit.size(), Format::MaximumFileSize);
    ASSERT_TRUE(overwrite(path, atTheLimit));
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, password, &error));
    EXPECT_EQ(statusOf(error), errSecDecode);
    ASSERT_TRUE(QFile::resize(path, Format::MaximumFileSize + 1));
    EXPECT_FALSE(QMKeychain::openKeychainWithPath(path, password, &error));
    EXPECT_EQ(statusOf(error), errSecDataTooLarge);
    EXPECT_EQ(error.localizedFailureReason(),
              u"Cannot read the keychain file %1: it is larger than 64 MiB."_s.arg(path));
}

// Kernel locks: a holder keeps the others waiting up to the time-out, and a lock file that an
// earlier version of the library left beside the file holds nothing up.
TEST(KeychainFile, LocksWaitForHoldersAndOldLockFilesAreIgnored)
{
    QTemporaryDir dir;
    const auto keychain = openQuickKeychain(dir, u"k.keychain"_s);
    ASSERT_TRUE(keychain);
    const QString path = keychain->path();
    const TimeoutScope noWait(0ms);
    QMError error;

    // An empty one from a writer killed right after making it, and one naming a process.
    for (const QByteArray &lockFile : {QByteArray(), QByteArray("4242\nhost\nqmf\n")}) {
        SCOPED_TRACE(lockFile.toStdString());
        ASSERT_TRUE(overwrite(path + u".lock"_s, lockFile));
        EXPECT_TRUE(keychain->addGenericPasswordWithAccount(
                u"after-"_s + QString::number(lockFile.size()), u"s"_s, u"p"_s, &error))
                << qPrintable(error.localizedFailureReason());
    }

    // Another open file description stands in for another process.
    const TimeoutScope shortWait(50ms);
    const QString waited = u"Cannot change the keychain file %1: another process holds its lock "
                           "(waited 50 ms)."_s;
    {
        QMFileLock reader;
        ASSERT_TRUE(reader.lock(path, QMFileLock::Shared, 0ms).ok());
        EXPECT_TRUE(keychain->findAllGenericPasswords(&error)) << "readers share the file";
        EXPECT_FALSE(keychain->addGenericPasswordWithAccount(u"x"_s, u"s"_s, u"p"_s, &error));
        EXPECT_EQ(statusOf(error), errSecIO);
        EXPECT_EQ(error.localizedFailureReason(), waited.arg(path));
    }
    {
        QMFileLock writer;
        ASSERT_TRUE(writer.lock(path, QMFileLock::Exclusive, 0ms).ok());
        EXPECT_FALSE(keychain->findAllGenericPasswords(&error));
        EXPECT_EQ(statusOf(error), errSecIO);
    }
    EXPECT_TRUE(keychain->addGenericPasswordWithAccount(u"x"_s, u"s"_s, u"p"_s, &error));
    EXPECT_EQ(keychain->findAllGenericPasswords()->size(), 3);
}

// Threads of one process that open the same file take turns; nothing is lost.
TEST(KeychainFile, ThreadsShareAFile)
{
    QTemporaryDir dir;
    const QString path = newFileKeychain(dir)->path();
    std::atomic<int> failures = 0;
    const auto writer = [&](const QString &prefix) {
        auto keychain = QMKeychain::openKeychainWithPath(path, password);
        for (int i = 0; keychain && i < 5; ++i)
            if (!keychain->addGenericPasswordWithAccount(prefix + QString::number(i), u"s"_s,
                                                         u"p"_s))
                ++failures;
        if (!keychain)
            ++failures;
    };
    std::thread first(writer, u"first"_s), second(writer, u"second"_s);
    first.join();
    second.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(QMKeychain::openKeychainWithPath(path, password)->findAllGenericPasswords()->size(),
              10);
}

// Two processes add to one file at once: every add that reported success is in the file.
TEST(KeychainFile, ConcurrentProcessesLoseNoReportedAdd)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"shared.keychain"_s);
    ASSERT_TRUE(writeQuickKeychain(path));
    constexpr int perWriter = 25;
    QProcess writers[2];
    for (int i = 0; i < 2; ++i)
        writers[i].start(
                QCoreApplication::applicationFilePath(),
                {u"--add-items"_s, path, u"writer%1-"_s.arg(i), QString::number(perWriter)});
    QStringList reported;
    for (QProcess &writer : writers) {
        ASSERT_TRUE(writer.waitForFinished(120000));
        EXPECT_EQ(writer.exitCode(), 0) << writer.readAllStandardError().toStdString();
        reported += reportedAccounts(writer);
    }
    EXPECT_EQ(reported.size(), 2 * perWriter);
    QList<QMKeychainRecord> records;
    ASSERT_TRUE(recordsOf(path, &records).ok());
    const QStringList stored = accountsOf(records);
    EXPECT_EQ(QSet<QString>(stored.cbegin(), stored.cend()),
              QSet<QString>(reported.cbegin(), reported.cend()));
    EXPECT_EQ(stored.size(), reported.size());
}

// Writers killed with SIGKILL at random moments, QMF_CRASH_KILLS times (30 unless set;
// scripts/crash-test.sh runs more): after each kill the file opens at once with its password and
// holds every add that was reported and only whole items, and no lock is left to wait for.
TEST(KeychainFileCrash, KilledWritersLeaveAWholeFileAndNoLock)
{
    const int kills = qEnvironmentVariableIsSet("QMF_CRASH_KILLS")
            ? qEnvironmentVariableIntValue("QMF_CRASH_KILLS")
            : 30;
    QTemporaryDir dir;
    const QString path = dir.filePath(u"crash.keychain"_s);
    ASSERT_TRUE(writeQuickKeychain(path));
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    // Nothing may be left to wait for after a kill.
    const TimeoutScope noWait(0ms);

    QStringList reported;
    int storedBeyondReported = 0;
    for (int round = 0; round < kills; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const QString prefix = u"r%1-"_s.arg(round);
        QProcess writer;
        writer.start(QCoreApplication::applicationFilePath(),
                     {u"--add-items"_s, path, prefix, u"1000000"_s});
        // Once the writer has reported its first add, the kill falls at a random point of the
        // ones after it: opening, reading, encrypting, writing, renaming.
        ASSERT_TRUE(writer.waitForReadyRead(30000)) << writer.readAllStandardError().toStdString();
        const QDeadlineTimer moment(std::uniform_int_distribution<int>(0, 20)(random));
        while (!moment.hasExpired() && writer.state() == QProcess::Running)
            writer.waitForReadyRead(int(moment.remainingTime()));
        writer.kill();
        ASSERT_TRUE(writer.waitForFinished(30000));
        ASSERT_EQ(writer.exitStatus(), QProcess::CrashExit)
                << writer.readAllStandardError().toStdString();
        // A last line cut off by the kill is no report.
        QByteArray output = writer.readAllStandardOutput();
        output.truncate(output.lastIndexOf('\n') + 1);
        QStringList thisRound;
        for (const QByteArray &line : output.split('\n'))
            if (!line.isEmpty())
                thisRound.append(QString::fromUtf8(line));
        reported += thisRound;

        QMError error;
        ASSERT_TRUE(QMKeychain::openKeychainWithPath(path, password, &error))
                << qPrintable(error.localizedFailureReason());
        QMFileLock lock;
        EXPECT_TRUE(lock.lock(path, QMFileLock::Exclusive, 0ms).ok());
        lock.unlock();
        QList<QMKeychainRecord> records;
        const QMKeychainResult read = recordsOf(path, &records);
        ASSERT_TRUE(read.ok()) << qPrintable(read.reason);
        for (const QMKeychainRecord &record : std::as_const(records)) {
            const QString account = record.attributes.value(QMKeychainAttrAccount).toString();
            EXPECT_EQ(record.secret, u"secret-"_s.toUtf8() + account.toUtf8());
            EXPECT_EQ(record.attributes.value(QMKeychainAttrService), u"s"_s);
        }
        // This round's items are its adds in order: the reported ones, and perhaps one more
        // that was written before the kill came between it and its report.
        QStringList stored = accountsOf(records);
        stored.removeIf([&](const QString &account) { return !account.startsWith(prefix); });
        ASSERT_GE(stored.size(), thisRound.size());
        ASSERT_LE(stored.size(), thisRound.size() + 1);
        EXPECT_EQ(stored.first(thisRound.size()), thisRound);
        if (stored.size() > thisRound.size()) {
            EXPECT_EQ(stored.last(), prefix + QString::number(thisRound.size()));
            ++storedBeyondReported;
        }
    }
    QList<QMKeychainRecord> records;
    ASSERT_TRUE(recordsOf(path, &records).ok());
    const QStringList stored = accountsOf(records);
    for (const QString &account : std::as_const(reported))
        EXPECT_TRUE(stored.contains(account)) << qPrintable(account);
    RecordProperty("kills", kills);
    RecordProperty("reportedAdds", int(reported.size()));
    RecordProperty("storedBeyondReported", storedBeyondReported);
    std::printf("%d kills, %d reported adds, all in the file; %d adds stored but killed before "
                "their report\n",
                kills, int(reported.size()), storedBeyondReported);
}
