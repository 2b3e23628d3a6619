// The client's futures and its handlers bound to a context object, against loopback servers:
// what a future resolves with, cancelling a request through its future, and where (and whether)
// a handler with a context runs.

#include <QMFoundation/network/QMRESTAPIClient.h>

#include "LoopbackHTTPServer.h"

#include "support/Futures.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

using namespace Qt::StringLiterals;
using TestSupport::waitFor;
using namespace std::chrono_literals;

namespace {

// A flag that one thread raises and another waits for, within a bound.
class Signal
{
public:
    void raise()
    {
        std::lock_guard lock(m_mutex);
        m_raised = true;
        m_condition.notify_all();
    }
    bool wait()
    {
        std::unique_lock lock(m_mutex);
        return m_condition.wait_for(lock, 20s, [this] { return m_raised; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_raised = false;
};

std::unique_ptr<LoopbackHTTPServer> startedServer()
{
    auto server = std::make_unique<LoopbackHTTPServer>();
    QString error;
    EXPECT_TRUE(server->start(&error)) << error.toStdString();
    return server;
}

QJsonObject jsonOf(const QMRESTAPIResponse &response)
{
    return QJsonDocument::fromJson(response.body.value_or(QString()).toUtf8()).object();
}

} // namespace

// The future resolves with what the completion handler gets: error statuses and transfer
// failures are responses too.
TEST(RESTAsyncTest, FuturesResolveWithTheResponse)
{
    const auto server = startedServer();
    QMRESTAPIClient client;
    const QVariantMap params {{u"name"_s, u"joe"_s}};

    const struct
    {
        const char *method;
        QFuture<QMRESTAPIResponse> future;
        const char *query;
        const char *body;
    } forms[] = {
            {"GET", client.performGETRequestAsync(server->url(u"/echo"_s), params), "name=joe", ""},
            {"POST", client.performPOSTRequestAsync(server->url(u"/echo"_s), params), "",
             R"({"name":"joe"})"},
            {"PUT", client.performPUTRequestAsync(server->url(u"/echo"_s), params), "",
             R"({"name":"joe"})"},
            {"DELETE", client.performRequestAsync(server->url(u"/echo"_s), params, u"DELETE"_s),
             "name=joe", ""},
    };
    for (const auto &form : forms) {
        SCOPED_TRACE(form.method);
        ASSERT_TRUE(waitFor(form.future));
        ASSERT_FALSE(form.future.isCanceled());
        const QMRESTAPIResponse response = form.future.result();
        EXPECT_EQ(response.statusCode, 200);
        EXPECT_FALSE(response.hasError());
        const QJsonObject echoed = jsonOf(response);
        EXPECT_EQ(echoed[u"method"_s].toString(), QString::fromLatin1(form.method));
        EXPECT_EQ(echoed[u"query"_s].toString(), QString::fromLatin1(form.query));
        EXPECT_EQ(echoed[u"body"_s].toString(), QString::fromLatin1(form.body));
    }

    const QFuture<QMRESTAPIResponse> missing
            = client.performGETRequestAsync(server->url(u"/status/404"_s), std::nullopt);
    ASSERT_TRUE(waitFor(missing));
    EXPECT_EQ(missing.result().statusCode, 404);
    EXPECT_FALSE(missing.result().hasError());
    EXPECT_TRUE(QMAsync::errorOf(missing).isNull());

    const QUrl refused = server->url(u"/echo"_s);
    server->stop();
    const QFuture<QMRESTAPIResponse> failed = client.performGETRequestAsync(refused, std::nullopt);
    ASSERT_TRUE(waitFor(failed));
    ASSERT_FALSE(failed.isCanceled());
    ASSERT_TRUE(failed.result().hasError());
    EXPECT_EQ(failed.result().error->domain(), QMRESTAPINetworkErrorDomain);
    EXPECT_EQ(failed.result().error->code(), qint64(QNetworkReply::ConnectionRefusedError));

    // A contract violation is thrown on the calling thread, and nothing is queued.
    client.setCredentials(
            QMRESTAPIAuthenticationCredentials {QMRESTAPIAuthenticationMethodOAuth, {}, {}, {}});
    EXPECT_THROW(client.performGETRequestAsync(refused, std::nullopt),
                 QMInternalInconsistencyException);
    EXPECT_EQ(client.queue()->operationCount(), 0);
}

// A continuation with a context runs on the context's thread, once; it is attached while the
// server holds its answer back.
TEST(RESTAsyncTest, ContinuationsRunOnTheContextsThread)
{
    const auto server = startedServer();
    auto held = std::make_shared<Signal>();
    server->addRoute("/held", [held](const LoopbackHTTPRequest &) {
        held->wait();
        return LoopbackHTTPResponse::text(201, "made");
    });
    QMRESTAPIClient client;
    QFuture<QMRESTAPIResponse> future
            = client.performPOSTRequestAsync(server->url(u"/held"_s), std::nullopt);
    QObject context;
    int calls = 0;
    QThread *ranOn = nullptr;
    const QFuture<qint64> status = future.then(&context, [&](const QMRESTAPIResponse &response) {
        ++calls;
        ranOn = QThread::currentThread();
        return response.statusCode;
    });
    held->raise();
    ASSERT_TRUE(waitFor(status));
    EXPECT_EQ(status.result(), 201);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ranOn, QThread::currentThread());
}

// Cancelling the future of a request that the server never answers ends it at once: the
// request is cancelled (not timed out) and the future reads as cancelled, with no error.
TEST(RESTAsyncTest, CancellingTheFutureCancelsTheRequest)
{
    const auto server = startedServer();
    QMRESTAPIClient client;
    QFuture<QMRESTAPIResponse> future
            = client.performGETRequestAsync(server->url(u"/stall"_s), std::nullopt);
    ASSERT_TRUE(server->waitForRequests(1, 10s));
    EXPECT_FALSE(future.isFinished());
    future.cancel();
    // The transfer time-out (15 s) would resolve the future with a timed-out response.
    ASSERT_TRUE(waitFor(future));
    EXPECT_TRUE(future.isCanceled());
    EXPECT_EQ(future.resultCount(), 0);
    EXPECT_TRUE(QMAsync::errorOf(future).isNull());
    client.waitUntilFinished();
    EXPECT_EQ(client.queue()->operationCount(), 0);
}

// A handler given a context runs on that context's thread, and not at all once the context is
// gone.
TEST(RESTAsyncTest, HandlersWithAContextRunOnItsThreadWhileItLives)
{
    const auto server = startedServer();
    QMRESTAPIClient client;

    // A context on a thread of its own, with its event loop.
    QThread worker;
    auto *remote = new QObject;
    remote->moveToThread(&worker);
    QObject::connect(&worker, &QThread::finished, remote, &QObject::deleteLater);
    worker.start();
    struct
    {
        std::mutex mutex;
        QList<QThread *> threads;
        QList<qint64> statuses;
    } seen;
    Signal delivered;
    const auto record = [&](const QMRESTAPIResponse &response) {
        {
            std::lock_guard lock(seen.mutex);
            seen.threads.append(QThread::currentThread());
            seen.statuses.append(response.statusCode);
        }
        delivered.raise();
    };
    client.performGETRequestWithURL(server->url(u"/status/202"_s), std::nullopt, remote, record);
    ASSERT_TRUE(delivered.wait());
    {
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(seen.threads, QList<QThread *> {&worker});
        EXPECT_EQ(seen.statuses, QList<qint64> {202});
    }
    TestSupport::quitFromInside(worker);

    // A context on this thread, which delivers through its event loop.
    QObject local;
    QEventLoop loop;
    QThread *ranOn = nullptr;
    client.performPUTRequestWithURL(server->url(u"/echo"_s), QVariantMap {}, &local,
                                    [&](const QMRESTAPIResponse &response) {
                                        ranOn = QThread::currentThread();
                                        EXPECT_EQ(response.statusCode, 200);
                                        loop.quit();
                                    });
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(ranOn, QThread::currentThread());

    // Contexts destroyed before the delivery: the handler is released without being called,
    // whether the context went before the request ended or after the delivery was posted.
    for (const char *path : {"/status/200", "/stall"}) {
        SCOPED_TRACE(path);
        auto released = std::make_shared<Signal>();
        auto token = std::shared_ptr<int>(new int(0), [released](int *value) {
            delete value;
            released->raise();
        });
        bool called = false;
        auto *doomed = new QObject;
        const auto request = client.performGETRequestWithURL(
                server->url(QString::fromLatin1(path)), std::nullopt, doomed,
                [token, &called](const QMRESTAPIResponse &) { called = true; });
        if (QByteArrayView(path) == "/status/200")
            request->waitUntilFinished(); // ended; the delivery may be posted already
        delete doomed;
        request->cancel(); // ends the stalled one
        token.reset(); // the library holds the only copies now
        ASSERT_TRUE(released->wait());
        QCoreApplication::processEvents();
        EXPECT_FALSE(called);
    }

    EXPECT_THROW(client.performGETRequestWithURL(server->url(u"/echo"_s), std::nullopt, nullptr,
                                                 [](const QMRESTAPIResponse &) {}),
                 QMInternalInconsistencyException);
}
