#include "rest/QMRESTAPIRequestOperation.h"

#include "errors/QMInternalInconsistencyException.h"
#include "text/QMBase64Transcoding.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QSslCertificate>
#include <QSslError>
#include <QThread>
#include <QThreadStorage>
#include <QTimer>

#include <atomic>
#include <mutex>

using namespace Qt::StringLiterals;

const QString QMRESTAPINetworkErrorDomain = u"QMRESTAPINetworkErrorDomain"_s;

namespace {

constexpr int kDefaultTimeoutMilliseconds = 15000;
// Redirects followed before the request fails, as browsers count them.
constexpr int kMaxRedirects = 20;
// How often main() looks whether cancel() has ended the transfer from another thread.
constexpr int kLoadingPollMilliseconds = 10;

QString withoutLineBreaks(QString value)
{
    return value.remove(u'\r').remove(u'\n');
}

bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
            && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
            && a.port(a.scheme() == u"https"_s ? 443 : 80)
            == b.port(b.scheme() == u"https"_s ? 443 : 80);
}

QMHTTPURLResponse responseOf(const QNetworkReply &reply)
{
    QMHTTPURLResponse response;
    response.URL = reply.url();
    response.statusCode = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toLongLong();
    response.HTTPVersion = reply.attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()
            ? u"HTTP/2"_s
            : u"HTTP/1.1"_s;
    response.reasonPhrase = QString::fromLatin1(
            reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray());
    for (const QNetworkReply::RawHeaderPair &pair : reply.rawHeaderPairs()) {
        const QString name = QString::fromLatin1(pair.first);
        const QString value = QString::fromUtf8(pair.second);
        // Qt already joins repeated fields; a field that differs only in case joins here.
        QString key = name;
        for (auto existing = response.allHeaderFields.cbegin();
             existing != response.allHeaderFields.cend(); ++existing) {
            if (existing.key().compare(name, Qt::CaseInsensitive) == 0) {
                key = existing.key();
                break;
            }
        }
        QString &slot = response.allHeaderFields[key];
        slot = slot.isNull() ? value : slot + u", "_s + value;
    }
    return response;
}

// Errors of the connection or a proxy, as opposed to the HTTP status errors that Qt also reports
// for a complete response (from ContentAccessDenied on): a response cut short by one of them
// (a time-out in the middle of the body, a closed connection) is a failure, not an outcome.
bool failedInTransfer(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}

QMError errorOf(const QNetworkReply &reply)
{
    return QMError(QMRESTAPINetworkErrorDomain, qint64(reply.error()),
                   {{QMLocalizedDescriptionKey, reply.errorString()},
                    {u"NSErrorFailingURLStringKey"_s, reply.url().toString()}});
}

// The network access manager of the calling thread, for requests that carry no state of their
// own into the connection (see Private::keepsNoConnectionState()): its connections stay open
// between requests, so that a queue thread sends one request after another on the same
// keep-alive connection instead of opening a new one (and a new manager thread) for each. Qt
// deletes it with the thread's own data when the thread ends.
QNetworkAccessManager &threadManager()
{
    static QThreadStorage<QNetworkAccessManager *> managers;
    if (!managers.hasLocalData())
        managers.setLocalData(new QNetworkAccessManager);
    return *managers.localData();
}

} // namespace

class QMRESTAPIRequestOperation::Private
{
public:
    mutable std::mutex mutex;
    QNetworkRequest request;
    QString method = u"GET"_s;
    QByteArray body;
    std::optional<std::pair<QString, QString>> NTLMCredentials;
    bool trustsServer = false;
    std::optional<QByteArray> serverTrustExceptionCookie;

    std::atomic<bool> loading {false};
    std::optional<QMHTTPURLResponse> response;
    QByteArray responseData;
    std::optional<QMError> error;

    // The transfer under way, for cancel() on another thread; set and cleared by main() under
    // the mutex, so that cancel() never reaches a reply that main() has deleted.
    QNetworkReply *reply = nullptr;
    bool connectionCancelled = false;

    // Whether the request can share a thread's connections with other requests: nothing it
    // carries changes what a connection is (NTLM authenticates the connection itself, accepted
    // certificate errors and another TLS configuration make a connection that a stricter
    // request must not reuse, credentials in the URL go into the manager's cache), and the
    // thread is not the application's, whose manager would outlive the application object.
    // Called with the mutex held.
    bool keepsNoConnectionState() const
    {
        const QUrl &url = request.url();
        const QCoreApplication *application = QCoreApplication::instance();
        return !NTLMCredentials && !trustsServer && !serverTrustExceptionCookie
                && url.userInfo().isEmpty() && application
                && QThread::currentThread() != application->thread()
                && (url.scheme().compare(u"https"_s, Qt::CaseInsensitive) != 0
                    || request.sslConfiguration() == QSslConfiguration::defaultConfiguration());
    }
    // Answers the challenges of a request's own manager: NTLM with the credentials, certificate
    // errors by the trust settings. `challenges` counts the authentication challenges.
    void handleChallenges(QNetworkAccessManager &manager, int &challenges)
    {
        QObject::connect(&manager, &QNetworkAccessManager::authenticationRequired,
                         [this, &challenges](QNetworkReply *, QAuthenticator *authenticator) {
                             // A second challenge means the credential was refused: no
                             // credential then, so that the server's 401 ends the request.
                             if (challenges++ > 0)
                                 return;
                             std::optional<std::pair<QString, QString>> credentials;
                             {
                                 std::lock_guard lock(mutex);
                                 credentials = NTLMCredentials;
                             }
                             // Basic and Digest challenges name a realm; NTLM's does not.
                             if (credentials && authenticator->realm().isEmpty()) {
                                 authenticator->setUser(credentials->first);
                                 authenticator->setPassword(credentials->second);
                             }
                         });
        QObject::connect(&manager, &QNetworkAccessManager::encrypted, [this](QNetworkReply *reply) {
            std::lock_guard lock(mutex);
            if (trustsServer && !serverTrustExceptionCookie)
                serverTrustExceptionCookie = certificateDigest(*reply);
        });
        QObject::connect(&manager, &QNetworkAccessManager::sslErrors,
                         [this](QNetworkReply *reply, const QList<QSslError> &errors) {
                             const QByteArray digest = certificateDigest(*reply);
                             std::lock_guard lock(mutex);
                             if (!serverTrustExceptionCookie) {
                                 if (!trustsServer)
                                     return; // the errors fail the request
                                 serverTrustExceptionCookie = digest;
                             } else if (*serverTrustExceptionCookie != digest) {
                                 return; // the cookie names another certificate
                             }
                             reply->ignoreSslErrors(errors);
                         });
    }

    static QByteArray certificateDigest(const QNetworkReply &reply)
    {
        return QCryptographicHash::hash(reply.sslConfiguration().peerCertificate().toDer(),
                                        QCryptographicHash::Sha256);
    }
};

QMRESTAPIRequestOperation::QMRESTAPIRequestOperation(const QUrl &URL)
    : QMRESTAPIRequestOperation(URL, QString())
{ }

QMRESTAPIRequestOperation::QMRESTAPIRequestOperation(const QUrl &URL, const QString &HTTPMethod)
    : d(std::make_unique<Private>())
{
    QMParameterAssert(!URL.isEmpty(), "URL");
    d->request.setUrl(URL);
    d->request.setTransferTimeout(kDefaultTimeoutMilliseconds);
    d->request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                            QNetworkRequest::PreferNetwork);
    // Cookies are neither sent nor stored.
    d->request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    d->request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    // Redirects are followed here, not by Qt, so that credentials stay with their origin.
    d->request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                            QNetworkRequest::ManualRedirectPolicy);
    if (!HTTPMethod.isNull())
        d->method = HTTPMethod;
}

QMRESTAPIRequestOperation::~QMRESTAPIRequestOperation() = default;

QNetworkRequest QMRESTAPIRequestOperation::request() const
{
    std::lock_guard lock(d->mutex);
    return d->request;
}

void QMRESTAPIRequestOperation::setRequest(const QNetworkRequest &request)
{
    std::lock_guard lock(d->mutex);
    d->request = request;
}

QUrl QMRESTAPIRequestOperation::URL() const
{
    std::lock_guard lock(d->mutex);
    return d->request.url();
}

QString QMRESTAPIRequestOperation::HTTPMethod() const
{
    std::lock_guard lock(d->mutex);
    return d->method;
}

void QMRESTAPIRequestOperation::setHTTPMethod(const QString &method)
{
    std::lock_guard lock(d->mutex);
    d->method = method;
}

QByteArray QMRESTAPIRequestOperation::HTTPBody() const
{
    std::lock_guard lock(d->mutex);
    return d->body;
}

void QMRESTAPIRequestOperation::setHTTPBody(const QByteArray &body)
{
    std::lock_guard lock(d->mutex);
    d->body = body;
}

void QMRESTAPIRequestOperation::setValue(const QString &value, const QString &HTTPHeaderField)
{
    std::lock_guard lock(d->mutex);
    // Field names compare without case: the new value replaces one set under another spelling.
    const QByteArray name = HTTPHeaderField.toLatin1();
    for (const QByteArray &existing : d->request.rawHeaderList()) {
        if (existing.compare(name, Qt::CaseInsensitive) == 0)
            d->request.setRawHeader(existing, QByteArray());
    }
    if (!value.isNull())
        d->request.setRawHeader(name, value.toUtf8());
}

QString QMRESTAPIRequestOperation::valueForHTTPHeaderField(const QString &field) const
{
    std::lock_guard lock(d->mutex);
    const QByteArray name = field.toLatin1();
    for (const QByteArray &existing : d->request.rawHeaderList()) {
        if (existing.compare(name, Qt::CaseInsensitive) == 0)
            return QString::fromUtf8(d->request.rawHeader(existing));
    }
    return QString();
}

QMap<QString, QString> QMRESTAPIRequestOperation::allHTTPHeaderFields() const
{
    std::lock_guard lock(d->mutex);
    QMap<QString, QString> fields;
    for (const QByteArray &name : d->request.rawHeaderList())
        fields.insert(QString::fromLatin1(name), QString::fromUtf8(d->request.rawHeader(name)));
    return fields;
}

QNetworkRequest::CacheLoadControl QMRESTAPIRequestOperation::requestCachePolicy() const
{
    return QNetworkRequest::PreferNetwork;
}

double QMRESTAPIRequestOperation::requestTimeoutInterval() const
{
    return kDefaultTimeoutMilliseconds / 1000.0;
}

void QMRESTAPIRequestOperation::setBasicAuthorizationHeaderWithUsername(const QString &username,
                                                                        const QString &password)
{
    QMParameterAssert(!username.isNull(), "username");
    QMParameterAssert(!password.isNull(), "password");
    const QString encoded = QMBase64Transcoding::stringUsingBase64Encoding(
            QString(username + u':' + password).toUtf8());
    setValue(withoutLineBreaks(u"Basic "_s + encoded), u"Authorization"_s);
}

void QMRESTAPIRequestOperation::setOAuthAuthorizationHeaderWithToken(const QString &token)
{
    QMParameterAssert(!token.isNull(), "token");
    setValue(withoutLineBreaks(u"Bearer "_s + token), u"Authorization"_s);
}

void QMRESTAPIRequestOperation::setNTLMAuthorizationWithUsername(const QString &username,
                                                                 const QString &password)
{
    QMParameterAssert(!username.isNull(), "username");
    QMParameterAssert(!password.isNull(), "password");
    std::lock_guard lock(d->mutex);
    d->NTLMCredentials = std::pair(username, password);
}

bool QMRESTAPIRequestOperation::hasNTLMCredentials() const
{
    std::lock_guard lock(d->mutex);
    return d->NTLMCredentials.has_value();
}

bool QMRESTAPIRequestOperation::trustsServer() const
{
    std::lock_guard lock(d->mutex);
    return d->trustsServer;
}

void QMRESTAPIRequestOperation::setTrustsServer(bool trustsServer)
{
    std::lock_guard lock(d->mutex);
    d->trustsServer = trustsServer;
}

std::optional<QByteArray> QMRESTAPIRequestOperation::serverTrustExceptionCookie() const
{
    std::lock_guard lock(d->mutex);
    return d->serverTrustExceptionCookie;
}

void QMRESTAPIRequestOperation::setServerTrustExceptionCookie(
        const std::optional<QByteArray> &cookie)
{
    std::lock_guard lock(d->mutex);
    d->serverTrustExceptionCookie = cookie;
}

bool QMRESTAPIRequestOperation::isLoading() const
{
    return d->loading.load();
}

std::optional<QMHTTPURLResponse> QMRESTAPIRequestOperation::response() const
{
    std::lock_guard lock(d->mutex);
    return d->response;
}

QByteArray QMRESTAPIRequestOperation::responseData() const
{
    std::lock_guard lock(d->mutex);
    return d->responseData;
}

std::optional<QMError> QMRESTAPIRequestOperation::error() const
{
    std::lock_guard lock(d->mutex);
    return d->error;
}

void QMRESTAPIRequestOperation::setError(const std::optional<QMError> &error)
{
    std::lock_guard lock(d->mutex);
    d->error = error;
}

void QMRESTAPIRequestOperation::main()
{
    d->loading = true;
    QNetworkRequest request;
    QString method;
    QByteArray body;
    {
        std::lock_guard lock(d->mutex);
        // A subclass's own time-out and cache policy apply unless the caller chose others.
        if (d->request.transferTimeout() == kDefaultTimeoutMilliseconds)
            d->request.setTransferTimeout(int(requestTimeoutInterval() * 1000));
        if (d->request.attribute(QNetworkRequest::CacheLoadControlAttribute).toInt()
            == QNetworkRequest::PreferNetwork)
            d->request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                                    requestCachePolicy());
        request = d->request;
        method = d->method;
        body = d->body;
    }
    const QUrl origin = request.url();

    // QNetworkAccessManager is not thread-safe: either manager lives on this thread. A request
    // that brings state into its connection gets a manager of its own, which ends with it.
    bool shared;
    {
        std::lock_guard lock(d->mutex);
        shared = d->keepsNoConnectionState();
    }
    std::optional<QNetworkAccessManager> ownManager;
    QNetworkAccessManager &manager = shared ? threadManager() : ownManager.emplace();
    QEventLoop loop;
    int challenges = 0;
    int redirects = 0;
    std::vector<QPointer<QNetworkReply>> replies;

    if (!shared)
        d->handleChallenges(manager, challenges);

    const auto send = [&](const QNetworkRequest &outgoing, const QString &verb,
                          const QByteArray &payload) {
        // Without a body nothing is uploaded, so no Content-Length goes out either.
        // HEAD goes through head(): only there does Qt know that the response has no body.
        QNetworkReply *reply = verb == u"HEAD"_s && payload.isNull() ? manager.head(outgoing)
                : payload.isNull() ? manager.sendCustomRequest(outgoing, verb.toLatin1())
                                   : manager.sendCustomRequest(outgoing, verb.toLatin1(), payload);
        replies.emplace_back(reply);
        QObject::connect(reply, &QNetworkReply::readyRead, [this, reply] {
            const QByteArray chunk = reply->readAll();
            std::lock_guard lock(d->mutex);
            if (d->responseData.isNull())
                d->responseData = QByteArray(""); // an empty body that arrived is not "none"
            d->responseData.append(chunk);
        });
        return reply;
    };

    const std::function<void(QNetworkReply *)> onFinished = [&](QNetworkReply *reply) {
        const QByteArray rest = reply->isOpen() ? reply->readAll() : QByteArray();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        bool aborted;
        {
            std::lock_guard lock(d->mutex);
            aborted = d->connectionCancelled;
            if (!rest.isEmpty())
                d->responseData.append(rest);
            if (status.isValid() && !aborted)
                d->response = responseOf(*reply);
        }
        if (aborted) {
            loop.quit();
            return;
        }
        const qint64 code = status.toLongLong();
        const QUrl location = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
        if (status.isValid() && code >= 300 && code < 400 && code != 304 && location.isValid()) {
            if (++redirects > kMaxRedirects) {
                requestDidFailToConnectWithError(QMError(
                        QMRESTAPINetworkErrorDomain, qint64(QNetworkReply::TooManyRedirectsError),
                        {{QMLocalizedDescriptionKey, u"Too many redirects"_s}}));
                loop.quit();
                return;
            }
            QNetworkRequest next = request;
            next.setUrl(reply->url().resolved(location));
            // The credentials are the original server's: another server never sees them.
            if (!sameOrigin(origin, next.url()))
                next.setRawHeader("Authorization", QByteArray());
            QString nextMethod = method;
            QByteArray nextBody = body;
            // 303 always, and 301 and 302 after a POST, fetch the new place with GET.
            if (code == 303
                || ((code == 301 || code == 302)
                    && method.compare(u"POST"_s, Qt::CaseInsensitive) == 0)) {
                nextMethod = u"GET"_s;
                nextBody = QByteArray();
                next.setRawHeader("Content-Type", QByteArray());
                next.setRawHeader("Content-Length", QByteArray());
            }
            {
                std::lock_guard lock(d->mutex);
                d->responseData = QByteArray();
                if (d->connectionCancelled) {
                    loop.quit();
                    return;
                }
                d->reply = send(next, nextMethod, nextBody);
                QObject::connect(d->reply, &QNetworkReply::finished,
                                 [&, r = d->reply] { onFinished(r); });
            }
            return;
        }
        if (status.isValid() && !failedInTransfer(reply->error()))
            requestDidReceiveResponse(response(), responseData());
        else
            requestDidFailToConnectWithError(errorOf(*reply));
        loop.quit();
    };

    {
        std::lock_guard lock(d->mutex);
        if (!d->connectionCancelled) {
            d->reply = send(request, method, body);
            QObject::connect(d->reply, &QNetworkReply::finished,
                             [&, r = d->reply] { onFinished(r); });
        }
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!d->loading)
            loop.quit();
    });
    poll.start(kLoadingPollMilliseconds);
    if (d->loading)
        loop.exec();
    {
        std::lock_guard lock(d->mutex);
        d->reply = nullptr;
    }
    // A shared manager outlives the request: its replies go now, not with the manager.
    for (const QPointer<QNetworkReply> &reply : replies)
        delete reply.data();
    requestDidFinish();
}

void QMRESTAPIRequestOperation::cancel()
{
    {
        std::lock_guard lock(d->mutex);
        d->connectionCancelled = true;
        // The reply lives on main()'s thread: abort() is posted there, by name, so that
        // nothing of this thread travels with it.
        if (d->reply)
            QMetaObject::invokeMethod(d->reply, "abort", Qt::QueuedConnection);
    }
    QMBaseOperation::cancel();
    requestDidCancel();
}

bool QMRESTAPIRequestOperation::execute(QMError *error)
{
    start();
    waitUntilFinished();
    const std::optional<QMError> outcome = this->error();
    if (!outcome)
        return true;
    if (error)
        *error = *outcome;
    return false;
}

void QMRESTAPIRequestOperation::_setResponseWithStatusCode(qint64 statusCode,
                                                           const QByteArray &data)
{
    std::lock_guard lock(d->mutex);
    QMHTTPURLResponse response;
    response.URL = d->request.url();
    response.statusCode = statusCode;
    response.HTTPVersion = u"HTTP/1.1"_s;
    d->response = response;
    d->responseData = data;
}

void QMRESTAPIRequestOperation::requestDidCancel()
{
    d->loading = false;
}

void QMRESTAPIRequestOperation::requestDidFailToConnectWithError(const QMError &error)
{
    setError(handleConnectionError(error));
    d->loading = false;
}

void QMRESTAPIRequestOperation::requestDidReceiveResponse(
        const std::optional<QMHTTPURLResponse> &response, const QByteArray &data)
{
    std::optional<QMError> error;
    if (validateAPIResponse(response, data, &error)) {
        if ((response ? response->statusCode : 0) < 400)
            parseResponseData(data, &error);
        else
            error = handleAPIErrorResponse(response, data);
    }
    setError(error);
    d->loading = false;
}

void QMRESTAPIRequestOperation::requestDidFinish() { }

QMError QMRESTAPIRequestOperation::handleConnectionError(const QMError &error)
{
    return error;
}

bool QMRESTAPIRequestOperation::validateAPIResponse(const std::optional<QMHTTPURLResponse> &,
                                                    const QByteArray &, std::optional<QMError> *)
{
    return true;
}

std::optional<QMError>
QMRESTAPIRequestOperation::handleAPIErrorResponse(const std::optional<QMHTTPURLResponse> &,
                                                  const QByteArray &)
{
    return std::nullopt;
}

bool QMRESTAPIRequestOperation::parseResponseData(const QByteArray &, std::optional<QMError> *)
{
    return true;
}
