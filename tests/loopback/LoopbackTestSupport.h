#pragma once

#include <QByteArray>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <functional>

namespace LoopbackTestSupport {

/// What a QNetworkAccessManager made of one exchange.
struct Reply
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;

    QByteArray header(QByteArrayView name) const
    {
        for (const auto &[key, value] : headers) {
            if (key.compare(name, Qt::CaseInsensitive) == 0)
                return value;
        }
        return {};
    }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

/// Sends `verb` with `body` and runs an event loop until the reply finishes (five seconds at most,
/// unless the request sets a transfer time-out of its own). `prepare` may connect to the reply
/// before anything happens.
inline Reply fetch(QNetworkAccessManager &manager, QNetworkRequest request,
                   const QByteArray &verb = "GET", const QByteArray &body = {},
                   const std::function<void(QNetworkReply *)> &prepare = {})
{
    if (request.transferTimeout() == 0)
        request.setTransferTimeout(5000);
    // GET and HEAD without a body go out as such (a custom HEAD would wait for a body).
    QNetworkReply *reply = verb == "HEAD"     ? manager.head(request)
            : verb == "GET" && body.isEmpty() ? manager.get(request)
                                              : manager.sendCustomRequest(request, verb, body);
    if (prepare)
        prepare(reply);
    QEventLoop loop;
    // Connected by name: a connection to a member function is an object made here that Qt may
    // free on its network thread, unseen by a thread sanitizer.
    QObject::connect(reply, SIGNAL(finished()), &loop, SLOT(quit()));
    if (!reply->isFinished())
        loop.exec();
    Reply result {reply->error(),
                  reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                  reply->isOpen() ? reply->readAll() : QByteArray(), reply->rawHeaderPairs()};
    delete reply;
    return result;
}

} // namespace LoopbackTestSupport
