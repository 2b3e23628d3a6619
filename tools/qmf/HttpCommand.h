#pragma once

#include "ToolCommand.h"

#include "errors/QMError.h"
#include "rest/QMHTTPURLResponse.h"

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QTextStream>
#include <QUrl>
#include <QVariantMap>

#include <optional>

class QMRESTAPIClient;

/// `qmf http METHOD URL [-p NAME=VALUE]... [credentials] [--trust-server] [--all-pages ...] [-i]`:
/// one request (or every page of a paged GET) through QMRESTAPIClient, and the tour's "REST
/// client" section.
///
/// The standard output is the response's status line ("HTTP/1.1 200 OK"), with -i its header
/// fields one per line as "Name: value" in name order, a blank line, then the body's bytes as
/// they arrived. Every response the client hands back counts, whatever its status: status 0.
/// A request that gets no response (refused, timed out, TLS refused) prints
/// "qmf: DESCRIPTION" and ends with status 1; usage errors end with status 2.
namespace HttpCommand {

ToolCommand command();

/// "VERSION CODE REASON": `reason` when it is not empty, else the standard reason phrase of
/// `code`, else none ("HTTP/1.1 299").
QString statusLine(const QString &version, qint64 code, const QString &reason);
/// The reason phrase that HTTP defines for `code`; empty for a code it defines none for.
QString standardReasonPhrase(qint64 code);

/// What one request brought back: a response and its body, or an error.
struct Exchange
{
    std::optional<QMHTTPURLResponse> response;
    QByteArray body;
    std::optional<QMError> error;
};

/// Performs one request with `client` (its credentials apply) and waits for it, serving the
/// calling thread's event loop meanwhile. With `trustsServer` a TLS certificate that does not
/// verify is accepted. Uses, and leaves, the client's queue at width 1.
Exchange perform(QMRESTAPIClient &client, const QString &method, const QUrl &URL,
                 const std::optional<QVariantMap> &params, bool trustsServer);

/// One page of a paged listing, and what the Link header parser read from its header fields.
struct Page
{
    QMHTTPURLResponse response;
    QJsonArray items;
    quint64 nextPageNumber = 0; ///< 0 on the last page
    quint64 numberOfTotalPages = 0;
    quint64 numberOfItemsPerPage = 0;
};

/// GETs `URL` with `params`, then each page the Link header's "next" link names, until a page
/// has none. Every page must come back without error, with a status below 400 and a JSON
/// array as its body, and each "next" link must name a page number (in `pageParameterName`)
/// greater than the one before; otherwise std::nullopt, and `error` says "page N: REASON".
std::optional<QList<Page>> allPages(QMRESTAPIClient &client, const QUrl &URL,
                                    const std::optional<QVariantMap> &params, bool trustsServer,
                                    const QString &pageParameterName,
                                    const QString &perPageParameterName, QString *error);

/// The tour's "REST client" section: a loopback server, one request, then its paged listing.
void tourSection(QTextStream &out);

} // namespace HttpCommand
