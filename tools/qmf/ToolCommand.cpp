#include "ToolCommand.h"

#include <QFile>

#include <cstdio>

#include <unistd.h>

namespace {

// A QFile that was never opened stands for the process's standard input.
bool openStandardInput(QIODevice &input)
{
    if (auto *file = qobject_cast<QFile *>(&input); file && file->fileName().isEmpty())
        return file->open(stdin, QIODevice::ReadOnly);
    return input.open(QIODevice::ReadOnly);
}

} // namespace

Invocation::Invocation(const QMOptionParserResultList &items, const QStringList &arguments,
                       QIODevice &input, QTextStream &output, QTextStream &errors)
    : out(output)
    , err(errors)
    , m_items(items)
    , m_arguments(arguments)
    , m_input(input)
{ }

bool Invocation::has(const QMOptionPtr &option) const
{
    return std::any_of(m_items.cbegin(), m_items.cend(), [&](const QMOptionParserResultItem &item) {
        return item.option() == option;
    });
}

QVariant Invocation::value(const QMOptionPtr &option) const
{
    QVariant value;
    for (const QMOptionParserResultItem &item : m_items) {
        if (item.option() == option)
            value = item.value();
    }
    return value;
}

bool Invocation::countValue(const QMOptionPtr &option, qint64 *count) const
{
    if (!has(option))
        return true;
    // Strictly digits: the option parser reads numbers as strtod() does, so "abc" and "nan"
    // would pass as 0, which for a limit means "all".
    const QString text = value(option).toString();
    const bool digits = !text.isEmpty() && std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        return c >= u'0' && c <= u'9';
    });
    bool ok = false;
    const qint64 number = digits ? text.toLongLong(&ok) : 0;
    if (!ok)
        return false;
    *count = number;
    return true;
}

QVariantList Invocation::values(const QMOptionPtr &option) const
{
    QVariantList values;
    for (const QMOptionParserResultItem &item : m_items) {
        if (item.option() == option)
            values.append(item.value());
    }
    return values;
}

namespace {

bool isStandardInput(const QString &path)
{
    return path.isNull() || path == QLatin1String("-");
}

} // namespace

QIODevice *Invocation::openInput(const QString &path, QFile &file)
{
    if (isStandardInput(path)) {
        if (!m_input.isOpen() && !openStandardInput(m_input)) {
            readError(path, m_input);
            return nullptr;
        }
        return &m_input;
    }
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        readError(path, file);
        return nullptr;
    }
    return &file;
}

int Invocation::readError(const QString &path, const QIODevice &device)
{
    return readError(path, device.errorString());
}

int Invocation::readError(const QString &path, const QString &reason)
{
    return usageError(QStringLiteral("%1: %2").arg(
            isStandardInput(path) ? QStringLiteral("standard input") : path, reason));
}

std::optional<QByteArray> Invocation::readFirstLine(const QString &path, qsizetype maxSize)
{
    QFile file;
    QIODevice *device = openInput(path, file);
    if (!device)
        return std::nullopt;
    // Pieces through read(): QFile's readLine() on a stream stops at a NUL byte.
    constexpr qsizetype PieceSize = 64 * 1024;
    QByteArray bytes;
    for (;;) {
        const qsizetype held = bytes.size();
        const std::optional<qint64> count = appendPiece(*device, bytes, PieceSize);
        if (!count) {
            readError(path, *device);
            return std::nullopt;
        }
        const qsizetype end = bytes.indexOf('\n', held);
        const qsizetype length = end >= 0 ? end : bytes.size();
        if (length > maxSize) {
            readError(path, QStringLiteral("the first line is longer than %1 bytes").arg(maxSize));
            return std::nullopt;
        }
        if (end >= 0 || *count == 0)
            return bytes.first(length);
    }
}

std::optional<QByteArray> Invocation::readInput(const QString &path)
{
    QFile file;
    QIODevice *device = openInput(path, file);
    if (!device)
        return std::nullopt;
    QString reason;
    std::optional<QByteArray> bytes = readAllOf(*device, MaximumInputSize, &reason);
    if (!bytes)
        readError(path, reason);
    return bytes;
}

int Invocation::usageError(const QString &message)
{
    err << "qmf: " << message << Qt::endl;
    return 2;
}

bool Invocation::writeBytes(const QByteArray &bytes)
{
    return writeBytes(out, bytes);
}

bool Invocation::writeBytes(QTextStream &stream, const QByteArray &bytes)
{
    QIODevice *device = stream.device();
    if (!device) {
        stream << QString::fromLatin1(bytes);
        return true;
    }
    // What the stream holds goes out first (delivered() flushes it); nothing more goes out
    // after a failure: what follows would have a hole before it.
    if (!delivered(stream))
        return false;
    if (device->write(bytes) != bytes.size())
        return false;
    // A QFile on stdout buffers on its own; the bytes must be out before any later text.
    auto *file = qobject_cast<QFileDevice *>(device);
    return !file || file->flush();
}

bool Invocation::delivered(QTextStream &stream, QString *reason)
{
    stream.flush();
    QIODevice *device = stream.device();
    const auto *file = qobject_cast<const QFileDevice *>(device);
    const bool fileFailed = file && file->error() != QFileDevice::NoError;
    if (stream.status() != QTextStream::WriteFailed && !fileFailed)
        return true;
    if (reason)
        *reason = device ? device->errorString() : QStringLiteral("write error");
    return false;
}

bool readFailed(const QIODevice &device)
{
    const auto *file = qobject_cast<const QFileDevice *>(&device);
    return file && file->error() != QFileDevice::NoError;
}

std::optional<qint64> appendPiece(QIODevice &device, QByteArray &bytes, qsizetype size)
{
    const qsizetype held = bytes.size();
    bytes.resize(held + size);
    const qint64 count = device.read(bytes.data() + held, size);
    bytes.truncate(held + qsizetype(std::max<qint64>(count, 0)));
    if (count < 0 || readFailed(device))
        return std::nullopt;
    return count;
}

std::optional<QByteArray> readAllOf(QIODevice &device, qsizetype maxSize, QString *reason)
{
    constexpr qsizetype PieceSize = 1024 * 1024;
    QByteArray bytes;
    for (;;) {
        const std::optional<qint64> count = appendPiece(device, bytes, PieceSize);
        if (!count) {
            *reason = device.errorString();
            return std::nullopt;
        }
        if (bytes.size() > maxSize) {
            *reason = QStringLiteral("larger than %1 MiB, the most this command reads at once")
                              .arg(maxSize / (1024 * 1024));
            return std::nullopt;
        }
        if (*count == 0)
            return bytes;
    }
}

QMCommandInput Invocation::childInput()
{
    if (auto *file = qobject_cast<QFile *>(&m_input); file && file->fileName().isEmpty())
        return QMCommandInput::fromFileDescriptor(STDIN_FILENO);
    if (!m_input.isOpen() && !m_input.open(QIODevice::ReadOnly))
        return QMCommandInput();
    return QMCommandInput::fromData(m_input.readAll());
}

ToolCommand ToolCommand::make(const QString &name, const QMOptionList &options,
                              const QStringList &argumentNames, const QString &explanation,
                              std::function<int(Invocation &)> run,
                              const QList<ToolCommand> &subCommands)
{
    QMOptionCommandList subCommandList;
    for (const ToolCommand &subCommand : subCommands)
        subCommandList.append(subCommand.command);
    return ToolCommand {QMOptionCommand::optionCommandWithName(name, options, argumentNames,
                                                               subCommandList, explanation),
                        std::move(run), subCommands};
}

std::optional<std::pair<QString, QString>> splitAssignment(const QString &text)
{
    const qsizetype equals = text.indexOf(u'=');
    if (equals <= 0)
        return std::nullopt;
    return std::pair(text.left(equals), text.mid(equals + 1));
}
