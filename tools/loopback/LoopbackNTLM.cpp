#include "LoopbackNTLM.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QtEndian>

using namespace Qt::StringLiterals;

namespace {

constexpr QByteArrayView signature {"NTLMSSP\0", 8};

// The negotiate flags of the challenge: Unicode strings, the target name requested and a domain's,
// NTLM, always sign, extended session security, target information, version, 128- and 56-bit.
constexpr quint32 challengeFlags = 0x00000001 | 0x00000004 | 0x00000200 | 0x00008000 | 0x00010000
        | 0x00080000 | 0x00800000 | 0x02000000 | 0x20000000 | 0x80000000;
constexpr quint32 unicodeFlag = 0x00000001;

// Identifiers of the target information pairs.
enum : quint16 {
    MsvAvEOL = 0,
    MsvAvNbComputerName = 1,
    MsvAvNbDomainName = 2,
    MsvAvDnsDomainName = 4,
    MsvAvTimestamp = 7,
};

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr quint64 fileTimeEpochOffset = 116444736000000000ULL;

QByteArray utf16LittleEndian(const QString &text)
{
    QByteArray bytes(text.size() * 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        qToLittleEndian<quint16>(text.at(i).unicode(), bytes.data() + 2 * i);
    return bytes;
}

void appendLittleEndian16(QByteArray &bytes, quint16 value)
{
    char buffer[2];
    qToLittleEndian(value, buffer);
    bytes.append(buffer, 2);
}

void appendLittleEndian32(QByteArray &bytes, quint32 value)
{
    char buffer[4];
    qToLittleEndian(value, buffer);
    bytes.append(buffer, 4);
}

void appendSecurityBuffer(QByteArray &bytes, qsizetype length, qsizetype offset)
{
    appendLittleEndian16(bytes, quint16(length));
    appendLittleEndian16(bytes, quint16(length));
    appendLittleEndian32(bytes, quint32(offset));
}

void appendPair(QByteArray &info, quint16 id, const QByteArray &value)
{
    appendLittleEndian16(info, id);
    appendLittleEndian16(info, quint16(value.size()));
    info.append(value);
}

quint16 read16(QByteArrayView bytes, qsizetype at)
{
    return qFromLittleEndian<quint16>(bytes.data() + at);
}

quint32 read32(QByteArrayView bytes, qsizetype at)
{
    return qFromLittleEndian<quint32>(bytes.data() + at);
}

// The security buffer (length, allocated length, offset) at `at`, bounds-checked against the
// message; false when it points outside.
bool readSecurityBuffer(QByteArrayView message, qsizetype at, QByteArrayView &field)
{
    if (at + 8 > message.size())
        return false;
    const qint64 length = read16(message, at);
    const qint64 offset = read32(message, at + 4);
    if (offset > message.size() || length > message.size() - offset)
        return false;
    field = message.sliced(offset, length);
    return true;
}

bool decodeString(QByteArrayView bytes, bool unicode, QString &text)
{
    if (!unicode) {
        text = QString::fromLatin1(bytes);
        return true;
    }
    if (bytes.size() % 2 != 0)
        return false;
    text.resize(bytes.size() / 2);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(read16(bytes, 2 * i));
    return true;
}

bool refuse(QString *failure, const QString &reason)
{
    if (failure)
        *failure = reason;
    return false;
}

} // namespace

LoopbackNTLM::MessageType LoopbackNTLM::messageType(QByteArrayView message)
{
    if (message.size() < 12 || !message.startsWith(signature))
        return MessageType::Other;
    switch (read32(message, 8)) {
    case 1:
        return MessageType::Negotiate;
    case 2:
        return MessageType::Challenge;
    case 3:
        return MessageType::Authenticate;
    default:
        return MessageType::Other;
    }
}

QByteArray LoopbackNTLM::makeServerChallenge()
{
    QByteArray challenge(8, Qt::Uninitialized);
    const quint64 random = QRandomGenerator::system()->generate64();
    qToLittleEndian(random, challenge.data());
    return challenge;
}

QByteArray LoopbackNTLM::challengeMessage(QByteArrayView serverChallenge, const QString &domain)
{
    const QByteArray targetName = utf16LittleEndian(domain);
    QByteArray timestamp(8, Qt::Uninitialized);
    qToLittleEndian<quint64>(quint64(QDateTime::currentMSecsSinceEpoch()) * 10000
                                     + fileTimeEpochOffset,
                             timestamp.data());
    QByteArray info;
    appendPair(info, MsvAvNbDomainName, targetName);
    appendPair(info, MsvAvNbComputerName, utf16LittleEndian(u"LOOPBACK"_s));
    appendPair(info, MsvAvDnsDomainName, utf16LittleEndian(u"localdomain"_s));
    appendPair(info, MsvAvTimestamp, timestamp);
    appendPair(info, MsvAvEOL, {});

    // Fixed part: signature, type, target name buffer, flags, challenge, reserved, target info
    // buffer, version; the payload follows it.
    constexpr qsizetype headerSize = 56;
    QByteArray message = signature.toByteArray();
    appendLittleEndian32(message, 2);
    appendSecurityBuffer(message, targetName.size(), headerSize);
    appendLittleEndian32(message, challengeFlags);
    message.append(serverChallenge.first(8));
    message.append(8, '\0');
    appendSecurityBuffer(message, info.size(), headerSize + targetName.size());
    // Version 10.0, build 19041, NTLM revision 15.
    message.append("\x0a\x00", 2);
    appendLittleEndian16(message, 19041);
    message.append("\0\0\0\x0f", 4);
    message.append(targetName);
    message.append(info);
    return message;
}

QByteArray LoopbackNTLM::ntHash(const QString &password)
{
    return QCryptographicHash::hash(utf16LittleEndian(password), QCryptographicHash::Md4);
}

QByteArray LoopbackNTLM::ntlmv2Hash(const QString &password, const QString &user,
                                    const QString &domain)
{
    return QMessageAuthenticationCode::hash(utf16LittleEndian(user.toUpper() + domain),
                                            ntHash(password), QCryptographicHash::Md5);
}

bool LoopbackNTLM::verifyAuthenticateMessage(QByteArrayView message, QByteArrayView serverChallenge,
                                             const QString &user, const QString &password,
                                             QString *failure)
{
    if (messageType(message) != MessageType::Authenticate)
        return refuse(failure, u"not an authenticate message"_s);
    // Buffers: LM response at 12, NT response at 20, domain at 28, user at 36, workstation at 44;
    // the flags at 60 are missing from the shortest messages, which are Unicode.
    QByteArrayView ntResponse, domainBytes, userBytes, unused;
    if (!readSecurityBuffer(message, 12, unused) || !readSecurityBuffer(message, 20, ntResponse)
        || !readSecurityBuffer(message, 28, domainBytes)
        || !readSecurityBuffer(message, 36, userBytes) || !readSecurityBuffer(message, 44, unused))
        return refuse(failure, u"a security buffer lies outside the message"_s);
    const bool unicode = message.size() < 64 || (read32(message, 60) & unicodeFlag);
    QString messageUser, messageDomain;
    if (!decodeString(userBytes, unicode, messageUser)
        || !decodeString(domainBytes, unicode, messageDomain))
        return refuse(failure, u"odd length of a Unicode string"_s);
    if (messageUser.compare(user, Qt::CaseInsensitive) != 0)
        return refuse(failure, u"unknown user %1"_s.arg(messageUser));
    // NTProofStr, then the blob: version 1.1, reserved, timestamp, client challenge, reserved,
    // target information. An NTLMv1 response (24 bytes) does not have one.
    constexpr qsizetype proofSize = 16;
    constexpr qsizetype minimumBlobSize = 28;
    if (ntResponse.size() < proofSize + minimumBlobSize
        || ntResponse.sliced(proofSize, 2) != QByteArrayView("\x01\x01", 2))
        return refuse(failure, u"not an NTLMv2 response"_s);
    const QByteArrayView blob = ntResponse.sliced(proofSize);
    const QByteArray expected = QMessageAuthenticationCode::hash(
            serverChallenge.toByteArray() + blob.toByteArray(),
            ntlmv2Hash(password, messageUser, messageDomain), QCryptographicHash::Md5);
    // Compare every byte, so that the time taken does not tell how many matched.
    unsigned char difference = 0;
    for (qsizetype i = 0; i < proofSize; ++i)
        difference |= static_cast<unsigned char>(expected.at(i) ^ ntResponse.at(i));
    if (difference != 0)
        return refuse(failure, u"wrong password"_s);
    return true;
}
