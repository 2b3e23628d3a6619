#include "RunCommand.h"

#include "Tour.h"

#include <QMFoundation/operations/QMCommandOperation.h>
#include <QMFoundation/operations/QMOperationQueue.h>
#include <QMFoundation/operations/QMSeparator.h>

#include <atomic>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

namespace {

// As a shell reports them: a program ended by signal N exits with 128 + N (so a program
// interrupted before it could start with 130), one that cannot be found with 127, one that is
// there and cannot be run with 126.
constexpr int SignalStatusBase = 128;
constexpr int NotFoundStatus = 127;
constexpr int CannotRunStatus = 126;
// A SIGINT that some process sent to qmf, one that the terminal sent to its foreground process
// group, and the end of the operation.
constexpr char InterruptByte = 'i';
constexpr char TerminalInterruptByte = 't';
constexpr char FinishedByte = 'f';

// The write end of the pipe that the SIGINT handler writes to; -1 outside a run.
std::atomic<int> notificationDescriptor {-1};

void notify(char byte)
{
    const int descriptor = notificationDescriptor.load();
    if (descriptor >= 0) [[maybe_unused]]
        const ssize_t written = ::write(descriptor, &byte, 1);
}

void onInterrupt(int, siginfo_t *info, void *)
{
    // Only async-signal-safe work here: the waiting thread decides what to do.
    const int savedErrno = errno;
    notify(info && info->si_code == SI_KERNEL ? TerminalInterruptByte : InterruptByte);
    errno = savedErrno;
}

// While it exists, SIGINT and the end of the operation both arrive as bytes on one pipe, so
// that the thread that waits for the operation can also cancel it.
//
// One Ctrl-C must reach the program once: the terminal signals its whole foreground process
// group, the program included when it shares qmf's group, so qmf passes on only what the
// program did not get already. A SIGINT that qmf alone was sent (kill -INT) is passed on; one
// sent to qmf's whole group by a process reaches the program twice, being indistinguishable
// from the former.
class Notifications
{
public:
    Notifications()
    {
        if (::pipe2(m_pipe, O_CLOEXEC) != 0)
            return;
        notificationDescriptor.store(m_pipe[1]);
        // A SIGINT that qmf was started to ignore (a background job of a script) stays ignored,
        // for the program as well, as a shell would leave it.
        if (::sigaction(SIGINT, nullptr, &m_previous) != 0 || m_previous.sa_handler == SIG_IGN)
            return;
        struct sigaction action = {};
        action.sa_sigaction = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART | SA_SIGINFO;
        m_installed = ::sigaction(SIGINT, &action, nullptr) == 0;
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
                if (bytes[i] == InterruptByte
                    || (bytes[i] == TerminalInterruptByte && !terminalReachedProgram(command)))
                    command.cancel();
                else if (bytes[i] == FinishedByte)
                    return;
            }
        }
    }

private:
    // The terminal's SIGINT went to qmf's process group, which is the program's unless it
    // made one of its own. Before the program runs and after it has ended (while what it left
    // running still writes to its pipes), cancel() is what stops the operation.
    static bool terminalReachedProgram(const QMCommandOperation &command)
    {
        const qint64 pid = command.processIdentifier();
        return pid > 0 && ::getpgid(pid_t(pid)) == ::getpgrp();
    }

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
    void commandDidReceiveStandardOutputData(QMCommandOperation &command,
                                             const QByteArray &data) override
    {
        // Output with nowhere to go stops the program, as a closed pipe would (qmf then
        // reports the failure and exits with status 1).
        if (m_streamOutput && !Invocation::writeBytes(m_invocation.out, data))
            command.cancel();
    }
    void commandDidReceiveStandardErrorData(QMCommandOperation &, const QByteArray &data) override
    {
        Invocation::writeBytes(m_invocation.err, data);
    }

private:
    Invocation &m_invocation;
    const bool m_streamOutput;
};

// "qmf: cannot launch PROGRAM: REASON" (or "cannot enter DIR", ...), and the status a shell
// would give.
int launchFailure(Invocation &invocation, const QMError &error)
{
    invocation.err << "qmf: " << error.localizedDescription() << ": "
                   << error.localizedFailureReason() << Qt::endl;
    const bool notFound = error.domain() == QMCommandOperationLaunchErrorDomain
            && error.code() == QMCommandOperationLaunchProgramError
            && error.userInfo().value(QMCommandOperationSystemErrorKey).toInt() == ENOENT;
    return notFound ? NotFoundStatus : CannotRunStatus;
}

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

        const QString workingDirectory
                = invocation.has(cwd) ? invocation.value(cwd).toString() : QString();
        const bool numbered = invocation.has(lines);
        const auto delegate = std::make_shared<StreamingDelegate>(invocation, !numbered);
        const auto command = QMCommandOperation::commandWithLaunchPath(program, workingDirectory,
                                                                       arguments.mid(1), delegate);
        // What is streamed is not kept: memory stays bounded whatever the program writes.
        // --lines numbers the standard output at the end, so it keeps that.
        command->setRetainedOutputLimit(numbered ? QMCommandOperation::RetainAllOutput : 0);
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
            if (const std::optional<QMError> error = command->error())
                return launchFailure(invocation, *error);
            return SignalStatusBase + SIGINT; // cancelled before the launch
        }
        if (numbered)
            invocation.out << numberedLines(*output);
        if (command->terminationReason() == QMCommandOperation::TerminationReason::UncaughtSignal)
            return SignalStatusBase + int(command->exitCode());
        return int(command->exitCode());
    };

    return ToolCommand::make(
            QStringLiteral("run"), {cwd, env, lines},
            {QStringLiteral("PROGRAM"), QStringLiteral("ARG...")},
            QStringLiteral(
                    "Run a program, passing on its output as it arrives: run PROGRAM [ARG...]\n\n"
                    "Usage: qmf run [--cwd DIR] [--env NAME=VALUE]... [--lines] [--] PROGRAM "
                    "[ARG...]\n\n"
                    "Runs PROGRAM (looked up in PATH when it has no \"/\") with the ARGs and "
                    "this\n"
                    "process's environment and standard input, and passes on its standard "
                    "output and\n"
                    "standard error as they arrive; nothing of them is kept but with --lines.\n"
                    "Ctrl-C interrupts PROGRAM. Exits with PROGRAM's exit code, 128 + N for a "
                    "program\n"
                    "ended by signal N, 127 when PROGRAM is not found and 126 when it cannot be "
                    "run\n"
                    "(or DIR not entered). Everything from PROGRAM on is PROGRAM's own."),
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
