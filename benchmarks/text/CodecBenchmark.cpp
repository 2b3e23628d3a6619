// Base64 of 16 MiB and digests of 64 MiB, side by side with their peers on the same bytes.
//
// Base64: the library's C functions and Qt wrappers beside QByteArray::toBase64/fromBase64 and
// OpenSSL's EVP_EncodeBlock/EVP_DecodeBlock. The peers write and read text without line breaks;
// the library writes (and so decodes) lines of 72 characters with "\r\n". Before timing, each
// encoder's output is checked against the others (Qt's text, re-wrapped), and each decoder must
// give the input back.
//
// The Qt wrappers return a QString of 2 bytes per character: 44 MiB for 16 MiB of data, past
// glibc's largest mmap threshold (32 MiB), so every call maps fresh pages and pays their page
// faults, as QString::fromLatin1(data.toBase64()) does. On a machine where faults are costly (a
// virtual machine) that dominates; GLIBC_TUNABLES=glibc.malloc.mmap_threshold=268435456 shows
// the encoding alone.
//
// Digests: QMMD5/QMSHA1 beside QCryptographicHash. Compare with `openssl dgst` on a file of the
// same size for the command-line figures.

#include "PeakMemory.h"

#include <QMFoundation/text/QMBase64.h>
#include <QMFoundation/text/QMBase64Transcoding.h>
#include <QMFoundation/text/QMMD5.h>
#include <QMFoundation/text/QMSHA1.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QString>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <algorithm>
#include <vector>

namespace {

constexpr qsizetype Base64Size = 16 << 20;
constexpr qsizetype DigestSize = 64 << 20;

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 1;
    for (char &byte : bytes) {
        x = x * 1103515245u + 12345u;
        byte = char(x >> 16);
    }
    return bytes;
}

const QByteArray &base64Input()
{
    static const QByteArray bytes = pattern(Base64Size);
    return bytes;
}

// Qt's unbroken text, wrapped the library's way.
QByteArray wrapped(const QByteArray &text)
{
    QByteArray lines;
    lines.reserve(text.size() + text.size() / 72 * 2);
    for (qsizetype start = 0; start < text.size(); start += 72) {
        lines.append(text.mid(start, 72));
        if (text.size() - start >= 72)
            lines.append("\r\n");
    }
    return lines;
}

const QByteArray &plainText()
{
    static const QByteArray text = base64Input().toBase64();
    return text;
}

const QByteArray &lineText()
{
    static const QByteArray text = wrapped(plainText());
    return text;
}

void setBytes(benchmark::State &state, qsizetype size)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void BM_Encode_Base64EncodeData(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &input = base64Input();
    std::vector<char> out(EstimateBas64EncodedDataSize(uint64_t(input.size())));
    for (auto _ : state) {
        uint64_t size = out.size();
        Base64EncodeData(input.constData(), uint64_t(input.size()), out.data(), &size);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (QByteArray(out.data(), qsizetype(out.size())) != lineText())
        state.SkipWithError("output differs from Qt's text in lines of 72");
    setBytes(state, input.size());
}
BENCHMARK(BM_Encode_Base64EncodeData)->Unit(benchmark::kMillisecond);

void BM_Encode_QMencodeBase64(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &input = base64Input();
    QString text;
    for (auto _ : state) {
        text = QMBase64Transcoding::encodeBase64(input);
        benchmark::DoNotOptimize(text.constData());
    }
    if (text.toLatin1() != lineText())
        state.SkipWithError("output differs from Qt's text in lines of 72");
    setBytes(state, input.size());
}
BENCHMARK(BM_Encode_QMencodeBase64)->Unit(benchmark::kMillisecond);

void BM_Encode_QByteArrayToBase64(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &input = base64Input();
    for (auto _ : state) {
        QByteArray text = input.toBase64();
        benchmark::DoNotOptimize(text.constData());
    }
    setBytes(state, input.size());
}
BENCHMARK(BM_Encode_QByteArrayToBase64)->Unit(benchmark::kMillisecond);

// What a caller without the library writes to get Base64 as a QString.
void BM_Encode_QByteArrayToBase64_QString(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &input = base64Input();
    for (auto _ : state) {
        QString text = QString::fromLatin1(input.toBase64());
        benchmark::DoNotOptimize(text.constData());
    }
    setBytes(state, input.size());
}
BENCHMARK(BM_Encode_QByteArrayToBase64_QString)->Unit(benchmark::kMillisecond);

void BM_Encode_EVP_EncodeBlock(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &input = base64Input();
    std::vector<unsigned char> out(size_t(plainText().size()) + 1);
    for (auto _ : state) {
        EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char *>(input.constData()),
                        int(input.size()));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (QByteArray(reinterpret_cast<const char *>(out.data()), plainText().size()) != plainText())
        state.SkipWithError("output differs from Qt's text");
    setBytes(state, input.size());
}
BENCHMARK(BM_Encode_EVP_EncodeBlock)->Unit(benchmark::kMillisecond);

// The floor of any encoder that returns a new QString: making the text and writing each of its
// code units once, with no encoding at all. The raw functions above write into a buffer made
// once, outside the loop; a new text of 21 MiB pays for its memory on every call.
void BM_Encode_NewQStringFloor(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const auto size = qsizetype(EstimateBas64EncodedDataSize(uint64_t(base64Input().size())));
    for (auto _ : state) {
        QString text(size, Qt::Uninitialized);
        std::fill_n(reinterpret_cast<char16_t *>(text.data()), size, u'A');
        benchmark::DoNotOptimize(text.constData());
    }
    setBytes(state, base64Input().size());
}
BENCHMARK(BM_Encode_NewQStringFloor)->Unit(benchmark::kMillisecond);

void BM_Decode_Base64DecodeData(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &text = lineText();
    std::vector<char> out(EstimateBas64DecodedDataSize(uint64_t(text.size())));
    uint64_t size = 0;
    for (auto _ : state) {
        size = out.size();
        Base64DecodeData(text.constData(), uint64_t(text.size()), out.data(), &size);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    if (QByteArray(out.data(), qsizetype(size)) != base64Input())
        state.SkipWithError("decoded bytes differ from the input");
    setBytes(state, base64Input().size());
}
BENCHMARK(BM_Decode_Base64DecodeData)->Unit(benchmark::kMillisecond);

void BM_Decode_QMdataWithBase64EncodedString(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QString text = QString::fromLatin1(lineText());
    QByteArray data;
    for (auto _ : state) {
        data = QMBase64Transcoding::dataWithBase64EncodedString(text);
        benchmark::DoNotOptimize(data.constData());
    }
    if (data != base64Input())
        state.SkipWithError("decoded bytes differ from the input");
    setBytes(state, base64Input().size());
}
BENCHMARK(BM_Decode_QMdataWithBase64EncodedString)->Unit(benchmark::kMillisecond);

void BM_Decode_QByteArrayFromBase64(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &text = plainText();
    QByteArray data;
    for (auto _ : state) {
        data = QByteArray::fromBase64(text);
        benchmark::DoNotOptimize(data.constData());
    }
    if (data != base64Input())
        state.SkipWithError("decoded bytes differ from the input");
    setBytes(state, base64Input().size());
}
BENCHMARK(BM_Decode_QByteArrayFromBase64)->Unit(benchmark::kMillisecond);

// What a caller without the library writes to decode Base64 held in a QString.
void BM_Decode_QByteArrayFromBase64_QString(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QString text = QString::fromLatin1(plainText());
    QByteArray data;
    for (auto _ : state) {
        data = QByteArray::fromBase64(text.toLatin1());
        benchmark::DoNotOptimize(data.constData());
    }
    if (data != base64Input())
        state.SkipWithError("decoded bytes differ from the input");
    setBytes(state, base64Input().size());
}
BENCHMARK(BM_Decode_QByteArrayFromBase64_QString)->Unit(benchmark::kMillisecond);

void BM_Decode_EVP_DecodeBlock(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &text = plainText();
    std::vector<unsigned char> out(size_t(text.size()) / 4 * 3);
    for (auto _ : state) {
        EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char *>(text.constData()),
                        int(text.size()));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    // EVP_DecodeBlock counts padding as zero bytes; compare what the input had.
    if (QByteArray(reinterpret_cast<const char *>(out.data()), base64Input().size())
        != base64Input())
        state.SkipWithError("decoded bytes differ from the input");
    setBytes(state, base64Input().size());
}
BENCHMARK(BM_Decode_EVP_DecodeBlock)->Unit(benchmark::kMillisecond);

// The same floor for decoders that return a new QByteArray.
void BM_Decode_NewQByteArrayFloor(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const qsizetype size = base64Input().size();
    for (auto _ : state) {
        QByteArray data(size, Qt::Uninitialized);
        std::fill_n(data.data(), size, 'A');
        benchmark::DoNotOptimize(data.constData());
    }
    setBytes(state, size);
}
BENCHMARK(BM_Decode_NewQByteArrayFloor)->Unit(benchmark::kMillisecond);

const QByteArray &digestInput()
{
    static const QByteArray bytes = pattern(DigestSize);
    return bytes;
}

template<QString (*Digest)(const QByteArray &), QCryptographicHash::Algorithm Peer>
void BM_Digest(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &input = digestInput();
    QString digest;
    for (auto _ : state) {
        digest = Digest(input);
        benchmark::DoNotOptimize(digest.constData());
    }
    if (digest.toLatin1() != QCryptographicHash::hash(input, Peer).toHex())
        state.SkipWithError("digest differs from QCryptographicHash");
    setBytes(state, input.size());
}

template<QCryptographicHash::Algorithm Algorithm>
void BM_QCryptographicHash(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &input = digestInput();
    for (auto _ : state) {
        QByteArray digest = QCryptographicHash::hash(input, Algorithm).toHex();
        benchmark::DoNotOptimize(digest.constData());
    }
    setBytes(state, input.size());
}

QString md5(const QByteArray &data)
{
    return QMMD5::MD5String(data);
}
QString sha1(const QByteArray &data)
{
    return QMSHA1::SHA1String(data);
}
QString sha256(const QByteArray &data)
{
    return QMSHA1::SHA256String(data);
}

BENCHMARK(BM_Digest<md5, QCryptographicHash::Md5>)
        ->Name("BM_Digest_QMMD5_MD5String")
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QCryptographicHash<QCryptographicHash::Md5>)
        ->Name("BM_Digest_QCryptographicHash_Md5")
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Digest<sha1, QCryptographicHash::Sha1>)
        ->Name("BM_Digest_QMSHA1_SHA1String")
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QCryptographicHash<QCryptographicHash::Sha1>)
        ->Name("BM_Digest_QCryptographicHash_Sha1")
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Digest<sha256, QCryptographicHash::Sha256>)
        ->Name("BM_Digest_QMSHA1_SHA256String")
        ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QCryptographicHash<QCryptographicHash::Sha256>)
        ->Name("BM_Digest_QCryptographicHash_Sha256")
        ->Unit(benchmark::kMillisecond);

// Short texts, where the cost per call matters more than the throughput.
void BM_ShortText_QMSHA1_SHA256String(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QString text = QStringLiteral("user@example.com:2026-01-01T00:00:00Z:42");
    for (auto _ : state) {
        QString digest = QMSHA1::SHA256String(text);
        benchmark::DoNotOptimize(digest.constData());
    }
}
BENCHMARK(BM_ShortText_QMSHA1_SHA256String);

void BM_ShortText_QCryptographicHash_Sha256(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QString text = QStringLiteral("user@example.com:2026-01-01T00:00:00Z:42");
    for (auto _ : state) {
        QString digest = QString::fromLatin1(
                QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
        benchmark::DoNotOptimize(digest.constData());
    }
}
BENCHMARK(BM_ShortText_QCryptographicHash_Sha256);

} // namespace
