#pragma once

#include <QMFoundation/operations/QMCommandInput.h>
#include <QMFoundation/options/QMOptionParser.h>

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <QList>
#include <QStringList>
#include <QTextStream>

#include <functional>
#include <optional>
#include <utility>

/// What a qmf command works with: the items qmf's own parser made of the command line, the
/// command's positional arguments, the standard input and the output streams.
class Invocation
{
public:
    Invocation(const QMOptionParserResultList &items, const QStringList &arguments,
               QIODevice &input, QTextStream &out, QTextStream &err);

    /// The positional arguments, in order, then everything that followed "--".
    const QStringList &arguments() const { return m_arguments; }
    /// Whether `option` was given.
    bool has(const QMOptionPtr &option) const;
    /// The value given with the last occurrence of `option`, or an invalid QVariant.
    QVariant value(const QMOptionPtr &option) const;
    /// The values given with every occurrence of `option`, in order.
    QVariantList values(const QMOptionPtr &option) const;
    /// The value of `option` (a text option) as a count: decimal digits only, 0 or more, within
    /// 64 bits. False when the option was given with anything else ("abc", "nan", "-1", "1.5",
    /// "0x10", " 2"); `*count` is left alone when the option was not given.
    bool countValue(const QMOptionPtr &option, qint64 *count) const;

    /// The most a command reads whole: 256 MiB.
    static constexpr qsizetype MaximumInputSize = qsizetype(256) * 1024 * 1024;
    /// The bytes of the file at `path`, or of the standard input when `path` is null or "-", at
    /// most MaximumInputSize of them. On failure (more than that included) prints
    /// "qmf: PATH: reason" and returns std::nullopt.
    std::optional<QByteArray> readInput(const QString &path);
    /// The device to read the file at `path` from (opened in `file`), or the standard input
    /// when `path` is null or "-", open for reading. On failure prints "qmf: PATH: reason" and
    /// returns nullptr.
    QIODevice *openInput(const QString &path, QFile &file);
    /// The first line of the file at `path` (the standard input for a null path or "-"),
    /// without its line feed; a last line without one is read whole. Reads no further than the
    /// line, and no more than `maxSize` bytes of it: a longer line, like any failure, prints
    /// "qmf: PATH: reason" and gives std::nullopt.
    std::optional<QByteArray> readFirstLine(const QString &path, qsizetype maxSize);
    /// Prints "qmf: PATH: reason" (PATH "standard input" for the standard input) for a read of
    /// `device`, opened by openInput(), that failed; returns 2.
    int readError(const QString &path, const QIODevice &device);
    /// The same with `reason` as the reason.
    int readError(const QString &path, const QString &reason);
    /// Prints "qmf: message" and a line feed on the error stream; returns 2, the usage status.
    int usageError(const QString &message);
    /// Writes `bytes` to the standard output unchanged (binary-safe): to the device under `out`,
    /// after what `out` holds. When `out` writes into a QString (as in tests), each byte becomes
    /// the Latin-1 character of the same value, so nothing is lost there either.
    /// False once the standard output has failed (see delivered()).
    bool writeBytes(const QByteArray &bytes);
    /// The same for any stream, the error stream included.
    static bool writeBytes(QTextStream &stream, const QByteArray &bytes);
    /// Flushes `stream` and says whether everything written to it so far reached its device:
    /// false once a write or a flush failed (a full disk, a descriptor that the caller closed or
    /// opened for reading only), with the system's reason in `*reason`. A stream that writes
    /// into a QString never fails.
    static bool delivered(QTextStream &stream, QString *reason = nullptr);
    /// The standard input for a program that the command runs: this process's own standard
    /// input when the invocation reads it (qmf as a program), else the bytes of the device that
    /// stands in for it (in tests).
    QMCommandInput childInput();

    QTextStream &out;
    QTextStream &err;

private:
    QMOptionParserResultList m_items;
    QStringList m_arguments;
    QIODevice &m_input;
};

/// Whether a read of `device` failed: read() gave -1, or a file holds a read error (a QFile gives
/// back what it read before one).
bool readFailed(const QIODevice &device);

/// Reads up to `size` more bytes of `device` onto the end of `bytes`: the count read (0 at the
/// end), or std::nullopt when the read failed (see readFailed()).
std::optional<qint64> appendPiece(QIODevice &device, QByteArray &bytes, qsizetype size);

/// Everything that `device` (open for reading) still holds, when that is at most `maxSize` bytes;
/// std::nullopt when reading it failed (a directory given as the standard input, a device that
/// reports an I/O error), so that a failed read never passes for an empty input, or when more
/// came (reading stops a piece past `maxSize`, so /dev/zero cannot fill memory). `*reason` says
/// why: the device's error, or "larger than N MiB, the most this command reads at once".
std::optional<QByteArray> readAllOf(QIODevice &device, qsizetype maxSize, QString *reason);

/// "NAME=VALUE" split at its first "=" into NAME and VALUE; std::nullopt when there is no "=" or
/// NAME is empty.
std::optional<std::pair<QString, QString>> splitAssignment(const QString &text);

/// One command of the qmf tool, with its handler and its sub-commands.
struct ToolCommand
{
    QMOptionCommandPtr command;
    /// Runs the command and returns the exit status. Empty for a command that only groups its
    /// sub-commands: given alone, such a command prints its description and fails.
    std::function<int(Invocation &)> run;
    QList<ToolCommand> subCommands;

    /// A command named `name` with its options, argument names and explanation; its
    /// sub-command list is that of `subCommands` (empty: no command may follow it).
    static ToolCommand make(const QString &name, const QMOptionList &options,
                            const QStringList &argumentNames, const QString &explanation,
                            std::function<int(Invocation &)> run,
                            const QList<ToolCommand> &subCommands = {});
};
