#include "HttpCommand.h"
#include "LoopbackHTTPServer.h"
#include "QmfTestSupport.h"
#include "SelfSignedCertificate.h"

#include <QMFoundation/network/QMRESTAPIClient.h>

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <memory>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

std::unique_ptr<LoopbackHTTPServer> startedServer()
{
    auto server = std::make_unique<LoopbackHTTPServer>();
    QString error;
    EXPECT_TRUE(server->start(&error)) << error.toStdString();
    return server;
}

// "qmf http METHOD <server>PATH" and the words of `rest`.
QStringList http(const char *method, const LoopbackHTTPServer &server, const QString &path,
                 const char *rest = "")
{
    return QStringList {u"http"_s, QString::fromLatin1(method), server.url(path).toString()}
    + words(rest);
}

// What /echo reports of the request, from a response printed without -i.
QJsonObject echoed(const Outcome &outcome)
{
    const qsizetype bodyStart = outcome.bytes.indexOf("\n\n");
    return QJsonDocument::fromJson(outcome.bytes.mid(bodyStart + 2)).object();
}

// A two-page listing whose page number and size travel as "p" and "n".
LoopbackHTTPResponse itemsPage(const LoopbackHTTPServer &server, const LoopbackHTTPRequest &request)
{
    const int page = request.queryItem("p").toInt();
    LoopbackHTTPResponse response = LoopbackHTTPResponse::json(200, page == 1 ? "[1,2]" : "[3]");
    if (page == 1)
        response.headers.append(
                {"Link", "<" + server.url(u"/items?p=2&n=2"_s).toEncoded() + ">; rel=\"next\""});
    return response;
}

} // namespace

TEST(QmfHttpTest, PrintsTheStatusLineAndTheBody)
{
    const auto server = startedServer();
    server->addRoute("/fixed", [](const LoopbackHTTPRequest &) {
        LoopbackHTTPResponse response = LoopbackHTTPResponse::text(201, "made\n");
        response.headers.append({"X-Note", QByteArray("\xc3\xa9t\xc3\xa9")});
        return response;
    });
    server->addRoute("/bytes", [](const LoopbackHTTPRequest &) {
        return LoopbackHTTPResponse {200, {}, QByteArray("\0\xff\r\n\x80", 5)};
    });
    expectRuns({
            // Any response is an outcome: status 0, the server's reason phrase, the body as sent.
            {http("GET", *server, u"/status/404"_s),
             {},
             0,
             "HTTP/1.x 404 Not Found\n\n404 Not Found\n"},
            {http("get", *server, u"/status/418"_s),
             {},
             0,
             "HTTP/1.x 418 Unknown\n\n418 Unknown\n"},
            {http("GET", *server, u"/bytes"_s),
             {},
             0,
             QByteArray("HTTP/1.x 200 OK\n\n\0\xff\r\n\x80", 22)},
            {http("HEAD", *server, u"/echo"_s), {}, 0, "HTTP/1.x 200 OK\n\n"},
            // -i: the header fields in name order.
            {http("POST", *server, u"/fixed"_s, "-i"),
             {},
             0,
             "HTTP/1.x 201 Created\nConnection: keep-alive\nContent-Length: 5\n"
             "Content-Type: text/plain; charset=utf-8\nX-Note: \xc3\xa9t\xc3\xa9\n\nmade\n"},
    });

    // The method places the -p parameters: the query for GET and DELETE, a JSON body for POST.
    struct Row
    {
        const char *method;
        const char *sent;
        const char *query;
        const char *body;
    };
    const Row rows[] = {
            {"GET", "GET", "lang=en&q=a%20b", ""},
            {"delete", "DELETE", "lang=en&q=a%20b", ""},
            {"POST", "POST", "", R"({"lang":"en","q":"a b"})"},
            {"patch", "PATCH", "", R"({"lang":"en","q":"a b"})"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.method);
        const Outcome outcome = runQmf(http(row.method, *server, u"/echo"_s, "-p lang=en")
                                       + QStringList {u"-p"_s, u"q=a b"_s});
        ASSERT_EQ(outcome.status, 0) << qPrintable(outcome.err);
        EXPECT_TRUE(outcome.bytes.startsWith("HTTP/1.x 200 OK\n\n{"));
        const QJsonObject request = echoed(outcome);
        EXPECT_EQ(request[u"method"_s].toString(), QString::fromLatin1(row.sent));
        EXPECT_EQ(request[u"query"_s].toString(), QString::fromLatin1(row.query));
        EXPECT_EQ(request[u"body"_s].toString(), QString::fromLatin1(row.body));
    }
}

TEST(QmfHttpTest, SendsEachKindOfCredentials)
{
    const auto server = startedServer();
    struct Row
    {
        const char *path;
        const char *options;
        const char *statusLine;
        const char *authorization; // as the server received it; null: not checked
    };
    const Row rows[] = {
            {"/basic", "--user user --password password", "HTTP/1.x 200 OK",
             "Basic dXNlcjpwYXNzd29yZA=="},
            {"/basic", "--user user --password wrong", "HTTP/1.x 401 Unauthorized", nullptr},
            {"/basic", "", "HTTP/1.x 401 Unauthorized", nullptr},
            {"/bearer", "--token token", "HTTP/1.x 200 OK", "Bearer token"},
            {"/bearer", "--token wrong", "HTTP/1.x 401 Unauthorized", nullptr},
            {"/ntlm", "--ntlm user:password", "HTTP/1.x 200 OK", nullptr},
            {"/ntlm", "--ntlm user:wrong", "HTTP/1.x 401 Unauthorized", nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(std::string(row.path) + " " + row.options);
        const Outcome outcome
                = runQmf(http("GET", *server, QString::fromLatin1(row.path), row.options));
        EXPECT_EQ(outcome.status, 0) << qPrintable(outcome.err);
        EXPECT_EQ(outcome.out.section(u'\n', 0, 0), QString::fromLatin1(row.statusLine));
        if (row.authorization) {
            EXPECT_EQ(echoed(outcome)[u"headers"_s][u"authorization"_s].toString(),
                      QString::fromLatin1(row.authorization));
        }
    }
}

TEST(QmfHttpTest, AllPagesPrintsEveryItemInOrder)
{
    const auto server = startedServer();
    server->addRoute("/items", [&server = *server](const LoopbackHTTPRequest &request) {
        return itemsPage(server, request);
    });
    server->addRoute("/again", [&server = *server](const LoopbackHTTPRequest &) {
        LoopbackHTTPResponse response = LoopbackHTTPResponse::json(200, "[0]");
        response.headers.append(
                {"Link", "<" + server.url(u"/again?page=1"_s).toEncoded() + ">; rel=\"next\""});
        return response;
    });
    QByteArray all = "HTTP/1.x 200 OK\n\n[";
    for (int id = 1; id <= 25; ++id)
        all += (id > 1 ? ",{\"id\":" : "{\"id\":") + QByteArray::number(id) + "}";
    all += "]\n";
    expectRuns({
            {http("GET", *server, u"/pages"_s, "--all-pages -p per_page=10"),
             {},
             0,
             all,
             u"pages: 3, per page: 10\n"_s},
            // A listing of one page has no links, so no page size.
            {http("GET", *server, u"/pages"_s, "--all-pages -p per_page=100"),
             {},
             0,
             all,
             u"pages: 1\n"_s},
            {http("GET", *server, u"/items?p=1"_s, "--all-pages --page-param p --per-page-param n"),
             {},
             0,
             "HTTP/1.x 200 OK\n\n[1,2,3]\n",
             u"pages: 2, per page: 2\n"_s},
            // The page number must be where --page-param says, and must move on.
            failing(http("GET", *server, u"/items?p=1"_s, "--all-pages"), 1,
                    u"qmf: page 1: the next link has no page number in \"page\" (see "
                    "--page-param)\n"_s),
            failing(http("GET", *server, u"/again"_s, "--all-pages"), 1,
                    u"qmf: page 2: the next link leads back to page 1\n"_s),
            failing(http("GET", *server, u"/echo"_s, "--all-pages"), 1,
                    u"qmf: page 1: not a JSON array\n"_s),
            failing(http("GET", *server, u"/pages?page=0"_s, "--all-pages"), 1,
                    u"qmf: page 1: HTTP/1.x 400 Bad Request\n"_s),
    });
}

TEST(QmfHttpTest, FailuresAndUsageErrors)
{
    auto server = startedServer();
    const QString url = server->url(u"/echo"_s).toString();
    server->stop();
    const QStringList refused {u"http"_s, u"GET"_s, url};
    expectRuns({
            failing(refused, 1, u"qmf: Connection refused\n"_s),
            failing(refused + words("--all-pages"), 1, u"qmf: page 1: Connection refused\n"_s),
            failing(words("http GET"), 2, u"qmf: http needs a METHOD and a URL\n"_s),
            failing(refused + words("extra"), 2, u"qmf: http needs a METHOD and a URL\n"_s),
            failing(words("http FETCH http://127.0.0.1/"), 2,
                    u"qmf: unknown method \"FETCH\" (expected one of GET, HEAD, POST, PUT, "
                    "PATCH, DELETE, OPTIONS)\n"_s),
            failing(words("http GET ftp://127.0.0.1/x"), 2,
                    u"qmf: \"ftp://127.0.0.1/x\" is not an http or https URL\n"_s),
            failing(words("http GET http://a%zz/"), 2,
                    u"qmf: \"http://a%zz/\" is not an http or https URL\n"_s),
            failing(words("http GET /relative"), 2,
                    u"qmf: \"/relative\" is not an http or https URL\n"_s),
            failing(refused + words("-p novalue"), 2,
                    u"qmf: -p needs NAME=VALUE, not \"novalue\"\n"_s),
            failing(refused + words("--user u --password p --token t"), 2,
                    u"qmf: --user, --token and --ntlm exclude each other\n"_s),
            failing(refused + words("--token t --ntlm u:p"), 2,
                    u"qmf: --user, --token and --ntlm exclude each other\n"_s),
            failing(refused + words("--user u"), 2, u"qmf: --user and --password go together\n"_s),
            failing(refused + words("--password p"), 2,
                    u"qmf: --user and --password go together\n"_s),
            failing(refused + words("--ntlm user"), 2, u"qmf: --ntlm needs USER:PASSWORD\n"_s),
            failing(refused + words("--page-param p"), 2,
                    u"qmf: --page-param, --per-page-param and --max-pages go with --all-pages\n"_s),
            failing(words("http POST http://127.0.0.1/ --all-pages"), 2,
                    u"qmf: --all-pages pages through GET requests only\n"_s),
    });
}

TEST(QmfHttpTest, TrustsASelfSignedServerOnlyWhenAsked)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    QString error;
    const std::optional<SelfSignedCertificate> certificate
            = makeSelfSignedCertificate(directory.path(), &error);
    ASSERT_TRUE(certificate) << error.toStdString();
    LoopbackHTTPServer server;
    server.setTLSCertificate(certificate->certificate, certificate->key);
    ASSERT_TRUE(server.start(&error)) << error.toStdString();

    const Outcome refused = runQmf(http("GET", server, u"/status/200"_s));
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.bytes.isEmpty());
    EXPECT_TRUE(refused.err.startsWith(u"qmf: SSL handshake failed"_s)) << qPrintable(refused.err);
    expectRuns({
            {http("GET", server, u"/status/200"_s, "--trust-server"),
             {},
             0,
             "HTTP/1.x 200 OK\n\n200 OK\n"},
    });
}

TEST(QmfHttpTest, StatusLineFallsBackToTheStandardReasonPhrase)
{
    struct Row
    {
        const char *version;
        qint64 code;
        const char *reason;
        const char *line;
    };
    const Row rows[] = {
            {"HTTP/1.x", 200, "OK", "HTTP/1.x 200 OK"},
            {"HTTP/1.x", 404, "Nope", "HTTP/1.x 404 Nope"},
            {"HTTP/2", 404, "", "HTTP/2 404 Not Found"},
            {"HTTP/2", 429, "", "HTTP/2 429 Too Many Requests"},
            {"HTTP/2", 299, "", "HTTP/2 299"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(HttpCommand::statusLine(QString::fromLatin1(row.version), row.code,
                                          QString::fromLatin1(row.reason)),
                  QString::fromLatin1(row.line));
    }
}

TEST(QmfHttpTest, HostileServersEndHonestly)
{
    const auto server = startedServer();
    const QByteArray ok = QByteArray("{\"ok\":true}\n").repeated(4);
    expectRuns({
            // What the server sent, and nothing else: HTTP/1.0 and HTTP/1.1 look alike to Qt,
            // each Set-Cookie is a line of its own, and a CR or ESC cannot forge a line or move
            // the terminal.
            {http("GET", *server, u"/hostile/gzip"_s), {}, 0, "HTTP/1.x 200 OK\n\n" + ok},
            {http("GET", *server, u"/hostile/http10"_s), {}, 0, "HTTP/1.x 200 OK\n\nok"},
            {http("GET", *server, u"/hostile/fields"_s, "-i"),
             {},
             0,
             "HTTP/1.x 200 OK\nConnection: close\nContent-Length: 2\nSet-Cookie: a=1\n"
             "Set-Cookie: b=2\nX-Escape: \\x1b[31mred\nX-Split: one\\rInjected: yes\n\nok"},
            // A head that breaks the protocol is no response: nothing is printed.
            failing(http("GET", *server, u"/hostile/status?code=2000"_s), 1,
                    u"qmf: The server sent the invalid status code 2000.\n"_s),
            failing(http("GET", *server, u"/hostile/status?code=-200"_s), 1,
                    u"qmf: The server sent the invalid status code -200.\n"_s),
            failing(http("GET", *server, u"/hostile/status?code=099"_s), 1,
                    u"qmf: The server sent the invalid status code 99.\n"_s),
            failing(http("GET", *server, u"/hostile/content-lengths"_s), 1,
                    u"qmf: The response's Content-Length fields disagree.\n"_s),
            failing(http("GET", *server, u"/stall"_s, "--timeout 0.2"), 1,
                    u"qmf: The request timed out.\n"_s),
            // A body that turns out not to be what the server sent fails after what arrived.
            {http("GET", *server, u"/hostile/corrupt-gzip"_s),
             {},
             1,
             "HTTP/1.x 200 OK\n\n",
             u"qmf: Decompression failed\n"_s},
            {http("GET", *server, u"/hostile/chunked-and-length"_s),
             {},
             1,
             "HTTP/1.x 200 OK\n\nhello",
             u"qmf: The response body has 5 bytes, not the 9 that its Content-Length "
             "announced.\n"_s},
            {http("GET", *server, u"/hostile/stall-body"_s, "--timeout 0.2"),
             {},
             1,
             "HTTP/1.x 200 OK\n\n0123456789",
             u"qmf: The request timed out.\n"_s},
    });
}

TEST(QmfHttpTest, StreamsTheBodyAsItArrives)
{
    // 8 MiB through qmf: the body arrives whole, in order, without qmf holding it.
    const auto server = startedServer();
    constexpr qint64 size = 8 * 1024 * 1024;
    const Outcome outcome = runQmf(http("GET", *server, u"/stream?bytes=%1"_s.arg(size)));
    EXPECT_EQ(outcome.status, 0) << qPrintable(outcome.err);
    const QByteArray head = "HTTP/1.x 200 OK\n\n";
    ASSERT_EQ(outcome.bytes.size(), head.size() + size);
    EXPECT_TRUE(outcome.bytes.startsWith(
            QByteArray(head + "0123456789abcdefghijklmnopqrstuvwxyz\n0123")));
}

// An endless body with nowhere to go is not read on: the command ends, saying why, and does not
// blame the server for the cancellation.
TEST(QmfHttpTest, StopsReadingABodyThatCannotBeWritten)
{
    const auto server = startedServer();
    QFile full(u"/dev/full"_s);
    ASSERT_TRUE(full.open(QIODevice::WriteOnly));
    const auto [status, err] = runQmfWritingTo(http("GET", *server, u"/stream"_s), full);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, u"qmf: standard output: No space left on device\n"_s);
}

// The items of a listing are kept until its last page: the pages' bodies have a bound together,
// whatever --max-pages allows, so that a server cannot fill memory a page at a time.
TEST(QmfHttpTest, PagingStopsWhenThePagesTogetherPassTheirBound)
{
    const auto server = startedServer();
    QMRESTAPIClient client;
    QString error;
    const auto pages = HttpCommand::allPages(client, server->url(u"/hostile/pages-forever"_s), {},
                                             false, u"page"_s, u"per_page"_s, 1000000, 200, &error);
    EXPECT_FALSE(pages);
    EXPECT_TRUE(error.endsWith(u": the pages so far hold more than 200 bytes"_s))
            << qPrintable(error);
    // Every page was fetched until the one that passed the bound, and none after it.
    EXPECT_EQ(u"page %1:"_s.arg(server->requestCount()), error.section(u' ', 0, 1));
    EXPECT_GE(server->requestCount(), 2);
}

TEST(QmfHttpTest, PagingKeepsCredentialsHomeAndStopsAtItsLimit)
{
    const auto server = startedServer();
    const auto other = startedServer();
    const QString elsewhere = QString::fromLatin1(
            QUrl::toPercentEncoding(other->url(u"/pages?page=2&per_page=100"_s).toString()));
    const Outcome outcome
            = runQmf(http("GET", *server, u"/hostile/pages-elsewhere?to="_s + elsewhere,
                          "--all-pages --token t0ken"));
    EXPECT_EQ(outcome.status, 0) << qPrintable(outcome.err);
    ASSERT_EQ(server->requestCount(), 1);
    EXPECT_EQ(server->requests().first().header("Authorization"), "Bearer t0ken");
    ASSERT_EQ(other->requestCount(), 1);
    EXPECT_FALSE(other->requests().first().hasHeader("Authorization"));

    server->clearRequests();
    expectRuns({
            failing(http("GET", *server, u"/hostile/pages-forever"_s, "--all-pages --max-pages 3"),
                    1, u"qmf: page 4: the listing has more than 3 pages (see --max-pages)\n"_s),
            failing(http("GET", *server, u"/echo"_s, "--max-pages 3"), 2,
                    u"qmf: --page-param, --per-page-param and --max-pages go with --all-pages\n"_s),
            failing(http("GET", *server, u"/echo"_s, "--all-pages --max-pages 0"), 2,
                    u"qmf: --max-pages needs a whole number from 1 to 1000000000\n"_s),
            failing(http("GET", *server, u"/echo"_s, "--all-pages --max-pages 2.5"), 2,
                    u"qmf: --max-pages needs a whole number from 1 to 1000000000\n"_s),
            failing(http("GET", *server, u"/echo"_s, "--timeout nan"), 2,
                    u"qmf: --timeout needs a number of seconds above 0\n"_s),
    });
    EXPECT_EQ(server->requestCount(), 3);
}
