#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <utility>

/// Header fields in the order they were sent, names as written.
using LoopbackHTTPHeaders = QList<std::pair<QByteArray, QByteArray>>;

/// One request as the loopback server read it from the wire. Plain value; copies are cheap.
struct LoopbackHTTPRequest
{
    QByteArray method; ///< as sent ("GET"); methods are case-sensitive
    QByteArray target; ///< the request target as sent: path, then '?' and the query if any
    QByteArray path; ///< the target up to '?', still percent-encoded
    QByteArray query; ///< the raw query after '?', empty when there is none
    QByteArray version; ///< "HTTP/1.1" or "HTTP/1.0"
    LoopbackHTTPHeaders headers;
    QByteArray body; ///< after any chunked transfer coding was removed
    quint64 connection = 0; ///< serial number of the connection it came on, from 1 per server
    bool secure = false; ///< came over TLS

    /// The values of every field named `name` (compared case-insensitively) joined by ", ", or a
    /// null QByteArray when there is none.
    QByteArray header(QByteArrayView name) const;
    bool hasHeader(QByteArrayView name) const { return !header(name).isNull(); }
    /// The first value of the query item `name`, percent-decoded ('+' stays '+'), or a null
    /// QByteArray when the query has no such item.
    QByteArray queryItem(QByteArrayView name) const;
};

/// What a route answers. The server adds Content-Length and Connection itself (and leaves the body
/// out for HEAD, 1xx, 204 and 304), so `headers` should not carry them.
struct LoopbackHTTPResponse
{
    /// How the body reaches the client.
    enum class Delivery {
        Immediate, ///< head and body at once
        Trickle, ///< head at once, then `trickleChunk` bytes every `trickleInterval` ms
        Stall, ///< nothing at all, until the client gives up or the server stops
        Hang, ///< head and body at once, then nothing more on the connection, which stays open
        /// the head, then `streamBytes` bytes of a repeated pattern (`body` is not sent) as fast
        /// as the client reads them, never holding more than a few hundred KiB; endless when
        /// `streamBytes` is negative
        Stream,
    };

    int status = 200;
    LoopbackHTTPHeaders headers;
    QByteArray body;
    Delivery delivery = Delivery::Immediate;
    qsizetype trickleChunk = 1024;
    int trickleInterval = 10;
    qint64 streamBytes = -1;
    bool closeConnection = false; ///< close after this response even if the client keeps alive
    /// When not empty, the exact head to send (status line, fields and the empty line) instead
    /// of the one the server would compose from `status` and `headers`: nothing is added to it,
    /// so a route can answer as a broken or hostile server would. The connection is closed after
    /// such a response.
    QByteArray rawHead = {};

    /// A response with a Content-Type of application/json.
    static LoopbackHTTPResponse json(int status, const QByteArray &body);
    /// A response with a Content-Type of text/plain; charset=utf-8.
    static LoopbackHTTPResponse text(int status, const QByteArray &body);
};

/// Reading requests off a byte buffer, strictly enough that the server can tell a client's
/// mistake (answered with a 4xx status and a closed connection) from data still to come.
namespace LoopbackHTTPParser {

/// Limits past which a request is refused rather than buffered.
inline constexpr qsizetype maximumHeadSize = 64 * 1024; ///< request line and fields: 431
inline constexpr qsizetype maximumBodySize = 64 * 1024 * 1024; ///< 413

struct Result
{
    enum class Outcome { Incomplete, Complete, Malformed };
    Outcome outcome = Outcome::Incomplete;
    /// Complete: how many bytes of the input the request took (its successor starts there).
    qsizetype consumed = 0;
    /// Malformed: the status to answer with (400, 413, 431, 501 or 505) and why.
    int status = 0;
    QByteArray reason;
};

/// Reads the first request in `input`. Complete fills `request` (all but `connection` and
/// `secure`). Accepts origin-form targets only, Content-Length and chunked bodies, and lines
/// ending in CRLF or a bare LF; refuses folded fields, fields without a name, control
/// characters, conflicting lengths, other transfer codings and an HTTP/1.1 request without Host.
Result parseRequest(QByteArrayView input, LoopbackHTTPRequest &request);

/// The reason phrase of a status code ("Not Found"), "Unknown" for codes it does not know.
QByteArray reasonPhrase(int status);

} // namespace LoopbackHTTPParser
