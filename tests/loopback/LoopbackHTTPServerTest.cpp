#include "LoopbackTestSupport.h"

#include "LoopbackHTTPServer.h"
#include "LoopbackNTLM.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrlQuery>

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using LoopbackTestSupport::fetch;

namespace {

struct StartedServer : LoopbackHTTPServer
{
    StartedServer()
    {
        QString error;
        EXPECT_TRUE(start(&error)) << error.toStdString();
    }
};

QNetworkRequest requestFor(const LoopbackHTTPServer &server, const QString &pathAndQuery,
                           const QList<std::pair<QByteArray, QByteArray>> &headers = {})
{
    QNetworkRequest request(server.url(pathAndQuery));
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    return request;
}

// Writes `input` on a raw connection and reads until the server closes it; the status codes of
// the responses in order.
QList<int> rawExchange(const LoopbackHTTPServer &server, const QByteArray &input, bool &closed)
{
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, server.port());
    EXPECT_TRUE(socket.waitForConnected(5000));
    socket.write(input);
    QByteArray received;
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && timer.elapsed() < 5000) {
        socket.waitForReadyRead(5000 - int(timer.elapsed()));
        received += socket.readAll();
    }
    received += socket.readAll();
    closed = socket.state() != QAbstractSocket::ConnectedState;
    QList<int> statuses;
    static const QRegularExpression statusLine(u"^HTTP/1\\.1 (\\d{3}) "_s,
                                               QRegularExpression::MultilineOption);
    for (const auto &match : statusLine.globalMatch(QString::fromLatin1(received)))
        statuses.append(match.captured(1).toInt());
    return statuses;
}

} // namespace

TEST(LoopbackHTTPServerTest, AnswersRawRequestsAndRefusesMalformedOnes)
{
    StartedServer server;
    const QByteArray close = "Host: x\r\nConnection: close\r\n\r\n";
    const struct
    {
        QByteArray input;
        QList<int> statuses;
        QByteArray recordedBody = {}; // of the last request recorded
    } rows[] = {
            {"GET /echo HTTP/1.1\r\n" + close, {200}},
            // Pipelined requests are answered in order on one connection.
            {"GET /status/201 HTTP/1.1\r\nHost: x\r\n\r\nGET /status/404 HTTP/1.1\r\n" + close,
             {201, 404}},
            {"POST /echo HTTP/1.1\r\nContent-Length: 5\r\n" + close + "hello", {200}, "hello"},
            {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + close
                     + "5\r\nhello\r\n6;name=value\r\n world\r\n0\r\nTrailer: x\r\n\r\n",
             {200},
             "hello world"},
            // Bare line feeds are read as line ends; HTTP/1.0 closes unless asked to keep alive.
            {"PUT /echo HTTP/1.0\nContent-Length: 2\n\nok", {200}, "ok"},
            // A good request, then garbage: the first is answered, then 400 and the end.
            {"GET /status/200 HTTP/1.1\r\nHost: x\r\n\r\nBROKEN\r\n\r\n", {200, 400}},
            // Malformed requests.
            {"garbage\r\n\r\n", {400}},
            {QByteArray("\0\x01\x02 / HTTP/1.1\r\n\r\n", 19), {400}},
            {"GET  /echo HTTP/1.1\r\n" + close, {400}},
            {"GET echo HTTP/1.1\r\n" + close, {400}},
            {"GET http://x/echo HTTP/1.1\r\n" + close, {400}},
            {"GET /echo HTTP/1.1\r\nConnection: close\r\n\r\n", {400}}, // no Host
            {"GET /echo HTTP/1.1\r\nX-Folded: a\r\n b\r\n" + close, {400}},
            {"GET /echo HTTP/1.1\r\nBad Name: a\r\n" + close, {400}},
            {"GET /echo HTTP/1.1\r\nNoColon\r\n" + close, {400}},
            {"GET /echo HTTP/1.1\r\nX-Control: a\x01z\r\n" + close, {400}},
            {"POST /echo HTTP/1.1\r\nContent-Length: abc\r\n" + close, {400}},
            {"POST /echo HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n" + close + "ab",
             {400}},
            {"POST /echo HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n" + close
                     + "0\r\n\r\n",
             {400}},
            {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + close + "zz\r\n", {400}},
            {"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n" + close + "2\r\nabc\r\n",
             {400}},
            {"POST /echo HTTP/1.1\r\nTransfer-Encoding: gzip\r\n" + close, {501}},
            {"POST /echo HTTP/1.1\r\nContent-Length: 99999999999\r\n" + close, {413}},
            {"GET /echo HTTP/2.0\r\n" + close, {505}},
            {"GET /" + QByteArray(70000, 'a') + " HTTP/1.1\r\n" + close, {431}},
            {"GET /echo HTTP/1.1\r\nX-Big: " + QByteArray(70000, 'a') + "\r\n" + close, {431}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.input.left(60).toStdString());
        server.clearRequests();
        bool closed = false;
        EXPECT_EQ(rawExchange(server, row.input, closed), row.statuses);
        EXPECT_TRUE(closed);
        if (!row.recordedBody.isNull()) {
            EXPECT_EQ(server.requests().constLast().body, row.recordedBody);
        }
    }
    EXPECT_TRUE(server.isRunning());
}

TEST(LoopbackHTTPServerTest, ChecksBasicAndBearerCredentials)
{
    StartedServer server;
    server.setBasicCredentials(u"alice"_s, u"pass:word é"_s);
    server.setBearerToken("t0k3n");
    const QByteArray good = "alice:pass:word é"_ba.toBase64();
    const struct
    {
        const char *path;
        QByteArray authorization; // empty: none
        int status;
        const char *challenge = nullptr; // WWW-Authenticate of a refusal
    } rows[] = {
            {"/basic", "Basic " + good, 200},
            {"/basic", "basic   " + good, 200}, // the scheme is case-insensitive
            {"/basic", "", 401, "Basic realm=\"loopback\""},
            {"/basic", "Basic " + "alice:wrong"_ba.toBase64(), 401, "Basic realm=\"loopback\""},
            {"/basic", "Basic " + "bob:pass:word é"_ba.toBase64(), 401, "Basic realm=\"loopback\""},
            {"/basic", "Basic !!" + good, 401, "Basic realm=\"loopback\""},
            {"/basic", "Bearer t0k3n", 401, "Basic realm=\"loopback\""},
            {"/bearer", "Bearer t0k3n", 200},
            {"/bearer", "", 401, "Bearer"},
            {"/bearer", "Bearer t0k3", 401, "Bearer"},
            {"/bearer", "Basic " + good, 401, "Bearer"},
    };
    QNetworkAccessManager manager;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.path) + ' ' + row.authorization.toStdString());
        QList<std::pair<QByteArray, QByteArray>> headers;
        if (!row.authorization.isEmpty())
            headers.append({"Authorization", row.authorization});
        const auto reply
                = fetch(manager, requestFor(server, QString::fromLatin1(row.path), headers), "POST",
                        "payload");
        EXPECT_EQ(reply.status, row.status);
        if (row.status == 200)
            EXPECT_EQ(reply.json()[u"body"_s].toString(), u"payload"_s);
        else
            EXPECT_EQ(reply.header("WWW-Authenticate"), row.challenge);
    }
}

TEST(LoopbackHTTPServerTest, VerifiesNTLMv2Handshakes)
{
    StartedServer server;
    server.setNTLMCredentials(u"carol"_s, u"Secret-1"_s, u"EXAMPLE"_s);
    const struct
    {
        QString user;
        QString password;
        int status;
    } rows[] = {
            {u"carol"_s, u"Secret-1"_s, 200},
            {u"CAROL"_s, u"Secret-1"_s, 200}, // user names are case-insensitive
            {u"carol"_s, u"secret-1"_s, 401},
            {u"carol"_s, u""_s, 401},
            {u"dave"_s, u"Secret-1"_s, 401},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(QString(row.user + u'/' + row.password).toStdString());
        server.clearRequests();
        QNetworkAccessManager manager;
        int prompts = 0;
        QObject::connect(&manager, &QNetworkAccessManager::authenticationRequired,
                         [&](QNetworkReply *, QAuthenticator *authenticator) {
                             // Credentials once; a second prompt means they were refused.
                             if (prompts++ == 0) {
                                 authenticator->setUser(row.user);
                                 authenticator->setPassword(row.password);
                             }
                         });
        const auto reply = fetch(manager, requestFor(server, u"/ntlm"_s), "POST", "payload");
        EXPECT_EQ(reply.status, row.status);
        EXPECT_EQ(prompts, row.status == 200 ? 1 : 2);
        if (row.status == 200) {
            EXPECT_EQ(reply.json()[u"body"_s].toString(), u"payload"_s);
        } else {
            EXPECT_EQ(reply.header("WWW-Authenticate"), "NTLM");
        }
        // Without credentials, then negotiate and authenticate on one connection.
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 3);
        EXPECT_FALSE(requests[0].hasHeader("Authorization"));
        EXPECT_EQ(requests[1].connection, requests[2].connection);
        for (int i : {1, 2}) {
            const QByteArray message
                    = QByteArray::fromBase64(requests[i].header("Authorization").mid(5));
            EXPECT_EQ(LoopbackNTLM::messageType(message),
                      i == 1 ? LoopbackNTLM::MessageType::Negotiate
                             : LoopbackNTLM::MessageType::Authenticate);
        }
    }
}

TEST(LoopbackHTTPServerTest, RefusesAuthenticateMessagesThatDoNotFit)
{
    const QByteArray challenge = LoopbackNTLM::makeServerChallenge();
    // A well-formed message whose NT response is a plausible NTLMv2 one, user "user".
    const auto message = [](quint32 ntLength, quint32 ntOffset, quint32 userLength) {
        QByteArray bytes("NTLMSSP\0\x03\0\0\0", 12);
        const auto buffer = [&](quint32 length, quint32 offset) {
            for (quint32 value : {length | (length << 16), offset})
                bytes.append(reinterpret_cast<const char *>(&value), 4);
        };
        buffer(0, 64);
        buffer(ntLength, ntOffset);
        buffer(0, 64);
        buffer(userLength, 64);
        buffer(0, 64);
        buffer(0, 64);
        bytes.append("\x01\0\0\0", 4); // Unicode
        bytes.append("u\0s\0e\0r\0", 8);
        bytes.append(QByteArray(16, '\x55') + QByteArray("\x01\x01", 2) + QByteArray(40, '\0'));
        return bytes;
    };
    const struct
    {
        QByteArray message;
        QString failure;
    } rows[] = {
            {message(58, 72, 8), u"wrong password"_s},
            {message(58, 72, 8).left(40), u"a security buffer lies outside the message"_s},
            {message(58, 72, 8).left(100), u"a security buffer lies outside the message"_s},
            {message(58, 0xffffffff, 8), u"a security buffer lies outside the message"_s},
            {message(0xffff, 72, 8), u"a security buffer lies outside the message"_s},
            {message(24, 72, 8), u"not an NTLMv2 response"_s},
            {message(58, 72, 7), u"odd length of a Unicode string"_s},
            {message(58, 72, 6), u"unknown user use"_s},
            {"NTLMSSP", u"not an authenticate message"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.failure.toStdString());
        QString failure;
        EXPECT_FALSE(LoopbackNTLM::verifyAuthenticateMessage(row.message, challenge, u"user"_s,
                                                             u"password"_s, &failure));
        EXPECT_EQ(failure, row.failure);
    }
}

TEST(LoopbackHTTPServerTest, PagesWithLinkFields)
{
    StartedServer server;
    QNetworkAccessManager manager;
    const QString base = server.baseUrl().toString();
    const struct
    {
        const char *query;
        int first, last; // ids on the page; last < first when empty
        const char *links; // rel=page, in order
    } rows[] = {
            {"", 1, 10, "next=2 last=3"},
            {"?page=2", 11, 20, "prev=1 next=3 last=3 first=1"},
            {"?page=3&per_page=10", 21, 25, "prev=2 first=1"},
            {"?page=4", 1, 0, "prev=3 first=1"},
            {"?page=2&per_page=5", 6, 10, "prev=1 next=3 last=5 first=1"},
            {"?per_page=1000", 1, 25, ""}, // capped at 100
    };
    static const QRegularExpression link(u"<([^>]*)>; rel=\"(\\w+)\""_s);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.query);
        const auto reply
                = fetch(manager, requestFor(server, u"/pages"_s + QLatin1String(row.query)));
        ASSERT_EQ(reply.status, 200);
        QJsonArray expected;
        for (int id = row.first; id <= row.last; ++id)
            expected.append(QJsonObject {{u"id"_s, id}});
        EXPECT_EQ(QJsonDocument::fromJson(reply.body).array(), expected);
        EXPECT_EQ(reply.header("X-Total-Count"), "25");
        QStringList links;
        for (const auto &match : link.globalMatch(QString::fromLatin1(reply.header("Link")))) {
            const QUrl url(match.captured(1));
            EXPECT_EQ(url.adjusted(QUrl::RemoveQuery).toString(), base + u"/pages"_s);
            links.append(match.captured(2) + u'=' + QUrlQuery(url).queryItemValue(u"page"_s));
        }
        EXPECT_EQ(links.join(u' '), QLatin1String(row.links));
    }
    // The wire form, once.
    EXPECT_EQ(fetch(manager, requestFor(server, u"/pages?per_page=20"_s)).header("Link"),
              QString(u"<"_s + base + u"/pages?page=2&per_page=20>; rel=\"next\", <"_s + base
                      + u"/pages?page=2&per_page=20>; rel=\"last\""_s)
                      .toLatin1());
    // Items of one's own, and numbers that are not.
    server.setPageItems(QJsonArray {u"a"_s, u"b"_s, u"c"_s});
    EXPECT_EQ(fetch(manager, requestFor(server, u"/pages?page=2&per_page=2"_s)).body, "[\"c\"]");
    for (const QString &query : {u"page=0"_s, u"page=x"_s, u"per_page=-1"_s, u"page=%2B1"_s})
        EXPECT_EQ(fetch(manager, requestFor(server, u"/pages?"_s + query)).status, 400);
}

TEST(LoopbackHTTPServerTest, ServesTheOtherRoutes)
{
    StartedServer server;
    server.addRoute("/custom", [](const LoopbackHTTPRequest &request) {
        return LoopbackHTTPResponse::text(201, "made from " + request.method);
    });
    const QString target = u"http://example.com/a?b=c"_s;
    const struct
    {
        QString pathAndQuery;
        int status;
        QByteArray body; // null: not checked
        const char *header = nullptr;
        const char *value = nullptr;
    } rows[] = {
            {u"/status/204"_s, 204, ""},
            {u"/status/503"_s, 503, "503 Service Unavailable\n"},
            {u"/status/99"_s, 400, {}},
            {u"/status/2000"_s, 400, {}},
            {u"/json?size=80"_s, 200,
             R"({"size":80,"items":[{"id":1,"name":"item 1","active":true}],"padding":"......."})"},
            {u"/json?size=10"_s, 200, R"({"size":10,"items":[],"padding":""})"}, // the smallest
            {u"/json?size=0"_s, 400, {}},
            {u"/slow?bytes=40&chunk=7&interval=1"_s, 200,
             "0123456789abcdefghijklmnopqrstuvwxyz\n012"},
            {u"/redirect?to="_s + QString::fromLatin1(QUrl::toPercentEncoding(target)),
             302,
             {},
             "Location",
             "http://example.com/a?b=c"},
            {u"/redirect?status=308&to="_s + QString::fromLatin1(QUrl::toPercentEncoding(target)),
             308,
             {},
             "Location",
             "http://example.com/a?b=c"},
            {u"/redirect?to=relative"_s, 400, {}},
            {u"/redirect?to=http://x/&status=200"_s, 400, {}},
            {u"/custom"_s, 201, "made from GET"},
            {u"/nowhere"_s, 404, {}},
            // A streamed body has the length asked for.
            {u"/stream?bytes=40"_s, 200, "0123456789abcdefghijklmnopqrstuvwxyz\n012",
             "Content-Length", "40"},
            {u"/stream?bytes=0"_s, 200, ""},
            {u"/stream?bytes=x"_s, 400, {}},
            // Hostile replies go out byte for byte.
            {u"/hostile/http10"_s, 200, "ok"},
            {u"/hostile/gzip"_s, 200, QByteArray("{\"ok\":true}\n").repeated(4), "Content-Encoding",
             "gzip"},
            {u"/hostile/pages-forever?page=7"_s, 200, "[7]", "Link",
             "<http://127.0.0.1:PORT/hostile/pages-forever?page=8>; rel=\"next\""},
            {u"/hostile/nothing"_s, 404, {}},
    };
    QNetworkAccessManager manager;
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pathAndQuery.toStdString());
        const auto reply = fetch(manager, requestFor(server, row.pathAndQuery));
        EXPECT_EQ(reply.status, row.status);
        if (!row.body.isNull()) {
            EXPECT_EQ(reply.body, row.body);
        }
        if (row.header) {
            EXPECT_EQ(reply.header(row.header),
                      QByteArray(row.value).replace("PORT", QByteArray::number(server.port())));
        }
    }
    // A large document is valid JSON of exactly the size asked for.
    const auto large = fetch(manager, requestFor(server, u"/json?size=100000"_s));
    EXPECT_EQ(large.body.size(), 100000);
    EXPECT_TRUE(QJsonDocument::fromJson(large.body).isObject());
}

// A server stopped after the application object is gone (a static one at a program's exit)
// stops instead of waiting for its thread forever.
TEST(LoopbackHTTPServerTest, StopsAfterTheApplicationObjectIsGone)
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QMF_LOOPBACK_STOP_AFTER_APPLICATION"_s, u"1"_s);
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {});
    ASSERT_TRUE(child.waitForFinished(30000)) << "stop() did not return";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
}

TEST(LoopbackHTTPServerTest, StartsAndStopsOnItsOwnThread)
{
    LoopbackHTTPServer server;
    EXPECT_FALSE(server.isRunning());
    EXPECT_EQ(server.port(), 0);
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(server.start());
        QString error;
        EXPECT_FALSE(server.start(&error));
        EXPECT_EQ(error, u"the server is already running"_s);
        EXPECT_NE(server.port(), 0);
        QNetworkAccessManager manager;
        EXPECT_EQ(fetch(manager, requestFor(server, u"/echo"_s)).status, 200);
        server.stop();
        EXPECT_FALSE(server.isRunning());
    }
    // Records outlive a stop; blocking on them does not block the server.
    EXPECT_EQ(server.requestCount(), 2);
    server.start();
    QTcpSocket socket;
    socket.connectToHost(u"127.0.0.1"_s, server.port());
    ASSERT_TRUE(socket.waitForConnected(5000));
    socket.write("GET /echo HTTP/1.1\r\nHost: x\r\n\r\n");
    ASSERT_TRUE(socket.waitForBytesWritten(5000));
    EXPECT_TRUE(server.waitForRequests(3, 5s));
    EXPECT_FALSE(server.waitForRequests(4, 10ms));
}

TEST(LoopbackHTTPServerTest, ParsesAnyPrefixOrMutationWithoutHarm)
{
    const QByteArray requests[] = {
            "POST /echo?a=b HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhelloGET / "
            "HTTP/1.0\r\n\r\n",
            "PUT /x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
    };
    QRandomGenerator random(20261206);
    for (const QByteArray &whole : requests) {
        LoopbackHTTPRequest request;
        const auto complete = LoopbackHTTPParser::parseRequest(whole, request);
        ASSERT_EQ(complete.outcome, LoopbackHTTPParser::Result::Outcome::Complete);
        // Every proper prefix of a request is still to come, never a mistake.
        for (qsizetype size = 0; size < complete.consumed; ++size) {
            SCOPED_TRACE(size);
            EXPECT_EQ(LoopbackHTTPParser::parseRequest(whole.first(size), request).outcome,
                      LoopbackHTTPParser::Result::Outcome::Incomplete);
        }
        // Damaged requests end one way or another, within the input.
        for (int round = 0; round < 2000; ++round) {
            QByteArray damaged = whole;
            for (int flips = 1 + random.bounded(3); flips > 0; --flips)
                damaged[random.bounded(damaged.size())] = char(random.bounded(256));
            const auto result = LoopbackHTTPParser::parseRequest(damaged, request);
            EXPECT_LE(result.consumed, damaged.size());
            if (result.outcome == LoopbackHTTPParser::Result::Outcome::Malformed) {
                EXPECT_GE(result.status, 400);
            }
        }
    }
}
