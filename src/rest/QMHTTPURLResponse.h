#pragma once

#include "QMFoundationNetworkExport.h"

#include <QMap>
#include <QString>
#include <QUrl>

/// What a request operation keeps of an HTTP response: where it came from, its status and its
/// header fields. A plain value.
struct QMF_NETWORK_EXPORT QMHTTPURLResponse
{
    QUrl URL;
    qint64 statusCode = 0;
    QString HTTPVersion;
    /// One value per field name, as the server spelled the name; a field sent more than once
    /// has its values joined with ", ".
    QMap<QString, QString> allHeaderFields;
};
