#pragma once

#include <QMFoundation/operations/QMCommandInput.h>

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

#include <sys/types.h>

/// One child process of a command operation: started with its standard output and standard
/// error on pipes of its own, then read until both pipes have reached their end. Used on one
/// thread (the operation's); only the wake-up descriptor of `Reading` is written from others.
///
/// Every descriptor it makes is close-on-exec and above 2, so that a child started meanwhile by
/// another thread never inherits one (a write end held by a stranger would keep a pipe from
/// ending) and so that none is overwritten when the child's standard streams are set up, even
/// when this process runs with some of its own standard streams closed.
class QMChildProcess
{
public:
    struct Launch
    {
        QString launchPath; ///< without a "/": looked up in this process's PATH
        QString workingDirectory; ///< null: this process's
        QStringList arguments;
        std::optional<QMap<QString, QString>> environment; ///< std::nullopt: this process's
        QMCommandInput input;
    };

    /// What could not be done, and the system's errno for it.
    struct Failure
    {
        enum class Step { Program, WorkingDirectory, StandardInput, Resources };
        Step step = Step::Program;
        int error = 0;
    };

    enum class Stream { Output, Error };

    struct Reading
    {
        /// Called with each non-empty chunk, in the order read.
        std::function<void(Stream, QByteArray)> chunk;
        /// True while the chunks handed on are not consumed yet: the pipes are not read then.
        std::function<bool()> throttled;
        /// True once reading should stop as soon as the child has ended.
        std::function<bool()> cancelled;
        /// Readable when throttled() or cancelled() may have changed (an eventfd).
        int wakeDescriptor = -1;
    };

    struct Termination
    {
        qint64 status = 0; ///< the exit status, or the signal's number
        bool bySignal = false;
    };

    QMChildProcess() = default;
    /// Closes what is still open; a child still running is killed and reaped, so that leaving
    /// by an exception leaves no process behind.
    ~QMChildProcess();
    QMChildProcess(const QMChildProcess &) = delete;
    QMChildProcess &operator=(const QMChildProcess &) = delete;

    /// Starts the child. Returns the failure when it could not be started.
    std::optional<Failure> start(const Launch &launch);
    pid_t processIdentifier() const { return m_pid; }
    /// A pidfd for the child (signals sent through it never reach a process that reuses the
    /// pid); -1 on kernels without them.
    int processDescriptor() const { return m_processDescriptor; }

    /// Feeds the input, reads both pipes and reaps the child. Returns when the child has ended
    /// and both pipes have reached their end, or, once `reading.cancelled()` is true, as soon
    /// as the child has ended and what the pipes held at that moment has been read.
    Termination read(const Reading &reading);

private:
    bool reap(bool block);
    void feedInput();
    // Reads one chunk; false at the end of the stream (which closes it).
    bool readChunk(int &descriptor, Stream stream, const Reading &reading);
    void readWhatIsThere(int &descriptor, Stream stream, const Reading &reading);

    pid_t m_pid = 0;
    int m_processDescriptor = -1;
    bool m_reaped = false;
    Termination m_termination;
    int m_output = -1;
    int m_error = -1;
    int m_input = -1; // the write end of a pipe that feeds the bytes of QMCommandInput::fromData
    QByteArray m_inputBytes;
    qsizetype m_inputWritten = 0;
};
