#include "CodecCommands.h"

#include "Tour.h"

#include <QMFoundation/text/QMBase64.h>
#include <QMFoundation/text/QMBase64Transcoding.h>
#include <QMFoundation/text/QMMD5.h>
#include <QMFoundation/text/QMSHA1.h>

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

// The C functions rather than the QString wrappers: the input is arbitrary bytes, and decoding
// must not refuse a file just because it holds a byte above 127 (it is skipped like any other
// character outside the alphabet).
int runBase64(Invocation &invocation, const QMOptionPtr &decodeOption)
{
    const std::optional<QString> path = inputPath(invocation, QStringLiteral("base64"));
    if (!path)
        return 2;
    const std::optional<QByteArray> input = invocation.readInput(*path);
    if (!input)
        return 2;
    const bool decode = invocation.has(decodeOption);
    const uint64_t size = uint64_t(input->size());
    uint64_t capacity
            = decode ? EstimateBas64DecodedDataSize(size) : EstimateBas64EncodedDataSize(size);
    if (capacity > uint64_t(std::numeric_limits<qsizetype>::max()))
        return invocation.usageError(
                QStringLiteral("input of %1 bytes is too large to %2")
                        .arg(QString::number(size),
                             decode ? QStringLiteral("decode") : QStringLiteral("encode")));
    QByteArray output(qsizetype(capacity), Qt::Uninitialized);
    const bool done = decode ? Base64DecodeData(input->constData(), size, output.data(), &capacity)
                             : Base64EncodeData(input->constData(), size, output.data(), &capacity);
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
    const std::optional<QByteArray> input = invocation.readInput(*path);
    if (!input)
        return 2;
    // readAll() of an empty input may be a null QByteArray, which has no digest: the bytes of a
    // file or a stream are always there, if empty.
    const QByteArray bytes = input->isNull() ? QByteArray("", 0) : *input;
    const QString alias = chosen.first()->alias();
    const QString digest = alias == QLatin1String("md5") ? QMMD5::MD5String(bytes)
            : alias == QLatin1String("sha1")             ? QMSHA1::SHA1String(bytes)
                                                         : QMSHA1::SHA256String(bytes);
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
