#include <QMFoundation/text/QMSHA1.h>

#include "QMFoundation/text/QMDigest_p.h"

using QMDigest::Algorithm;
using QMDigest::hexDigest;

QString QMSHA1::SHA1String(const QString &string)
{
    return hexDigest(Algorithm::SHA1, string);
}

QString QMSHA1::SHA1String(const QByteArray &data)
{
    return hexDigest(Algorithm::SHA1, data);
}

QString QMSHA1::SHA1String(const char *string)
{
    return hexDigest(Algorithm::SHA1, string);
}

QString QMSHA1::SHA256String(const QString &string)
{
    return hexDigest(Algorithm::SHA256, string);
}

QString QMSHA1::SHA256String(const QByteArray &data)
{
    return hexDigest(Algorithm::SHA256, data);
}

QString QMSHA1::SHA256String(const char *string)
{
    return hexDigest(Algorithm::SHA256, string);
}

QString QMSHA1::SHA1StringOfDevice(QIODevice &device)
{
    return hexDigest(Algorithm::SHA1, device);
}

QString QMSHA1::SHA256StringOfDevice(QIODevice &device)
{
    return hexDigest(Algorithm::SHA256, device);
}
