#include <QMFoundation/network/QMRESTAPIRequestOperation.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/rest/QMCommon.h>
#include <QMFoundation/text/QMBase64Transcoding.h>

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

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

using namespace Qt::StringLiterals;

const QString QMRESTAPINetworkErrorDomain = u"QMRESTAPINetworkErrorDomain"_s;

namespace {

constexpr int kDefaultTimeoutMilliseconds = 15000;
constexpr double kMaximumTimeoutSeconds = 24 * 60 * 60;
constexpr qint64 kDefaultMaximumResponseSize = 64 * 1024 * 1024;
// What Qt may hold of a body that the operation has not read yet: past it, Qt's network thread
// stops reading the socket, so a slow consumer (a streaming handler writing to a pipe) slows the
// transfer down instead of letting Qt buffer the peer's data without bound.
constexpr qint64 kReadBufferSize = 256 * 1024;
// Redirects followed before the request fails, as browsers count them.
constexpr int kMaxRedirects = 20;
// How often main() looks whether cancel() has ended the transfer from another thread.
constexpr int kLoadingPollMilliseconds = 10;

QString withoutLineBreaks(QString value)
{
    return value.remove(u'\r').remove(u'\n');
}

QMHTTPURLResponse responseOf(const QNetworkReply &reply)
{
    QMHTTPURLResponse response;
    response.URL = reply.url();
    response.statusCode = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toLongLong();
    // Qt 6.4 tells HTTP/2 from HTTP/1, but not HTTP/1.0 from HTTP/1.1.
    response.HTTPVersion = reply.attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()
            ? u"HTTP/2"_s
            : u"HTTP/1.x"_s;
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

// The error Qt 6.4 gives a complete reply for an HTTP error status
// (QNetworkReplyHttpImplPrivate's mapping): only that error leaves the reply a response. Any
// other (a body cut short, one that fails to decompress) means the body is not what the server
// sent.
QNetworkReply::NetworkError errorOfStatus(qint64 status)
{
    switch (status) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        if (status > 500)
            return QNetworkReply::UnknownServerError;
        if (status >= 400)
            return QNetworkReply::UnknownContentError;
        return QNetworkReply::NoError;
    }
}

QMError libraryError(qint64 code, const QString &description, const QUrl &url)
{
    return QMError(QMRESTAPINetworkErrorDomain, code,
                   {{QMLocalizedDescriptionKey, description},
                    {u"NSErrorFailingURLStringKey"_s, url.toString()}});
}

QMError timedOut(const QUrl &url)
{
    return libraryError(
            QMRESTAPINetworkErrorTimedOut,
            QCoreApplication::translate("QMRESTAPIRequestOperation", "The request timed out."),
            url);
}

QMError protocolFailure(const QString &description, const QUrl &url)
{
    return libraryError(QMRESTAPINetworkErrorProtocolFailure, description, url);
}

QMError responseTooLarge(qint64 maximumSize, const QUrl &url)
{
    return libraryError(QMRESTAPINetworkErrorResponseTooLarge,
                        QCoreApplication::translate("QMRESTAPIRequestOperation",
                                                    "The response is larger than the maximum "
                                                    "response size of %1 bytes.")
                                .arg(maximumSize),
                        url);
}

// The length that the reply's Content-Length fields announce: none without one, -1 when they
// are malformed or disagree (Qt joins repeated fields with ", " and frames the body by one of
// them, which one being its own choice).
std::optional<qint64> announcedLength(const QNetworkReply &reply)
{
    if (!reply.hasRawHeader("Content-Length"))
        return std::nullopt;
    qint64 length = -1;
    for (const QByteArray &part : reply.rawHeader("Content-Length").split(',')) {
        bool ok = false;
        const QByteArray digits = part.trimmed();
        const qint64 number = digits.toLongLong(&ok);
        if (!ok || number < 0 || digits.startsWith('+') || (length >= 0 && number != length))
            return -1;
        length = number;
    }
    return length;
}

// Whether the body Qt hands over has the length the head announced: not when Qt decompressed
// it, not for a response that has no body by definition.
bool bodyLengthIsAnnounced(const QNetworkReply &reply, const QString &method, qint64 status)
{
    const QByteArray coding = reply.rawHeader("Content-Encoding").trimmed();
    return (coding.isEmpty() || coding.compare("identity", Qt::CaseInsensitive) == 0)
            && method.compare(u"HEAD"_s, Qt::CaseInsensitive) != 0 && status >= 200 && status != 204
            && status != 304;
}

QMError errorOf(const QNetworkReply &reply)
{
    // Qt leaves a detail out of some texts but not its separator ("Decompression failed: ").
    QString description = reply.errorString().trimmed();
    if (description.endsWith(u':'))
        description.chop(1);
    return QMError(QMRESTAPINetworkErrorDomain, qint64(reply.error()),
                   {{QMLocalizedDescriptionKey, description},
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
    qint64 maximumResponseSize = kDefaultMaximumResponseSize;
    ResponseHeadHandler headHandler;
    ResponseDataHandler dataHandler;

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
        // The manager is the context: its signals come on this thread, so the handlers run
        // directly, and they end with the manager.
        QObject::connect(&manager, &QNetworkAccessManager::authenticationRequired, &manager,
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
        QObject::connect(&manager, &QNetworkAccessManager::encrypted, &manager,
                         [this](QNetworkReply *encrypted) {
                             std::lock_guard lock(mutex);
                             if (trustsServer && !serverTrustExceptionCookie)
                                 serverTrustExceptionCookie = certificateDigest(*encrypted);
                         });
        QObject::connect(&manager, &QNetworkAccessManager::sslErrors, &manager,
                         [this](QNetworkReply *failing, const QList<QSslError> &errors) {
                             const QByteArray digest = certificateDigest(*failing);
                             std::lock_guard lock(mutex);
                             if (!serverTrustExceptionCookie) {
                                 if (!trustsServer)
                                     return; // the errors fail the request
                                 serverTrustExceptionCookie = digest;
                             } else if (*serverTrustExceptionCookie != digest) {
                                 return; // the cookie names another certificate
                             }
                             failing->ignoreSslErrors(errors);
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

int QMRESTAPIRequestOperation::timeoutMilliseconds(double seconds)
{
    // Checked before the conversion to int, which is undefined for NaN and huge values.
    if (!std::isfinite(seconds) || seconds <= 0)
        return kDefaultTimeoutMilliseconds;
    return int(std::clamp(std::round(seconds * 1000), 1.0, kMaximumTimeoutSeconds * 1000));
}

double QMRESTAPIRequestOperation::maximumTimeoutInterval()
{
    return kMaximumTimeoutSeconds;
}

qint64 QMRESTAPIRequestOperation::defaultMaximumResponseSize()
{
    return kDefaultMaximumResponseSize;
}

qint64 QMRESTAPIRequestOperation::maximumResponseSize() const
{
    std::lock_guard lock(d->mutex);
    return d->maximumResponseSize;
}

void QMRESTAPIRequestOperation::setMaximumResponseSize(qint64 maximumResponseSize)
{
    QMParameterAssert(maximumResponseSize > 0, "maximumResponseSize > 0");
    std::lock_guard lock(d->mutex);
    d->maximumResponseSize = maximumResponseSize;
}

void QMRESTAPIRequestOperation::setResponseHeadHandler(ResponseHeadHandler handler)
{
    std::lock_guard lock(d->mutex);
    d->headHandler = std::move(handler);
}

void QMRESTAPIRequestOperation::setResponseDataHandler(ResponseDataHandler handler)
{
    std::lock_guard lock(d->mutex);
    d->dataHandler = std::move(handler);
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
    // Overridable hooks, read before any lock is taken: an override may call the other members.
    const double timeoutInterval = requestTimeoutInterval();
    const QNetworkRequest::CacheLoadControl cachePolicy = requestCachePolicy();
    QNetworkRequest request;
    QString method;
    QByteArray body;
    qint64 maximumSize = 0;
    ResponseHeadHandler headHandler;
    ResponseDataHandler dataHandler;
    // QNetworkAccessManager is not thread-safe: either manager lives on this thread. A request
    // that brings state into its connection gets a manager of its own, which ends with it.
    bool shared = false;
    {
        std::lock_guard lock(d->mutex);
        // A subclass's own time-out and cache policy apply unless the caller chose others; a
        // caller's time-out of 0 (Qt's "none") is refused like any other that never ends.
        const int timeout = d->request.transferTimeout();
        d->request.setTransferTimeout(timeout == kDefaultTimeoutMilliseconds
                                              ? timeoutMilliseconds(timeoutInterval)
                                              : timeoutMilliseconds(timeout / 1000.0));
        if (d->request.attribute(QNetworkRequest::CacheLoadControlAttribute).toInt()
            == QNetworkRequest::PreferNetwork)
            d->request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, cachePolicy);
        request = d->request;
        method = d->method;
        body = d->body;
        maximumSize = d->maximumResponseSize;
        headHandler = d->headHandler;
        dataHandler = d->dataHandler;
        shared = d->keepsNoConnectionState();
    }
    const QUrl origin = request.url();

    std::optional<QNetworkAccessManager> ownManager;
    QNetworkAccessManager &manager = shared ? threadManager() : ownManager.emplace();
    QEventLoop loop;
    int challenges = 0;
    int redirects = 0;
    std::vector<QPointer<QNetworkReply>> replies;
    if (!shared)
        d->handleChallenges(manager, challenges);

    // The reply under way (one at a time: a redirect's successor starts when it has finished).
    bool following = false; // it is a redirect that the operation follows: its body is no one's
    bool headDelivered = false;
    qint64 received = 0; // bytes of its body, as Qt hands them over
    std::optional<QMError> stopError; // why the operation aborted it itself

    // Ends the transfer with `error`: the reply's finished() then reports it.
    const auto stop = [&](QNetworkReply *reply, const QMError &error) {
        if (!stopError)
            stopError = error;
        reply->abort();
    };
    const auto onHead = [&](QNetworkReply *reply) {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (!status.isValid() || headDelivered || stopError)
            return;
        const qint64 code = status.toLongLong();
        if (code < 100 || code > 599)
            return stop(reply,
                        protocolFailure(QCoreApplication::translate(
                                                "QMRESTAPIRequestOperation",
                                                "The server sent the invalid status code %1.")
                                                .arg(code),
                                        reply->url()));
        const std::optional<qint64> length = announcedLength(*reply);
        if (length == -1)
            return stop(reply,
                        protocolFailure(QCoreApplication::translate(
                                                "QMRESTAPIRequestOperation",
                                                "The response's Content-Length fields disagree."),
                                        reply->url()));
        following = code >= 300 && code < 400 && code != 304
                && reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().isValid();
        if (following)
            return;
        if (!dataHandler && length && *length > maximumSize)
            return stop(reply, responseTooLarge(maximumSize, reply->url()));
        headDelivered = true;
        const QMHTTPURLResponse head = responseOf(*reply);
        {
            std::lock_guard lock(d->mutex);
            d->response = head;
        }
        if (headHandler)
            QMUncaughtExceptions::invokeGuarded("a request operation's response head handler",
                                                [&] { headHandler(head); });
    };
    const auto consume = [&](QNetworkReply *reply, const QByteArray &chunk) {
        if (following || stopError || chunk.isEmpty())
            return;
        received += chunk.size();
        if (dataHandler) {
            QMUncaughtExceptions::invokeGuarded("a request operation's response data handler",
                                                [&] { dataHandler(chunk); });
            return;
        }
        bool fits = true;
        {
            std::lock_guard lock(d->mutex);
            if (d->responseData.isNull())
                d->responseData = QByteArray(""); // an empty body that arrived is not "none"
            fits = d->responseData.size() + chunk.size() <= maximumSize;
            if (fits)
                d->responseData.append(chunk);
        }
        if (!fits)
            stop(reply, responseTooLarge(maximumSize, reply->url()));
    };
    // The ending steps are overridable hooks run from the event loop: guarded, and the loop
    // ends whatever they do.
    const auto fail = [&](const QMError &error) {
        QMUncaughtExceptions::invokeGuarded("a request operation's failure hook",
                                            [&] { requestDidFailToConnectWithError(error); });
        loop.quit();
    };

    const auto send = [&](const QNetworkRequest &outgoing, const QString &verb,
                          const QByteArray &payload) {
        // Without a body nothing is uploaded, so no Content-Length goes out either.
        // HEAD goes through head(): only there does Qt know that the response has no body.
        QNetworkReply *reply = verb == u"HEAD"_s && payload.isNull() ? manager.head(outgoing)
                : payload.isNull() ? manager.sendCustomRequest(outgoing, verb.toLatin1())
                                   : manager.sendCustomRequest(outgoing, verb.toLatin1(), payload);
        replies.emplace_back(reply);
        following = false;
        headDelivered = false;
        received = 0;
        reply->setReadBufferSize(kReadBufferSize);
        // The reply is the context, and every reply is deleted before main() returns, so the
        // locals these handlers use by reference outlive every call.
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply,
                         [&, reply] { onHead(reply); }); // clazy:exclude=lambda-in-connect
        QObject::connect(reply, &QNetworkReply::readyRead, reply, [&, reply] {
            consume(reply, reply->readAll()); // clazy:exclude=lambda-in-connect
        });
        return reply;
    };

    const std::function<void(QNetworkReply *)> onFinished = [&](QNetworkReply *reply) {
        onHead(reply);
        if (reply->isOpen())
            consume(reply, reply->readAll());
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        bool aborted;
        {
            std::lock_guard lock(d->mutex);
            aborted = d->connectionCancelled;
            // A cancelled transfer keeps no response; a failed one keeps the head it had.
            if (aborted)
                d->response.reset();
            else if (status.isValid() && !stopError)
                d->response = responseOf(*reply);
        }
        if (aborted) {
            loop.quit();
            return;
        }
        if (stopError)
            return fail(*stopError);
        const qint64 code = status.toLongLong();
        if (following) {
            if (++redirects > kMaxRedirects)
                return fail(QMError(QMRESTAPINetworkErrorDomain,
                                    qint64(QNetworkReply::TooManyRedirectsError),
                                    {{QMLocalizedDescriptionKey, u"Too many redirects"_s}}));
            const QUrl location
                    = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
            QNetworkRequest next = request;
            next.setUrl(reply->url().resolved(location));
            // The credentials are the original server's: another server never sees them.
            if (!QMCommon::isSameOrigin(origin, next.url()))
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
            std::lock_guard lock(d->mutex);
            d->responseData = QByteArray();
            d->response.reset();
            if (d->connectionCancelled) {
                loop.quit();
                return;
            }
            d->reply = send(next, nextMethod, nextBody);
            QObject::connect(d->reply, &QNetworkReply::finished, d->reply,
                             [&, r = d->reply] { onFinished(r); });
            return;
        }
        const QNetworkReply::NetworkError error = reply->error();
        // Only the error Qt derives from an error status leaves the reply a response. Qt's
        // transfer time-out aborts the reply, so an abort the operation did not make (cancel
        // and stop() are handled above) is the time-out.
        if (!status.isValid() || (error != QNetworkReply::NoError && error != errorOfStatus(code)))
            return fail(error == QNetworkReply::OperationCanceledError
                                        || error == QNetworkReply::TimeoutError
                                ? timedOut(reply->url())
                                : errorOf(*reply));
        if (const std::optional<qint64> length = announcedLength(*reply);
            length && bodyLengthIsAnnounced(*reply, method, code) && *length != received)
            return fail(protocolFailure(
                    QCoreApplication::translate("QMRESTAPIRequestOperation",
                                                "The response body has %1 bytes, not the %2 "
                                                "that its Content-Length announced.")
                            .arg(received)
                            .arg(*length),
                    reply->url()));
        QMUncaughtExceptions::invokeGuarded("a request operation's response hook", [&] {
            requestDidReceiveResponse(response(), responseData());
        });
        loop.quit();
    };

    {
        std::lock_guard lock(d->mutex);
        if (!d->connectionCancelled) {
            d->reply = send(request, method, body);
            QObject::connect(d->reply, &QNetworkReply::finished, d->reply,
                             [&, r = d->reply] { onFinished(r); });
        }
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
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
    // The transfer has ended, whatever the hooks did about it.
    d->loading = false;
    // A shared manager outlives the request: its replies go now, not with the manager.
    for (const QPointer<QNetworkReply> &reply : replies)
        delete reply.data();
    QMUncaughtExceptions::invokeGuarded("a request operation's requestDidFinish()",
                                        [&] { requestDidFinish(); });
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
