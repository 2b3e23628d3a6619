#include "QmfTestSupport.h"

#include <QMFoundation/text/QMBase64.h>
#include <QMFoundation/text/QMSHA1.h>

#include <gtest/gtest.h>

#include <QBuffer>
#include <QProcess>
#include <QTemporaryDir>

#include <fstream>
#include <random>
#include <string>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

QByteArray wholeDecoding(const QByteArray &text)
{
    uint64_t size = EstimateBas64DecodedDataSize(uint64_t(text.size()));
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    EXPECT_TRUE(Base64DecodeData(text.constData(), uint64_t(text.size()), bytes.data(), &size));
    bytes.truncate(qsizetype(size));
    return bytes;
}

QByteArray allByteValues()
{
    QByteArray bytes;
    for (int round = 0; round < 3; ++round) {
        for (int value = 0; value < 256; ++value)
            bytes.append(char(value ^ (round * 0x5A)));
    }
    return bytes;
}

} // namespace

// Each command writes exactly its result: Base64 text with its "\r\n" line ends and nothing
// after it, a digest in hex and one line feed. Usage errors end with status 2.
TEST(QmfCodecCommandsTest, WriteExactlyTheirResult)
{
    const QString oneOf = u"qmf: digest needs exactly one of --md5, --sha1 and --sha256\n"_s;
    expectRuns({
            {words("base64")},
            {words("base64"), "abc", 0, "YWJj"},
            {words("base64"), QByteArray(57, '\xff'), 0, QByteArray(72, '/') + "\r\n////"},
            // "-" is the standard input; qmf's parser takes it for an option unless it follows
            // "--".
            {words("base64 -- -"), "foobar", 0, "Zm9vYmFy"},
            {words("digest --md5"), "abc", 0, "900150983cd24fb0d6963f7d28e17f72\n"},
            {words("digest --sha1 --sha1"), "abc", 0, "a9993e364706816aba3e25717850c26c9cd0d89d\n"},
            {words("digest --sha256 -- -"), "abc", 0,
             "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"},
            failing(words("digest"), 2, oneOf, "abc"),
            failing(words("digest --md5 a b"), 2, u"qmf: digest takes at most one FILE\n"_s),
            failing(words("base64 a b"), 2, u"qmf: base64 takes at most one FILE\n"_s),
            failing(words("digest --sha1 /nonexistent/input"), 2,
                    u"qmf: /nonexistent/input: No such file or directory\n"_s),
    });

    QTemporaryDir dir;
    const QString path = writeFile(dir, QStringLiteral("input.bin"), "foobar");
    EXPECT_EQ(runQmf({QStringLiteral("base64"), path}, "ignored").bytes, QByteArray("Zm9vYmFy"));
}

// Base64 is encoded and a digest taken a piece of about 1 MiB at a time; the result is that of
// the whole input at every length around a piece's end.
TEST(QmfCodecCommandsTest, LargeInputsGiveTheResultOfTheWhole)
{
    constexpr qsizetype piece = 19418 * 54; // whole lines of 54 bytes
    const QByteArray all = QByteArray(allByteValues()).repeated(2 * piece / 768 + 2);
    for (const qsizetype length : {piece - 1, piece, piece + 1, 2 * piece + 53}) {
        SCOPED_TRACE(length);
        const QByteArray input = all.left(length);
        uint64_t size = EstimateBas64EncodedDataSize(uint64_t(length));
        QByteArray whole(qsizetype(size), Qt::Uninitialized);
        ASSERT_TRUE(Base64EncodeData(input.constData(), uint64_t(length), whole.data(), &size));
        const Outcome encoded = runQmf(words("base64"), input);
        EXPECT_EQ(encoded.status, 0);
        EXPECT_TRUE(encoded.bytes == whole);
        EXPECT_EQ(runQmf(words("digest --sha256"), input).out,
                  QMSHA1::SHA256String(input) + u"\n"_s);
    }
}

// Decoding goes a piece of about 1 MiB at a time, each cut where the decoder stands as at its
// start; an "=" it stops at ends the reading. The bytes are those of decoding the whole text in
// one call.
TEST(QmfCodecCommandsTest, DecodingInPiecesGivesTheBytesOfTheWhole)
{
    constexpr qsizetype piece = 1024 * 1024;
    const QByteArray encoded
            = runQmf(words("base64"), allByteValues().repeated(2 * piece / 768 + 1) + "xy").bytes;
    // Four letters, some of them split by white space, across the first piece's end.
    QByteArray split = QByteArray("QUJD").repeated(piece / 4 - 1) + "QU \r\n\tJ";
    split += QByteArray("D").append(QByteArray(" QUJD").repeated(piece / 5)) + "QQ";
    const auto replaced = [](QByteArray text, qsizetype at, const QByteArray &with) {
        return text.replace(at, with.size(), with);
    };
    const struct
    {
        const char *name;
        QByteArray text;
    } cases[] = {
            {"encoded text, padding at its end", encoded},
            {"white space inside groups at a piece's end", split},
            {"one long line", QByteArray("QUJD").repeated(piece / 2 + 3)},
            {"an = in the second piece", replaced(encoded, piece + piece / 2, "QQ==QUJD")},
            {"an = at the first piece's last character", replaced(split, piece - 1, "=")},
            {"other characters after white space", replaced(split, piece + 7, " *!\x80\0QU")},
            {"bytes above 127 in a group", replaced(encoded, piece + 3, "\xff\xfe")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome decoded = runQmf(words("base64 --decode"), c.text);
        EXPECT_EQ(decoded.status, 0);
        EXPECT_TRUE(decoded.bytes == wholeDecoding(c.text)) << decoded.bytes.size();
    }
}

// Text of every kind the decoder treats apart, in runs long and short across the pieces' ends:
// letters, white space, characters it skips after white space, NULs and bytes above 127, with an
// "=" far in or none; then many texts whose first piece ends inside a short stretch of mixed
// kinds, where what waits for the next piece is kept short.
TEST(QmfCodecCommandsTest, DecodingInPiecesFollowsTheDecoderOverAnyText)
{
    std::mt19937 random(35);
    const QByteArray kinds[] = {"QUJDa2x/+9", " \r\n\t", "!*-~", QByteArray(1, '\0'), "\x80\xff"};
    const auto appendRun = [&](QByteArray &text, const QByteArray &kind, int run) {
        for (int k = 0; k < run; ++k)
            text.append(kind[qsizetype(random() % unsigned(kind.size()))]);
    };
    const auto expectWholeDecoding = [](const QByteArray &text) {
        const Outcome decoded = runQmf(words("base64 --decode"), text);
        EXPECT_EQ(decoded.status, 0);
        EXPECT_TRUE(decoded.bytes == wholeDecoding(text)) << decoded.bytes.size();
    };
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        QByteArray text;
        while (text.size() < 2 * 1024 * 1024 + 100) {
            // Mostly short runs; now and then one of thousands of characters.
            const int run = random() % 50 == 0 ? int(random() % 20000) : int(random() % 6 + 1);
            appendRun(text, kinds[random() % 5 == 0 ? random() % 5 : 0], run);
        }
        if (round % 2 == 1)
            text.insert(qsizetype(random() % unsigned(text.size())), '=');
        expectWholeDecoding(text);
    }
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        QByteArray text = QByteArray("QUJD").repeated(256 * 1024 - 16 + int(random() % 8));
        while (text.size() < 1024 * 1024 + 64)
            appendRun(text, kinds[random() % 5], int(random() % 3 + 1));
        expectWholeDecoding(text);
    }
}

#if !defined(__SANITIZE_ADDRESS__) // the sanitizer's own memory would hide what qmf holds
// Text that never makes a whole group (white space, then characters the decoder skips) is not
// held: the program's peak memory stays far below the text's size.
TEST(QmfCodecCommandsTest, DecodingHoldsLittleOfAnyText)
{
    QProcess process;
    process.start(QStringLiteral(QMF_TOOL_PATH), words("base64 --decode"));
    ASSERT_TRUE(process.waitForStarted());
    const qsizetype chunk = 1024 * 1024;
    for (const char c : {' ', '!'}) {
        const QByteArray bytes(chunk, c);
        for (int k = 0; k < 160; ++k) {
            process.write(bytes);
            ASSERT_TRUE(process.waitForBytesWritten(60000));
        }
    }
    process.write("QUJD");
    ASSERT_TRUE(process.waitForBytesWritten(60000));
    qint64 peak = -1; // KiB
    std::ifstream status("/proc/" + std::to_string(process.processId()) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0)
            peak = std::stoll(line.substr(6));
    }
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardOutput(), QByteArray("ABC"));
    EXPECT_GT(peak, 0);
    EXPECT_LT(peak, 100 * 1024) << "KiB after 320 MiB of text";
}
#endif

TEST(QmfCodecCommandsTest, ToolBinaryWritesBinaryToItsStandardOutput)
{
    // Through the program's real standard streams, not a test buffer.
    const QByteArray bytes = allByteValues();
    QProcess process;
    process.start(QStringLiteral(QMF_TOOL_PATH), words("base64"));
    process.write(bytes);
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(60000));
    const QByteArray text = process.readAllStandardOutput();
    EXPECT_EQ(text.size(), 1024 + 1024 / 72 * 2);

    process.start(QStringLiteral(QMF_TOOL_PATH), words("base64 --decode"));
    process.write(text);
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardOutput(), bytes);

    // Into a text stream on a QString, each byte arrives as the Latin-1 character of its value.
    QByteArray input = text;
    QBuffer in(&input);
    QString decoded;
    QString errors;
    QTextStream out(&decoded);
    QTextStream err(&errors);
    EXPECT_EQ(Qmf::run(words("base64 -d"), in, out, err), 0);
    out.flush();
    EXPECT_EQ(decoded.toLatin1(), bytes);
}
