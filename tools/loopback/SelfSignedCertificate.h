#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <optional>

/// A certificate for 127.0.0.1 and its private key.
struct SelfSignedCertificate
{
    QSslCertificate certificate;
    QSslKey key;
};

/// Makes a new self-signed certificate for 127.0.0.1 (common name and IP subject alternative
/// name, RSA 2048, valid for two days) with the `openssl` command, writing its PEM files into
/// `directory` under fresh names, and loads them. Every call makes a different certificate.
/// Returns std::nullopt, with the reason in `error` if given, when openssl cannot be run or fails.
/// Blocks until openssl is done (a fraction of a second).
std::optional<SelfSignedCertificate> makeSelfSignedCertificate(const QString &directory,
                                                               QString *error = nullptr);
