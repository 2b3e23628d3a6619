#include "LoopbackHTTPServer.h"

#include "LoopbackNTLM.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <condition_variable>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

// What the owning thread and the server's thread share, all of it behind `mutex`. The server's
// thread copies single values out under the lock and never keeps a container that the owning
// thread could change in place.
struct Shared
{
    enum class State { Stopped, Starting, Running, Failed };

    std::mutex mutex;
    std::condition_variable changed;

    QSslCertificate certificate;
    QSslKey key;
    QString basicUser = u"user"_s;
    QString basicPassword = u"password"_s;
    QByteArray bearerToken = "token";
    QString ntlmUser = u"user"_s;
    QString ntlmPassword = u"password"_s;
    QString ntlmDomain = u"LOOPBACK"_s;
    QJsonArray pageItems = [] {
        QJsonArray items;
        for (int id = 1; id <= 25; ++id)
            items.append(QJsonObject {{u"id"_s, id}});
        return items;
    }();
    QHash<QByteArray, LoopbackHTTPServer::Handler> routes;

    State state = State::Stopped;
    bool secure = false;
    quint16 port = 0;
    QString startError;
    // The event dispatcher of the server's thread while it runs. stop() sets `stopping` and wakes
    // it under the lock: no event is posted, so stopping works even after the application object
    // is gone (which ends Qt's delivery of posted events to other threads).
    QAbstractEventDispatcher *dispatcher = nullptr;
    bool stopping = false;
    QList<LoopbackHTTPRequest> requests;
    quint64 connections = 0;
};

class Worker;

// One accepted connection, on the server's thread. Requests are answered one at a time in order;
// while a response is still going out (slowly, or never) later bytes wait in the buffer.
class Connection : public QObject
{
public:
    Connection(Worker *worker, QTcpSocket *socket, quint64 id, bool secure);

    QByteArray ntlmChallenge; // of the handshake under way, else empty
    bool ntlmAuthenticated = false;

private:
    void readAvailable();
    void processBuffer();
    void respond(const LoopbackHTTPRequest &request, LoopbackHTTPResponse response, bool keepAlive);
    void refuse(int status, const QByteArray &reason);
    void sendNextPiece();
    void streamMore();
    void finishStream();
    void finishResponse();

    Worker *m_worker;
    QTcpSocket *m_socket;
    quint64 m_id;
    bool m_secure;
    QByteArray m_buffer;
    bool m_busy = false; // a response is still going out
    bool m_closing = false; // the last response went out with "Connection: close"
    bool m_closeAfterResponse = false;
    QByteArray m_trickleBody;
    qsizetype m_trickleChunk = 0;
    QTimer m_trickleTimer;
    bool m_streaming = false;
    qint64 m_streamLeft = 0; // negative: endless
};

// Lives on the server's thread from construction to destruction: the listening socket, the
// connections and the routes.
class Worker : public QObject
{
public:
    explicit Worker(std::shared_ptr<Shared> shared)
        : m_shared(std::move(shared))
    { }

    bool listen(QString &error);
    quint16 port() const { return m_server->serverPort(); }
    LoopbackHTTPResponse route(const LoopbackHTTPRequest &request, Connection &connection);
    void record(const LoopbackHTTPRequest &request);

private:
    void acceptConnections();
    LoopbackHTTPResponse basic(const LoopbackHTTPRequest &request);
    LoopbackHTTPResponse bearer(const LoopbackHTTPRequest &request);
    LoopbackHTTPResponse ntlm(const LoopbackHTTPRequest &request, Connection &connection);
    LoopbackHTTPResponse pages(const LoopbackHTTPRequest &request);
    LoopbackHTTPResponse jsonDocument(const LoopbackHTTPRequest &request);
    LoopbackHTTPResponse slow(const LoopbackHTTPRequest &request);
    LoopbackHTTPResponse redirect(const LoopbackHTTPRequest &request);
    LoopbackHTTPResponse stream(const LoopbackHTTPRequest &request);
    LoopbackHTTPResponse hostile(const LoopbackHTTPRequest &request);

    std::shared_ptr<Shared> m_shared;
    QTcpServer *m_server = nullptr;
    bool m_secure = false;
    QByteArray m_base; // "http://127.0.0.1:port"
    QHash<qint64, QByteArray> m_jsonDocuments;
};

LoopbackHTTPResponse echo(const LoopbackHTTPRequest &request)
{
    QJsonObject headers;
    for (const auto &[name, value] : request.headers) {
        const QString key = QString::fromLatin1(name.toLower());
        const QJsonValue earlier = headers.value(key);
        const QString text = QString::fromUtf8(value);
        headers.insert(key, earlier.isUndefined() ? text : earlier.toString() + u", "_s + text);
    }
    const QJsonObject object {
            {u"method"_s, QString::fromLatin1(request.method)},
            {u"path"_s, QString::fromLatin1(request.path)},
            {u"query"_s, QString::fromLatin1(request.query)},
            {u"headers"_s, headers},
            {u"body"_s, QString::fromUtf8(request.body)},
    };
    return LoopbackHTTPResponse::json(200, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

LoopbackHTTPResponse problem(int status, const QString &message)
{
    return LoopbackHTTPResponse::json(
            status,
            QJsonDocument(QJsonObject {{u"error"_s, message}}).toJson(QJsonDocument::Compact));
}

LoopbackHTTPResponse unauthorized(const QByteArray &challenge)
{
    LoopbackHTTPResponse response = problem(401, u"unauthorized"_s);
    response.headers.append({"WWW-Authenticate", challenge});
    return response;
}

// The credentials after `scheme` in an Authorization value, or a null QByteArray when the value
// uses another scheme.
QByteArray credentials(const QByteArray &authorization, QByteArrayView scheme)
{
    const QByteArray trimmed = authorization.trimmed();
    const qsizetype space = trimmed.indexOf(' ');
    if (space < 0 || trimmed.first(space).compare(scheme, Qt::CaseInsensitive) != 0)
        return {};
    return trimmed.mid(space + 1).trimmed();
}

QByteArray decodeBase64(const QByteArray &text)
{
    const auto result
            = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    return result ? *result : QByteArray();
}

// A positive number from the query, `fallback` when the item is absent, -1 when it is not one.
qint64 positiveQueryNumber(const LoopbackHTTPRequest &request, QByteArrayView name, qint64 fallback)
{
    const QByteArray text = request.queryItem(name);
    if (text.isNull())
        return fallback;
    bool ok = false;
    const qint64 number = text.toLongLong(&ok);
    return ok && number > 0 && text.front() != '+' ? number : -1;
}

Connection::Connection(Worker *worker, QTcpSocket *socket, quint64 id, bool secure)
    : QObject(worker)
    , m_worker(worker)
    , m_socket(socket)
    , m_id(id)
    , m_secure(secure)
{
    socket->setParent(this);
    connect(socket, &QIODevice::readyRead, this, &Connection::readAvailable);
    connect(socket, &QAbstractSocket::disconnected, this, &QObject::deleteLater);
    connect(&m_trickleTimer, &QTimer::timeout, this, &Connection::sendNextPiece);
    connect(socket, &QIODevice::bytesWritten, this, &Connection::streamMore);
    if (socket->state() != QAbstractSocket::ConnectedState)
        deleteLater();
    else if (socket->bytesAvailable() > 0)
        readAvailable();
}

void Connection::readAvailable()
{
    const QByteArray data = m_socket->readAll();
    if (m_closing)
        return;
    m_buffer += data;
    // A client that keeps sending behind a stalled response cannot make the server hoard it.
    if (m_buffer.size()
        > LoopbackHTTPParser::maximumHeadSize + LoopbackHTTPParser::maximumBodySize) {
        m_closing = true;
        m_socket->abort();
        return;
    }
    processBuffer();
}

void Connection::processBuffer()
{
    while (!m_busy && !m_closing) {
        LoopbackHTTPRequest request;
        const auto result = LoopbackHTTPParser::parseRequest(m_buffer, request);
        using Outcome = LoopbackHTTPParser::Result::Outcome;
        if (result.outcome == Outcome::Incomplete)
            return;
        if (result.outcome == Outcome::Malformed) {
            refuse(result.status, result.reason);
            return;
        }
        m_buffer.remove(0, result.consumed);
        request.connection = m_id;
        request.secure = m_secure;
        m_worker->record(request);
        const QByteArray connectionField = request.header("Connection").toLower();
        const bool keepAlive = request.version == "HTTP/1.1"
                ? !connectionField.split(',').contains("close")
                : connectionField.trimmed() == "keep-alive";
        LoopbackHTTPResponse response = m_worker->route(request, *this);
        respond(request, std::move(response), keepAlive);
    }
}

void Connection::respond(const LoopbackHTTPRequest &request, LoopbackHTTPResponse response,
                         bool keepAlive)
{
    keepAlive = keepAlive && !response.closeConnection && response.rawHead.isEmpty();
    const int status = response.status;
    const bool bodyAllowed = status >= 200 && status != 204 && status != 304;
    QByteArray head = response.rawHead;
    if (head.isEmpty()) {
        head = "HTTP/1.1 " + QByteArray::number(status) + ' '
                + LoopbackHTTPParser::reasonPhrase(status) + "\r\n";
        for (const auto &[name, value] : std::as_const(response.headers))
            head += name + ": " + value + "\r\n";
        if (bodyAllowed && response.delivery != LoopbackHTTPResponse::Delivery::Stream)
            head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
        else if (bodyAllowed && response.streamBytes >= 0)
            head += "Content-Length: " + QByteArray::number(response.streamBytes) + "\r\n";
        else if (bodyAllowed)
            keepAlive = false; // the body ends where the connection does
        head += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
        if (!bodyAllowed || request.method == "HEAD")
            response.body.clear();
    }

    m_closeAfterResponse = !keepAlive;
    switch (response.delivery) {
    case LoopbackHTTPResponse::Delivery::Stall:
        m_busy = true;
        return;
    case LoopbackHTTPResponse::Delivery::Hang:
        m_socket->write(head + response.body);
        m_busy = true;
        return;
    case LoopbackHTTPResponse::Delivery::Stream:
        m_socket->write(head);
        m_busy = true;
        m_streaming = request.method != "HEAD";
        m_streamLeft = response.streamBytes;
        if (m_streaming)
            streamMore();
        else
            finishStream();
        return;
    case LoopbackHTTPResponse::Delivery::Trickle:
        if (!response.body.isEmpty()) {
            m_socket->write(head);
            m_busy = true;
            m_trickleBody = std::move(response.body);
            m_trickleChunk = std::max<qsizetype>(1, response.trickleChunk);
            m_trickleTimer.start(std::max(0, response.trickleInterval));
            return;
        }
        break;
    case LoopbackHTTPResponse::Delivery::Immediate:
        break;
    }
    m_socket->write(head + response.body);
    finishResponse();
}

void Connection::refuse(int status, const QByteArray &reason)
{
    LoopbackHTTPRequest request;
    request.method = "GET";
    respond(request, problem(status, QString::fromLatin1(reason)), false);
}

void Connection::sendNextPiece()
{
    m_socket->write(m_trickleBody.first(std::min(m_trickleChunk, m_trickleBody.size())));
    m_trickleBody.remove(0, m_trickleChunk);
    if (!m_trickleBody.isEmpty())
        return;
    m_trickleTimer.stop();
    m_busy = false;
    finishResponse();
    processBuffer();
}

void Connection::streamMore()
{
    static const QByteArray pattern = [] {
        QByteArray bytes;
        while (bytes.size() < 64 * 1024)
            bytes += "0123456789abcdefghijklmnopqrstuvwxyz\n";
        return bytes.first(64 * 1024);
    }();
    // Refilled as the socket drains, so the server holds a few pieces at most however long the
    // body is.
    while (m_streaming && m_socket->bytesToWrite() < 4 * pattern.size()) {
        if (m_streamLeft == 0) {
            m_streaming = false;
            finishStream();
            return;
        }
        const qint64 size = m_streamLeft < 0 ? pattern.size()
                                             : std::min<qint64>(m_streamLeft, pattern.size());
        m_socket->write(pattern.constData(), size);
        if (m_streamLeft > 0)
            m_streamLeft -= size;
    }
}

void Connection::finishStream()
{
    m_busy = false;
    finishResponse();
    processBuffer();
}

void Connection::finishResponse()
{
    if (!m_closeAfterResponse)
        return;
    m_closing = true;
    // Sends what is buffered first, then closes; `disconnected` deletes the connection.
    m_socket->disconnectFromHost();
}

bool Worker::listen(QString &error)
{
    QSslCertificate certificate;
    QSslKey key;
    {
        std::lock_guard lock(m_shared->mutex);
        certificate = m_shared->certificate;
        key = m_shared->key;
    }
    m_secure = !certificate.isNull();
    if (m_secure) {
        auto *server = new QSslServer(this);
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate);
        configuration.setPrivateKey(key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        server->setSslConfiguration(configuration);
        m_server = server;
    } else {
        m_server = new QTcpServer(this);
    }
    // Emitted once a connection is ready for use: for TLS, after its handshake.
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, &Worker::acceptConnections);
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        error = m_server->errorString();
        return false;
    }
    m_base = (m_secure ? "https://127.0.0.1:" : "http://127.0.0.1:")
            + QByteArray::number(m_server->serverPort());
    return true;
}

void Worker::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        quint64 id = 0;
        {
            std::lock_guard lock(m_shared->mutex);
            id = ++m_shared->connections;
        }
        new Connection(this, socket, id, m_secure);
    }
}

void Worker::record(const LoopbackHTTPRequest &request)
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->requests.append(request);
    }
    m_shared->changed.notify_all();
}

LoopbackHTTPResponse Worker::route(const LoopbackHTTPRequest &request, Connection &connection)
{
    LoopbackHTTPServer::Handler handler;
    {
        std::lock_guard lock(m_shared->mutex);
        handler = m_shared->routes.value(request.path);
    }
    if (handler)
        return handler(request);
    const QByteArray &path = request.path;
    if (path == "/echo")
        return echo(request);
    if (path == "/basic")
        return basic(request);
    if (path == "/bearer")
        return bearer(request);
    if (path == "/ntlm")
        return ntlm(request, connection);
    if (path == "/pages")
        return pages(request);
    if (path == "/json")
        return jsonDocument(request);
    if (path == "/slow")
        return slow(request);
    if (path == "/redirect")
        return redirect(request);
    if (path == "/stream")
        return stream(request);
    if (path.startsWith("/hostile/"))
        return hostile(request);
    if (path == "/stall") {
        LoopbackHTTPResponse response;
        response.delivery = LoopbackHTTPResponse::Delivery::Stall;
        return response;
    }
    if (path.startsWith("/status/")) {
        bool ok = false;
        const QByteArray digits = path.mid(8);
        const int status = digits.toInt(&ok);
        if (!ok || digits.size() != 3 || status < 200 || status > 599)
            return problem(400, u"the status must be a number from 200 to 599"_s);
        return LoopbackHTTPResponse::text(
                status, digits + ' ' + LoopbackHTTPParser::reasonPhrase(status) + '\n');
    }
    return problem(404, u"no route for "_s + QString::fromLatin1(path));
}

LoopbackHTTPResponse Worker::basic(const LoopbackHTTPRequest &request)
{
    QByteArray expected;
    {
        std::lock_guard lock(m_shared->mutex);
        expected = m_shared->basicUser.toUtf8() + ':' + m_shared->basicPassword.toUtf8();
    }
    const QByteArray given = credentials(request.header("Authorization"), "Basic");
    if (given.isNull() || decodeBase64(given) != expected)
        return unauthorized("Basic realm=\"loopback\"");
    return echo(request);
}

LoopbackHTTPResponse Worker::bearer(const LoopbackHTTPRequest &request)
{
    QByteArray expected;
    {
        std::lock_guard lock(m_shared->mutex);
        expected = m_shared->bearerToken;
    }
    const QByteArray given = credentials(request.header("Authorization"), "Bearer");
    if (given.isNull() || given != expected)
        return unauthorized("Bearer");
    return echo(request);
}

LoopbackHTTPResponse Worker::ntlm(const LoopbackHTTPRequest &request, Connection &connection)
{
    const QByteArray authorization = request.header("Authorization");
    if (authorization.isNull() && connection.ntlmAuthenticated)
        return echo(request);
    const QByteArray message = decodeBase64(credentials(authorization, "NTLM"));
    switch (LoopbackNTLM::messageType(message)) {
    case LoopbackNTLM::MessageType::Negotiate: {
        QString domain;
        {
            std::lock_guard lock(m_shared->mutex);
            domain = m_shared->ntlmDomain;
        }
        connection.ntlmAuthenticated = false;
        connection.ntlmChallenge = LoopbackNTLM::makeServerChallenge();
        return unauthorized(
                "NTLM "
                + LoopbackNTLM::challengeMessage(connection.ntlmChallenge, domain).toBase64());
    }
    case LoopbackNTLM::MessageType::Authenticate: {
        QString user, password;
        {
            std::lock_guard lock(m_shared->mutex);
            user = m_shared->ntlmUser;
            password = m_shared->ntlmPassword;
        }
        // A challenge answers one authenticate message only, right or wrong.
        const QByteArray challenge = std::exchange(connection.ntlmChallenge, {});
        connection.ntlmAuthenticated = !challenge.isEmpty()
                && LoopbackNTLM::verifyAuthenticateMessage(message, challenge, user, password);
        if (connection.ntlmAuthenticated)
            return echo(request);
        break;
    }
    case LoopbackNTLM::MessageType::Challenge:
    case LoopbackNTLM::MessageType::Other:
        break;
    }
    connection.ntlmAuthenticated = false;
    return unauthorized("NTLM");
}

LoopbackHTTPResponse Worker::pages(const LoopbackHTTPRequest &request)
{
    const qint64 page = positiveQueryNumber(request, "page", 1);
    qint64 perPage = positiveQueryNumber(request, "per_page", 10);
    if (page < 0 || perPage < 0)
        return problem(400, u"page and per_page must be positive numbers"_s);
    perPage = std::min<qint64>(perPage, 100);
    QJsonArray items;
    {
        std::lock_guard lock(m_shared->mutex);
        items = m_shared->pageItems;
    }
    const qint64 total = items.size();
    const qint64 lastPage = std::max<qint64>(1, (total + perPage - 1) / perPage);
    QJsonArray slice;
    for (qint64 i = (page - 1) * perPage; i < std::min(total, page * perPage); ++i)
        slice.append(items.at(i));

    QList<QByteArray> links;
    const auto link = [&](qint64 target, const char *relation) {
        links.append('<' + m_base + "/pages?page=" + QByteArray::number(target)
                     + "&per_page=" + QByteArray::number(perPage) + ">; rel=\"" + relation + '"');
    };
    if (page > 1)
        link(std::min(page - 1, lastPage), "prev");
    if (page < lastPage) {
        link(page + 1, "next");
        link(lastPage, "last");
    }
    if (page > 1)
        link(1, "first");
    LoopbackHTTPResponse response
            = LoopbackHTTPResponse::json(200, QJsonDocument(slice).toJson(QJsonDocument::Compact));
    response.headers.append({"X-Total-Count", QByteArray::number(total)});
    if (!links.isEmpty())
        response.headers.append({"Link", links.join(", ")});
    return response;
}

LoopbackHTTPResponse Worker::jsonDocument(const LoopbackHTTPRequest &request)
{
    const qint64 size = positiveQueryNumber(request, "size", 1024);
    if (size < 0 || size > 16 * 1024 * 1024)
        return problem(400, u"size must be a number from 1 to 16777216"_s);
    // A benchmark asks for a few sizes many times; a client asking for many sizes must not make
    // the cache grow without bound.
    if (m_jsonDocuments.size() >= 64 && !m_jsonDocuments.contains(size))
        m_jsonDocuments.clear();
    QByteArray &document = m_jsonDocuments[size];
    if (document.isEmpty()) {
        // Records while they fit, then a padding string that brings the text to the size asked.
        document = "{\"size\":" + QByteArray::number(size) + ",\"items\":[";
        constexpr QByteArrayView end = "],\"padding\":\"\"}";
        for (int id = 1;; ++id) {
            const QByteArray item = (id > 1 ? "," : "") + "{\"id\":"_ba + QByteArray::number(id)
                    + ",\"name\":\"item " + QByteArray::number(id)
                    + "\",\"active\":" + (id % 2 ? "true" : "false") + '}';
            if (document.size() + item.size() + end.size() > size)
                break;
            document += item;
        }
        document += "],\"padding\":\""
                + QByteArray(std::max<qint64>(0, size - document.size() - end.size()), '.') + "\"}";
    }
    return LoopbackHTTPResponse::json(200, document);
}

LoopbackHTTPResponse Worker::slow(const LoopbackHTTPRequest &request)
{
    const qint64 bytes = positiveQueryNumber(request, "bytes", 65536);
    const qint64 chunk = positiveQueryNumber(request, "chunk", 1024);
    const qint64 interval = request.queryItem("interval") == "0"
            ? 0
            : positiveQueryNumber(request, "interval", 10);
    if (bytes < 0 || bytes > LoopbackHTTPParser::maximumBodySize || chunk < 0 || interval < 0
        || interval > 60000)
        return problem(400, u"bytes, chunk and interval must be numbers in range"_s);
    static constexpr QByteArrayView pattern = "0123456789abcdefghijklmnopqrstuvwxyz\n";
    QByteArray body(bytes, Qt::Uninitialized);
    for (qint64 i = 0; i < bytes; ++i)
        body[i] = pattern.at(i % pattern.size());
    LoopbackHTTPResponse response {200, {{"Content-Type", "application/octet-stream"}}, body};
    response.delivery = LoopbackHTTPResponse::Delivery::Trickle;
    response.trickleChunk = chunk;
    response.trickleInterval = int(interval);
    return response;
}

LoopbackHTTPResponse Worker::redirect(const LoopbackHTTPRequest &request)
{
    const QByteArray to = request.queryItem("to");
    const QUrl target = QUrl::fromEncoded(to, QUrl::StrictMode);
    if (to.isEmpty() || !target.isValid() || target.isRelative())
        return problem(400, u"to must be an absolute URL"_s);
    const QByteArray statusText = request.queryItem("status");
    const int status = statusText.isNull() ? 302 : statusText.toInt();
    if (!QList<int> {301, 302, 303, 307, 308}.contains(status))
        return problem(400, u"status must be 301, 302, 303, 307 or 308"_s);
    LoopbackHTTPResponse response {status, {{"Location", target.toEncoded()}}, {}};
    return response;
}

LoopbackHTTPResponse Worker::stream(const LoopbackHTTPRequest &request)
{
    const bool endless = request.queryItem("bytes").isNull();
    const qint64 bytes
            = request.queryItem("bytes") == "0" ? 0 : positiveQueryNumber(request, "bytes", 1);
    if (!endless && bytes < 0)
        return problem(400, u"bytes must be a number"_s);
    LoopbackHTTPResponse response {200, {{"Content-Type", "application/octet-stream"}}, {}};
    response.delivery = LoopbackHTTPResponse::Delivery::Stream;
    response.streamBytes = endless ? -1 : bytes;
    return response;
}

LoopbackHTTPResponse Worker::hostile(const LoopbackHTTPRequest &request)
{
    const QByteArray name = request.path.mid(9);
    const auto raw = [](const QByteArray &head, const QByteArray &body = {}) {
        LoopbackHTTPResponse response;
        response.rawHead = head;
        response.body = body;
        return response;
    };
    // gzip of four lines of {"ok":true}, and the same made corrupt.
    static const QByteArray gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xab\x56\xca\xcf\x56"
                                 "\xb2\x2a\x29\x2a\x4d\xad\xe5\xaa\x26\x82\x0d\x00\x74\x8c\x67"
                                 "\x36\x30\x00\x00\x00",
                                 35);
    const auto gzipped = [&](const QByteArray &body) {
        return raw("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Encoding: gzip\r\n"
                   "Content-Length: "
                           + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n",
                   body);
    };
    if (name == "gzip")
        return gzipped(gzip);
    if (name == "corrupt-gzip") {
        QByteArray corrupt = gzip;
        for (qsizetype i = 10; i < 20; ++i)
            corrupt[i] = char(0xff);
        return gzipped(corrupt);
    }
    if (name == "status") {
        // The status code as the query gives it, in an otherwise well-formed reply.
        const QByteArray code = request.queryItem("code");
        return raw("HTTP/1.1 " + code + " Odd\r\nContent-Length: 3\r\nConnection: close\r\n\r\n",
                   "odd");
    }
    if (name == "stall-body") {
        LoopbackHTTPResponse response
                = raw("HTTP/1.1 200 OK\r\nContent-Length: 100\r\nConnection: close\r\n\r\n",
                      "0123456789");
        response.delivery = LoopbackHTTPResponse::Delivery::Hang;
        return response;
    }
    if (name == "endless") {
        LoopbackHTTPResponse response = raw("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n");
        response.delivery = LoopbackHTTPResponse::Delivery::Stream;
        return response;
    }
    if (name == "fields")
        return raw("HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n"
                   "X-Split: one\rInjected: yes\r\nX-Escape: \x1b[31mred\r\n"
                   "Content-Length: 2\r\nConnection: close\r\n\r\n",
                   "ok");
    if (name == "http10")
        return raw("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n", "ok");
    if (name == "content-lengths")
        return raw("HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 5\r\n"
                   "Connection: close\r\n\r\n",
                   "hello");
    if (name == "chunked-and-length")
        return raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 9\r\n"
                   "Connection: close\r\n\r\n",
                   "5\r\nhello\r\n0\r\n\r\n");
    if (name == "pages-forever") {
        // Page N of a listing that never ends: every page links to the next.
        const qint64 page = std::max<qint64>(1, positiveQueryNumber(request, "page", 1));
        LoopbackHTTPResponse response
                = LoopbackHTTPResponse::json(200, "[" + QByteArray::number(page) + "]");
        response.headers.append({"Link",
                                 '<' + m_base + "/hostile/pages-forever?page="
                                         + QByteArray::number(page + 1) + ">; rel=\"next\""});
        return response;
    }
    if (name == "pages-elsewhere") {
        // A first page whose next link leads to the URL in "to" (another origin, say).
        const QUrl to = QUrl::fromEncoded(request.queryItem("to"), QUrl::StrictMode);
        if (!to.isValid() || to.isRelative())
            return problem(400, u"to must be an absolute URL"_s);
        LoopbackHTTPResponse response = LoopbackHTTPResponse::json(200, "[1]");
        response.headers.append({"Link", '<' + to.toEncoded() + ">; rel=\"next\""});
        return response;
    }
    return problem(404, u"no hostile route "_s + QString::fromLatin1(name));
}

} // namespace

struct LoopbackHTTPServer::Private
{
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::thread thread;

    // The server's thread: everything Qt there is made, used and destroyed on it.
    static void run(const std::shared_ptr<Shared> &shared)
    {
        QEventLoop loop;
        auto worker = std::make_unique<Worker>(shared);
        QString error;
        const bool listening = worker->listen(error);
        {
            std::lock_guard lock(shared->mutex);
            shared->state = listening ? Shared::State::Running : Shared::State::Failed;
            shared->port = listening ? worker->port() : 0;
            shared->startError = error;
            shared->dispatcher = listening ? QAbstractEventDispatcher::instance() : nullptr;
            shared->stopping = false;
        }
        shared->changed.notify_all();
        if (!listening)
            return;
        // A wake-up that comes between the check and the wait makes the wait return at once.
        for (;;) {
            {
                std::lock_guard lock(shared->mutex);
                if (shared->stopping) {
                    shared->dispatcher = nullptr;
                    break;
                }
            }
            loop.processEvents(QEventLoop::WaitForMoreEvents);
        }
        worker.reset();
    }
};

LoopbackHTTPServer::LoopbackHTTPServer()
    : d(std::make_unique<Private>())
{ }

LoopbackHTTPServer::~LoopbackHTTPServer()
{
    stop();
}

void LoopbackHTTPServer::setTLSCertificate(const QSslCertificate &certificate, const QSslKey &key)
{
    std::lock_guard lock(d->shared->mutex);
    d->shared->certificate = certificate;
    d->shared->key = key;
}

bool LoopbackHTTPServer::isSecure() const
{
    std::lock_guard lock(d->shared->mutex);
    return d->shared->state == Shared::State::Running ? d->shared->secure
                                                      : !d->shared->certificate.isNull();
}

void LoopbackHTTPServer::setBasicCredentials(const QString &user, const QString &password)
{
    std::lock_guard lock(d->shared->mutex);
    d->shared->basicUser = user;
    d->shared->basicPassword = password;
}

void LoopbackHTTPServer::setBearerToken(const QByteArray &token)
{
    std::lock_guard lock(d->shared->mutex);
    d->shared->bearerToken = token;
}

void LoopbackHTTPServer::setNTLMCredentials(const QString &user, const QString &password,
                                            const QString &domain)
{
    std::lock_guard lock(d->shared->mutex);
    d->shared->ntlmUser = user;
    d->shared->ntlmPassword = password;
    d->shared->ntlmDomain = domain;
}

void LoopbackHTTPServer::setPageItems(const QJsonArray &items)
{
    std::lock_guard lock(d->shared->mutex);
    d->shared->pageItems = items;
}

void LoopbackHTTPServer::addRoute(const QByteArray &path, Handler handler)
{
    std::lock_guard lock(d->shared->mutex);
    d->shared->routes.insert(path, std::move(handler));
}

bool LoopbackHTTPServer::start(QString *error)
{
    // Event loops on other threads need the application object, and without one the server's
    // would end at once.
    if (!QCoreApplication::instance()) {
        if (error)
            *error = u"the server needs a QCoreApplication"_s;
        return false;
    }
    const auto shared = d->shared;
    {
        std::lock_guard lock(shared->mutex);
        if (shared->state != Shared::State::Stopped) {
            if (error)
                *error = u"the server is already running"_s;
            return false;
        }
        shared->state = Shared::State::Starting;
        shared->secure = !shared->certificate.isNull();
        shared->connections = 0;
    }
    d->thread = std::thread(&Private::run, shared);
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(lock, [&] { return shared->state != Shared::State::Starting; });
    if (shared->state == Shared::State::Running)
        return true;
    if (error)
        *error = shared->startError;
    shared->state = Shared::State::Stopped;
    lock.unlock();
    d->thread.join();
    return false;
}

void LoopbackHTTPServer::stop()
{
    if (!d->thread.joinable())
        return;
    {
        std::lock_guard lock(d->shared->mutex);
        d->shared->stopping = true;
        if (d->shared->dispatcher)
            d->shared->dispatcher->wakeUp();
    }
    d->thread.join();
    std::lock_guard lock(d->shared->mutex);
    d->shared->state = Shared::State::Stopped;
    d->shared->port = 0;
}

bool LoopbackHTTPServer::isRunning() const
{
    std::lock_guard lock(d->shared->mutex);
    return d->shared->state == Shared::State::Running;
}

quint16 LoopbackHTTPServer::port() const
{
    std::lock_guard lock(d->shared->mutex);
    return d->shared->port;
}

QUrl LoopbackHTTPServer::baseUrl() const
{
    std::lock_guard lock(d->shared->mutex);
    QUrl url;
    url.setScheme(d->shared->secure ? u"https"_s : u"http"_s);
    url.setHost(u"127.0.0.1"_s);
    url.setPort(d->shared->port);
    return url;
}

QUrl LoopbackHTTPServer::url(const QString &pathAndQuery) const
{
    return QUrl(baseUrl().toString() + pathAndQuery);
}

QList<LoopbackHTTPRequest> LoopbackHTTPServer::requests() const
{
    std::lock_guard lock(d->shared->mutex);
    // A list of its own rather than a shared copy: the server's thread appends to the recorded
    // list in place once it holds the only reference, which a thread sanitizer cannot order
    // after this thread's reads of a shared copy.
    QList<LoopbackHTTPRequest> copy;
    copy.reserve(d->shared->requests.size());
    for (const LoopbackHTTPRequest &request : std::as_const(d->shared->requests))
        copy.append(request);
    return copy;
}

qsizetype LoopbackHTTPServer::requestCount() const
{
    std::lock_guard lock(d->shared->mutex);
    return d->shared->requests.size();
}

bool LoopbackHTTPServer::waitForRequests(qsizetype count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(d->shared->mutex);
    return d->shared->changed.wait_for(lock, timeout,
                                       [&] { return d->shared->requests.size() >= count; });
}

void LoopbackHTTPServer::clearRequests()
{
    std::lock_guard lock(d->shared->mutex);
    d->shared->requests.clear();
}

quint64 LoopbackHTTPServer::connectionCount() const
{
    std::lock_guard lock(d->shared->mutex);
    return d->shared->connections;
}
