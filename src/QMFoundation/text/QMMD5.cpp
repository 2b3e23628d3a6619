#include <QMFoundation/text/QMMD5.h>

#include "QMFoundation/text/QMDigest_p.h"

using QMDigest::Algorithm;
using QMDigest::hexDigest;

QString QMMD5::md5(const QString &string)
{
    return hexDigest(Algorithm::MD5, string);
}

QString QMMD5::MD5String(const QString &string)
{
    return hexDigest(Algorithm::MD5, string);
}

QString QMMD5::MD5String(const QByteArray &data)
{
    return hexDigest(Algorithm::MD5, data);
}

QString QMMD5::MD5String(const char *string)
{
    return hexDigest(Algorithm::MD5, string);
}

QString QMMD5::MD5StringOfDevice(QIODevice &device)
{
    return hexDigest(Algorithm::MD5, device);
}
