#include "QMFoundation/operations/QMChildProcess_p.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The most read from a pipe at once.
constexpr qsizetype ChunkSize = 64 * 1024;
// While the child runs without a pidfd, how often it is asked whether it has ended.
constexpr int ReapIntervalMilliseconds = 10;

void closeDescriptor(int &descriptor)
{
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

// A descriptor this process owns until the end of the scope.
class OwnedDescriptor
{
public:
    OwnedDescriptor() = default;
    explicit OwnedDescriptor(int descriptor)
        : m_descriptor(descriptor)
    { }
    ~OwnedDescriptor() { closeDescriptor(m_descriptor); }
    OwnedDescriptor(const OwnedDescriptor &) = delete;
    OwnedDescriptor &operator=(const OwnedDescriptor &) = delete;
    OwnedDescriptor &operator=(OwnedDescriptor &&other) noexcept
    {
        std::swap(m_descriptor, other.m_descriptor);
        return *this;
    }

    int get() const { return m_descriptor; }
    bool isValid() const { return m_descriptor >= 0; }
    int release() { return std::exchange(m_descriptor, -1); }

private:
    int m_descriptor = -1;
};

// `descriptor` moved above 2 (see the class comment), close-on-exec.
int aboveStandardStreams(int descriptor)
{
    if (descriptor < 0 || descriptor > STDERR_FILENO)
        return descriptor;
    const int moved = ::fcntl(descriptor, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int savedErrno = errno;
    ::close(descriptor);
    errno = savedErrno;
    return moved;
}

bool makePipe(OwnedDescriptor &reading, OwnedDescriptor &writing)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    reading = OwnedDescriptor(aboveStandardStreams(ends[0]));
    writing = OwnedDescriptor(aboveStandardStreams(ends[1]));
    return reading.isValid() && writing.isValid();
}

bool setNonBlocking(int descriptor)
{
    const int flags = ::fcntl(descriptor, F_GETFL);
    return flags >= 0 && ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool isDirectory(const QByteArray &path)
{
    struct stat info;
    return ::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The search of execvp(), made before the start so that a failure names the program's own
// reason: the first regular, executable file named `name` in PATH; EACCES when only files that
// may not be run were found there, ENOENT when none.
QByteArray findProgram(const QByteArray &name, int *error)
{
    if (name.contains('/'))
        return name;
    if (name.isEmpty()) {
        *error = ENOENT;
        return {};
    }
    QByteArray path = qgetenv("PATH");
    if (path.isNull())
        path = "/bin:/usr/bin";
    bool denied = false;
    for (const QByteArray &directory : path.split(':')) {
        const QByteArray candidate
                = (directory.isEmpty() ? QByteArray(".") : directory) + '/' + name;
        struct stat info;
        if (::stat(candidate.constData(), &info) != 0) {
            denied = denied || errno == EACCES;
            continue;
        }
        if (!S_ISREG(info.st_mode))
            continue;
        if (::access(candidate.constData(), X_OK) == 0)
            return candidate;
        denied = true;
    }
    *error = denied ? EACCES : ENOENT;
    return {};
}

// The working directory must be one the child can enter; checked here so that a failure says
// which of the two could not be used.
int checkWorkingDirectory(const QByteArray &directory)
{
    struct stat info;
    if (::stat(directory.constData(), &info) != 0)
        return errno;
    if (!S_ISDIR(info.st_mode))
        return ENOTDIR;
    return ::access(directory.constData(), X_OK) == 0 ? 0 : errno;
}

// NULL-terminated pointers into `strings`, for the exec family.
std::vector<char *> pointersTo(std::vector<QByteArray> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (QByteArray &string : strings)
        pointers.push_back(string.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Through syscall(): glibc 2.36 declares its wrappers without C linkage for C++.
int openProcessDescriptor(pid_t pid)
{
    return int(::syscall(SYS_pidfd_open, pid, 0));
}

} // namespace

QMChildProcess::~QMChildProcess()
{
    if (m_pid > 0 && !m_reaped) {
        ::kill(m_pid, SIGKILL); // not reaped yet, so the pid is still the child's
        reap(true);
    }
    closeDescriptor(m_processDescriptor);
    closeDescriptor(m_output);
    closeDescriptor(m_error);
    closeDescriptor(m_input);
}

std::optional<QMChildProcess::Failure> QMChildProcess::start(const Launch &launch)
{
    using Step = Failure::Step;
    int error = 0;
    const QByteArray program = findProgram(QFile::encodeName(launch.launchPath), &error);
    if (program.isNull())
        return Failure {Step::Program, error};
    QByteArray directory;
    if (!launch.workingDirectory.isNull()) {
        directory = QFile::encodeName(launch.workingDirectory);
        if (const int reason = checkWorkingDirectory(directory))
            return Failure {Step::WorkingDirectory, reason};
    }

    OwnedDescriptor childInput;
    OwnedDescriptor feeding;
    switch (launch.input.kind()) {
    case QMCommandInput::Kind::NullDevice:
        childInput
                = OwnedDescriptor(aboveStandardStreams(::open("/dev/null", O_RDONLY | O_CLOEXEC)));
        break;
    case QMCommandInput::Kind::File:
        childInput = OwnedDescriptor(aboveStandardStreams(::open(
                QFile::encodeName(launch.input.filePath()).constData(), O_RDONLY | O_CLOEXEC)));
        break;
    case QMCommandInput::Kind::FileDescriptor:
        // A private duplicate: the caller's own number may be 0, which the child's set-up
        // overwrites before it could be duplicated there.
        childInput = OwnedDescriptor(
                ::fcntl(launch.input.fileDescriptor(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        break;
    case QMCommandInput::Kind::Data:
        if (!makePipe(childInput, feeding) || !setNonBlocking(feeding.get()))
            return Failure {Step::Resources, errno};
        break;
    }
    if (!childInput.isValid())
        return Failure {Step::StandardInput, errno};

    OwnedDescriptor output;
    OwnedDescriptor outputWriting;
    OwnedDescriptor errorOutput;
    OwnedDescriptor errorWriting;
    if (!makePipe(output, outputWriting) || !makePipe(errorOutput, errorWriting)
        || !setNonBlocking(output.get()) || !setNonBlocking(errorOutput.get()))
        return Failure {Step::Resources, errno};

    std::vector<QByteArray> argumentStrings {QFile::encodeName(launch.launchPath)};
    for (const QString &argument : launch.arguments)
        argumentStrings.push_back(argument.toLocal8Bit());
    std::vector<char *> argv = pointersTo(argumentStrings);
    std::vector<QByteArray> environmentStrings;
    if (launch.environment) {
        for (auto it = launch.environment->cbegin(); it != launch.environment->cend(); ++it)
            environmentStrings.push_back((it.key() + QLatin1Char('=') + it.value()).toLocal8Bit());
    }
    std::vector<char *> envp = pointersTo(environmentStrings);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childInput.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputWriting.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errorWriting.get(), STDERR_FILENO);
    if (!directory.isNull())
        posix_spawn_file_actions_addchdir_np(&actions, directory.constData());
    // The child starts with no signal blocked (the mask of this thread would be inherited) and
    // with SIGPIPE at its default even when this process ignores it, so that a program whose
    // reader has gone away ends as it would under a shell.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int spawnError = ::posix_spawn(&pid, program.constData(), &actions, &attributes,
                                         argv.data(), launch.environment ? envp.data() : environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawnError != 0) {
        // exec() refuses a directory with EACCES; a shell's reason is the clearer one.
        return Failure {Step::Program,
                        spawnError == EACCES && isDirectory(program) ? EISDIR : spawnError};
    }

    m_pid = pid;
    // The child cannot have been reaped yet: only read() reaps it.
    m_processDescriptor = aboveStandardStreams(openProcessDescriptor(pid));
    m_output = output.release();
    m_error = errorOutput.release();
    m_input = feeding.release();
    m_inputBytes = launch.input.bytes();
    m_inputWritten = 0;
    if (m_input >= 0 && m_inputBytes.isEmpty())
        closeDescriptor(m_input);
    return std::nullopt;
}

bool QMChildProcess::reap(bool block)
{
    siginfo_t info {};
    if (::waitid(P_PID, id_t(m_pid), &info, WEXITED | (block ? 0 : WNOHANG)) == 0) {
        if (info.si_pid != m_pid)
            return false; // still running
        m_termination.bySignal = info.si_code != CLD_EXITED;
        m_termination.status = info.si_status;
    } else if (errno == EINTR) {
        return false;
    } else {
        // ECHILD: a host that ignores SIGCHLD lets the system reap its children, and their
        // status is lost.
        m_termination.status = -1;
    }
    m_reaped = true;
    // The pidfd stays open until the end: cancel() may be sending a signal through it.
    return true;
}

void QMChildProcess::feedInput()
{
    // A child that exits without reading all of its input must not end this process by
    // SIGPIPE: the signal is held back for this write and taken away if the write raised it.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    const qsizetype size = std::min(m_inputBytes.size() - m_inputWritten, ChunkSize);
    const ssize_t written
            = ::write(m_input, m_inputBytes.constData() + m_inputWritten, std::size_t(size));
    const int writeError = errno;
    if (written < 0 && writeError == EPIPE && !wasPending) {
        const timespec now {0, 0};
        while (::sigtimedwait(&pipeSignal, nullptr, &now) < 0 && errno == EINTR) { }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);

    if (written > 0)
        m_inputWritten += written;
    else if (writeError == EAGAIN || writeError == EINTR)
        return;
    if (written <= 0 || m_inputWritten == m_inputBytes.size()) {
        closeDescriptor(m_input); // end of file for the child
        m_inputBytes = QByteArray();
    }
}

bool QMChildProcess::readChunk(int &descriptor, Stream stream, const Reading &reading)
{
    QByteArray chunk(ChunkSize, Qt::Uninitialized);
    const ssize_t count = ::read(descriptor, chunk.data(), std::size_t(ChunkSize));
    if (count > 0) {
        // A chunk handed on holds at most twice the memory of its bytes, however small the
        // reads: small ones are copied out, large ones keep their buffer.
        if (2 * count < ChunkSize)
            chunk = QByteArray(chunk.constData(), qsizetype(count));
        else
            chunk.truncate(qsizetype(count));
        reading.chunk(stream, std::move(chunk));
        return true;
    }
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
        return true;
    closeDescriptor(descriptor); // end of file, or an error that ends the stream as well
    return false;
}

void QMChildProcess::readWhatIsThere(int &descriptor, Stream stream, const Reading &reading)
{
    if (descriptor < 0)
        return;
    // At most what the pipe can hold, so that a writer that keeps it full cannot keep this
    // going.
    const int capacity = ::fcntl(descriptor, F_GETPIPE_SZ);
    qsizetype left = capacity > 0 ? capacity : ChunkSize;
    while (left > 0 && descriptor >= 0) {
        char buffer[ChunkSize];
        const ssize_t count = ::read(descriptor, buffer, std::size_t(std::min(left, ChunkSize)));
        if (count <= 0)
            break;
        reading.chunk(stream, QByteArray(buffer, qsizetype(count)));
        left -= count;
    }
    closeDescriptor(descriptor);
}

QMChildProcess::Termination QMChildProcess::read(const Reading &reading)
{
    for (;;) {
        if (m_reaped) {
            // Nobody is left who would read the rest of the input.
            closeDescriptor(m_input);
            if (reading.cancelled()) {
                readWhatIsThere(m_output, Stream::Output, reading);
                readWhatIsThere(m_error, Stream::Error, reading);
            }
            if (m_output < 0 && m_error < 0)
                return m_termination;
        }

        pollfd descriptors[5];
        nfds_t count = 0;
        const auto watch = [&](int descriptor, short events) -> pollfd * {
            if (descriptor < 0)
                return nullptr;
            descriptors[count] = {descriptor, events, 0};
            return &descriptors[count++];
        };
        const bool throttled = reading.throttled();
        const pollfd *output = throttled ? nullptr : watch(m_output, POLLIN);
        const pollfd *error = throttled ? nullptr : watch(m_error, POLLIN);
        const pollfd *input = watch(m_input, POLLOUT);
        watch(m_reaped ? -1 : m_processDescriptor, POLLIN);
        const pollfd *wake = watch(reading.wakeDescriptor, POLLIN);
        const bool pollForEnd = !m_reaped && m_processDescriptor < 0;
        if (::poll(descriptors, count, pollForEnd ? ReapIntervalMilliseconds : -1) < 0)
            continue; // EINTR; nothing else can fail with these arguments

        if (wake && wake->revents) {
            quint64 value;
            [[maybe_unused]] const ssize_t ignored = ::read(wake->fd, &value, sizeof value);
        }
        // Each stream gets one read per round, so a flood on one does not starve the other.
        if (output && output->revents)
            readChunk(m_output, Stream::Output, reading);
        if (error && error->revents)
            readChunk(m_error, Stream::Error, reading);
        if (input && input->revents)
            feedInput();
        if (!m_reaped)
            reap(false);
    }
}
