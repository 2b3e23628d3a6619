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
    /// The reason phrase of the status line as the server sent it ("OK", "Not Found"); empty
    /// when it sent none (HTTP/2 has none) and in a response made up with
    /// QMRESTAPIRequestOperation::_setResponseWithStatusCode().
    QString reasonPhrase;
    /// One value per field name, as the server spelled the name; a field sent more than once
    /// has its values joined with ", ".
    QMap<QString, QString> allHeaderFields;
};
