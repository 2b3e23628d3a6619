#include "SelfSignedCertificate.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>

using namespace Qt::StringLiterals;

namespace {

std::optional<SelfSignedCertificate> failure(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return std::nullopt;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

std::optional<SelfSignedCertificate> makeSelfSignedCertificate(const QString &directory,
                                                               QString *error)
{
    const QDir dir(directory);
    const QString stem
            = u"loopback-"_s + QString::number(QRandomGenerator::global()->generate64(), 16);
    const QString keyPath = dir.filePath(stem + u".key"_s);
    const QString certificatePath = dir.filePath(stem + u".crt"_s);

    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(u"openssl"_s,
                  {u"req"_s, u"-x509"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-days"_s,
                   u"2"_s, u"-subj"_s, u"/CN=127.0.0.1"_s, u"-addext"_s,
                   u"subjectAltName=IP:127.0.0.1"_s, u"-keyout"_s, keyPath, u"-out"_s,
                   certificatePath});
    if (!openssl.waitForStarted())
        return failure(error, u"cannot run openssl: "_s + openssl.errorString());
    if (!openssl.waitForFinished(60000)) {
        openssl.kill();
        openssl.waitForFinished();
        return failure(error, u"openssl did not finish within a minute"_s);
    }
    if (openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0)
        return failure(error, u"openssl failed: "_s + QString::fromLocal8Bit(openssl.readAll()));

    SelfSignedCertificate pair {QSslCertificate(readFile(certificatePath), QSsl::Pem),
                                QSslKey(readFile(keyPath), QSsl::Rsa, QSsl::Pem)};
    if (pair.certificate.isNull() || pair.key.isNull())
        return failure(error, u"cannot load the certificate or key that openssl wrote"_s);
    return pair;
}
