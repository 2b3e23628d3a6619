#include "QMFoundation/keychain/QMKeychainFile_p.h"

#include "QMFoundation/platform/QMFileLock_p.h"
#include <QMFoundation/text/QMStringDecoding.h>

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamReader>
#include <QCborValue>
#include <QFile>
#include <QScopeGuard>
#include <QThread>
#include <QUuid>
#include <QtEndian>

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <limits>
#include <mutex>

#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
namespace Format = QMKeychainFileFormat;

namespace {

constexpr char magic[8] = {'Q', 'M', 'F', 'K', 'C', 'H', 'N', '\n'};
constexpr quint8 kdfArgon2id13 = 1;
constexpr quint16 currentVersion = 2;
// Accepted Argon2id limits: libsodium's minimum up to its "sensitive" level. A file cannot make
// an open take more than 1 GiB or more than four passes.
constexpr quint32 maxOpsLimit = crypto_pwhash_argon2id_OPSLIMIT_SENSITIVE;
constexpr quint32 maxMemLimitKiB = crypto_pwhash_argon2id_MEMLIMIT_SENSITIVE / 1024;
constexpr qsizetype tagSize = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr qsizetype checkSize = 16;
// Where the fields of a header lie: magic, version (16 bits), key derivation, a zero byte, passes
// and memory (32 bits each), salt, nonce; version 2 adds the sealed size (32 bits), the key check
// and the header checksum.
constexpr qsizetype saltAt = sizeof magic + 12;
constexpr qsizetype nonceAt = saltAt + crypto_pwhash_SALTBYTES;
constexpr qsizetype sealedSizeAt = nonceAt + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES;
constexpr qsizetype keyCheckAt = sealedSizeAt + 4;
constexpr qsizetype checksumAt = keyCheckAt + checkSize;

static_assert(Format::Version1HeaderSize == sealedSizeAt);
static_assert(Format::HeaderSize == checksumAt + checkSize);
static_assert(Format::KeySize == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);
static_assert(Format::MaximumFileSize <= std::numeric_limits<quint32>::max());

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

const unsigned char *bytesOf(const QByteArray &bytes)
{
    return reinterpret_cast<const unsigned char *>(bytes.constData());
}

// BLAKE2b of `data`, keyed when a key is given.
QByteArray hash(QByteArrayView data, const QByteArray &key = QByteArray())
{
    QByteArray digest(checkSize, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(digest.data()), size_t(digest.size()),
                       reinterpret_cast<const unsigned char *>(data.data()), size_t(data.size()),
                       key.isEmpty() ? nullptr : bytesOf(key), size_t(key.size()));
    return digest;
}

// The key check value: a keyed hash of a fixed text, which shows whether a key is the file's
// without decrypting anything and gives away nothing about the key (finding a password from it
// costs an Argon2id derivation per guess, as trying to decrypt does).
QByteArray keyCheck(const QByteArray &key)
{
    return hash("QMFoundation keychain file key check", key);
}

QByteArray headerBytes(const Format::Header &header)
{
    QByteArray bytes(magic, sizeof magic);
    char number[4];
    qToBigEndian<quint16>(header.version, number);
    bytes.append(number, 2);
    bytes.append(char(kdfArgon2id13));
    bytes.append('\0');
    qToBigEndian<quint32>(header.opsLimit, number);
    bytes.append(number, 4);
    qToBigEndian<quint32>(header.memLimitKiB, number);
    bytes.append(number, 4);
    bytes.append(header.salt);
    bytes.append(header.nonce);
    if (header.version >= 2) {
        qToBigEndian<quint32>(header.sealedSize, number);
        bytes.append(number, 4);
        bytes.append(header.keyCheck);
        // Damage to the salt or the limits would otherwise read as a wrong password.
        bytes.append(hash(bytes));
    }
    return bytes;
}

// Dates are whole milliseconds since 1970 in UTC: the CBOR date tags would need a text parser.
QCborValue dateValue(const QDateTime &date)
{
    return date.isValid() ? QCborValue(date.toMSecsSinceEpoch()) : QCborValue(nullptr);
}

QMKeychainResult damaged(const QString &what)
{
    return {errSecDecode, what};
}

} // namespace

Format::Header Format::newHeader()
{
    sodiumReady();
    Header header;
    header.opsLimit = crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE;
    header.memLimitKiB = crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE / 1024;
    header.salt.resize(crypto_pwhash_SALTBYTES);
    randombytes_buf(header.salt.data(), size_t(header.salt.size()));
    return header;
}

QMKeychainResult Format::readHeader(const QByteArray &file, Header *header)
{
    sodiumReady();
    if (file.isEmpty())
        return damaged(u"it is empty"_s);
    if (!file.startsWith(QByteArrayView(magic, sizeof magic)))
        return damaged(file.size() < qsizetype(sizeof magic)
                                       && QByteArrayView(magic, sizeof magic).startsWith(file)
                               ? u"it is cut short"_s
                               : u"it is not a keychain file"_s);
    if (file.size() < qsizetype(sizeof magic) + 2)
        return damaged(u"it is cut short"_s);
    const char *p = file.constData() + sizeof magic;
    header->version = qFromBigEndian<quint16>(p);
    if (header->version != 1 && header->version != currentVersion)
        return damaged(u"it has format version %1, which this library does not read"_s.arg(
                header->version));
    const qsizetype size = header->version == 1 ? Version1HeaderSize : HeaderSize;
    if (file.size() < size)
        return damaged(u"it is cut short"_s);
    const auto kdf = quint8(p[2]);
    const auto reserved = quint8(p[3]);
    header->opsLimit = qFromBigEndian<quint32>(p + 4);
    header->memLimitKiB = qFromBigEndian<quint32>(p + 8);
    header->salt = file.mid(saltAt, crypto_pwhash_SALTBYTES);
    header->nonce = file.mid(nonceAt, crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
    if (header->version >= 2) {
        header->sealedSize = qFromBigEndian<quint32>(file.constData() + sealedSizeAt);
        header->keyCheck = file.mid(keyCheckAt, checkSize);
        if (sodium_memcmp(hash(QByteArrayView(file).first(checksumAt)).constData(),
                          file.constData() + checksumAt, checkSize)
            != 0)
            return damaged(u"its header is damaged"_s);
    }
    if (kdf != kdfArgon2id13 || reserved != 0
        || header->opsLimit < crypto_pwhash_argon2id_OPSLIMIT_MIN || header->opsLimit > maxOpsLimit
        || header->memLimitKiB < crypto_pwhash_argon2id_MEMLIMIT_MIN / 1024
        || header->memLimitKiB > maxMemLimitKiB
        || (header->version >= 2 && qint64(header->sealedSize) < tagSize))
        return damaged(u"its header is damaged"_s);
    return errSecSuccess;
}

namespace {

// Lets at most one key derivation fewer than the machine has cores run at once (one at least):
// each takes a core and up to the header's memory limit for hundreds of milliseconds, so
// keychains opened together off a GUI thread leave that thread a core, and memory stays bounded.
class DerivationSlots
{
public:
    DerivationSlots()
        : m_free(std::max(1, QThread::idealThreadCount() - 1))
    { }

    void acquire()
    {
        std::unique_lock lock(m_mutex);
        m_released.wait(lock, [this] { return m_free > 0; });
        --m_free;
    }
    void release()
    {
        {
            std::lock_guard lock(m_mutex);
            ++m_free;
        }
        m_released.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
    int m_free;
};

DerivationSlots &derivationSlots()
{
    static DerivationSlots instance;
    return instance;
}

} // namespace

QByteArray Format::deriveKey(const QByteArray &password, const Header &header)
{
    if (!sodiumReady())
        return QByteArray();
    derivationSlots().acquire();
    const auto releaseSlot = qScopeGuard([] { derivationSlots().release(); });
    QByteArray key(KeySize, Qt::Uninitialized);
    if (crypto_pwhash(reinterpret_cast<unsigned char *>(key.data()), size_t(key.size()),
                      password.constData(), size_t(password.size()),
                      reinterpret_cast<const unsigned char *>(header.salt.constData()),
                      header.opsLimit, size_t(header.memLimitKiB) * 1024,
                      crypto_pwhash_ALG_ARGON2ID13)
        != 0)
        return QByteArray();
    return key;
}

QByteArray Format::encodeRecords(const QList<QMKeychainRecord> &records)
{
    QCborArray items;
    for (const QMKeychainRecord &record : records) {
        QCborMap attributes;
        for (const auto &[name, kind] : QMKeychainAttributes::table()) {
            const QVariant value = record.attributes.value(name);
            if (value.isValid())
                attributes.insert(name, QCborValue::fromVariant(value));
        }
        QCborMap item;
        item.insert(u"class"_s, record.itemClass);
        item.insert(u"id"_s, record.identifier);
        item.insert(u"label"_s, record.label);
        item.insert(u"secret"_s, record.secret);
        item.insert(u"created"_s, dateValue(record.created));
        item.insert(u"modified"_s, dateValue(record.modified));
        item.insert(u"attributes"_s, attributes);
        items.append(item);
    }
    QCborMap root;
    root.insert(u"items"_s, items);
    return root.toCborValue().toCbor();
}

namespace {

// The bytes of the string (text or bytes) at the reader, or none on malformed input. A chunk
// cannot claim more bytes than the payload has.
std::optional<QByteArray> readStringBytes(QCborStreamReader &reader, qsizetype payloadSize)
{
    QByteArray bytes;
    QCborStreamReader::StringResult<qsizetype> chunk;
    do {
        const qsizetype size = reader.currentStringChunkSize();
        if (size < 0 || size > payloadSize - bytes.size())
            return std::nullopt;
        const qsizetype at = bytes.size();
        bytes.resize(at + size);
        chunk = reader.readStringChunk(bytes.data() + at, size);
        if (chunk.status == QCborStreamReader::Error)
            return std::nullopt;
        bytes.truncate(at + chunk.data);
    } while (chunk.status == QCborStreamReader::Ok);
    return bytes;
}

// The value at the reader, as QCborValue::fromCbor() gives it, but with texts decoded exactly:
// QCborValue and QCborStreamReader::readString() decode with QString::fromUtf8(), which takes a
// leading U+FEFF for a byte-order mark and drops it, so an account, a label or a password
// beginning with one would not read back as it was written. An invalid value on malformed input
// or nesting deeper than an item set has.
QCborValue readValue(QCborStreamReader &reader, qsizetype payloadSize, int depth = 0)
{
    const QCborValue invalid(QCborValue::Invalid);
    if (depth > 8 || reader.lastError() != QCborError::NoError)
        return invalid;
    QCborValue value = invalid;
    switch (reader.type()) {
    case QCborStreamReader::UnsignedInteger: {
        const quint64 n = reader.toUnsignedInteger();
        value = n > quint64(std::numeric_limits<qint64>::max()) ? QCborValue(double(n))
                                                                : QCborValue(qint64(n));
        reader.next();
        break;
    }
    case QCborStreamReader::NegativeInteger: {
        // CBOR keeps -1 - n.
        const quint64 n = quint64(reader.toNegativeInteger()) - 1;
        value = n >= quint64(std::numeric_limits<qint64>::max()) ? QCborValue(-1.0 - double(n))
                                                                 : QCborValue(-1 - qint64(n));
        reader.next();
        break;
    }
    case QCborStreamReader::ByteArray:
    case QCborStreamReader::String: {
        const bool text = reader.isString();
        if (const auto bytes = readStringBytes(reader, payloadSize))
            value = text ? QCborValue(QMStringDecoding::stringByDecodingUTF8(*bytes))
                         : QCborValue(*bytes);
        break;
    }
    case QCborStreamReader::Array: {
        QCborArray array;
        if (!reader.enterContainer())
            return invalid;
        while (reader.lastError() == QCborError::NoError && reader.hasNext()) {
            const QCborValue element = readValue(reader, payloadSize, depth + 1);
            if (element.isInvalid())
                return invalid;
            array.append(element);
        }
        if (!reader.leaveContainer())
            return invalid;
        value = array;
        break;
    }
    case QCborStreamReader::Map: {
        QCborMap map;
        if (!reader.enterContainer())
            return invalid;
        while (reader.lastError() == QCborError::NoError && reader.hasNext()) {
            const QCborValue key = readValue(reader, payloadSize, depth + 1);
            const QCborValue element
                    = key.isInvalid() ? invalid : readValue(reader, payloadSize, depth + 1);
            if (element.isInvalid())
                return invalid;
            map.insert(key, element);
        }
        if (!reader.leaveContainer())
            return invalid;
        value = map;
        break;
    }
    case QCborStreamReader::Tag: {
        const QCborTag tag = reader.toTag();
        reader.next();
        const QCborValue tagged = readValue(reader, payloadSize, depth + 1);
        if (tagged.isInvalid())
            return invalid;
        value = QCborValue(tag, tagged);
        break;
    }
    case QCborStreamReader::SimpleType:
        value = QCborValue(reader.toSimpleType());
        reader.next();
        break;
    case QCborStreamReader::Float16:
        value = QCborValue(double(reader.toFloat16()));
        reader.next();
        break;
    case QCborStreamReader::Float:
        value = QCborValue(double(reader.toFloat()));
        reader.next();
        break;
    case QCborStreamReader::Double:
        value = QCborValue(reader.toDouble());
        reader.next();
        break;
    case QCborStreamReader::Invalid:
        break;
    }
    return reader.lastError() == QCborError::NoError ? value : invalid;
}

} // namespace

OSStatus Format::decodeRecords(const QByteArray &payload, QList<QMKeychainRecord> *records)
{
    QCborStreamReader reader(payload);
    const QCborValue root = readValue(reader, payload.size());
    if (root.isInvalid() || !root.isMap() || !root.toMap().value(u"items"_s).isArray())
        return errSecDecode;
    QList<QMKeychainRecord> decoded;
    for (const QCborValue &value : root.toMap().value(u"items"_s).toArray()) {
        const QCborMap item = value.toMap();
        const QCborValue itemClass = item.value(u"class"_s), id = item.value(u"id"_s),
                         label = item.value(u"label"_s), secret = item.value(u"secret"_s),
                         created = item.value(u"created"_s), modified = item.value(u"modified"_s),
                         attributes = item.value(u"attributes"_s);
        if (!value.isMap() || !itemClass.isString() || !id.isString() || !label.isString()
            || !secret.isByteArray() || !(created.isInteger() || created.isNull())
            || !(modified.isInteger() || modified.isNull()) || !attributes.isMap())
            return errSecDecode;
        QMKeychainRecord record;
        record.itemClass = itemClass.toString();
        if (record.itemClass != QMKeychainItemTypeGeneric
            && record.itemClass != QMKeychainItemTypeInternetPassword)
            return errSecDecode;
        record.identifier = id.toString();
        record.label = label.toString();
        record.secret = secret.toByteArray();
        if (created.isInteger())
            record.created = QDateTime::fromMSecsSinceEpoch(created.toInteger(), Qt::UTC);
        if (modified.isInteger())
            record.modified = QDateTime::fromMSecsSinceEpoch(modified.toInteger(), Qt::UTC);
        const QCborMap attributeMap = attributes.toMap();
        for (auto it = attributeMap.constBegin(); it != attributeMap.constEnd(); ++it) {
            const auto kind = it.key().isString()
                    ? QMKeychainAttributes::kindOf(it.key().toString())
                    : std::nullopt;
            const QVariant typed = kind
                    ? QMKeychainAttributes::typedValue(*kind, it.value().toVariant())
                    : QVariant();
            if (!typed.isValid())
                return errSecDecode;
            record.attributes.insert(it.key().toString(), typed);
        }
        decoded.append(record);
    }
    *records = decoded;
    return errSecSuccess;
}

qint64 Format::sealedFileSize(qint64 payloadSize)
{
    return HeaderSize + payloadSize + tagSize;
}

QByteArray Format::encrypt(Header header, const QByteArray &key,
                           const QList<QMKeychainRecord> &records)
{
    return seal(std::move(header), key, encodeRecords(records));
}

QByteArray Format::seal(Header header, const QByteArray &key, QByteArray payload)
{
    sodiumReady();
    // Whatever version was read, the file is written in the current one.
    header.version = currentVersion;
    header.nonce.resize(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
    randombytes_buf(header.nonce.data(), size_t(header.nonce.size()));
    header.sealedSize = quint32(payload.size() + tagSize);
    header.keyCheck = keyCheck(key);
    const QByteArray associated = headerBytes(header);
    QByteArray file = associated;
    file.resize(associated.size() + payload.size() + tagSize);
    unsigned long long written = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
            reinterpret_cast<unsigned char *>(file.data() + associated.size()), &written,
            bytesOf(payload), size_t(payload.size()), bytesOf(associated),
            size_t(associated.size()), nullptr, bytesOf(header.nonce), bytesOf(key));
    sodium_memzero(payload.data(), size_t(payload.size()));
    file.resize(associated.size() + qsizetype(written));
    return file;
}

QMKeychainResult Format::decrypt(const QByteArray &file,
                                 const std::function<QByteArray(const Header &)> &keyFor,
                                 QList<QMKeychainRecord> *records, Header *headerOut)
{
    Header header;
    QMKeychainResult result = readHeader(file, &header);
    if (!result.ok())
        return result;
    const bool checked = header.version >= 2;
    const qsizetype headerSize = checked ? HeaderSize : Version1HeaderSize;
    const qsizetype cipherSize = file.size() - headerSize;
    if (checked && cipherSize < qint64(header.sealedSize))
        return damaged(u"it is cut short"_s);
    if (checked && cipherSize > qint64(header.sealedSize)) {
        const qint64 extra = cipherSize - header.sealedSize;
        return damaged(extra == 1 ? u"it has 1 byte past its end"_s
                                  : u"it has %1 bytes past its end"_s.arg(extra));
    }
    if (cipherSize < tagSize)
        return damaged(u"it is cut short"_s);
    const QByteArray key = keyFor(header);
    if (key.size() != KeySize)
        return {errSecInternalComponent, u"there is not enough memory to derive its key"_s};
    if (checked && sodium_memcmp(keyCheck(key).constData(), header.keyCheck.constData(), checkSize))
        return {errSecAuthFailed, u"the password is wrong"_s};
    QByteArray payload(cipherSize - tagSize, Qt::Uninitialized);
    unsigned long long read = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
                reinterpret_cast<unsigned char *>(payload.data()), &read, nullptr,
                bytesOf(file) + headerSize, size_t(cipherSize), bytesOf(file), size_t(headerSize),
                bytesOf(header.nonce), bytesOf(key))
        != 0) {
        // The key is the file's, so what fails to authenticate was changed.
        if (checked)
            return damaged(u"its content is damaged"_s);
        return {errSecAuthFailed,
                u"the password is wrong, or the file is damaged (a file of format version 1 "
                "cannot tell which)"_s};
    }
    const OSStatus status = decodeRecords(payload, records);
    sodium_memzero(payload.data(), size_t(payload.size()));
    if (status != errSecSuccess)
        return damaged(u"its content is not a set of items"_s);
    if (headerOut)
        *headerOut = header;
    return errSecSuccess;
}

QMKeychainFile::QMKeychainFile(const QString &path, const QByteArray &password)
    : m_path(path)
    , m_password(password)
{ }

QMKeychainFile::~QMKeychainFile()
{
    sodium_memzero(m_password.data(), size_t(m_password.size()));
    sodium_memzero(m_key.data(), size_t(m_key.size()));
}

QMKeychainRef QMKeychainFile::handle() const
{
    return self.lock();
}

QByteArray QMKeychainFile::keyFor(const Format::Header &header)
{
    // Argon2id is slow on purpose: derive once per salt and limits, which change only when the
    // file is made anew.
    QByteArray parameters = header.salt;
    parameters.append(QByteArray::number(header.opsLimit) + ':'
                      + QByteArray::number(header.memLimitKiB));
    if (m_key.isEmpty() || m_keyParameters != parameters) {
        m_key = Format::deriveKey(m_password, header);
        m_keyParameters = m_key.isEmpty() ? QByteArray() : parameters;
    }
    return m_key;
}

QMKeychainResult QMKeychainFile::failure(const QMFileStatus &status, const char *action) const
{
    const QString verb = QString::fromLatin1(action);
    const bool reading = verb == u"read"_s;
    if (status.kind == QMFileStatus::Missing && reading)
        return {errSecNoSuchKeychain, u"The keychain file %1 does not exist."_s.arg(m_path),
                m_path};
    OSStatus code = errSecIO;
    QString reason = status.reason(Format::MaximumFileSize);
    switch (status.kind) {
    case QMFileStatus::Missing:
        // Only the folder can be missing for a file being written.
        reason = u"its folder does not exist"_s;
        break;
    case QMFileStatus::NotRegular:
        code = errSecParam;
        break;
    case QMFileStatus::TooLarge:
        code = errSecDataTooLarge;
        break;
    case QMFileStatus::TimedOut:
        reason += u" (waited %1)"_s.arg(QMKeychainStore::timeoutText(QMKeychainStore::timeout()));
        break;
    case QMFileStatus::Exists:
        code = errSecDuplicateKeychain;
        break;
    case QMFileStatus::SystemError:
        if (status.isPermissionDenied())
            code = reading ? errSecRdPerm : errSecWrPerm;
        break;
    case QMFileStatus::Ok:
        return errSecSuccess;
    }
    return {code, u"Cannot %1 the keychain file %2: %3."_s.arg(verb, m_path, reason), m_path};
}

QMKeychainResult QMKeychainFile::lockObject(std::unique_lock<QMKeychainTimedMutex> &guard,
                                            const char *verb) const
{
    const auto waited = QMKeychainStore::waitUntil(
            QMDeadlineAfter(QMKeychainStore::timeout()),
            [&guard](auto until) { return guard.try_lock_until(until); });
    if (waited == QMKeychainStore::Wait::Canceled)
        return QMKeychainStore::canceled();
    if (waited == QMKeychainStore::Wait::TimedOut)
        return failure({QMFileStatus::TimedOut, 0}, verb);
    return errSecSuccess;
}

QMKeychainResult QMKeychainFile::lockFile(QMFileLock &lock, Access access, const char *verb) const
{
    QMFileStatus locked {QMFileStatus::TimedOut, 0};
    const auto waited = QMKeychainStore::waitUntil(
            QMDeadlineAfter(QMKeychainStore::timeout()), [&](auto until) {
                locked = lock.lock(
                        m_path, access == Access::Read ? QMFileLock::Shared : QMFileLock::Exclusive,
                        std::chrono::duration_cast<std::chrono::milliseconds>(
                                until - std::chrono::steady_clock::now()));
                return locked.kind != QMFileStatus::TimedOut;
            });
    if (waited == QMKeychainStore::Wait::Canceled)
        return QMKeychainStore::canceled();
    // Only the wait can fail for a change; opening the file is reading it.
    if (!locked.ok())
        return failure(locked, locked.kind == QMFileStatus::TimedOut ? verb : "read");
    return errSecSuccess;
}

QMKeychainResult QMKeychainFile::read(const QMFileLock &lock)
{
    QByteArray bytes;
    const QMFileStatus status = lock.readAll(Format::MaximumFileSize, &bytes);
    if (!status.ok())
        return failure(status, "read");
    QList<QMKeychainRecord> records;
    Format::Header header;
    QMKeychainResult result = Format::decrypt(
            bytes, [this](const Format::Header &h) { return keyFor(h); }, &records, &header);
    if (!result.ok())
        return {result.status,
                u"Cannot open the keychain file %1: %2."_s.arg(m_path, result.reason), m_path};
    m_header = header;
    m_records = records;
    return errSecSuccess;
}

QMKeychainResult QMKeychainFile::write()
{
    QByteArray payload = Format::encodeRecords(m_records);
    const qint64 size = Format::sealedFileSize(payload.size());
    // A file the reader would refuse is never written: the change is refused and the file stays.
    if (size > Format::MaximumFileSize) {
        sodium_memzero(payload.data(), size_t(payload.size()));
        return {errSecDataTooLarge,
                u"The keychain file %1 would hold %2 bytes, more than a keychain file may hold "
                "(%3 MiB); it was left as it was."_s.arg(
                        m_path, QString::number(size),
                        QString::number(Format::MaximumFileSize / (1024 * 1024))),
                m_path};
    }
    const QByteArray bytes = Format::seal(m_header, keyFor(m_header), std::move(payload));
    const QMFileStatus status
            = QMFileIO::writeAtomically(m_path, bytes, 0600, QMFileIO::Existing::Replace);
    return status.ok() ? QMKeychainResult() : failure(status, "write");
}

QMKeychainResult QMKeychainFile::transaction(Access access,
                                             const std::function<QMKeychainResult()> &body)
{
    const char *verb = access == Access::Read ? "read" : "change";
    std::unique_lock guard(m_mutex, std::defer_lock);
    QMKeychainResult waited = lockObject(guard, verb);
    if (!waited.ok())
        return waited;
    // Readers share the file; a writer has it alone, from reading it to putting the new file in
    // its place. Lock files of earlier versions of the library, beside the file, are ignored.
    QMFileLock lock;
    waited = lockFile(lock, access, verb);
    if (!waited.ok())
        return waited;
    QMKeychainResult result = read(lock);
    if (!result.ok())
        return result;
    m_dirty = false;
    result = body();
    if (result.ok() && m_dirty)
        result = write();
    m_records.clear();
    m_dirty = false;
    return result;
}

QMKeychainResult QMKeychainFile::create()
{
    std::unique_lock guard(m_mutex, std::defer_lock);
    const QMKeychainResult waited = lockObject(guard, "create");
    if (!waited.ok())
        return waited;
    m_header = Format::newHeader();
    m_records.clear();
    const QByteArray key = keyFor(m_header);
    if (key.isEmpty())
        return {errSecInternalComponent,
                u"There is not enough memory to derive the key of the keychain file %1."_s.arg(
                        m_path),
                m_path};
    // Linked into place only if nothing is there: a file that another process made meanwhile is
    // never replaced.
    const QMFileStatus status = QMFileIO::writeAtomically(
            m_path, Format::encrypt(m_header, key, {}), 0600, QMFileIO::Existing::Keep);
    if (status.kind == QMFileStatus::Exists)
        return {errSecDuplicateKeychain, u"Something already exists at %1."_s.arg(m_path), m_path};
    return status.ok() ? QMKeychainResult() : failure(status, "create");
}

QMKeychainResult QMKeychainFile::open()
{
    return transaction(Access::Read, [] { return QMKeychainResult(); });
}

QMKeychainResult QMKeychainFile::remove()
{
    std::unique_lock guard(m_mutex, std::defer_lock);
    QMKeychainResult waited = lockObject(guard, "delete");
    if (!waited.ok())
        return waited;
    // Under the writers' lock, so that no change is under way; whoever waits for it then finds
    // the file gone.
    QMFileLock lock;
    waited = lockFile(lock, Access::Write, "delete");
    if (!waited.ok())
        return waited;
    if (::unlink(QFile::encodeName(m_path).constData()) != 0)
        return failure(QMFileStatus::fromErrno(errno), "delete");
    return errSecSuccess;
}

QMKeychainResult QMKeychainFile::search(const QVariantMap &, QList<QMKeychainRecord> *records)
{
    *records = m_records;
    return errSecSuccess;
}

QMKeychainResult QMKeychainFile::create(QMKeychainRecord *record)
{
    record->identifier = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record->created = record->modified = QDateTime::currentDateTimeUtc();
    m_records.append(*record);
    m_dirty = true;
    return errSecSuccess;
}

QMKeychainResult QMKeychainFile::replace(QMKeychainRecord *record)
{
    for (QMKeychainRecord &stored : m_records) {
        if (stored.identifier == record->identifier) {
            record->modified = QDateTime::currentDateTimeUtc();
            stored = *record;
            m_dirty = true;
            return errSecSuccess;
        }
    }
    return errSecItemNotFound;
}

QMKeychainResult QMKeychainFile::erase(const QMKeychainRecord &record)
{
    const auto removed = m_records.removeIf(
            [&](const QMKeychainRecord &stored) { return stored.identifier == record.identifier; });
    m_dirty = m_dirty || removed > 0;
    return removed > 0 ? QMKeychainResult() : QMKeychainResult(errSecItemNotFound);
}
