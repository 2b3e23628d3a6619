#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/errors/QMObjectDescribing.h>
#include <QMFoundation/operations/QMCommandInput.h>
#include <QMFoundation/operations/QMOperation.h>

#include <QByteArray>
#include <QFuture>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QMCommandOperation;
struct QMCommandResult;

/// The domain of the error() that a command operation records when its program cannot be
/// started ("QMCommandOperationLaunch"). The codes below say what could not be used; the
/// localized description names it ("cannot launch /usr/bin/x", "cannot enter /srv/build",
/// "cannot open /tmp/input"), the localized failure reason is the system's text for the errno
/// ("No such file or directory", "Permission denied"), and the errno itself is under
/// QMCommandOperationSystemErrorKey (an int).
QMF_CORE_EXPORT extern const QString QMCommandOperationLaunchErrorDomain;
/// The user-information key of a launch error's errno (an int).
QMF_CORE_EXPORT extern const QString QMCommandOperationSystemErrorKey;
/// The codes of QMCommandOperationLaunchErrorDomain.
enum QMCommandOperationLaunchErrorCode : qint64 {
    /// The program is not there (ENOENT), or is there and cannot be run: not executable or a
    /// directory (EACCES, EISDIR), not a program (ENOEXEC), and so on.
    QMCommandOperationLaunchProgramError = 1,
    /// The working directory does not exist, is no directory or may not be entered.
    QMCommandOperationLaunchWorkingDirectoryError = 2,
    /// The standard input's file cannot be opened or its descriptor is not open.
    QMCommandOperationLaunchStandardInputError = 3,
};

/// Receives the output and the end of a command operation. Every function is optional; the
/// defaults do nothing.
class QMF_CORE_EXPORT QMCommandOperationDelegate
{
public:
    virtual ~QMCommandOperationDelegate();
    /// One non-empty chunk of standard output, on the operation's file-handle queue. Chunks of
    /// both streams come one at a time, each stream in the order the child wrote it.
    virtual void commandDidReceiveStandardOutputData(QMCommandOperation &command,
                                                     const QByteArray &data);
    /// One non-empty chunk of standard error, on the operation's file-handle queue.
    virtual void commandDidReceiveStandardErrorData(QMCommandOperation &command,
                                                    const QByteArray &data);
    /// The program could not be started, on the operation's thread. commandDidTerminate()
    /// follows unless the operation was cancelled meanwhile.
    virtual void commandDidFailToLaunch(QMCommandOperation &command);
    /// The operation has run to its end without being cancelled or aborted, on the operation's
    /// thread. All output has been reported and the result data are set.
    virtual void commandDidTerminate(QMCommandOperation &command);
};

/// An operation that runs one external program as a child process, collects everything it
/// writes to its standard output and standard error, reports each chunk to a delegate as it
/// arrives, and records the exit status.
///
/// Configure it before it starts (the setters are not meant for a running operation), then add
/// it to a QMOperationQueue or call start(). execute() launches the child and keeps the
/// operation executing until the child has ended, both of its pipes have reached their end and
/// every chunk has been reported; then standardOutputData(), standardErrorData() and
/// exitCode() hold the results. A non-zero exit status is not a failure of the operation: read
/// exitCode(). The output is not split into lines; QMSeparator does that on the collected bytes.
///
/// Reading to the end: as a shell reads a pipeline, the pipes are read until every process
/// that holds them has closed them, so what a process that the child left running writes after
/// the child's end is collected too, and the operation stays executing until that process
/// closes them or ends. cancel() bounds this: once the child has ended, a cancelled operation
/// takes what the pipes hold at that moment and closes them (a writer still there then gets
/// SIGPIPE).
///
/// Memory: by default every byte is kept, for standardOutputData() and standardErrorData().
/// A host that takes the output from the delegate as it comes sets retainedOutputLimit() to 0
/// (keep nothing) or to the size of the tail it wants. Chunks that wait to be reported are
/// bounded too: while about 1 MiB waits for a slow delegate, the pipes are not read and the
/// child waits, as it would for a slow reader in a pipeline.
///
/// A program that cannot be started (no such file, not executable, a working directory that
/// cannot be entered, a standard input that cannot be opened) gives exitCode() -1 and no result
/// data, records an error() of QMCommandOperationLaunchErrorDomain with the system's reason,
/// then calls commandDidFailToLaunch() and commandDidTerminate(). A launch path without a "/"
/// is looked up in the PATH of this process, as execvp() does.
///
/// The child gets the environment, the working directory and the standard input set here, its
/// standard output and standard error on pipes of the operation, no other descriptor of this
/// process that is close-on-exec, no blocked signal and SIGPIPE at its default. It stays in this
/// process's process group (so a terminal's Ctrl-C reaches it as well).
///
/// cancel() interrupts the child with SIGINT while it runs. The child's end is then collected
/// as usual (output and exitCode()), but the operation, being cancelled, skips
/// commandDidTerminate(). A child that ignores the interrupt keeps the operation executing
/// until it ends by itself; cancelling before the start launches nothing, and a cancellation
/// that comes after the last check before the launch but before the child runs does not stop
/// it.
///
/// Delegate messages and the hooks for subclasses run inside
/// QMUncaughtExceptions::invokeGuarded(): an exception they throw goes to the uncaught-exception
/// handler, and the operation goes on as if they had returned.
///
/// Threads: the child is started and its pipes are read on the operation's thread (a queue's
/// worker, or the caller of start()). Each chunk is handed, in arrival order, to the
/// operation's own serial file-handle queue, which appends it to the collected bytes and
/// reports it. When the pipes have ended, the operation's own serial task-notification queue
/// waits for those reports and only then sets the result data and the exit code. The operation must
/// be owned by a `std::shared_ptr` (the factories make one); the queues' work holds it weakly. The
/// delegate is held weakly too. Every member may be called from any thread.
class QMF_CORE_EXPORT QMCommandOperation : public QMOperation, public QMObjectDescribing
{
public:
    /// Variable name to value.
    using Environment = QMap<QString, QString>;
    /// The delegate, held weakly by the operation.
    using DelegatePointer = std::shared_ptr<QMCommandOperationDelegate>;
    /// How the child ended: exitCode() is its exit status, or the number of the signal that
    /// ended it.
    enum class TerminationReason { Exit, UncaughtSignal };
    /// retainedOutputLimit() that keeps every byte.
    static constexpr qsizetype RetainAllOutput = -1;

    /// Throws QMInternalInconsistencyException "Invalid parameter not satisfying: launchPath !=
    /// nil" when `launchPath` is null. A null `workingDirectory` keeps this process's one. The
    /// environment starts as a snapshot of this process's environment, the identifier as a new
    /// UUID.
    QMCommandOperation(const QString &launchPath, const QString &workingDirectory,
                       const QStringList &arguments, const DelegatePointer &delegate = nullptr);
    /// There is no command without a launch path.
    QMCommandOperation() = delete;
    ~QMCommandOperation() override;

    /// A new operation of `launchPath` with `arguments`, in this process's working directory,
    /// without a delegate.
    static std::shared_ptr<QMCommandOperation> commandWithLaunchPath(const QString &launchPath,
                                                                     const QStringList &arguments);
    /// A new operation of `launchPath` with `arguments` and `delegate`, in this process's working
    /// directory.
    static std::shared_ptr<QMCommandOperation>
    commandWithLaunchPath(const QString &launchPath, const QStringList &arguments,
                          const DelegatePointer &delegate);
    /// A new operation of `launchPath` with `arguments` in `workingDirectory`, without a delegate.
    static std::shared_ptr<QMCommandOperation>
    commandWithLaunchPath(const QString &launchPath, const QString &workingDirectory,
                          const QStringList &arguments);
    /// A new operation; see the constructor.
    static std::shared_ptr<QMCommandOperation>
    commandWithLaunchPath(const QString &launchPath, const QString &workingDirectory,
                          const QStringList &arguments, const DelegatePointer &delegate);

    /// Runs the command to its end on the calling thread. Returns true when it exited with
    /// status 0. Otherwise, when `error` is given, fills it with an error of domain
    /// "QMCommandOperation" whose code is the exit code and whose failure reason is the
    /// standard error decoded as UTF-8 (absent when those bytes are not UTF-8). A program that
    /// cannot be started gives code -1 and no failure reason.
    static bool runCommandWithLaunchPath(const QString &launchPath, const QStringList &arguments,
                                         QMError *error = nullptr);
    /// As above, in `workingDirectory` (null: this process's one).
    static bool runCommandWithLaunchPath(const QString &launchPath, const QString &workingDirectory,
                                         const QStringList &arguments, QMError *error = nullptr);

    /// Runs the command to its end on a thread of the library's pool (QMAsync::queue(), one of
    /// whose threads it holds until the child has ended) and returns a future of its result:
    /// exit code, termination reason and the kept output, once everything has been reported. A
    /// non-zero exit status is a result, not a failure. A program that cannot be started fails
    /// the future with the error() it records (QMCommandOperationLaunchErrorDomain, saying what
    /// could not be used and why). Cancelling the future cancels the operation (cancel(): the
    /// child is interrupted) and the future reads as cancelled; so does an operation cancelled
    /// some other way before it ends. The delegate is told as when the operation runs on a
    /// queue. Throws "Operation has already been started" for an operation that has started,
    /// and "Invalid parameter not satisfying: shared ownership" for one not owned by a
    /// std::shared_ptr; any thread.
    QFuture<QMCommandResult> runAsync();

    /// The program to run.
    QString launchPath() const;
    /// Throws "Invalid parameter not satisfying: launchPath != nil" for a null path.
    void setLaunchPath(const QString &launchPath);
    /// The child's working directory; a null QString keeps this process's one.
    QString workingDirectory() const;
    /// Sets the working directory; a null QString keeps this process's one.
    void setWorkingDirectory(const QString &workingDirectory);
    /// The arguments passed to the program, without the program itself.
    QStringList arguments() const;
    /// Replaces the arguments.
    void setArguments(const QStringList &arguments);
    /// The child's environment; std::nullopt lets the child inherit this process's environment
    /// as it is when the child starts.
    std::optional<Environment> environment() const;
    /// Replaces the environment; std::nullopt lets the child inherit this process's environment.
    void setEnvironment(const std::optional<Environment> &environment);
    /// Sets one variable of environment() (added or overwritten); nothing when environment()
    /// is std::nullopt. This process's own environment is untouched.
    void setValueForEnvironmentVariable(const QString &value, const QString &name);
    /// The null device unless set; see QMCommandInput.
    QMCommandInput standardInput() const;
    /// Sets the child's standard input; read when the child starts.
    void setStandardInput(const QMCommandInput &input);
    /// A UUID made at creation, to tell operations apart.
    QString identifier() const;
    /// Replaces the identifier.
    void setIdentifier(const QString &identifier);
    /// The delegate, or null when there is none or it was destroyed.
    DelegatePointer delegate() const;
    /// Sets the delegate, held weakly; null removes it.
    void setDelegate(const DelegatePointer &delegate);

    /// Every byte of standard output (or the part retainedOutputLimit() keeps), set once the
    /// child has ended and everything has been reported; std::nullopt before that and after a
    /// launch failure.
    std::optional<QByteArray> standardOutputData() const;
    /// The same for standard error.
    std::optional<QByteArray> standardErrorData() const;
    /// The exit status; for a child ended by a signal, the signal's number; -1 when the program
    /// could not be started, or when its status was lost (a host that ignores SIGCHLD lets the
    /// system reap children); 0 before the end.
    qint64 exitCode() const;
    /// Whether exitCode() is an exit status or a signal's number; Exit until the end.
    TerminationReason terminationReason() const;
    /// The child's process id from its start until its output has been read, else 0.
    qint64 processIdentifier() const;

    /// How much of each stream standardOutputData() and standardErrorData() keep:
    /// RetainAllOutput (the default) keeps everything, 0 nothing (they are empty at the end),
    /// n the last n bytes. The delegate is told of every chunk either way. Throws "Invalid
    /// parameter not satisfying: bytes >= -1" for other negative values.
    qsizetype retainedOutputLimit() const;
    /// Sets how much output is kept (see retainedOutputLimit()).
    void setRetainedOutputLimit(qsizetype bytes);

    /// The launch path, a blank and the arguments joined by blanks (ends in a blank when there
    /// are no arguments). Not quoted: for showing, not for a shell.
    QString commandCall() const;

    /// The launch path, working directory, arguments, exit code and environment, then the
    /// standard output and standard error received so far and not yet moved to the result
    /// data: after the end, both read as empty.
    QString description() const;

    /// Cancels as the base does, then interrupts the child if it is running.
    void cancel() override;

    // QMObjectDescribing
    QString className() const override;
    std::optional<QStringList> attributeKeys() const override;
    QVariant valueForKey(const QString &key) const override;

protected:
    /// Runs the child (see the class comment). Returns once it has ended and its output has
    /// been reported, or at once when it could not be started.
    void execute() override;
    /// Calls commandWillExecute().
    void operationWillExecute() override;
    /// Calls commandDidTerminate(), then tells the delegate.
    void operationDidExecute() override;
    /// Interrupts the child while it runs; called by cancel().
    virtual void operationDidCancel();
    /// Tells the delegate about a chunk of standard output (file-handle queue).
    virtual void operationDidReceiveStandardOutputData(const QByteArray &data);
    /// Tells the delegate about a chunk of standard error (file-handle queue).
    virtual void operationDidReceiveStandardErrorData(const QByteArray &data);

    /// Hooks for subclasses; they do nothing here. commandWillExecute() runs on the operation's
    /// thread before the launch, commandDidFailToLaunch() just before the delegate hears of a
    /// failed launch, commandDidTerminate() just before it hears of the end.
    virtual void commandWillExecute();
    /// Hook: just before the delegate hears of a failed launch; does nothing here.
    virtual void commandDidFailToLaunch();
    /// Hook: just before the delegate hears of the end; does nothing here.
    virtual void commandDidTerminate();

private:
    class Private;
    std::unique_ptr<Private> d;
};

/// What a command operation that ran to its end leaves: QMCommandOperation::runAsync()'s result.
struct QMF_CORE_EXPORT QMCommandResult
{
    /// QMCommandOperation::exitCode(): the exit status, or the number of the signal that ended
    /// the child.
    qint64 exitCode = 0;
    /// Which of the two exitCode() is.
    QMCommandOperation::TerminationReason terminationReason
            = QMCommandOperation::TerminationReason::Exit;
    /// QMCommandOperation::standardOutputData(): the kept standard output.
    QByteArray standardOutput;
    /// QMCommandOperation::standardErrorData(): the kept standard error.
    QByteArray standardError;
};
