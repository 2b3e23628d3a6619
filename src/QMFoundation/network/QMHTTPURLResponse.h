#pragma once

#include <QMFoundation/QMFoundationNetworkExport.h>

#include <QMap>
#include <QString>
#include <QUrl>

/// What a request operation keeps of an HTTP response: where it came from, its status and its
/// header fields. A plain value.
struct QMF_NETWORK_EXPORT QMHTTPURLResponse
{
    /// The URL the response came from, after any redirects.
    QUrl URL;
    /// The HTTP status code.
    qint64 statusCode = 0;
    /// "HTTP/2", or "HTTP/1.x" for HTTP/1.0 and HTTP/1.1 alike: Qt 6.4 does not tell which of
    /// the two a reply used, and the library does not make one up.
    QString HTTPVersion;
    /// The reason phrase of the status line as the server sent it ("OK", "Not Found"); empty
    /// when it sent none (HTTP/2 has none) and in a response made up with
    /// QMRESTAPIRequestOperation::_setResponseWithStatusCode().
    QString reasonPhrase;
    /// One value per field name, as the server spelled the name; a field sent more than once
    /// has its values joined with ", ", except "Set-Cookie", whose values Qt joins with a line
    /// feed (a cookie may hold ", "). A line feed never occurs inside a value the server sent;
    /// a carriage return may.
    QMap<QString, QString> allHeaderFields;
};
