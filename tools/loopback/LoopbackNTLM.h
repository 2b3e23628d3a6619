#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

/// The server's side of an NTLM handshake (connection-oriented, NTLMv2 responses only). Messages
/// are the decoded bytes of the base64 text after "NTLM " in the Authorization fields.
namespace LoopbackNTLM {

enum class MessageType { Other = 0, Negotiate = 1, Challenge = 2, Authenticate = 3 };

/// The type of an NTLM message, Other when `message` does not start like one.
MessageType messageType(QByteArrayView message);

/// A fresh random 8-byte server challenge.
QByteArray makeServerChallenge();

/// The challenge (type 2) message: Unicode, the target name `domain`, and target information
/// with the NetBIOS domain and computer names, a DNS domain, a timestamp and the end marker, so
/// that clients answer with an NTLMv2 response.
QByteArray challengeMessage(QByteArrayView serverChallenge, const QString &domain);

/// MD4 of the password in UTF-16LE.
QByteArray ntHash(const QString &password);
/// HMAC-MD5 keyed with the NT hash over UTF-16LE(uppercase(user) + domain).
QByteArray ntlmv2Hash(const QString &password, const QString &user, const QString &domain);

/// Checks an authenticate (type 3) message: its user must be `user` (case-insensitively), and its
/// NTProofStr must equal HMAC-MD5(NTLMv2 hash, serverChallenge + blob), the hash computed from
/// `password` and the user and domain names the message carries. Every security buffer is
/// bounds-checked; a message that does not fit is refused. On refusal, `failure` (if given) says
/// why.
bool verifyAuthenticateMessage(QByteArrayView message, QByteArrayView serverChallenge,
                               const QString &user, const QString &password,
                               QString *failure = nullptr);

} // namespace LoopbackNTLM
