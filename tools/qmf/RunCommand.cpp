#include "RunCommand.h"

#include "Tour.h"

#include "operations/QMCommandOperation.h"
#include "operations/QMOperationQueue.h"
#include "operations/QMSeparator.h"

#include <QFileInfo>

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace {

// The status of a program interrupted before it could start, as a shell reports SIGINT.
constexpr int InterruptedStatus = 128 + SIGINT;
constexpr char InterruptByte = 'i';
constexpr char FinishedByte = 'f';

// The write end of the pipe that the SIGINT handler writes to; -1 outside a run.
std::atomic<int> notificationDescriptor {-1};

void notify(char byte)
{
    const int descriptor = notificationDescriptor.load();
    if (descriptor >= 0) [[maybe_unused]]
        const ssize_t written = ::write(descriptor, &byte, 1);
}

void onInterrupt(int)
{
    // Only async-signal-safe work here: the waiting thread turns the byte into cancel().
    const int savedErrno = errno;
    notify(InterruptByte);
    errno = savedErrno;
}

// While it exists, SIGINT and the end of the operation both arrive as bytes on one pipe, so
// that the thread that waits for the operation can also cancel it.
class Notifications
{
public:
    Notifications()
    {
        if (::pipe2(m_pipe, O_CLOEXEC) != 0)
            return;
        notificationDescriptor.store(m_pipe[1]);
        struct sigaction action = {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        m_installed = ::sigaction(SIGINT, &action, &m_previous) == 0;
    }
    ~Notifications()
    {
        if (m_installed)
            ::sigaction(SIGINT, &m_previous, nullptr);
        notificationDescriptor.store(-1);
        for (int descriptor : m_pipe) {
            if (descriptor >= 0)
                ::close(descriptor);
        }
    }
    Notifications(const Notifications &) = delete;
    Notifications &operator=(const Notifications &) = delete;

    bool isValid() const { return m_pipe[0] >= 0; }

    /// Waits for the operation's end, cancelling it at each SIGINT.
    void waitForEnd(QMCommandOperation &command)
    {
        for (;;) {
            pollfd readable {m_pipe[0], POLLIN, 0};
            if (::poll(&readable, 1, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            char bytes[64];
            const ssize_t count = ::read(m_pipe[0], bytes, sizeof bytes);
            for (ssize_t i = 0; i < count; ++i) {
                if (bytes[i] == InterruptByte)
                    command.cancel();
                else if (bytes[i] == FinishedByte)
                    return;
            }
        }
    }

private:
    int m_pipe[2] = {-1, -1};
    bool m_installed = false;
    struct sigaction m_previous = {};
};

// Streams the program's output to qmf's own streams, on the operation's file-handle queue
// (one chunk at a time, while the thread that runs qmf waits).
class StreamingDelegate : public QMCommandOperationDelegate
{
public:
    StreamingDelegate(Invocation &invocation, bool streamOutput)
        : m_invocation(invocation)
        , m_streamOutput(streamOutput)
    { }
    void commandDidReceiveStandardOutputData(QMCommandOperation &, const QByteArray &data) override
    {
        if (m_streamOutput)
            Invocation::writeBytes(m_invocation.out, data);
    }
    void commandDidReceiveStandardErrorData(QMCommandOperation &, const QByteArray &data) override
    {
        Invocation::writeBytes(m_invocation.err, data);
    }

private:
    Invocation &m_invocation;
    const bool m_streamOutput;
};

const QString cwdName = QStringLiteral("cwd");
const QString envName = QStringLiteral("env");

} // namespace

bool RunCommand::takesValue(const QString &word)
{
    return word == QLatin1String("--") + cwdName || word == QLatin1String("--") + envName;
}

QString RunCommand::numberedLines(const QByteArray &output)
{
    QString text;
    qsizetype number = 0;
    for (const QString &line :
         QMSeparator::componentsSeparatedByStringSequence(output, QStringLiteral("\n")))
        text += QString::number(++number) + QLatin1String(": ") + line + QLatin1Char('\n');
    return text;
}

ToolCommand RunCommand::command()
{
    const QMOptionPtr cwd = QMOption::optionWithFlag(
            QString(), cwdName, QStringLiteral("Run PROGRAM in the directory DIR"),
            QStringLiteral("DIR"), QMOptionTypeString, false);
    const QMOptionPtr env = QMOption::optionWithFlag(
            QString(), envName,
            QStringLiteral("Set the variable NAME to VALUE for PROGRAM (may be repeated)"),
            QStringLiteral("NAME=VALUE"), QMOptionTypeString, false);
    const QMOptionPtr lines = QMOption::optionWithFlag(
            QString(), QStringLiteral("lines"),
            QStringLiteral("Print the standard output at the end, one numbered line at a time"),
            QString(), QMOptionTypeNone, false);

    const auto run = [=](Invocation &invocation) {
        const QStringList &arguments = invocation.arguments();
        if (arguments.isEmpty())
            return invocation.usageError(QStringLiteral("run needs a PROGRAM"));
        const QString program = arguments.first();

        QString workingDirectory;
        if (invocation.has(cwd)) {
            workingDirectory = invocation.value(cwd).toString();
            if (!QFileInfo(workingDirectory).isDir())
                return invocation.usageError(
                        QStringLiteral("--cwd: no such directory \"%1\"").arg(workingDirectory));
        }
        const bool numbered = invocation.has(lines);
        const auto delegate = std::make_shared<StreamingDelegate>(invocation, !numbered);
        const auto command = QMCommandOperation::commandWithLaunchPath(program, workingDirectory,
                                                                       arguments.mid(1), delegate);
        for (const QVariant &assignment : invocation.values(env)) {
            const auto variable = splitAssignment(assignment.toString());
            if (!variable)
                return invocation.usageError(QStringLiteral("--env needs NAME=VALUE, not \"%1\"")
                                                     .arg(assignment.toString()));
            command->setValueForEnvironmentVariable(variable->second, variable->first);
        }
        command->setStandardInput(invocation.childInput());

        invocation.out.flush();
        invocation.err.flush();
        {
            Notifications notifications;
            if (!notifications.isValid())
                return invocation.usageError(QStringLiteral("cannot set up signal handling"));
            command->setCompletionBlock([] { notify(FinishedByte); });
            const auto queue = QMOperationQueue::serialQueue();
            queue->addOperation(command);
            notifications.waitForEnd(*command);
            command->waitUntilFinished();
        }

        const std::optional<QByteArray> output = command->standardOutputData();
        if (!output) {
            if (command->exitCode() == -1) {
                invocation.err << "qmf: cannot launch " << program << Qt::endl;
                return 127;
            }
            return InterruptedStatus; // cancelled before the launch
        }
        if (numbered)
            invocation.out << numberedLines(*output);
        return int(command->exitCode());
    };

    return ToolCommand::make(
            QStringLiteral("run"), {cwd, env, lines},
            {QStringLiteral("PROGRAM"), QStringLiteral("ARG...")},
            QStringLiteral(
                    "Usage: qmf run [--cwd DIR] [--env NAME=VALUE]... [--lines] [--] PROGRAM "
                    "[ARG...]\n\n"
                    "Runs PROGRAM (looked up in PATH when it has no \"/\") with the ARGs and "
                    "this\n"
                    "process's environment and standard input, and passes on its standard "
                    "output and\n"
                    "standard error as they arrive. Ctrl-C interrupts PROGRAM. Exits with "
                    "PROGRAM's\n"
                    "exit code (for a program ended by a signal, the signal's number), or 127 "
                    "when\n"
                    "PROGRAM cannot be launched. Everything from PROGRAM on is PROGRAM's own."),
            run);
}

void RunCommand::tourSection(QTextStream &out)
{
    const QStringList arguments {QStringLiteral("%s\\n"), QStringLiteral("first line"),
                                 QStringLiteral(""), QStringLiteral("third, after an empty one")};
    const auto command
            = QMCommandOperation::commandWithLaunchPath(QStringLiteral("printf"), arguments);
    command->start();
    out << "QMCommandOperation runs a program as a child process, collects what it writes and\n"
           "hands each chunk to a delegate as it arrives. printf with four arguments:\n\n"
        << "    $ " << command->commandCall() << "\n"
        << "    exit code " << command->exitCode() << ", standard output split into lines by\n"
        << "    QMSeparator (qmf run --lines):\n";
    if (const std::optional<QByteArray> output = command->standardOutputData())
        out << Tour::indented(numberedLines(*output), QStringLiteral("      "));

    const QByteArray records("alpha\0beta\0\0gamma\0", 18);
    out << "\nRecords split at NUL bytes, as `find -print0` writes them (empty ones dropped):\n   ";
    for (const QByteArray &record : QMSeparator::componentsSeparatedByNULByte(records))
        out << " [" << QString::fromUtf8(record) << "]";

    QMError error;
    const bool succeeded = QMCommandOperation::runCommandWithLaunchPath(
            QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("echo 'disk full' >&2; exit 3")}, &error);
    out << "\n\nA synchronous run turns a failure into an error whose reason is the standard "
           "error:\n"
        << "    runCommandWithLaunchPath(\"/bin/sh\", {\"-c\", \"echo 'disk full' >&2; exit "
           "3\"})\n"
        << "    -> " << (succeeded ? "true" : "false") << ", domain " << error.domain() << ", code "
        << error.code() << ", reason \""
        << error.localizedFailureReason().replace(QLatin1Char('\n'), QLatin1String("\\n"))
        << "\"\n";
}
