#include "CodecCommands.h"

#include "Tour.h"

#include <QMFoundation/text/QMBase64.h>
#include <QMFoundation/text/QMBase64Transcoding.h>
#include <QMFoundation/text/QMMD5.h>
#include <QMFoundation/text/QMSHA1.h>

#include <array>
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

// What the decoder makes of each byte value: its value for the alphabet, Space for white space
// (skipped), Skipped for the characters it skips after white space, and anything else for the
// characters that count as a zero (a NUL, an "=" the decoder does not stop at).
constexpr uint8_t Space = 254;
constexpr uint8_t Skipped = 253;
const std::array<uint8_t, 256> &decodeClasses()
{
    static const std::array<uint8_t, 256> classes = [] {
        std::array<uint8_t, 256> table {};
        for (size_t c = 0; c < 256; ++c)
            table[c] = c < 128 ? kBase64DecodeTable[c] : Skipped;
        return table;
    }();
    return classes;
}

// When `text` holds nothing but the alphabet and white space (`*clean`), the length of its longest
// prefix that ends with a whole group of four alphabet characters: the decoder stands there as at
// its start (step 0, nothing carried), so the rest decodes alone to exactly what it gives after
// that prefix. A character of another kind (an "=", a NUL, anything else) makes the text not
// clean: decoderCut() finds the cut then.
qsizetype wholeGroupsPrefix(QByteArrayView text, bool *clean)
{
    // Per byte value: 1 for the alphabet, 0 for white space, 2 for any other kind.
    static const std::array<uint8_t, 256> kinds = [] {
        std::array<uint8_t, 256> table {};
        for (size_t c = 0; c < 256; ++c) {
            const uint8_t kind = decodeClasses()[c];
            table[c] = kind < 64 ? 1 : kind == Space ? 0 : 2;
        }
        return table;
    }();
    const auto kindAt = [&](qsizetype k) {
        return kinds[static_cast<unsigned char>(text[k])];
    };
    // One pass without branches for the common case, then the cut from the end.
    qsizetype letters = 0;
    unsigned other = 0;
    for (qsizetype k = 0; k < text.size(); ++k) {
        letters += kindAt(k) & 1;
        other |= kindAt(k) & 2;
    }
    *clean = other == 0;
    if (!*clean)
        return 0;
    qsizetype past = letters % 4; // letters after the last whole group
    qsizetype cut = text.size();
    for (; cut > 0; --cut) {
        if (kindAt(cut - 1) == 1 && past-- == 0)
            break;
    }
    return cut;
}

struct DecoderCut
{
    qsizetype position = 0;
    // The decoder stops at an "=" that ends the text up to `position`: nothing after it counts.
    // (The "=" stays in: a step before may have taken it as a zero.)
    bool stops = false;
};

// The same cut for any text, found by walking the decoder's six steps over it (QMBase64's decoder
// documents them): each step stops at an "=", skips white space, then the characters it skips
// after white space, and takes the character reached; steps 0, 2, 4 and 5 move past it. After
// step 5 the decoder stands as at its start.
DecoderCut decoderCut(QByteArrayView text)
{
    const std::array<uint8_t, 256> &classes = decodeClasses();
    const auto classAt = [&](qsizetype k) {
        return classes[static_cast<unsigned char>(text[k])];
    };
    DecoderCut cut;
    qsizetype i = 0;
    for (int step = 0;; step = step == 5 ? 0 : step + 1) {
        if (i < text.size() && text[i] == '=')
            return {i + 1, true};
        while (i < text.size() && classAt(i) == Space)
            ++i;
        while (i < text.size() && classAt(i) == Skipped)
            ++i;
        if (i >= text.size())
            return cut;
        if (step != 1 && step != 3)
            ++i;
        if (step == 5)
            cut.position = i;
    }
}

// Keeps what waits for the next piece short: a run of white space, or of characters skipped
// after it, acts on the decoder as one such character does, wherever the run starts or ends.
void shortenSkippedRuns(QByteArray &text)
{
    const std::array<uint8_t, 256> &classes = decodeClasses();
    char *const bytes = text.data();
    qsizetype kept = 0;
    uint8_t previous = 0;
    for (qsizetype k = 0; k < text.size(); ++k) {
        const uint8_t kind = classes[static_cast<unsigned char>(bytes[k])];
        if (kind == previous && (kind == Space || kind == Skipped))
            continue;
        bytes[kept++] = bytes[k];
        previous = kind;
    }
    text.truncate(kept);
}

// Decodes `text` and writes the bytes: 0, 1 when the output failed (qmf reports it), 2 when the
// text is too large to decode at once.
int writeDecoded(Invocation &invocation, QByteArrayView text)
{
    uint64_t capacity = EstimateBas64DecodedDataSize(uint64_t(text.size()));
    if (capacity > uint64_t(std::numeric_limits<qsizetype>::max()))
        return invocation.usageError(
                QStringLiteral("input of %1 bytes is too large to decode").arg(text.size()));
    QByteArray bytes(qsizetype(capacity), Qt::Uninitialized);
    const bool done = Base64DecodeData(text.data(), uint64_t(text.size()), bytes.data(), &capacity);
    Q_ASSERT(done); // the capacity is the estimate
    bytes.truncate(done ? qsizetype(capacity) : 0);
    return invocation.writeBytes(bytes) ? 0 : 1;
}

// Decodes a piece at a time: each piece is cut where the decoder stands as at its start (after a
// whole group of four characters it takes), what follows the cut goes on with the next piece, and
// an "=" the decoder stops at ends the reading. Memory stays within a few pieces whatever the text.
int decodeBase64(Invocation &invocation, const QString &path)
{
    QFile file;
    QIODevice *input = invocation.openInput(path, file);
    if (!input)
        return 2;
    constexpr qsizetype PieceSize = 1024 * 1024;
    QByteArray text;
    for (;;) {
        const std::optional<qint64> count = appendPiece(*input, text, PieceSize);
        if (!count)
            return invocation.readError(path, *input);
        if (*count == 0)
            return writeDecoded(invocation, text);
        bool clean = true;
        qsizetype cut = wholeGroupsPrefix(text, &clean);
        if (!clean) {
            const DecoderCut found = decoderCut(text);
            if (found.stops)
                return writeDecoded(invocation, QByteArrayView(text).first(found.position));
            cut = found.position;
        }
        if (const int status = writeDecoded(invocation, QByteArrayView(text).first(cut)))
            return status;
        text.remove(0, cut);
        shortenSkippedRuns(text);
    }
}

// The C functions rather than the QString wrappers: the input is arbitrary bytes, and decoding
// must not refuse a file just because it holds a byte above 127 (it is skipped like any other
// character outside the alphabet).
int runBase64(Invocation &invocation, const QMOptionPtr &decodeOption)
{
    const std::optional<QString> path = inputPath(invocation, QStringLiteral("base64"));
    if (!path)
        return 2;
    return invocation.has(decodeOption) ? decodeBase64(invocation, *path)
                                        : encodeBase64(invocation, *path);
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
