// 2,000 GET requests for 1 KiB of JSON, 32 in flight, against a loopback server: through
// QMRESTAPIClient (one request operation per request, sent by the network access manager of
// the queue thread that runs it) beside a bare QNetworkAccessManager on the main thread keeping
// 32 replies open. Requests per second are the items per second.

#include "PeakMemory.h"

#include <QMFoundation/network/QMRESTAPIClient.h>

#include "LoopbackHTTPServer.h"

#include <QMFoundation/operations/QMOperationQueue.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <benchmark/benchmark.h>

#include <atomic>

using namespace Qt::StringLiterals;

namespace {

constexpr int kRequests = 2000;
constexpr int kInFlight = 32;

QCoreApplication &application()
{
    static int argc = 1;
    static char name[] = "bench_rest_client";
    static char *argv[] = {name, nullptr};
    static QCoreApplication instance(argc, argv);
    return instance;
}

const QUrl &jsonURL()
{
    // The application object first: statics end in the reverse order, so the server stops while
    // the application still exists.
    application();
    static LoopbackHTTPServer server;
    static const QUrl url = [] {
        if (!server.start())
            qFatal("the loopback server does not start");
        return server.url(u"/json?size=1024"_s);
    }();
    return url;
}

void BM_RESTAPIClient(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QUrl url = jsonURL();
    QMRESTAPIClient client;
    client.setQueue(QMOperationQueue::queueWithMaxConcurrentOperationCount(kInFlight));
    for (auto _ : state) {
        std::atomic<int> answered {0};
        for (int k = 0; k < kRequests; ++k) {
            client.performGETRequestWithURL(url, {}, [&](const QMRESTAPIResponse &response) {
                if (response.statusCode == 200 && response.body && response.body->size() == 1024)
                    ++answered;
            });
        }
        client.waitUntilFinished();
        if (answered != kRequests) {
            state.SkipWithError("not every request was answered");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
}

void BM_BareNetworkAccessManager(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QUrl url = jsonURL();
    QNetworkAccessManager manager;
    for (auto _ : state) {
        QEventLoop loop;
        int started = 0;
        int answered = 0;
        int finished = 0;
        std::function<void()> startOne = [&] {
            QNetworkReply *reply = manager.get(QNetworkRequest(url));
            ++started;
            QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
                if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 200
                    && reply->readAll().size() == 1024)
                    ++answered;
                reply->deleteLater();
                if (++finished == kRequests)
                    loop.quit();
                else if (started < kRequests)
                    startOne();
            });
        };
        for (int k = 0; k < kInFlight; ++k)
            startOne();
        loop.exec();
        if (answered != kRequests) {
            state.SkipWithError("not every request was answered");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kRequests);
}

} // namespace

BENCHMARK(BM_RESTAPIClient)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_BareNetworkAccessManager)->Unit(benchmark::kMillisecond)->UseRealTime();
