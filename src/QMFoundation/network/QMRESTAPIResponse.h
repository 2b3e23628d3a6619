#pragma once

#include <QMFoundation/QMFoundationNetworkExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QVariant>

#include <optional>

/// The outcome of one request, as the client hands it to a completion handler: a plain record.
struct QMF_NETWORK_EXPORT QMRESTAPIResponse
{
    /// The HTTP status code; 0 when no response arrived (a refused or cancelled request). A
    /// request that failed after its head arrived keeps the head's status: read `error` first.
    qint64 statusCode = 0;
    /// The response's header fields (names as the server sent them, one value per name; repeated
    /// fields are joined with ", ", those of "Set-Cookie" with a line feed).
    QMap<QString, QString> headers;
    /// The body decoded as UTF-8; none when there was no body or it was not valid UTF-8.
    std::optional<QString> body;
    /// Free for a parsed result; the library never sets it.
    QVariant result;
    /// The operation's error() at its end: a transfer failure (QMRESTAPINetworkErrorDomain) or
    /// what a subclass made of the response; std::nullopt otherwise, also for an HTTP error status.
    std::optional<QMError> error;
    /// Free to carry a server-trust exception to the caller; the library never sets it.
    std::optional<QByteArray> serverTrustExceptionCookie;

    /// True when `error` is set.
    bool hasError() const { return error.has_value(); }
};
