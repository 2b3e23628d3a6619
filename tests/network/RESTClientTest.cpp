// The client and its request operation against real servers on loopback: the wire form of each
// method, every authorization scheme, redirects, server trust, cancellation, time-outs, error
// statuses, refused connections and a burst of requests.

#include <QMFoundation/network/QMRESTAPIClient.h>

#include "LoopbackHTTPServer.h"
#include "SelfSignedCertificate.h"

#include "support/CaughtExceptions.h"
#include "support/Failures.h"
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <thread>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using TestSupport::failureOf;

namespace {

// Collects completion handler calls, which arrive on the request queue's threads.
class Responses
{
public:
    QMRESTAPIClient::CompletionHandler handler()
    {
        return [this](const QMRESTAPIResponse &response) {
            std::lock_guard lock(m_mutex);
            m_responses.append(response);
            m_changed.notify_all();
        };
    }
    QList<QMRESTAPIResponse> waitFor(qsizetype count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait_for(lock, 30s, [&] { return m_responses.size() >= count; });
        return m_responses;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    QList<QMRESTAPIResponse> m_responses;
};

QMRESTAPIResponse perform(QMRESTAPIClient &client, const QUrl &url,
                          const std::optional<QVariantMap> &params, const QString &method)
{
    Responses responses;
    client.performRequestWithURL(url, params, method, responses.handler());
    const QList<QMRESTAPIResponse> received = responses.waitFor(1);
    return received.isEmpty() ? QMRESTAPIResponse() : received.first();
}

std::unique_ptr<LoopbackHTTPServer> startedServer()
{
    auto server = std::make_unique<LoopbackHTTPServer>();
    QString error;
    EXPECT_TRUE(server->start(&error)) << error.toStdString();
    return server;
}

QMRESTAPIAuthenticationCredentials credentials(quint64 method, const QString &user,
                                               const QString &password, const QString &token = {})
{
    return {method, user, password, token};
}

// Runs `work` on a new thread and waits for it, and for the thread's end.
void onThreadOfItsOwn(const std::function<void()> &work)
{
    std::thread(work).join();
}

// Polls `count` until it gives `expected` or five seconds have passed, and returns its last
// answer: a thread that has finished its work, or a socket that the other side has closed, is
// gone from /proc a moment later.
qsizetype settled(const std::function<qsizetype()> &count, qsizetype expected)
{
    const QDeadlineTimer deadline(5s);
    qsizetype now = count();
    while (now != expected && !deadline.hasExpired()) {
        std::this_thread::sleep_for(1ms);
        now = count();
    }
    return now;
}

} // namespace

TEST(RESTClientTest, WireFormOfEachMethod)
{
    const auto server = startedServer();
    QMRESTAPIClient client;
    const QVariantMap a {{u"a"_s, 1}};
    struct Row
    {
        QString method;
        std::optional<QVariantMap> params;
        QByteArray sentMethod;
        QByteArray query;
        QByteArray body;
        QByteArray contentType;
        QByteArray contentLength;
    };
    const Row rows[] = {
            {u"GET"_s, a, "GET", "a=1", "", {}, {}},
            {u"DELETE"_s, a, "DELETE", "a=1", "", {}, {}},
            // Other methods send their parameters nowhere.
            {u"HEAD"_s, a, "HEAD", "", "", {}, {}},
            {u"OPTIONS"_s, a, "OPTIONS", "", "", {}, {}},
            {u"POST"_s, a, "POST", "", "{\"a\":1}", "application/json", "7"},
            {u"PUT"_s, QVariantMap {{u"b"_s, u"\u00e9"_s}}, "PUT", "", "{\"b\":\"\u00e9\"}",
             "application/json", "10"},
            {u"PATCH"_s, a, "PATCH", "", "{\"a\":1}", "application/json", "7"},
            // Methods are recognised in any case and sent as given.
            {u"post"_s, a, "post", "", "{\"a\":1}", "application/json", "7"},
            {u"POST"_s, std::nullopt, "POST", "", "", {}, {}},
            {u"GET"_s, std::nullopt, "GET", "", "", {}, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.method.toStdString());
        server->clearRequests();
        const QMRESTAPIResponse response
                = perform(client, server->url(u"/echo"_s), row.params, row.method);
        EXPECT_EQ(response.statusCode, 200);
        EXPECT_FALSE(response.hasError());
        ASSERT_EQ(server->requestCount(), 1);
        const LoopbackHTTPRequest request = server->requests().first();
        EXPECT_EQ(request.method, row.sentMethod);
        EXPECT_EQ(request.query, row.query);
        EXPECT_EQ(request.body, row.body);
        EXPECT_EQ(request.header("Content-Type"), row.contentType);
        EXPECT_EQ(request.header("Content-Length"), row.contentLength);
        EXPECT_FALSE(request.hasHeader("Cookie"));
        EXPECT_FALSE(request.hasHeader("Authorization"));
    }

    // The completion record: status, header fields, and the body as text.
    const QMRESTAPIResponse echoed = perform(client, server->url(u"/echo?x=1"_s), {}, u"GET"_s);
    ASSERT_TRUE(echoed.body);
    EXPECT_EQ(QJsonDocument::fromJson(echoed.body->toUtf8()).object()[u"query"_s].toString(),
              u"x=1"_s);
    EXPECT_EQ(echoed.headers.value(u"Content-Type"_s), u"application/json"_s);
    EXPECT_FALSE(echoed.result.isValid());
    EXPECT_FALSE(echoed.serverTrustExceptionCookie);

    // Parameters JSON cannot hold, and credentials that lack what their method needs, are
    // refused before anything is queued.
    EXPECT_TRUE(failureOf([&] {
                    client.performPOSTRequestWithURL(server->url(u"/echo"_s),
                                                     QVariantMap {{u"u"_s, QUrl(u"x:y"_s)}});
                }).startsWith(u"Not a valid JSON object: "_s));
    client.setCredentials(credentials(QMRESTAPIAuthenticationMethodOAuth, u"u"_s, u"p"_s));
    EXPECT_EQ(failureOf([&] { client.performGETRequestWithURL(server->url(u"/echo"_s), {}); }),
              QString());
    EXPECT_EQ(client.queue()->operationCount(), 0);
}

TEST(RESTClientTest, AuthorizationSchemes)
{
    const auto server = startedServer();
    server->setBasicCredentials(u"ann"_s, u"s\u00e9cret"_s);
    server->setBearerToken("t0ken");
    server->setNTLMCredentials(u"ann"_s, u"s\u00e9cret"_s, u"LOOPBACK"_s);
    struct Row
    {
        const char *name;
        QMRESTAPIAuthenticationCredentials credentials;
        QString path;
        qint64 status;
    };
    const Row rows[] = {
            {"default is Basic", credentials(0, u"ann"_s, u"s\u00e9cret"_s), u"/basic"_s, 200},
            {"Basic", credentials(1, u"ann"_s, u"s\u00e9cret"_s), u"/basic"_s, 200},
            {"Basic, wrong password", credentials(1, u"ann"_s, u"wrong"_s), u"/basic"_s, 401},
            {"Bearer", credentials(2, {}, {}, u"t0ken"_s), u"/bearer"_s, 200},
            {"Bearer, wrong token", credentials(2, {}, {}, u"other"_s), u"/bearer"_s, 401},
            {"NTLM", credentials(3, u"ann"_s, u"s\u00e9cret"_s), u"/ntlm"_s, 200},
            // The refused credential is not offered again: the server's 401 ends the request.
            {"NTLM, wrong password", credentials(3, u"ann"_s, u"wrong"_s), u"/ntlm"_s, 401},
            {"unknown method", credentials(7, u"ann"_s, u"s\u00e9cret"_s), u"/basic"_s, 401},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QMRESTAPIClient client;
        client.setCredentials(row.credentials);
        const QMRESTAPIResponse response = perform(client, server->url(row.path), {}, u"GET"_s);
        EXPECT_EQ(response.statusCode, row.status);
        EXPECT_FALSE(response.hasError());
    }
}

TEST(RESTClientTest, RedirectsKeepCredentialsWithTheirServer)
{
    const auto server = startedServer();
    const auto other = startedServer();
    QMRESTAPIClient client;
    client.setCredentials(credentials(1, u"user"_s, u"password"_s));
    const auto redirectTo = [&](const QUrl &target, int status) {
        return server->url(u"/redirect?status=%1&to=%2"_s.arg(status).arg(
                QString::fromLatin1(QUrl::toPercentEncoding(target.toString()))));
    };
    // To another port of the same host: another server, which never sees the credentials.
    QMRESTAPIResponse response
            = perform(client, redirectTo(other->url(u"/echo"_s), 302), {}, u"GET"_s);
    EXPECT_EQ(response.statusCode, 200);
    ASSERT_EQ(other->requestCount(), 1);
    EXPECT_FALSE(other->requests().first().hasHeader("Authorization"));
    // Within the same server they go along, and 307 keeps the method and body.
    server->clearRequests();
    response = perform(client, redirectTo(server->url(u"/echo"_s), 307), QVariantMap {{u"a"_s, 1}},
                       u"POST"_s);
    EXPECT_EQ(response.statusCode, 200);
    ASSERT_EQ(server->requestCount(), 2);
    const LoopbackHTTPRequest followed = server->requests().last();
    EXPECT_EQ(followed.method, "POST");
    EXPECT_EQ(followed.body, "{\"a\":1}");
    EXPECT_TRUE(followed.header("Authorization").startsWith("Basic "));
    // 303 fetches the new place with GET and no body.
    server->clearRequests();
    perform(client, redirectTo(server->url(u"/echo"_s), 303), QVariantMap {{u"a"_s, 1}}, u"POST"_s);
    ASSERT_EQ(server->requestCount(), 2);
    EXPECT_EQ(server->requests().last().method, "GET");
    EXPECT_TRUE(server->requests().last().body.isEmpty());
}

TEST(RESTClientTest, ServerTrustAndItsCookie)
{
    QTemporaryDir directory;
    ASSERT_TRUE(directory.isValid());
    QString error;
    const std::optional<SelfSignedCertificate> first
            = makeSelfSignedCertificate(directory.path(), &error);
    const std::optional<SelfSignedCertificate> second
            = makeSelfSignedCertificate(directory.path(), &error);
    ASSERT_TRUE(first && second) << error.toStdString();
    LoopbackHTTPServer server;
    server.setTLSCertificate(first->certificate, first->key);
    LoopbackHTTPServer otherServer;
    otherServer.setTLSCertificate(second->certificate, second->key);
    ASSERT_TRUE(server.start(&error) && otherServer.start(&error)) << error.toStdString();
    const QByteArray firstDigest
            = QCryptographicHash::hash(first->certificate.toDer(), QCryptographicHash::Sha256);

    const auto run = [](const QUrl &url, bool trusts, const std::optional<QByteArray> &cookie) {
        const auto operation = std::make_shared<QMRESTAPIRequestOperation>(url);
        operation->setTrustsServer(trusts);
        operation->setServerTrustExceptionCookie(cookie);
        QMError failure;
        const bool succeeded = operation->execute(&failure);
        return std::tuple(succeeded, operation->serverTrustExceptionCookie(),
                          operation->response() ? operation->response()->statusCode : 0);
    };
    // One thread runs them all, and not the application's (whose requests keep no connections),
    // so that a connection accepted for one request would be there for the next one to reuse.
    onThreadOfItsOwn([&] {
        // A certificate that does not verify fails the request.
        auto [succeeded, cookie, status] = run(server.url(u"/echo"_s), false, std::nullopt);
        EXPECT_FALSE(succeeded);
        EXPECT_EQ(status, 0);
        EXPECT_FALSE(cookie);
        // Trusting the server accepts it and keeps a cookie that names its certificate...
        std::tie(succeeded, cookie, status) = run(server.url(u"/echo"_s), true, std::nullopt);
        EXPECT_TRUE(succeeded);
        EXPECT_EQ(status, 200);
        EXPECT_EQ(cookie, firstDigest);
        // ...but the connection accepted for it serves no request that does not trust it...
        std::tie(succeeded, cookie, status) = run(server.url(u"/echo"_s), false, std::nullopt);
        EXPECT_FALSE(succeeded);
        // ...while the cookie accepts that certificate without trusting the server...
        std::tie(succeeded, cookie, status) = run(server.url(u"/echo"_s), false, firstDigest);
        EXPECT_TRUE(succeeded);
        // ...and no other, even when trusting it.
        std::tie(succeeded, cookie, status) = run(otherServer.url(u"/echo"_s), true, firstDigest);
        EXPECT_FALSE(succeeded);
        EXPECT_EQ(cookie, firstDigest);
    });
}

TEST(RESTClientTest, RequestsOnOneThreadShareConnectionsUnlessTheyChangeThem)
{
    const auto server = startedServer();
    const auto status = [&](const std::optional<std::pair<QString, QString>> &NTLM) {
        const auto operation = std::make_shared<QMRESTAPIRequestOperation>(server->url(u"/echo"_s));
        if (NTLM)
            operation->setNTLMAuthorizationWithUsername(NTLM->first, NTLM->second);
        operation->execute(nullptr);
        return operation->response() ? operation->response()->statusCode : 0;
    };
    onThreadOfItsOwn([&] {
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(status(std::nullopt), 200);
        EXPECT_EQ(server->connectionCount(), 1u);
        // NTLM authenticates the connection itself: such a request opens one of its own.
        EXPECT_EQ(status(std::pair(u"user"_s, u"password"_s)), 200);
        EXPECT_EQ(server->connectionCount(), 2u);
        EXPECT_EQ(status(std::nullopt), 200);
        EXPECT_EQ(server->connectionCount(), 2u);
    });
}

TEST(RESTClientTest, CancellationTimeOutsAndFailures)
{
    const auto server = startedServer();
    QMRESTAPIClient client;

    // Cancelled mid-transfer: the handler still hears of it, with no status and no error.
    for (const QString &path : {u"/stall"_s, u"/slow?bytes=10000000&chunk=1024&interval=5"_s}) {
        SCOPED_TRACE(path.toStdString());
        server->clearRequests();
        Responses responses;
        const auto request
                = client.performGETRequestWithURL(server->url(path), {}, responses.handler());
        ASSERT_TRUE(server->waitForRequests(1, 10s));
        request->cancel();
        const QList<QMRESTAPIResponse> received = responses.waitFor(1);
        ASSERT_EQ(received.size(), 1);
        EXPECT_EQ(received.first().statusCode, 0);
        EXPECT_FALSE(received.first().hasError());
        EXPECT_TRUE(request->isCancelled());
        EXPECT_TRUE(request->requestOperation()->isFinished());
        EXPECT_FALSE(request->requestOperation()->isLoading());
    }

    // A stalled server fails the request when the time-out has passed.
    class Impatient : public QMRESTAPIRequestOperation
    {
    public:
        using QMRESTAPIRequestOperation::QMRESTAPIRequestOperation;
        double requestTimeoutInterval() const override { return 0.2; }
    };
    // So does a body that stops coming after its head has arrived.
    for (const QString &path : {u"/stall"_s, u"/slow?bytes=100&chunk=10&interval=1000"_s}) {
        SCOPED_TRACE(path.toStdString());
        const auto impatient = std::make_shared<Impatient>(server->url(path));
        QMError error;
        EXPECT_FALSE(impatient->execute(&error));
        EXPECT_EQ(error.domain(), QMRESTAPINetworkErrorDomain);
    }

    // An error status is a response like any other; a refused connection is an error.
    QMRESTAPIResponse response = perform(client, server->url(u"/status/404"_s), {}, u"GET"_s);
    EXPECT_EQ(response.statusCode, 404);
    EXPECT_FALSE(response.hasError());
    // The operation keeps the status line's reason phrase in the server's own words.
    const auto teapot = std::make_shared<QMRESTAPIRequestOperation>(server->url(u"/status/418"_s));
    EXPECT_TRUE(teapot->execute());
    ASSERT_TRUE(teapot->response());
    EXPECT_EQ(teapot->response()->reasonPhrase, u"Unknown"_s);
    const QUrl refused = server->url(u"/echo"_s);
    server->stop();
    response = perform(client, refused, {}, u"GET"_s);
    EXPECT_EQ(response.statusCode, 0);
    ASSERT_TRUE(response.hasError());
    EXPECT_EQ(response.error->domain(), QMRESTAPINetworkErrorDomain);
    EXPECT_EQ(response.error->code(), qint64(QNetworkReply::ConnectionRefusedError));
    EXPECT_FALSE(response.body);

    // Waiting on an idle client returns at once.
    client.waitUntilFinished();
}

TEST(RESTClientTest, ManyRequestsAtOnceLeaveNothingBehind)
{
    const auto entries = [](const char *directory) {
        return QDir(QString::fromLatin1(directory))
                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                .size();
    };
    const auto server = startedServer();
    const qsizetype threadsBefore = entries("/proc/self/task");
    const qsizetype descriptorsBefore = entries("/proc/self/fd");
    {
        QMRESTAPIClient client;
        Responses responses;
        constexpr int kRequests = 500;
        for (int k = 0; k < kRequests; ++k)
            client.performGETRequestWithURL(server->url(u"/echo"_s), QVariantMap {{u"k"_s, k}},
                                            responses.handler());
        client.waitUntilFinished();
        const QList<QMRESTAPIResponse> received = responses.waitFor(kRequests);
        ASSERT_EQ(received.size(), kRequests);
        for (const QMRESTAPIResponse &response : received)
            ASSERT_EQ(response.statusCode, 200);
    }
    EXPECT_EQ(settled([&] { return entries("/proc/self/task"); }, threadsBefore), threadsBefore);
    EXPECT_EQ(settled([&] { return entries("/proc/self/fd"); }, descriptorsBefore),
              descriptorsBefore);
}

namespace {

// An operation that gives up after 0.2 s without progress.
class Impatient : public QMRESTAPIRequestOperation
{
public:
    using QMRESTAPIRequestOperation::QMRESTAPIRequestOperation;
    double requestTimeoutInterval() const override { return 0.2; }
};

} // namespace

TEST(RESTClientTest, AFailureIsNeverAResponse)
{
    const auto server = startedServer();
    struct Row
    {
        const char *path;
        qint64 code; // 0: no error
        QString description;
    };
    const Row rows[] = {
            // Replies that Qt flags: only the error of an error status leaves a response.
            {"/hostile/gzip", 0, {}},
            {"/status/404", 0, {}},
            {"/status/418", 0, {}},
            {"/hostile/corrupt-gzip", QNetworkReply::UnknownContentError,
             u"Decompression failed"_s},
            // Replies that Qt takes as they come, and the library does not.
            {"/hostile/status?code=2000", QMRESTAPINetworkErrorProtocolFailure,
             u"The server sent the invalid status code 2000."_s},
            {"/hostile/status?code=-200", QMRESTAPINetworkErrorProtocolFailure,
             u"The server sent the invalid status code -200."_s},
            {"/hostile/status?code=099", QMRESTAPINetworkErrorProtocolFailure,
             u"The server sent the invalid status code 99."_s},
            {"/hostile/content-lengths", QMRESTAPINetworkErrorProtocolFailure,
             u"The response's Content-Length fields disagree."_s},
            {"/hostile/chunked-and-length", QMRESTAPINetworkErrorProtocolFailure,
             u"The response body has 5 bytes, not the 9 that its Content-Length announced."_s},
            // A time-out is a time-out, before the head and in the middle of the body.
            {"/stall", QMRESTAPINetworkErrorTimedOut, u"The request timed out."_s},
            {"/hostile/stall-body", QMRESTAPINetworkErrorTimedOut, u"The request timed out."_s},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.path);
        const auto operation
                = std::make_shared<Impatient>(server->url(QString::fromLatin1(row.path)));
        QMError error;
        EXPECT_EQ(operation->execute(&error), row.code == 0);
        if (row.code == 0)
            continue;
        EXPECT_EQ(error.domain(), QMRESTAPINetworkErrorDomain);
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.localizedDescription(), row.description);
    }

    // Qt does not tell HTTP/1.0 from HTTP/1.1: the version says no more than it knows.
    const auto old = std::make_shared<QMRESTAPIRequestOperation>(server->url(u"/hostile/http10"_s));
    EXPECT_TRUE(old->execute());
    ASSERT_TRUE(old->response());
    EXPECT_EQ(old->response()->HTTPVersion, u"HTTP/1.x"_s);
    EXPECT_EQ(old->responseData(), "ok");
}

TEST(RESTClientTest, BodiesAreBoundedOrStreamed)
{
    const auto server = startedServer();
    constexpr qint64 limit = 100 * 1000;
    const auto limited = [&](const QString &path) {
        const auto operation = std::make_shared<Impatient>(server->url(path));
        operation->setMaximumResponseSize(limit);
        QMError error;
        EXPECT_FALSE(operation->execute(&error));
        EXPECT_EQ(error.code(), QMRESTAPINetworkErrorResponseTooLarge);
        EXPECT_EQ(error.localizedDescription(),
                  u"The response is larger than the maximum response size of 100000 bytes."_s);
        return operation->responseData().size();
    };
    // Refused by its Content-Length before any of it is kept, or cut off as it grows.
    EXPECT_EQ(limited(u"/stream?bytes=100001"_s), 0);
    EXPECT_LE(limited(u"/hostile/endless"_s), limit);
    const auto fits
            = std::make_shared<QMRESTAPIRequestOperation>(server->url(u"/stream?bytes=100000"_s));
    fits->setMaximumResponseSize(limit);
    EXPECT_TRUE(fits->execute());
    EXPECT_EQ(fits->responseData().size(), limit);
    EXPECT_EQ(QMRESTAPIRequestOperation(server->url(u"/"_s)).maximumResponseSize(),
              QMRESTAPIRequestOperation::defaultMaximumResponseSize());
    EXPECT_EQ(failureOf([&] { fits->setMaximumResponseSize(0); }),
              u"Invalid parameter not satisfying: maximumResponseSize > 0"_s);

    // The client's limit applies to the requests it makes.
    QMRESTAPIClient client;
    EXPECT_EQ(client.maximumResponseSize(),
              QMRESTAPIRequestOperation::defaultMaximumResponseSize());
    client.setMaximumResponseSize(limit);
    const QMRESTAPIResponse response
            = perform(client, server->url(u"/stream?bytes=200000"_s), {}, u"GET"_s);
    ASSERT_TRUE(response.hasError());
    EXPECT_EQ(response.error->code(), QMRESTAPINetworkErrorResponseTooLarge);

    // Streamed: the head first, then every byte, none of them kept; a handler may stop an
    // endless body by cancelling.
    for (const QString &path : {u"/stream?bytes=3000000"_s, u"/hostile/endless"_s}) {
        SCOPED_TRACE(path.toStdString());
        const auto streamed = std::make_shared<QMRESTAPIRequestOperation>(server->url(path));
        streamed->setMaximumResponseSize(limit);
        QStringList events;
        qint64 received = 0;
        streamed->setResponseHeadHandler([&](const QMHTTPURLResponse &head) {
            events << u"head %1"_s.arg(head.statusCode);
        });
        streamed->setResponseDataHandler([&](const QByteArray &chunk) {
            if (received == 0)
                events << u"data"_s;
            received += chunk.size();
            if (received >= 3000000)
                streamed->cancel();
        });
        EXPECT_TRUE(streamed->execute());
        EXPECT_EQ(events, (QStringList {u"head 200"_s, u"data"_s}));
        EXPECT_GE(received, 3000000);
        EXPECT_TRUE(streamed->responseData().isNull());
    }
}

TEST(RESTClientTest, HooksRunOutsideLocksWithCheckedValues)
{
    const auto server = startedServer();
    // Overrides that read the operation itself: they used to run under its lock and deadlock.
    class Introspective : public QMRESTAPIRequestOperation
    {
    public:
        using QMRESTAPIRequestOperation::QMRESTAPIRequestOperation;
        double seconds = 0.5;
        double requestTimeoutInterval() const override
        {
            return URL().isValid() && request().url().isValid() ? seconds : 1;
        }
        QNetworkRequest::CacheLoadControl requestCachePolicy() const override
        {
            return allHTTPHeaderFields().isEmpty() ? QNetworkRequest::AlwaysNetwork
                                                   : QNetworkRequest::PreferCache;
        }
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const std::pair<double, int> timeouts[] = {
            {0.5, 500},        {0.2, 200},        {0.0001, 1},        {86400, 86400000},
            {1e300, 86400000}, {infinity, 15000}, {-infinity, 15000}, {nan, 15000},
            {0, 15000},        {-1, 15000},
    };
    for (const auto &[seconds, milliseconds] : timeouts) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(QMRESTAPIRequestOperation::timeoutMilliseconds(seconds), milliseconds);
    }
    for (const double seconds : {0.5, nan, 1e300}) {
        SCOPED_TRACE(seconds);
        const auto operation = std::make_shared<Introspective>(server->url(u"/echo"_s));
        operation->seconds = seconds;
        EXPECT_TRUE(operation->execute());
        const QNetworkRequest sent = operation->request();
        EXPECT_EQ(sent.transferTimeout(), QMRESTAPIRequestOperation::timeoutMilliseconds(seconds));
        EXPECT_EQ(sent.attribute(QNetworkRequest::CacheLoadControlAttribute).toInt(),
                  QNetworkRequest::AlwaysNetwork);
    }
}

TEST(RESTClientTest, ExceptionsStopAtTheLibrarysEdge)
{
    const auto server = startedServer();
    const TestSupport::CaughtExceptions caught;
    class Throwing : public QMRESTAPIRequestOperation
    {
    public:
        using QMRESTAPIRequestOperation::QMRESTAPIRequestOperation;

    protected:
        bool parseResponseData(const QByteArray &, std::optional<QMError> *) override
        {
            throw std::runtime_error("parse");
        }
    };
    // The operation ends as if the hook had returned.
    const auto operation = std::make_shared<Throwing>(server->url(u"/echo"_s));
    operation->setResponseDataHandler([](const QByteArray &) { throw std::runtime_error("data"); });
    EXPECT_TRUE(operation->execute());
    EXPECT_FALSE(operation->isLoading());
    // So does a completion handler of the client.
    QMRESTAPIClient client;
    client.performGETRequestWithURL(server->url(u"/echo"_s), {},
                                    [](const QMRESTAPIResponse &) { throw 42; });
    client.waitUntilFinished();
    // The completion handler runs after the operation has finished: wait for it.
    EXPECT_EQ(caught.waitFor(3),
              (QStringList {u"a request operation's response data handler: data"_s,
                            u"a request operation's response hook: parse"_s,
                            u"a REST client's completion handler: (not a std::exception)"_s}));
}
