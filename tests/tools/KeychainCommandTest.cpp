#include "QmfTestSupport.h"
#include "support/SilentBus.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <termios.h>
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

ChildRun runQmfChild(const QStringList &arguments, QProcessEnvironment environment,
                     const QByteArray &input = {}, const std::function<void()> &inChild = {})
{
    // Under ThreadSanitizer qmf reaches the keyring through GLib's threads, as the keychain tests
    // do, and so takes their suppressions.
    if (environment.contains(u"TSAN_OPTIONS"_s))
        environment.insert(u"TSAN_OPTIONS"_s,
                           u"halt_on_error=1 suppressions=" QMF_SOURCE_DIR
                           "/tests/keychain/keychain-tsan.supp"_s);
    return runChild(QStringLiteral(QMF_TOOL_PATH), arguments, environment, input, inChild);
}

// The test runs as root, who passes every permission check: this makes the child "nobody".
void becomeNobody()
{
    if (::setgid(65534) != 0 || ::setuid(65534) != 0)
        ::_exit(100);
}

// A session bus and a Secret Service (gnome-keyring) of the test's own, so that the test can stop
// the service without freezing the keyring of anything else. The bus starts no service on demand,
// so the stopped keyring is never replaced by a new one.
class PrivateKeyring
{
public:
    PrivateKeyring()
    {
        const QString config = writeFile(m_dir, u"bus.conf"_s,
                                         R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" + QFile::encodeName(m_dir.filePath(u"bus"_s))
                                                 + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)");
        m_bus.start(u"dbus-daemon"_s,
                    {u"--config-file="_s + config, u"--nofork"_s, u"--print-address=1"_s});
        if (!m_bus.waitForReadyRead(20000)) {
            problem = u"dbus-daemon did not start: "_s
                    + QString::fromUtf8(m_bus.readAllStandardError());
            return;
        }
        environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s,
                           QString::fromUtf8(m_bus.readLine().trimmed()));
        for (const char *name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"}) {
            const QString path = m_dir.filePath(QString::fromLatin1(name));
            QDir().mkpath(path);
            QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            environment.insert(QString::fromLatin1(name), path);
        }
        // The daemon unlocks its "login" collection with the password on its standard input and
        // goes into the background once it serves. What it prints is not needed, and a pipe that
        // is closed once it is read would end it.
        QProcess daemon;
        daemon.setProcessEnvironment(environment);
        daemon.setStandardOutputFile(QProcess::nullDevice());
        daemon.setStandardErrorFile(QProcess::nullDevice());
        daemon.start(u"gnome-keyring-daemon"_s, {u"--unlock"_s, u"--components=secrets"_s});
        daemon.write("qmf-test-keyring");
        daemon.closeWriteChannel();
        const bool started = daemon.waitForFinished(20000) && daemon.exitCode() == 0;
        // It returns before it has its name on the bus.
        const ChildRun named = runChild(
                u"gdbus"_s,
                {u"wait"_s, u"--session"_s, u"--timeout"_s, u"20"_s, u"org.freedesktop.secrets"_s},
                environment);
        const ChildRun owner
                = runChild(u"gdbus"_s,
                           {u"call"_s, u"--session"_s, u"--dest"_s, u"org.freedesktop.DBus"_s,
                            u"--object-path"_s, u"/org/freedesktop/DBus"_s, u"--method"_s,
                            u"org.freedesktop.DBus.GetConnectionUnixProcessID"_s,
                            u"org.freedesktop.secrets"_s},
                           environment);
        // "(uint32 PID,)"
        const qsizetype at = owner.out.indexOf("uint32 ");
        if (started && named.status == 0 && at >= 0)
            m_daemon = pid_t(owner.out.mid(at + 7).split(',').first().toInt());
        else
            problem = u"gnome-keyring-daemon %1; gdbus wait: %2; gdbus call: %3 %4"_s.arg(
                    started ? u"started"_s : u"failed"_s, named.err, QString::fromUtf8(owner.out),
                    owner.err);
    }
    ~PrivateKeyring()
    {
        if (m_daemon > 0) {
            // It is not our child, so its end is waited for through a descriptor of the process:
            // until then it may still write into the folder that goes next.
            const int process = int(::syscall(SYS_pidfd_open, m_daemon, 0));
            ::kill(m_daemon, SIGCONT);
            ::kill(m_daemon, SIGTERM);
            if (process >= 0) {
                pollfd ended {process, POLLIN, 0};
                ::poll(&ended, 1, 20000);
                ::close(process);
            }
        }
        m_bus.terminate();
        m_bus.waitForFinished();
    }
    bool isRunning() const { return m_daemon > 0; }
    pid_t daemon() const { return m_daemon; }

    QProcessEnvironment environment;
    QString problem;

private:
    QTemporaryDir m_dir;
    QProcess m_bus;
    pid_t m_daemon = 0;
};

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
        EXPECT_EQ(run.err.toStdString(), row.err.toStdString());
    }
    EXPECT_EQ(contents(readable), before);
    EXPECT_EQ(QDir(shared).entryList(QDir::Files | QDir::Hidden).size(), 3)
            << "no lock or scratch file beside them";
    ASSERT_TRUE(mode(shared, 0755));
}

// A session bus that takes the connection and never answers costs the time-out, not forever.
TEST(QmfKeychainTest, EndsAtTheTimeOutWhenTheBusNeverAnswers)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"bus"_s);
    TestSupport::SilentBus bus(path);
    ASSERT_TRUE(bus.isListening());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path="_s + path);
    const ChildRun run
            = runQmfChild({u"keychain"_s, u"list"_s, u"--timeout"_s, u"1"_s}, environment);
    ASSERT_TRUE(run.finished) << "still waiting after " << run.milliseconds << " ms";
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.toStdString(),
              "qmf: No keychain is available. You may need to restart your computer. The desktop "
              "keyring did not answer within 1 s (timed out). (status -25291)\n");
    std::printf("qmf keychain list on a silent bus ended after %lld ms (time-out 1 s)\n",
                run.milliseconds);
}

// Other programs see the items under the library's schemas and attributes, and the library finds
// theirs.
TEST(QmfKeychainTest, SharesItemsWithOtherKeyringClients)
{
    PrivateKeyring keyring;
    ASSERT_TRUE(keyring.isRunning()) << qPrintable(keyring.problem);
    const QProcessEnvironment &environment = keyring.environment;
    const QStringList lookup {u"lookup"_s, u"xdg:schema"_s};
    const std::pair<QStringList, QStringList> stored[] = {
            {{u"--account"_s, u"joe"_s, u"--service"_s, u"mail"_s},
             {u"org.qmfoundation.keychain.GenericPassword"_s, u"account"_s, u"joe"_s, u"service"_s,
              u"mail"_s}},
            {{u"--url"_s, u"https://ann@example.org:8443/x"_s},
             {u"org.qmfoundation.keychain.InternetPassword"_s, u"account"_s, u"ann"_s, u"server"_s,
              u"example.org"_s, u"protocol"_s, u"HTTPS"_s, u"port"_s, u"8443"_s, u"path"_s,
              u"/x"_s}},
    };
    for (const auto &[qmf, attributes] : stored) {
        SCOPED_TRACE(qmf.join(u' ').toStdString());
        const ChildRun added
                = runQmfChild(QStringList {u"keychain"_s, u"add"_s, u"--secret-stdin"_s} + qmf,
                              environment, "shared secret\n");
        ASSERT_EQ(added.status, 0) << qPrintable(added.err);
        const ChildRun found = runChild(u"secret-tool"_s, lookup + attributes, environment);
        EXPECT_EQ(found.status, 0) << qPrintable(found.err);
        EXPECT_EQ(found.out, "shared secret");
    }

    const ChildRun storedByOther = runChild(u"secret-tool"_s,
                                            {u"store"_s, u"--label=Chat"_s, u"xdg:schema"_s,
                                             u"org.qmfoundation.keychain.GenericPassword"_s,
                                             u"account"_s, u"bob"_s, u"service"_s, u"chat"_s},
                                            environment, "theirs");
    ASSERT_EQ(storedByOther.status, 0) << qPrintable(storedByOther.err);
    const ChildRun found = runQmfChild({u"keychain"_s, u"find"_s, u"--account"_s, u"bob"_s,
                                        u"--service"_s, u"chat"_s, u"--show-password"_s},
                                       environment);
    EXPECT_EQ(found.status, 0) << qPrintable(found.err);
    EXPECT_TRUE(found.out.contains("label: Chat\n") && found.out.endsWith("password: theirs\n"))
            << found.out.constData();
}

// A keyring that stopped answering (SIGSTOP) costs each call the time-out.
TEST(QmfKeychainTest, EndsAtTheTimeOutWhenTheKeyringIsStopped)
{
    PrivateKeyring keyring;
    ASSERT_TRUE(keyring.isRunning()) << qPrintable(keyring.problem);
    const QProcessEnvironment &environment = keyring.environment;
    const QStringList item {u"--account"_s, u"joe"_s, u"--service"_s, u"mail"_s};
    ASSERT_EQ(runQmfChild(QStringList {u"keychain"_s, u"add"_s, u"--secret-stdin"_s} + item,
                          environment, "s3cret\n")
                      .status,
              0);

    ASSERT_EQ(::kill(keyring.daemon(), SIGSTOP), 0);
    const QString timedOut
            = u"qmf: No keychain is available. You may need to restart your computer. The desktop "
              "keyring did not answer within 1 s (timed out). (status -25291)\n"_s;
    for (const QStringList &arguments : {QStringList {u"list"_s}, QStringList {u"find"_s} + item,
                                         QStringList {u"add"_s, u"--secret-stdin"_s, u"--account"_s,
                                                      u"ann"_s, u"--service"_s, u"mail"_s},
                                         QStringList {u"delete"_s} + item}) {
        SCOPED_TRACE(arguments.join(u' ').toStdString());
        const ChildRun run
                = runQmfChild(QStringList {u"keychain"_s, u"--timeout"_s, u"1"_s} + arguments,
                              environment, "x\n");
        ASSERT_TRUE(run.finished) << "still waiting after " << run.milliseconds << " ms";
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.toStdString(), timedOut.toStdString());
        std::printf("qmf keychain %s on a stopped keyring ended after %lld ms (time-out 1 s)\n",
                    qPrintable(arguments.first()), run.milliseconds);
    }
    ASSERT_EQ(::kill(keyring.daemon(), SIGCONT), 0);
    const ChildRun again = runQmfChild({u"keychain"_s, u"list"_s}, environment);
    EXPECT_EQ(again.status, 0) << qPrintable(again.err);
    EXPECT_EQ(again.out, "generic\tjoe\tmail\n");
}

// A password typed on the terminal is a line: input that ends before its line break (Ctrl-D, a
// hang-up) is no answer, and above all not an empty password for a new keychain.
TEST(QmfKeychainTest, ATerminalThatEndsBeforeALineBreakGivesNoPassword)
{
    QTemporaryDir dir;
    const QString secret = writeFile(dir, u"secret"_s, "s3cret\n");
    const struct
    {
        const char *name;
        QByteArray typed;
        int status;
        QByteArray err;
    } cases[] = {
            {"Ctrl-D at once", "\x04", 2,
             "qmf: no password: the terminal's input ended before a line break\n"},
            {"Ctrl-D after some characters", "abc\x04\x04", 2,
             "qmf: no password: the terminal's input ended before a line break\n"},
            {"a line", "sesame\n", 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QString::fromLatin1(c.name) + u".keychain"_s);
        int master = -1;
        int terminal = -1;
        ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
        QProcess qmf;
        qmf.setProgram(QStringLiteral(QMF_TOOL_PATH));
        qmf.setArguments({u"keychain"_s, u"add"_s, u"--file"_s, path, u"--create"_s,
                          u"--secret-file"_s, secret, u"--account"_s, u"joe"_s, u"--service"_s,
                          u"mail"_s});
        // The terminal as qmf's controlling one, so that it asks there.
        qmf.setChildProcessModifier([terminal] {
            ::setsid();
            ::ioctl(terminal, TIOCSCTTY, 0);
        });
        qmf.start();
        ASSERT_TRUE(qmf.waitForStarted());
        // Typed once echo is off: qmf discards what was typed before that.
        termios settings {};
        while (::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ECHO))
            std::this_thread::yield();
        ASSERT_EQ(::write(master, c.typed.constData(), size_t(c.typed.size())), c.typed.size());
        ASSERT_TRUE(qmf.waitForFinished(60000));
        ::close(terminal);
        ::close(master);
        EXPECT_EQ(qmf.exitCode(), c.status);
        EXPECT_EQ(qmf.readAllStandardError(), c.err);
        EXPECT_EQ(QFile::exists(path), c.status == 0);
    }
}

// A password from a file or the standard input is its first line, read no further and at most
// 64 MiB long: a file without line breaks (/dev/zero) is refused instead of filling memory.
TEST(QmfKeychainTest, APasswordFromAFileIsABoundedFirstLine)
{
    QTemporaryDir dir;
    const QString password = writeFile(dir, u"pw"_s, "pw\n");
    const QString keychain = dir.filePath(u"k.keychain"_s);
    const auto add = [&](const QString &source) {
        return u"keychain add --file %1 --create --password-file %2 --account a --service s %3"_s
                .arg(keychain, password, source)
                .split(u' ');
    };
    expectRuns({
            failing(add(u"--secret-file /dev/zero"_s), 2,
                    u"qmf: /dev/zero: the first line is longer than 67108864 bytes\n"_s),
            failing(add(u"--secret-stdin"_s), 2,
                    u"qmf: standard input: the first line is longer than 67108864 bytes\n"_s,
                    QByteArray(64 * 1024 * 1024 + 1, 'x') + "\n"),
            failing(u"keychain list --file %1 --password-file /dev/zero"_s.arg(keychain).split(
                            u' '),
                    2, u"qmf: /dev/zero: the first line is longer than 67108864 bytes\n"_s),
    });
    // An add without its item's password makes no keychain file.
    EXPECT_FALSE(QFileInfo::exists(keychain));
}
