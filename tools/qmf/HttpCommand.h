#pragma once

#include "ToolCommand.h"

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/network/QMHTTPURLResponse.h>

#include <QByteArray>
#include <QJsonArray>
#include <QList>
#include <QString>
#include <QTextStream>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <optional>

class QMRESTAPIClient;
class QMRESTAPIRequestOperation;

/// `qmf http METHOD URL [-p NAME=VALUE]... [credentials] [--trust-server] [--all-pages ...] [-i]`:
/// one request (or every page of a paged GET) through QMRESTAPIClient, and the tour's "REST
/// client" section.
///
/// The standard output is the response's status line ("HTTP/1.x 200 OK"), with -i its header
/// fields as headerFieldLines() gives them, a blank line, then the body's bytes, streamed as
/// they arrive (qmf keeps none of them). Every response the client hands back counts, whatever
/// its status: status 0. A request that gets no response (refused, timed out, TLS refused, a
/// protocol failure) prints "qmf: DESCRIPTION" and ends with status 1, as does one whose body
/// breaks off after its head was printed; usage errors end with status 2.
namespace HttpCommand {

ToolCommand command();

/// "VERSION CODE REASON": `reason` when it is not empty, else the standard reason phrase of
/// `code`, else none ("HTTP/1.1 299").
QString statusLine(const QString &version, qint64 code, const QString &reason);
/// The reason phrase that HTTP defines for `code`; empty for a code it defines none for.
QString standardReasonPhrase(qint64 code);
/// `text` with CR, LF and the other control characters but tab written as "\r", "\n" and
/// "\xHH", so that a header field prints as one line and moves no terminal.
QString escapedFieldText(const QString &text);
/// What -i prints of the header fields: "Name: value" per field instance, in name order, both
/// escaped with escapedFieldText(). Qt joins the instances of a repeated field with ", " (which
/// HTTP makes equivalent) except those of "Set-Cookie", which get one line each.
QStringList headerFieldLines(const QMHTTPURLResponse &response);

/// How many pages --all-pages follows at most unless --max-pages says otherwise.
inline constexpr quint64 defaultMaxPages = 1000;
/// How many bytes the bodies of a listing's pages may hold together: the items are kept until
/// the last page has come (parsed, they take several times as much).
inline constexpr qint64 maximumListingSize = qint64(256) * 1024 * 1024;

/// What one request brought back: a response and its body, or an error.
struct Exchange
{
    std::optional<QMHTTPURLResponse> response;
    QByteArray body;
    std::optional<QMError> error;
};

/// Sets up the request operation before it starts (streaming handlers, for one).
using Configure = std::function<void(QMRESTAPIRequestOperation &operation)>;

/// Performs one request with `client` (its credentials apply) and waits for it, serving the
/// calling thread's event loop meanwhile. With `trustsServer` a TLS certificate that does not
/// verify is accepted. `configure` runs before the request starts; handlers it sets run on a
/// thread of the client's queue while this thread waits. Uses, and leaves, the client's queue
/// at width 1.
Exchange perform(QMRESTAPIClient &client, const QString &method, const QUrl &URL,
                 const std::optional<QVariantMap> &params, bool trustsServer,
                 const Configure &configure = {});

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
/// greater than the one before; a listing must have at most `maxPages` pages, whose bodies
/// hold at most `maxListingSize` bytes together. Otherwise
/// std::nullopt, and `error` says "page N: REASON". The client's credentials go only to pages
/// of `URL`'s origin (scheme, host and port): a page elsewhere is fetched without them.
/// `configure` sets up each page's request operation, as for perform().
std::optional<QList<Page>>
allPages(QMRESTAPIClient &client, const QUrl &URL, const std::optional<QVariantMap> &params,
         bool trustsServer, const QString &pageParameterName, const QString &perPageParameterName,
         quint64 maxPages, qint64 maxListingSize, QString *error, const Configure &configure = {});

/// The tour's "REST client" section: a loopback server, one request, then its paged listing.
void tourSection(QTextStream &out);

} // namespace HttpCommand
