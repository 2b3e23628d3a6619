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

TEST(DigestTest, MatchesPublishedTestVectors)
{
    const struct
    {
        const char *text;
        const char *md5;
        const char *sha1;
        const char *sha256;
    } rows[] = {
            // RFC 1321's test suite; FIPS 180 examples for SHA-1 and SHA-256.
            {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709",
             "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
            {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d",
             "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
            {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
             "8215ef0796a20bcaaae116d3876c664a", "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
             "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        const QString text = QString::fromLatin1(row.text);
        // The C string, the bytes and the text give the same digest.
        EXPECT_EQ(QMMD5::MD5String(row.text), QLatin1String(row.md5));
        EXPECT_EQ(QMMD5::MD5String(text.toLatin1()), QLatin1String(row.md5));
        EXPECT_EQ(QMMD5::md5(text), QLatin1String(row.md5));
        if (row.sha1) {
            EXPECT_EQ(QMSHA1::SHA1String(row.text), QLatin1String(row.sha1));
            EXPECT_EQ(QMSHA1::SHA1String(text), QLatin1String(row.sha1));
            EXPECT_EQ(QMSHA1::SHA256String(row.text), QLatin1String(row.sha256));
            EXPECT_EQ(QMSHA1::SHA256String(text.toLatin1()), QLatin1String(row.sha256));
        }
    }
    // A million "a"s: FIPS 180's long message.
    const QByteArray million(1000000, 'a');
    EXPECT_EQ(QMSHA1::SHA1String(million), u"34aa973cd4c4daa4f61eeb2bdbad27316534016f"_s);
    EXPECT_EQ(QMSHA1::SHA256String(million),
              u"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"_s);
}

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

TEST(DigestTest, AbsentInputHasNoDigestAndEmptyInputHasOne)
{
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
    const Digests empty[]
            = {ofText(u""_s),
               ofData(QByteArray("")),
               {QMMD5::MD5String(""), QMSHA1::SHA1String(""), QMSHA1::SHA256String("")}};
    for (const Digests &digests : empty) {
        EXPECT_EQ(digests.md5, u"d41d8cd98f00b204e9800998ecf8427e"_s);
        EXPECT_EQ(digests.sha1, u"da39a3ee5e6b4b0d3255bfef95601890afd80709"_s);
        EXPECT_EQ(digests.sha256,
                  u"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"_s);
    }
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
