#include "LoopbackHTTPMessages.h"

using Result = LoopbackHTTPParser::Result;
using Outcome = LoopbackHTTPParser::Result::Outcome;

QByteArray LoopbackHTTPRequest::header(QByteArrayView name) const
{
    QByteArray joined;
    for (const auto &[fieldName, value] : headers) {
        if (fieldName.compare(name, Qt::CaseInsensitive) != 0)
            continue;
        if (joined.isNull())
            joined = value.isNull() ? QByteArray("") : value;
        else
            joined += ", " + value;
    }
    return joined;
}

QByteArray LoopbackHTTPRequest::queryItem(QByteArrayView name) const
{
    for (const QByteArray &item : query.split('&')) {
        const qsizetype equals = item.indexOf('=');
        const QByteArray key
                = QByteArray::fromPercentEncoding(equals < 0 ? item : item.left(equals));
        if (key == name) {
            const QByteArray value = equals < 0
                    ? QByteArray("")
                    : QByteArray::fromPercentEncoding(item.mid(equals + 1));
            return value.isNull() ? QByteArray("") : value;
        }
    }
    return {};
}

LoopbackHTTPResponse LoopbackHTTPResponse::json(int status, const QByteArray &body)
{
    return {status, {{"Content-Type", "application/json"}}, body};
}

LoopbackHTTPResponse LoopbackHTTPResponse::text(int status, const QByteArray &body)
{
    return {status, {{"Content-Type", "text/plain; charset=utf-8"}}, body};
}

namespace {

bool isTokenCharacter(char c)
{
    static constexpr QByteArrayView punctuation = "!#$%&'*+-.^_`|~";
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || punctuation.contains(c);
}

bool isToken(QByteArrayView text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (!isTokenCharacter(c))
            return false;
    }
    return true;
}

// Field values may hold visible characters, spaces, tabs and obsolete 8-bit text; any other
// control character (a stray CR above all) is a way to smuggle a second line.
bool isFieldValue(QByteArrayView text)
{
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\t') || u == 0x7f)
            return false;
    }
    return true;
}

bool isOriginForm(QByteArrayView target)
{
    if (!target.startsWith('/'))
        return false;
    for (char c : target) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7f)
            return false;
    }
    return true;
}

Result malformed(int status, const char *reason)
{
    Result result;
    result.outcome = Outcome::Malformed;
    result.status = status;
    result.reason = reason;
    return result;
}

// The next line from `position`, without its CRLF or LF; false when no line end has arrived.
bool nextLine(QByteArrayView input, qsizetype &position, QByteArrayView &line)
{
    const qsizetype end = input.indexOf('\n', position);
    if (end < 0)
        return false;
    line = input.sliced(position, end - position);
    if (line.endsWith('\r'))
        line.chop(1);
    position = end + 1;
    return true;
}

QByteArrayView trimmed(QByteArrayView text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text = text.sliced(1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// A Content-Length value: one or more copies of the same decimal number, comma-separated (as a
// proxy might join repeated fields). -1 when malformed.
qint64 contentLength(const QByteArray &value)
{
    qint64 length = -1;
    for (const QByteArray &part : value.split(',')) {
        const QByteArrayView digits = trimmed(part);
        if (digits.isEmpty() || digits.size() > 18)
            return -1;
        qint64 number = 0;
        for (char c : digits) {
            if (!isDigit(c))
                return -1;
            number = number * 10 + (c - '0');
        }
        if (length >= 0 && number != length)
            return -1;
        length = number;
    }
    return length;
}

// Removes the chunked coding from the body starting at `position`. On Complete, `position` is past
// the trailer section.
Result readChunkedBody(QByteArrayView input, qsizetype &position, QByteArray &body)
{
    for (;;) {
        QByteArrayView line;
        if (!nextLine(input, position, line)) {
            if (input.size() - position > 1024)
                return malformed(400, "chunk size line too long");
            return {};
        }
        const qsizetype extension = line.indexOf(';');
        const QByteArrayView digits = trimmed(extension < 0 ? line : line.first(extension));
        if (digits.isEmpty() || digits.size() > 8)
            return malformed(400, "bad chunk size");
        qint64 size = 0;
        for (char c : digits) {
            const int digit = hexDigit(c);
            if (digit < 0)
                return malformed(400, "bad chunk size");
            size = size * 16 + digit;
        }
        if (size == 0)
            break;
        if (body.size() + size > LoopbackHTTPParser::maximumBodySize)
            return malformed(413, "body too large");
        if (input.size() - position < size + 1)
            return {};
        const QByteArrayView data = input.sliced(position, size);
        qsizetype after = position + size;
        // The data ends in CRLF (or LF); anything else means the size was a lie.
        if (input.at(after) == '\r') {
            if (input.size() - after < 2)
                return {};
            ++after;
        }
        if (input.at(after) != '\n')
            return malformed(400, "chunk data does not end where its size says");
        body.append(data);
        position = after + 1;
    }
    // Trailer fields are read and dropped: nothing here needs them.
    for (;;) {
        QByteArrayView line;
        if (!nextLine(input, position, line))
            return {};
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon)) || !isFieldValue(line.sliced(colon + 1)))
            return malformed(400, "bad trailer field");
    }
    Result result;
    result.outcome = Outcome::Complete;
    result.consumed = position;
    return result;
}

} // namespace

Result LoopbackHTTPParser::parseRequest(QByteArrayView input, LoopbackHTTPRequest &request)
{
    // Empty lines before a request line are tolerated, as after a body that a client ended with
    // an extra CRLF.
    qsizetype position = 0;
    while (position < input.size() && (input.at(position) == '\r' || input.at(position) == '\n'))
        ++position;
    const qsizetype headStart = position;

    QByteArrayView line;
    if (!nextLine(input, position, line)) {
        if (input.size() - headStart > maximumHeadSize)
            return malformed(431, "request line too long");
        return {};
    }
    QList<QByteArrayView> parts;
    for (qsizetype start = 0;;) {
        const qsizetype space = line.indexOf(' ', start);
        parts.append(line.sliced(start, (space < 0 ? line.size() : space) - start));
        if (space < 0)
            break;
        start = space + 1;
    }
    if (parts.size() != 3 || !isToken(parts[0]))
        return malformed(400, "malformed request line");
    if (!isOriginForm(parts[1]))
        return malformed(400, "request target is not an absolute path");
    const QByteArrayView version = parts[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        const bool wellFormed = version.size() == 8 && version.startsWith("HTTP/")
                && isDigit(version.at(5)) && version.at(6) == '.' && isDigit(version.at(7));
        return wellFormed ? malformed(505, "HTTP version not supported")
                          : malformed(400, "malformed HTTP version");
    }

    LoopbackHTTPHeaders headers;
    for (;;) {
        if (!nextLine(input, position, line)) {
            if (input.size() - headStart > maximumHeadSize)
                return malformed(431, "request head too large");
            return {};
        }
        if (position - headStart > maximumHeadSize)
            return malformed(431, "request head too large");
        if (line.isEmpty())
            break;
        if (line.front() == ' ' || line.front() == '\t')
            return malformed(400, "folded header field");
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon)))
            return malformed(400, "malformed header field");
        const QByteArrayView value = trimmed(line.sliced(colon + 1));
        if (!isFieldValue(value))
            return malformed(400, "control character in a header field");
        headers.append({line.first(colon).toByteArray(), value.toByteArray()});
    }

    request = {};
    request.method = parts[0].toByteArray();
    request.target = parts[1].toByteArray();
    const qsizetype question = request.target.indexOf('?');
    request.path = question < 0 ? request.target : request.target.left(question);
    request.query = question < 0 ? QByteArray() : request.target.mid(question + 1);
    request.version = version.toByteArray();
    request.headers = std::move(headers);

    if (version == "HTTP/1.1" && !request.hasHeader("Host"))
        return malformed(400, "missing Host");

    const QByteArray transferEncoding = request.header("Transfer-Encoding");
    const QByteArray length = request.header("Content-Length");
    if (!transferEncoding.isNull()) {
        // A request with both is how requests get smuggled past a proxy: refuse it.
        if (!length.isNull())
            return malformed(400, "both Transfer-Encoding and Content-Length");
        if (transferEncoding.trimmed().compare("chunked", Qt::CaseInsensitive) != 0)
            return malformed(501, "transfer coding not supported");
        return readChunkedBody(input, position, request.body);
    }
    qint64 bodySize = 0;
    if (!length.isNull()) {
        bodySize = contentLength(length);
        if (bodySize < 0)
            return malformed(400, "malformed Content-Length");
        if (bodySize > maximumBodySize)
            return malformed(413, "body too large");
    }
    if (input.size() - position < bodySize)
        return {};
    request.body = input.sliced(position, bodySize).toByteArray();
    Result result;
    result.outcome = Outcome::Complete;
    result.consumed = position + bodySize;
    return result;
}

QByteArray LoopbackHTTPParser::reasonPhrase(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 409:
        return "Conflict";
    case 410:
        return "Gone";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Content Too Large";
    case 415:
        return "Unsupported Media Type";
    case 422:
        return "Unprocessable Content";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Unknown";
    }
}
