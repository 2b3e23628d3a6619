#include <QMFoundation/text/QMMD5.h>
#include <QMFoundation/text/QMSHA1.h>

#include "CodecFixtures.h"
#include "TextTestSupport.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>

#include <atomic>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// The MD5, SHA-1 and SHA-256 digests of `input`, in that order.
template<typename Input>
QStringList digests(const Input &input)
{
    return {QMMD5::MD5String(input), QMSHA1::SHA1String(input), QMSHA1::SHA256String(input)};
}

QStringList fixture(const QJsonValue &row)
{
    return {CodecFixtures::field(row, "md5"), CodecFixtures::field(row, "sha1"),
            CodecFixtures::field(row, "sha256")};
}

} // namespace

TEST(DigestTest, MatchesPythonsHashlib)
{
    for (const char *group : {"bytes", "large"}) {
        for (const QJsonValue &row : CodecFixtures::group(group)) {
            const int length = row[QLatin1String("length")].toInt();
            EXPECT_EQ(digests(CodecFixtures::pattern(length)), fixture(row)) << length;
        }
    }
    // Texts are digested as UTF-8, whatever they hold (NUL, surrogate pairs, line breaks).
    for (const QJsonValue &row : CodecFixtures::group("texts")) {
        const QString text = CodecFixtures::field(row, "text");
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(digests(text), fixture(row));
        EXPECT_EQ(QMMD5::md5(text), fixture(row).first());
    }
}

// The fixtures cover the bytes and text forms; the C-string forms give the published test
// vectors (RFC 1321, FIPS 180), stop at the first NUL and take a null pointer for none.
TEST(DigestTest, CStringsMatchPublishedVectorsAndAbsentInputHasNoDigest)
{
    EXPECT_EQ(
            digests("abc"),
            (QStringList {u"900150983cd24fb0d6963f7d28e17f72"_s,
                          u"a9993e364706816aba3e25717850c26c9cd0d89d"_s,
                          u"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"_s}));
    EXPECT_EQ(digests("a\0b"), digests("a"));
    EXPECT_EQ(QMMD5::MD5String(""), u"d41d8cd98f00b204e9800998ecf8427e"_s);
    EXPECT_EQ(digests(""), digests(QByteArray("")));
    EXPECT_NE(digests(QByteArray("a\0b", 3)), digests("a"));
    for (const QStringList &absent :
         {digests(QString()), digests(QByteArray()), digests(static_cast<const char *>(nullptr))}) {
        for (const QString &digest : absent)
            EXPECT_TRUE(digest.isNull());
    }
}

// A device is read a piece at a time from where it stands: the digest is that of the bytes read,
// whichever pieces they came in; a device that is not readable, or fails, has no digest.
TEST(DigestTest, DevicesAreDigestedFromWhereTheyStandToTheirEnd)
{
    const auto ofDevice = [](QIODevice &device) {
        const qint64 at = device.pos();
        QStringList result {QMMD5::MD5StringOfDevice(device)};
        device.seek(at);
        result.append(QMSHA1::SHA1StringOfDevice(device));
        device.seek(at);
        result.append(QMSHA1::SHA256StringOfDevice(device));
        return result;
    };
    // Empty, less than a piece, and past two pieces of 256 KiB.
    for (const int length : {0, 1000, 2 * 256 * 1024 + 7}) {
        QByteArray bytes = CodecFixtures::pattern(length);
        QBuffer buffer(&bytes);
        ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
        EXPECT_EQ(ofDevice(buffer), digests(QByteArray(bytes.constData(), length))) << length;
        if (length > 10) {
            buffer.seek(10);
            EXPECT_EQ(ofDevice(buffer), digests(bytes.mid(10))) << length;
        }
    }
    QBuffer closed;
    EXPECT_TRUE(QMSHA1::SHA256StringOfDevice(closed).isNull());
    QFile failing(u"/proc/self/mem"_s); // opens, and reading from its start fails (EIO)
    ASSERT_TRUE(failing.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QMMD5::MD5StringOfDevice(failing).isNull());
}

// Each thread keeps its own digest state; interleaved calls must not mix inputs.
TEST(DigestTest, ThreadsDigestIndependently)
{
    const QByteArray inputs[]
            = {CodecFixtures::pattern(100000), QByteArray(70000, 'x'), QByteArray("abc")};
    const QStringList expected[] = {digests(inputs[0]), digests(inputs[1]), digests(inputs[2])};
    std::atomic<int> mismatches = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                const int k = (t + round) % 3;
                mismatches += digests(inputs[k]) != expected[k];
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, 0);
}
