#pragma once

#include "LoopbackHTTPMessages.h"

#include <QJsonArray>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

/// An HTTP/1.1 server on 127.0.0.1 for tests, benchmarks and demonstrations: it starts on an
/// ephemeral port, speaks plain HTTP or, given a certificate and key, HTTPS, keeps connections
/// alive, and records every request it reads so that a test can check what went over the wire.
///
/// Threads: the server runs its sockets on a thread of its own, with its own event loop, so a
/// client on any other thread may block (wait for a reply, for example) without starving it. Like
/// every Qt event loop it needs a QCoreApplication. start(), stop() and the destructor are
/// synchronous and belong to the thread that owns the server; every other member may be called
/// from any thread, at any time. Routes added with addRoute() run on the server's thread.
///
/// A malformed request is answered with 400 (or 413, 431, 501 or 505 as fits) and its
/// connection is closed. Responses carry Content-Length; bodies of requests may come with
/// Content-Length or chunked.
///
/// Routes (paths compared exactly, the query apart; a route added with addRoute() wins):
/// - `/echo`, any method: 200 with a compact JSON object {"method", "path" (raw), "query" (raw),
///   "headers": {lower-cased name: value, repeated fields joined with ", "}, "body" (as UTF-8)}.
/// - `/basic`: needs `Authorization: Basic` with the Basic credentials, else 401 with
///   `WWW-Authenticate: Basic realm="loopback"`; answers like /echo.
/// - `/bearer`: needs `Authorization: Bearer <token>`, else 401 with `WWW-Authenticate: Bearer`;
///   answers like /echo.
/// - `/ntlm`: an NTLM handshake on one connection. Without an NTLM Authorization: 401 with
///   `WWW-Authenticate: NTLM`; a negotiate message: 401 with `WWW-Authenticate: NTLM <challenge>`;
///   an authenticate message whose NTLMv2 response proves the NTLM credentials: answers like
///   /echo and the connection stays authenticated (later requests on it need no Authorization,
///   until a new negotiate message); otherwise 401 with `WWW-Authenticate: NTLM` again.
/// - `/pages?page=N&per_page=M` (defaults 1 and 10, per_page at most 100): page N of the page
///   items as a JSON array, with `X-Total-Count` and a `Link` field whose "first", "prev", "next"
///   and "last" links (those that apply; "next" and "last" not on the last page, "first" and
///   "prev" not on the first) point at this server's /pages. A page past the end is empty.
///   Anything but positive numbers: 400.
/// - `/json?size=N` (default 1024, at most 16 MiB): a JSON object of exactly N bytes (at least
///   the smallest such object), the same each time, cached per size.
/// - `/status/N`, N from 200 to 599: status N with a small text body (none for 204 and 304).
/// - `/stall`: never answers; the connection stays open until the client closes it or the
///   server stops.
/// - `/slow?bytes=N&chunk=C&interval=I` (defaults 65536, 1024 and 10 ms): the head at once,
///   then N bytes of body C at a time every I ms.
/// - `/redirect?to=<absolute URL>&status=S` (S one of 301, 302, 303, 307, 308; default 302):
///   status S with `Location` set to the (percent-decoded) URL.
/// - `/stream?bytes=N`: N bytes of a repeated pattern with Content-Length, sent as fast as the
///   client reads them (the server holds a few hundred KiB at most); without `bytes`, an endless
///   body that ends only when the client closes the connection.
/// - `/hostile/NAME`: a server that misbehaves on purpose, with heads written byte for byte and
///   the connection closed after each reply (unless it hangs):
///   - `gzip`: a well-formed gzip body (Content-Encoding: gzip) of four lines of {"ok":true};
///     `corrupt-gzip`: the same with ten bytes of its deflate data overwritten.
///   - `status?code=TEXT`: the status line "HTTP/1.1 TEXT Odd" (TEXT: 2000, -200, 099, ...).
///   - `stall-body`: a head announcing 100 bytes, 10 of them, then silence.
///   - `endless`: a body without a length that never ends.
///   - `fields`: "Set-Cookie" twice, a value with a bare CR ("X-Split: one\rInjected: yes") and
///     one with an ESC character.
///   - `http10`: an HTTP/1.0 reply.
///   - `content-lengths`: two Content-Length fields that disagree; `chunked-and-length`: a
///     chunked body of 5 bytes with a Content-Length of 9.
///   - `pages-forever?page=N`: a page of a listing whose "next" link always leads on.
///   - `pages-elsewhere?to=URL`: a page whose "next" link is URL (another origin, for one).
/// - Anything else: 404.
class LoopbackHTTPServer
{
public:
    using Handler = std::function<LoopbackHTTPResponse(const LoopbackHTTPRequest &)>;

    LoopbackHTTPServer();
    /// Stops the server if it runs.
    ~LoopbackHTTPServer();
    LoopbackHTTPServer(const LoopbackHTTPServer &) = delete;
    LoopbackHTTPServer &operator=(const LoopbackHTTPServer &) = delete;

    /// Serves HTTPS with this certificate and private key from the next start() on; null ones
    /// go back to plain HTTP.
    void setTLSCertificate(const QSslCertificate &certificate, const QSslKey &key);
    bool isSecure() const;

    /// Credentials of /basic; "user" and "password" by default.
    void setBasicCredentials(const QString &user, const QString &password);
    /// Token of /bearer; "token" by default.
    void setBearerToken(const QByteArray &token);
    /// Credentials of /ntlm; "user", "password" and the domain (the challenge's target name)
    /// "LOOPBACK" by default. The user name is compared case-insensitively.
    void setNTLMCredentials(const QString &user, const QString &password, const QString &domain);
    /// Items of /pages; 25 objects {"id": k} for k from 1 by default.
    void setPageItems(const QJsonArray &items);
    /// Answers requests for `path` (compared with the raw path, without the query) with
    /// `handler`, instead of a built-in route of that path. The handler runs on the server's
    /// thread.
    void addRoute(const QByteArray &path, Handler handler);

    /// Listens on 127.0.0.1 at an ephemeral port. Returns false, with the reason in `error` if
    /// given, when it cannot (or when it already runs).
    bool start(QString *error = nullptr);
    /// Closes every connection, stalled and slow ones included, and the listening socket, and
    /// ends the server's thread. Recorded requests are kept.
    void stop();
    bool isRunning() const;

    /// The port it listens on; 0 when stopped.
    quint16 port() const;
    /// "http://127.0.0.1:<port>" or "https://127.0.0.1:<port>", no trailing slash.
    QUrl baseUrl() const;
    /// baseUrl() with `pathAndQuery` ("/echo?a=1") appended.
    QUrl url(const QString &pathAndQuery) const;

    /// Every request read since the start (or the last clearRequests()), in order of arrival.
    QList<LoopbackHTTPRequest> requests() const;
    qsizetype requestCount() const;
    /// Waits until at least `count` requests are recorded; false on time-out.
    bool waitForRequests(qsizetype count, std::chrono::milliseconds timeout) const;
    void clearRequests();
    /// Connections accepted since the start (the serial number of the last one).
    quint64 connectionCount() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
