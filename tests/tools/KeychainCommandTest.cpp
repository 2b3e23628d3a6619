#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

#include <sys/stat.h>
#include <unistd.h>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

// A program run as a child process, with what it wrote and how long it took.
struct ChildRun
{
    bool finished = false;
    int status = -1;
    QByteArray out;
    QString err;
    qint64 milliseconds = 0;
};

ChildRun runChild(const QString &program, const QStringList &arguments,
                  const QProcessEnvironment &environment, const QByteArray &input = {},
                  const std::function<void()> &inChild = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    if (inChild)
        process.setChildProcessModifier(inChild);
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    ChildRun run;
    // Long enough for any answer under the sanitizers, far shorter than the D-Bus time-outs
    // (2 x 25 s) that a call without a deadline of its own would wait.
    run.finished = process.waitForFinished(20000);
    run.milliseconds = clock.elapsed();
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

ChildRun runQmfChild(const QStringList &arguments, const QProcessEnvironment &environment,
                     const QByteArray &input = {}, const std::function<void()> &inChild = {})
{
    return runChild(QStringLiteral(QMF_TOOL_PATH), arguments, environment, input, inChild);
}

// The test runs as root, who passes every permission check: this makes the child "nobody".
void becomeNobody()
{
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(100);
}

} // namespace

// qmf keychain on a keychain file: the passwords come from files and the standard input.
TEST(QmfKeychainTest, ManagesPasswordsInAKeychainFile)
{
    QTemporaryDir dir;
    QFile passwordFile(dir.filePath(u"pw"_s));
    ASSERT_TRUE(passwordFile.open(QIODevice::WriteOnly));
    passwordFile.write("file password\nignored\n");
    passwordFile.close();
    QFile wrongFile(dir.filePath(u"wrong"_s));
    ASSERT_TRUE(wrongFile.open(QIODevice::WriteOnly));
    wrongFile.write("guess\n");
    wrongFile.close();
    const QString file = u"--file "_s + dir.filePath(u"k.keychain"_s) + u" --password-file "_s
            + passwordFile.fileName();
    const auto run = [&](const QString &command) {
        return QString(u"keychain "_s + command.arg(file)).split(u' ');
    };
    const QString generic = u"--account joe --service mail"_s;
    const QString internet = u"--url https://joe@example.com:8443/repo"_s;

    expectRuns({
            {run(u"add %1 --create --secret-stdin "_s + generic), "s3cret\n"},
            failing(run(u"add %1 --secret-stdin "_s + generic), 1,
                    u"qmf: The specified item already exists in the keychain. (status -25299)\n"_s,
                    "x\n"),
            // A last line without a line break is read whole.
            {run(u"add %1 --secret-stdin "_s + internet), "hunter2"},
            {run(u"update %1 --secret-stdin "_s + generic), "n3w\n"},
            {run(u"list %1"_s),
             {},
             0,
             "generic\tjoe\tmail\ninternet\thttps://joe@example.com:8443/repo\n"},
            failing(run(u"find %1 --url https://joe@example.com/repo"_s), 1,
                    u"qmf: no such item\n"_s),
            failing(run(u"find %1 --url gopher://example.com"_s), 2,
                    u"qmf: the scheme \"gopher\" is not one of ftp, ftps, http, https, ssh\n"_s),
            failing(run(u"find %1 --url https://x.org "_s + generic), 2,
                    u"qmf: give either --url, or --account and --service\n"_s),
            failing(run(u"list %1 --show-password"_s), 2,
                    u"qmf: --show-password is not an option of keychain list\n"_s),
            failing(run(u"remove %1"_s), 2,
                    u"qmf: keychain needs one of add, find, update, delete, list\n"_s),
    });

    // Attributes always, the password only when asked for.
    const Outcome found = runQmf(run(u"find %1 "_s + generic));
    EXPECT_EQ(found.status, 0) << qPrintable(found.err);
    EXPECT_TRUE(found.out.contains(u"account: joe\n"_s)
                && found.out.contains(u"service: mail\n"_s));
    EXPECT_FALSE(found.out.contains(u"n3w"_s));
    const Outcome shown = runQmf(run(u"find %1 --show-password "_s + internet));
    EXPECT_TRUE(shown.out.contains(u"port: 8443\n"_s)
                && shown.out.endsWith(u"password: hunter2\n"_s))
            << qPrintable(shown.out);
    EXPECT_TRUE(runQmf(run(u"find %1 --show-password "_s + generic))
                        .out.endsWith(u"password: n3w\n"_s));

    expectRuns({
            {run(u"delete %1 "_s + generic)},
            failing(run(u"delete %1 "_s + generic), 1, u"qmf: no such item\n"_s),
            failing(u"keychain list --file %1 --password-file %2"_s
                            .arg(dir.filePath(u"k.keychain"_s), wrongFile.fileName())
                            .split(u' '),
                    1,
                    u"qmf: The user name or passphrase you entered is not correct. Cannot open the "
                    "keychain file %1: the password is wrong. (status -25293)\n"_s.arg(
                            dir.filePath(u"k.keychain"_s))),
    });
}

// Files that are not keychain files: never read, never waited for, never written over.
TEST(QmfKeychainTest, RefusesWhatIsNotAKeychainFileOrTooLarge)
{
    QTemporaryDir dir;
    const QString passwordFile = writeFile(dir, u"pw"_s, "pw\n");
    const QString fifo = dir.filePath(u"fifo"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &path : {u"/dev/zero"_s, fifo, dir.path()}) {
        SCOPED_TRACE(path.toStdString());
        expectRuns({
                failing({u"keychain"_s, u"list"_s, u"--file"_s, path, u"--password-file"_s,
                         passwordFile},
                        1,
                        u"qmf: One or more parameters passed to a function were not valid. Cannot "
                        "read the keychain file %1: it is not a regular file. (status -50)\n"_s.arg(
                                path)),
        });
    }

    // An add that would make the file larger than a keychain file may be is refused; the file
    // stays as it was and keeps its items.
    const QString file = dir.filePath(u"k.keychain"_s);
    const QStringList add {u"keychain"_s,        u"add"_s,     u"--file"_s,       file,
                           u"--password-file"_s, passwordFile, u"--account"_s,    u"joe"_s,
                           u"--service"_s,       u"mail"_s,    u"--secret-file"_s};
    ASSERT_EQ(runQmf(add + QStringList {writeFile(dir, u"small"_s, "s3cret\n"), u"--create"_s})
                      .status,
              0);
    QFile keychainFile(file);
    ASSERT_TRUE(keychainFile.open(QIODevice::ReadOnly));
    const QByteArray before = keychainFile.readAll();
    keychainFile.close();
    const QString large = writeFile(dir, u"large"_s, QByteArray(64 * 1024 * 1024, 'x'));
    QStringList addLarge = add;
    addLarge.replace(addLarge.indexOf(u"joe"_s), u"ann"_s);
    const Outcome refused = runQmf(addLarge + QStringList {large});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.startsWith(
            u"qmf: This item contains information which is too large or in a format that cannot "
            "be displayed. The keychain file %1 would hold "_s.arg(file)))
            << qPrintable(refused.err);
    EXPECT_TRUE(refused.err.endsWith(u"(64 MiB); it was left as it was. (status -25302)\n"_s));
    ASSERT_TRUE(keychainFile.open(QIODevice::ReadOnly));
    EXPECT_EQ(keychainFile.readAll(), before);
    expectRuns({{{u"keychain"_s, u"list"_s, u"--file"_s, file, u"--password-file"_s, passwordFile},
                 {},
                 0,
                 "generic\tjoe\tmail\n"}});
}

// As a user who may read but not write: listing needs no write access to the folder; a file the
// user may not read gives one read-permission error naming it, whoever owns it; a change says
// "write".
TEST(QmfKeychainTest, ReadsWithReadPermissionAloneAndNamesWhatItMayNotRead)
{
    QTemporaryDir dir;
    const QString shared = dir.filePath(u"shared"_s);
    ASSERT_TRUE(QDir().mkdir(shared));
    const QString passwordFile = writeFile(dir, u"pw"_s, "pw\n");
    const QString readable = shared + u"/readable.keychain"_s;
    ASSERT_EQ(runQmf({u"keychain"_s, u"add"_s, u"--file"_s, readable, u"--create"_s,
                      u"--password-file"_s, passwordFile, u"--account"_s, u"joe"_s, u"--service"_s,
                      u"mail"_s, u"--secret-stdin"_s},
                     "s3cret\n")
                      .status,
              0);
    const QString others = shared + u"/others.keychain"_s;
    const QString closed = shared + u"/closed.keychain"_s;
    ASSERT_TRUE(QFile::copy(readable, others));
    ASSERT_TRUE(QFile::copy(readable, closed));
    const auto mode = [](const QString &path, mode_t bits) {
        return ::chmod(QFile::encodeName(path).constData(), bits) == 0;
    };
    ASSERT_TRUE(mode(dir.path(), 0755) && mode(passwordFile, 0644) && mode(readable, 0644)
                && mode(others, 0600) && mode(closed, 0));
    ASSERT_EQ(::chown(QFile::encodeName(closed).constData(), 65534, 65534), 0);
    ASSERT_TRUE(mode(shared, 0555));
    const auto contents = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray before = contents(readable);

    const auto command = [&](QStringList arguments, const QString &path) {
        return arguments << u"--password-file"_s << passwordFile << u"--file"_s << path;
    };
    const QStringList list {u"keychain"_s, u"list"_s};
    const auto readError = [](const QString &path) {
        return u"qmf: Read permissions error. Cannot read the keychain file %1: Permission "
               "denied. (status -54)\n"_s.arg(path);
    };
    struct Row
    {
        QStringList arguments;
        int status;
        QByteArray out;
        QString err;
    };
    const Row rows[] = {
            {command(list, readable), 0, "generic\tjoe\tmail\n", QString()},
            // Another user's 0600 file and the user's own mode-000 file read alike.
            {command(list, others), 1, {}, readError(others)},
            {command(list, closed), 1, {}, readError(closed)},
            {command({u"keychain"_s, u"delete"_s, u"--account"_s, u"joe"_s, u"--service"_s,
                      u"mail"_s},
                     readable),
             1,
             {},
             u"qmf: Write permissions error. Cannot write the keychain file %1: Permission "
             "denied. (status -61)\n"_s.arg(readable)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.arguments.join(u' ').toStdString());
        const ChildRun run = runQmfChild(row.arguments, QProcessEnvironment::systemEnvironment(),
                                         {}, becomeNobody);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.status, row.status);
        EXPECT_EQ(run.out, row.out);
        EXPECT_EQ(run.err, row.err);
    }
    EXPECT_EQ(contents(readable), before);
    EXPECT_EQ(QDir(shared).entryList(QDir::Files | QDir::Hidden).size(), 3)
            << "no lock or scratch file beside them";
    ASSERT_TRUE(mode(shared, 0755));
}
