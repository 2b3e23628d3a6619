#include "CodecCommands.h"

#include "Tour.h"

#include <QMFoundation/text/QMBase64.h>
#include <QMFoundation/text/QMBase64Transcoding.h>
#include <QMFoundation/text/QMMD5.h>
#include <QMFoundation/text/QMSHA1.h>

#include <cstring>
#include <limits>

namespace {

// The optional FILE of both commands: null for the standard input.
std::optional<QString> inputPath(Invocation &invocation, const QString &command)
{
    const QStringList &arguments = invocation.arguments();
    if (arguments.size() > 1) {
        invocation.usageError(QStringLiteral("%1 takes at most one FILE").arg(command));
        return std::nullopt;
    }
    return arguments.isEmpty() ? QString() : arguments.first();
}

// The bytes of one line of the encoding: 72 characters. An input cut into pieces of whole lines
// encodes piece by piece to exactly the encoding of the whole, line breaks included.
constexpr qsizetype LineBytes = 54;
// Read and encoded at a time: about 1 MiB.
constexpr qsizetype PieceLines = 19418;

// Encodes the input a piece at a time, so that a file of any size takes a few MiB.
int encodeBase64(Invocation &invocation, const QString &path)
{
    QFile file;
    QIODevice *input = invocation.openInput(path, file);
    if (!input)
        return 2;
    QByteArray bytes(PieceLines * LineBytes + LineBytes, Qt::Uninitialized);
    QByteArray text(qsizetype(EstimateBas64EncodedDataSize(uint64_t(bytes.size()))),
                    Qt::Uninitialized);
    qsizetype held = 0; // bytes of the piece not encoded yet, fewer than a line's
    for (;;) {
        const qint64 count = input->read(bytes.data() + held, PieceLines * LineBytes);
        if (count < 0 || readFailed(*input))
            return invocation.readError(path, *input);
        held += qsizetype(count);
        const bool last = count == 0;
        const qsizetype encoded = last ? held : held / LineBytes * LineBytes;
        uint64_t size = uint64_t(text.size());
        [[maybe_unused]] const bool done
                = Base64EncodeData(bytes.constData(), uint64_t(encoded), text.data(), &size);
        Q_ASSERT(done); // the capacity is the estimate of a larger piece
        if (!invocation.writeBytes(QByteArray::fromRawData(text.constData(), qsizetype(size))))
            return 1; // qmf reports the output's failure
        if (last)
            return 0;
        std::memmove(bytes.data(), bytes.constData() + encoded, size_t(held - encoded));
        held -= encoded;
    }
}

// The C functions rather than the QString wrappers: the input is arbitrary bytes, and decoding
// must not refuse a file just because it holds a byte above 127 (it is skipped like any other
// character outside the alphabet). Decoding takes the whole input at once: where a step of
// the text begins depends on everything before it.
int runBase64(Invocation &invocation, const QMOptionPtr &decodeOption)
{
    const std::optional<QString> path = inputPath(invocation, QStringLiteral("base64"));
    if (!path)
        return 2;
    if (!invocation.has(decodeOption))
        return encodeBase64(invocation, *path);
    const std::optional<QByteArray> input = invocation.readInput(*path);
    if (!input)
        return 2;
    const uint64_t size = uint64_t(input->size());
    uint64_t capacity = EstimateBas64DecodedDataSize(size);
    if (capacity > uint64_t(std::numeric_limits<qsizetype>::max()))
        return invocation.usageError(
                QStringLiteral("input of %1 bytes is too large to decode").arg(size));
    QByteArray output(qsizetype(capacity), Qt::Uninitialized);
    const bool done = Base64DecodeData(input->constData(), size, output.data(), &capacity);
    Q_ASSERT(done); // the capacity is the estimate
    output.truncate(done ? qsizetype(capacity) : 0);
    invocation.writeBytes(output);
    return 0;
}

int runDigest(Invocation &invocation, const QMOptionList &algorithms)
{
    QMOptionList chosen;
    for (const QMOptionPtr &option : algorithms) {
        if (invocation.has(option))
            chosen.append(option);
    }
    if (chosen.size() != 1)
        return invocation.usageError(
                QStringLiteral("digest needs exactly one of --md5, --sha1 and --sha256"));
    const std::optional<QString> path = inputPath(invocation, QStringLiteral("digest"));
    if (!path)
        return 2;
    QFile file;
    QIODevice *input = invocation.openInput(*path, file);
    if (!input)
        return 2;
    // Read a piece at a time: a file of any size takes a few hundred KiB.
    const QString alias = chosen.first()->alias();
    const QString digest = alias == QLatin1String("md5") ? QMMD5::MD5StringOfDevice(*input)
            : alias == QLatin1String("sha1")             ? QMSHA1::SHA1StringOfDevice(*input)
                                                         : QMSHA1::SHA256StringOfDevice(*input);
    if (digest.isNull())
        return invocation.readError(*path, *input);
    invocation.out << digest << "\n";
    return 0;
}

QMOptionPtr longOption(const char *alias, const char *explanation)
{
    return QMOption::optionWithFlag(QString(), QString::fromLatin1(alias),
                                    QString::fromLatin1(explanation), QString(), QMOptionTypeNone,
                                    false);
}

} // namespace

QList<ToolCommand> CodecCommands::commands()
{
    const QMOptionPtr decode = QMOption::optionWithFlag(
            QStringLiteral("d"), QStringLiteral("decode"),
            QStringLiteral("Decode Base64 text (white space and other characters are skipped)"),
            QString(), QMOptionTypeNone, false);
    const QMOptionList algorithms {longOption("md5", "MD5 (RFC 1321), 32 hex digits"),
                                   longOption("sha1", "SHA-1 (FIPS 180-4), 40 hex digits"),
                                   longOption("sha256", "SHA-256 (FIPS 180-4), 64 hex digits")};
    return {
            ToolCommand::make(
                    QStringLiteral("base64"), {decode}, {QStringLiteral("FILE")},
                    QStringLiteral("Base64-encode FILE or the standard input in lines "
                                   "of 72 characters; --decode decodes"),
                    [decode](Invocation &invocation) { return runBase64(invocation, decode); }),
            ToolCommand::make(QStringLiteral("digest"), algorithms, {QStringLiteral("FILE")},
                              QStringLiteral("Print the --md5, --sha1 or --sha256 digest of FILE "
                                             "or the standard input in hex"),
                              [algorithms](Invocation &invocation) {
                                  return runDigest(invocation, algorithms);
                              }),
    };
}

void CodecCommands::tour(QTextStream &out)
{
    const QByteArray feed = Tour::resource(QStringLiteral("feed.xml")).toUtf8();
    const QString encoded = QMBase64Transcoding::encodeBase64(feed);
    out << "feed.xml (" << feed.size() << " bytes) in Base64 is " << encoded.size()
        << " characters: lines of 72, each ending in \\r\\n. Its first line:\n"
        << "    " << encoded.left(72) << "\n"
        << "Decoding skips line breaks, spaces and characters outside the alphabet, and gives "
           "back\nthe file: "
        << (QMBase64Transcoding::dataWithBase64EncodedString(encoded) == feed ? "YES" : "NO")
        << "\n"
        << "    \"YW Jj\\r\\nZG!Vm\" -> \""
        << QString::fromLatin1(QMBase64Transcoding::dataWithBase64EncodedString(
                   QStringLiteral("YW Jj\r\nZG!Vm")))
        << "\"\n\nIts digests (qmf digest --md5|--sha1|--sha256 FILE prints the same):\n"
        << "    MD5      " << QMMD5::MD5String(feed) << "\n"
        << "    SHA-1    " << QMSHA1::SHA1String(feed) << "\n"
        << "    SHA-256  " << QMSHA1::SHA256String(feed) << "\n";
}
