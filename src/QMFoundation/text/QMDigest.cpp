#include "QMFoundation/text/QMDigest_p.h"

#include <QCryptographicHash>
#include <QFileDevice>
#include <QIODevice>

#include <openssl/evp.h>

#include <memory>

namespace QMDigest {

namespace {

// libcrypto computes SHA-1 and SHA-256 several times faster than QCryptographicHash (it uses
// the processor's SHA instructions where there are any). Its algorithms are looked up once per
// process: OpenSSL 3 would otherwise look them up in its provider tables on every call.
struct Digests
{
    EVP_MD *md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD *sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    EVP_MD *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);

    Digests() = default;
    Digests(const Digests &) = delete;
    Digests &operator=(const Digests &) = delete;
    ~Digests()
    {
        EVP_MD_free(md5);
        EVP_MD_free(sha1);
        EVP_MD_free(sha256);
    }

    const EVP_MD *get(Algorithm algorithm) const
    {
        switch (algorithm) {
        case Algorithm::MD5:
            return md5;
        case Algorithm::SHA1:
            return sha1;
        case Algorithm::SHA256:
            return sha256;
        }
        return nullptr;
    }
};

const Digests &digests()
{
    static const Digests instance;
    return instance;
}

QCryptographicHash::Algorithm qtAlgorithm(Algorithm algorithm)
{
    switch (algorithm) {
    case Algorithm::MD5:
        return QCryptographicHash::Md5;
    case Algorithm::SHA1:
        return QCryptographicHash::Sha1;
    case Algorithm::SHA256:
        break;
    }
    return QCryptographicHash::Sha256;
}

struct ContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};

// One context per thread, reset by every digest, saves an allocation per call.
EVP_MD_CTX *threadContext()
{
    thread_local const std::unique_ptr<EVP_MD_CTX, ContextDeleter> context(EVP_MD_CTX_new());
    return context.get();
}

QString hex(const unsigned char *digest, qsizetype size)
{
    static constexpr char16_t digits[] = u"0123456789abcdef";
    QString text(size * 2, Qt::Uninitialized);
    QChar *out = text.data();
    for (qsizetype i = 0; i < size; ++i) {
        *out++ = QChar(digits[digest[i] >> 4]);
        *out++ = QChar(digits[digest[i] & 0xF]);
    }
    return text;
}

// The size of the pieces a device is read in: large enough that a read costs little beside
// digesting what it read, small enough to stay in the processor's caches.
constexpr qint64 DevicePieceSize = 256 * 1024;

// A digest built piece by piece, by libcrypto where it has the algorithm and a context can be
// made, else by Qt; the choice is made before the first piece.
class Digester
{
public:
    explicit Digester(Algorithm algorithm)
        : m_qt(qtAlgorithm(algorithm))
    {
        const EVP_MD *md = digests().get(algorithm);
        if (!md || !m_context || EVP_DigestInit_ex(m_context.get(), md, nullptr) != 1)
            m_context.reset();
    }

    void add(QByteArrayView data)
    {
        if (!m_context)
            m_qt.addData(data);
        else if (EVP_DigestUpdate(m_context.get(), data.data(), std::size_t(data.size())) != 1)
            m_failed = true;
    }

    /// The digest of every piece, or a null QString when libcrypto failed on one.
    QString result()
    {
        if (!m_context) {
            const QByteArrayView digest = m_qt.resultView();
            return hex(reinterpret_cast<const unsigned char *>(digest.data()), digest.size());
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int size = 0;
        if (m_failed || EVP_DigestFinal_ex(m_context.get(), digest, &size) != 1)
            return QString();
        return hex(digest, qsizetype(size));
    }

private:
    std::unique_ptr<EVP_MD_CTX, ContextDeleter> m_context {EVP_MD_CTX_new()};
    QCryptographicHash m_qt;
    bool m_failed = false;
};

QString digestBytes(Algorithm algorithm, QByteArrayView data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    // A library configured without an algorithm (a FIPS-only OpenSSL has no MD5) or a failed
    // allocation leaves the work to Qt, which computes the same digest more slowly.
    const EVP_MD *md = digests().get(algorithm);
    EVP_MD_CTX *context = threadContext();
    if (md && context && EVP_DigestInit_ex(context, md, nullptr) == 1
        && EVP_DigestUpdate(context, data.data(), std::size_t(data.size())) == 1
        && EVP_DigestFinal_ex(context, digest, &size) == 1)
        return hex(digest, qsizetype(size));
    const QByteArray fallback = QCryptographicHash::hash(data, qtAlgorithm(algorithm));
    return hex(reinterpret_cast<const unsigned char *>(fallback.constData()), fallback.size());
}

} // namespace

QString hexDigest(Algorithm algorithm, const QString &string)
{
    return string.isNull() ? QString() : digestBytes(algorithm, string.toUtf8());
}

QString hexDigest(Algorithm algorithm, const QByteArray &data)
{
    return data.isNull() ? QString() : digestBytes(algorithm, data);
}

QString hexDigest(Algorithm algorithm, const char *string)
{
    return string ? digestBytes(algorithm, QByteArrayView(string)) : QString();
}

QString hexDigest(Algorithm algorithm, QIODevice &device)
{
    if (!device.isReadable())
        return QString();
    Digester digester(algorithm);
    QByteArray piece(DevicePieceSize, Qt::Uninitialized);
    for (;;) {
        const qint64 count = device.read(piece.data(), piece.size());
        if (count < 0)
            return QString();
        // A file reports a failed read through its error too (QFile gives back what it read
        // before the error).
        if (const auto *file = qobject_cast<const QFileDevice *>(&device);
            file && file->error() != QFileDevice::NoError)
            return QString();
        if (count == 0)
            break;
        digester.add(QByteArrayView(piece.constData(), count));
    }
    return digester.result();
}

} // namespace QMDigest
