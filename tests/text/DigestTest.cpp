#include "text/QMMD5.h"
#include "text/QMSHA1.h"

#include "CodecFixtures.h"
#include "TextTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

struct Digests
{
    QString md5;
    QString sha1;
    QString sha256;
};

Digests ofData(const QByteArray &data)
{
    return {QMMD5::MD5String(data), QMSHA1::SHA1String(data), QMSHA1::SHA256String(data)};
}

Digests ofText(const QString &text)
{
    EXPECT_EQ(QMMD5::md5(text), QMMD5::MD5String(text));
    return {QMMD5::MD5String(text), QMSHA1::SHA1String(text), QMSHA1::SHA256String(text)};
}

void expectFixture(const Digests &digests, const QJsonValue &row)
{
    EXPECT_EQ(digests.md5, CodecFixtures::field(row, "md5"));
    EXPECT_EQ(digests.sha1, CodecFixtures::field(row, "sha1"));
    EXPECT_EQ(digests.sha256, CodecFixtures::field(row, "sha256"));
}

} // namespace

TEST(DigestTest, MatchesPythonsHashlib)
{
    for (const QJsonValue &row : CodecFixtures::group("bytes")) {
        const int length = row[QLatin1String("length")].toInt();
        SCOPED_TRACE(length);
        expectFixture(ofData(CodecFixtures::pattern(length)), row);
    }
    for (const QJsonValue &row : CodecFixtures::group("large")) {
        const int length = row[QLatin1String("length")].toInt();
        SCOPED_TRACE(length);
        expectFixture(ofData(CodecFixtures::pattern(length)), row);
    }
    // Texts are digested as UTF-8, whatever they hold (NUL, surrogate pairs, line breaks).
    for (const QJsonValue &row : CodecFixtures::group("texts")) {
        const QString text = CodecFixtures::field(row, "text");
        SCOPED_TRACE(text.toStdString());
        expectFixture(ofText(text), row);
        expectFixture(ofData(text.toUtf8()), row);
    }
}

// The fixtures cover the bytes and text forms; the C-string forms give the published test
// vectors (RFC 1321, FIPS 180), stop at the first NUL and take a null pointer for none.
TEST(DigestTest, CStringsMatchPublishedVectorsAndAbsentInputHasNoDigest)
{
    EXPECT_EQ(QMMD5::MD5String("abc"), u"900150983cd24fb0d6963f7d28e17f72"_s);
    EXPECT_EQ(QMSHA1::SHA1String("abc"), u"a9993e364706816aba3e25717850c26c9cd0d89d"_s);
    EXPECT_EQ(QMSHA1::SHA256String("abc"),
              u"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_s);
    const Digests absent[] = {ofText(QString()),
                              ofData(QByteArray()),
                              {QMMD5::MD5String(static_cast<const char *>(nullptr)),
                               QMSHA1::SHA1String(static_cast<const char *>(nullptr)),
                               QMSHA1::SHA256String(static_cast<const char *>(nullptr))}};
    for (const Digests &digests : absent) {
        EXPECT_TRUE(digests.md5.isNull());
        EXPECT_TRUE(digests.sha1.isNull());
        EXPECT_TRUE(digests.sha256.isNull());
    }
    const Digests empty = {QMMD5::MD5String(""), QMSHA1::SHA1String(""), QMSHA1::SHA256String("")};
    EXPECT_EQ(empty.md5, u"d41d8cd98f00b204e9800998ecf8427e"_s);
    EXPECT_EQ(empty.sha1, u"da39a3ee5e6b4b0d3255bfef95601890afd80709"_s);
    EXPECT_EQ(empty.sha256, u"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"_s);
    // Bytes past a NUL count for QByteArray, not for a C string.
    EXPECT_NE(QMMD5::MD5String(QByteArray("a\0b", 3)), QMMD5::MD5String("a\0b"));
    EXPECT_EQ(QMMD5::MD5String("a\0b"), QMMD5::MD5String("a"));
}

TEST(DigestTest, ThreadsDigestIndependently)
{
    // Each thread keeps its own digest state; interleaved calls must not mix inputs.
    const QByteArray inputs[]
            = {CodecFixtures::pattern(100000), QByteArray(70000, 'x'), QByteArray("abc")};
    Digests expected[3];
    for (int k = 0; k < 3; ++k)
        expected[k] = ofData(inputs[k]);
    std::atomic<int> mismatches = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                const int k = (t + round) % 3;
                const Digests digests = ofData(inputs[k]);
                if (digests.md5 != expected[k].md5 || digests.sha1 != expected[k].sha1
                    || digests.sha256 != expected[k].sha256)
                    ++mismatches;
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}
