#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QProcess>
#include <QTemporaryDir>

using namespace QmfTestSupport;

namespace {

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
// after it, a digest in hex and one line feed.
TEST(QmfCodecCommandsTest, WriteExactlyTheirResult)
{
    const struct
    {
        const char *arguments;
        QByteArray input;
        QByteArray output;
    } rows[] = {
            {"base64", "", ""},
            {"base64", "abc", "YWJj"},
            {"base64", QByteArray(57, '\xff'), QByteArray(72, '/') + "\r\n////"},
            // "-" is the standard input; qmf's parser takes it for an option unless it follows
            // "--".
            {"base64 -- -", "foobar", "Zm9vYmFy"},
            {"base64 -d", "", ""},
            {"digest --md5", "abc", "900150983cd24fb0d6963f7d28e17f72\n"},
            {"digest --sha1 --sha1", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d\n"},
            {"digest --sha256 -- -", "abc",
             "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments);
        const Outcome outcome = runQmf(words(row.arguments), row.input);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.bytes, row.output);
        EXPECT_TRUE(outcome.err.isEmpty()) << qPrintable(outcome.err);
    }

    QTemporaryDir dir;
    const QString path = writeFile(dir, QStringLiteral("input.bin"), "foobar");
    EXPECT_EQ(runQmf({QStringLiteral("base64"), path}, "ignored").bytes, QByteArray("Zm9vYmFy"));
}

TEST(QmfBase64Test, DecodesToRawBytes)
{
    const QByteArray bytes = allByteValues();
    const Outcome encoded = runQmf(words("base64"), bytes);
    ASSERT_EQ(encoded.status, 0);
    for (const char *arguments : {"base64 --decode", "base64 -d"}) {
        SCOPED_TRACE(arguments);
        const Outcome decoded = runQmf(words(arguments), encoded.bytes);
        EXPECT_EQ(decoded.status, 0);
        EXPECT_EQ(decoded.bytes, bytes);
    }

    // Into a text stream on a QString, each byte arrives as the Latin-1 character of its value.
    QByteArray input = encoded.bytes;
    QBuffer in(&input);
    QString text;
    QString errors;
    QTextStream out(&text);
    QTextStream err(&errors);
    EXPECT_EQ(Qmf::run(words("base64 -d"), in, out, err), 0);
    out.flush();
    EXPECT_EQ(text.toLatin1(), bytes);
}

TEST(QmfCodecCommandsTest, UsageErrorsEndWithStatus2)
{
    const struct
    {
        const char *arguments;
        const char *error;
    } rows[] = {
            {"digest", "qmf: digest needs exactly one of --md5, --sha1 and --sha256\n"},
            {"digest --md5 --sha256",
             "qmf: digest needs exactly one of --md5, --sha1 and --sha256\n"},
            {"digest --md5 a b", "qmf: digest takes at most one FILE\n"},
            {"base64 a b", "qmf: base64 takes at most one FILE\n"},
            {"digest --sha1 /nonexistent/input",
             "qmf: /nonexistent/input: No such file or directory\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments);
        expectUsageError(words(row.arguments), row.error, "abc");
    }
}

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
}
