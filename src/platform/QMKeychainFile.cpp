#include "platform/QMKeychainFile_p.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborStreamReader>
#include <QCborValue>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QUuid>
#include <QtEndian>

#include <sodium.h>

#include <mutex>

using namespace Qt::Literals::StringLiterals;
namespace Format = QMKeychainFileFormat;

namespace {

constexpr char magic[8] = {'Q', 'M', 'F', 'K', 'C', 'H', 'N', '\n'};
constexpr quint8 kdfArgon2id13 = 1;
constexpr quint16 currentVersion = 1;
// Accepted Argon2id limits: libsodium's minimum up to its "sensitive" level. A file cannot make
// an open take more than 1 GiB or more than four passes.
constexpr quint32 maxOpsLimit = crypto_pwhash_argon2id_OPSLIMIT_SENSITIVE;
constexpr quint32 maxMemLimitKiB = crypto_pwhash_argon2id_MEMLIMIT_SENSITIVE / 1024;
// How long an operation waits for another process's lock before it gives up with errSecIO.
constexpr int lockTimeoutMs = 10000;

static_assert(Format::HeaderSize
              == sizeof magic + 2 + 1 + 1 + 4 + 4 + crypto_pwhash_SALTBYTES
                      + crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
static_assert(Format::KeySize == crypto_aead_xchacha20poly1305_ietf_KEYBYTES);

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
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
    return bytes;
}

// Dates are whole milliseconds since 1970 in UTC: the CBOR date tags would need a text parser.
QCborValue dateValue(const QDateTime &date)
{
    return date.isValid() ? QCborValue(date.toMSecsSinceEpoch()) : QCborValue(nullptr);
}

// Process-wide: one file operation at a time, whichever QMKeychainFile object runs it, since
// QLockFile does not promise to keep out other threads of the same process.
std::mutex &fileOperationsMutex()
{
    static std::mutex mutex;
    return mutex;
}

OSStatus writeStatus(const QSaveFile &file)
{
    return file.error() == QFileDevice::PermissionsError ? errSecWrPerm : errSecIO;
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

OSStatus Format::readHeader(const QByteArray &file, Header *header)
{
    if (file.size() < HeaderSize || !file.startsWith(QByteArrayView(magic, sizeof magic)))
        return errSecAuthFailed;
    const char *p = file.constData() + sizeof magic;
    header->version = qFromBigEndian<quint16>(p);
    const auto kdf = quint8(p[2]);
    const auto reserved = quint8(p[3]);
    header->opsLimit = qFromBigEndian<quint32>(p + 4);
    header->memLimitKiB = qFromBigEndian<quint32>(p + 8);
    header->salt = file.mid(sizeof magic + 12, crypto_pwhash_SALTBYTES);
    header->nonce = file.mid(sizeof magic + 12 + crypto_pwhash_SALTBYTES,
                             crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
    if (header->version != currentVersion || kdf != kdfArgon2id13 || reserved != 0
        || header->opsLimit < crypto_pwhash_argon2id_OPSLIMIT_MIN || header->opsLimit > maxOpsLimit
        || header->memLimitKiB < crypto_pwhash_argon2id_MEMLIMIT_MIN / 1024
        || header->memLimitKiB > maxMemLimitKiB)
        return errSecAuthFailed;
    return errSecSuccess;
}

QByteArray Format::deriveKey(const QByteArray &password, const Header &header)
{
    if (!sodiumReady())
        return QByteArray();
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

OSStatus Format::decodeRecords(const QByteArray &payload, QList<QMKeychainRecord> *records)
{
    QCborParserError parseError;
    const QCborValue root = QCborValue::fromCbor(payload, &parseError);
    if (parseError.error != QCborError::NoError || !root.isMap()
        || !root.toMap().value(u"items"_s).isArray())
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

QByteArray Format::encrypt(Header header, const QByteArray &key,
                           const QList<QMKeychainRecord> &records)
{
    return seal(std::move(header), key, encodeRecords(records));
}

QByteArray Format::seal(Header header, const QByteArray &key, QByteArray payload)
{
    sodiumReady();
    header.nonce.resize(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES);
    randombytes_buf(header.nonce.data(), size_t(header.nonce.size()));
    const QByteArray associated = headerBytes(header);
    QByteArray file = associated;
    file.resize(associated.size() + payload.size() + crypto_aead_xchacha20poly1305_ietf_ABYTES);
    unsigned long long written = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(
            reinterpret_cast<unsigned char *>(file.data() + associated.size()), &written,
            reinterpret_cast<const unsigned char *>(payload.constData()), size_t(payload.size()),
            reinterpret_cast<const unsigned char *>(associated.constData()),
            size_t(associated.size()), nullptr,
            reinterpret_cast<const unsigned char *>(header.nonce.constData()),
            reinterpret_cast<const unsigned char *>(key.constData()));
    sodium_memzero(payload.data(), size_t(payload.size()));
    file.resize(associated.size() + qsizetype(written));
    return file;
}

OSStatus Format::decrypt(const QByteArray &file,
                         const std::function<QByteArray(const Header &)> &keyFor,
                         QList<QMKeychainRecord> *records, Header *headerOut)
{
    Header header;
    OSStatus status = readHeader(file, &header);
    if (status != errSecSuccess)
        return status;
    const qsizetype cipherSize = file.size() - HeaderSize;
    if (cipherSize < qsizetype(crypto_aead_xchacha20poly1305_ietf_ABYTES))
        return errSecAuthFailed;
    const QByteArray key = keyFor(header);
    if (key.size() != KeySize)
        return errSecInternalComponent;
    QByteArray payload(cipherSize - crypto_aead_xchacha20poly1305_ietf_ABYTES, Qt::Uninitialized);
    unsigned long long read = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(
                reinterpret_cast<unsigned char *>(payload.data()), &read, nullptr,
                reinterpret_cast<const unsigned char *>(file.constData() + HeaderSize),
                size_t(cipherSize), reinterpret_cast<const unsigned char *>(file.constData()),
                size_t(HeaderSize),
                reinterpret_cast<const unsigned char *>(header.nonce.constData()),
                reinterpret_cast<const unsigned char *>(key.constData()))
        != 0)
        return errSecAuthFailed;
    status = decodeRecords(payload, records);
    sodium_memzero(payload.data(), size_t(payload.size()));
    if (status == errSecSuccess && headerOut)
        *headerOut = header;
    return status;
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
    const QByteArray salt = headerBytes(header).mid(sizeof magic, 12 + crypto_pwhash_SALTBYTES);
    if (m_key.isEmpty() || m_keySalt != salt) {
        m_key = Format::deriveKey(m_password, header);
        m_keySalt = m_key.isEmpty() ? QByteArray() : salt;
    }
    return m_key;
}

OSStatus QMKeychainFile::read()
{
    QFile file(m_path);
    if (!file.exists())
        return errSecNoSuchKeychain;
    if (!file.open(QIODevice::ReadOnly))
        return errSecIO;
    if (file.size() > Format::MaximumFileSize)
        return errSecAuthFailed;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return errSecIO;
    QList<QMKeychainRecord> records;
    Format::Header header;
    const OSStatus status = Format::decrypt(
            bytes, [this](const Format::Header &h) { return keyFor(h); }, &records, &header);
    if (status != errSecSuccess)
        return status;
    m_header = header;
    m_records = records;
    return errSecSuccess;
}

OSStatus QMKeychainFile::write()
{
    const QByteArray bytes = Format::encrypt(m_header, keyFor(m_header), m_records);
    QSaveFile file(m_path);
    // The scratch file is narrowed to the owner before a byte is written; QSaveFile renames it
    // into place only when everything was written.
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        || file.write(bytes) != bytes.size() || !file.commit()) {
        const OSStatus status = writeStatus(file);
        file.cancelWriting();
        return status;
    }
    return errSecSuccess;
}

OSStatus QMKeychainFile::transaction(const std::function<OSStatus()> &body)
{
    std::lock_guard guard(fileOperationsMutex());
    QLockFile lock(m_path + u".lock"_s);
    if (!lock.tryLock(lockTimeoutMs))
        return lock.error() == QLockFile::PermissionError ? errSecWrPerm : errSecIO;
    OSStatus status = read();
    if (status != errSecSuccess)
        return status;
    m_dirty = false;
    status = body();
    if (status == errSecSuccess && m_dirty)
        status = write();
    m_records.clear();
    m_dirty = false;
    return status;
}

OSStatus QMKeychainFile::create()
{
    std::lock_guard guard(fileOperationsMutex());
    if (QFileInfo::exists(m_path) || QFileInfo(m_path).isSymLink())
        return errSecDuplicateKeychain;
    QLockFile lock(m_path + u".lock"_s);
    if (!lock.tryLock(lockTimeoutMs))
        return lock.error() == QLockFile::PermissionError ? errSecWrPerm : errSecIO;
    if (QFileInfo::exists(m_path))
        return errSecDuplicateKeychain;
    m_header = Format::newHeader();
    m_records.clear();
    if (keyFor(m_header).isEmpty())
        return errSecInternalComponent;
    return write();
}

OSStatus QMKeychainFile::open()
{
    return transaction([] { return errSecSuccess; });
}

OSStatus QMKeychainFile::remove()
{
    std::lock_guard guard(fileOperationsMutex());
    QLockFile lock(m_path + u".lock"_s);
    if (!lock.tryLock(lockTimeoutMs))
        return errSecIO;
    if (!QFileInfo::exists(m_path))
        return errSecNoSuchKeychain;
    return QFile::remove(m_path) ? errSecSuccess : errSecIO;
}

OSStatus QMKeychainFile::search(const QVariantMap &, QList<QMKeychainRecord> *records)
{
    *records = m_records;
    return errSecSuccess;
}

OSStatus QMKeychainFile::create(QMKeychainRecord *record)
{
    record->identifier = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record->created = record->modified = QDateTime::currentDateTimeUtc();
    m_records.append(*record);
    m_dirty = true;
    return errSecSuccess;
}

OSStatus QMKeychainFile::replace(QMKeychainRecord *record)
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

OSStatus QMKeychainFile::erase(const QMKeychainRecord &record)
{
    const auto removed = m_records.removeIf(
            [&](const QMKeychainRecord &stored) { return stored.identifier == record.identifier; });
    m_dirty = m_dirty || removed > 0;
    return removed > 0 ? errSecSuccess : errSecItemNotFound;
}
