#include <QMFoundation/network/QMRESTAPIClient.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMObjectDescribing.h>
#include <QMFoundation/errors/QMUncaughtExceptions.h>
#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/operations/QMAsyncContext.h>
#include <QMFoundation/operations/QMOperationQueue.h>
#include <QMFoundation/operations/QMQueueManager.h>
#include <QMFoundation/rest/HTTPMethods.h>
#include <QMFoundation/rest/QMCommon.h>
#include <QMFoundation/rest/QMURLEncoding.h>
#include <QMFoundation/text/JSONTranscoding.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <mutex>

using namespace Qt::StringLiterals;

QMRESTAPIRequest::QMRESTAPIRequest(std::shared_ptr<QMRESTAPIRequestOperation> requestOperation)
    : m_operation(std::move(requestOperation))
{
    QMParameterAssert(m_operation != nullptr, "requestOperation");
}

std::shared_ptr<QMRESTAPIRequestOperation> QMRESTAPIRequest::requestOperation() const
{
    return m_operation;
}

QUrl QMRESTAPIRequest::URL() const
{
    return m_operation->URL();
}

QString QMRESTAPIRequest::body() const
{
    const QByteArray body = m_operation->HTTPBody();
    return body.isNull() ? QString() : QMStringDecoding::stringUsingUTF8Encoding(body);
}

QMap<QString, QString> QMRESTAPIRequest::headers() const
{
    return m_operation->allHTTPHeaderFields();
}

bool QMRESTAPIRequest::isLoading() const
{
    return m_operation->isExecuting();
}

quint64 QMRESTAPIRequest::addLoadingObserver(std::function<void(bool)> observer)
{
    return m_operation->addExecutingObserver(std::move(observer));
}

void QMRESTAPIRequest::removeLoadingObserver(quint64 token)
{
    m_operation->removeExecutingObserver(token);
}

bool QMRESTAPIRequest::isCancelled() const
{
    return m_operation->isCancelled();
}

void QMRESTAPIRequest::cancel()
{
    m_operation->cancel();
}

void QMRESTAPIRequest::waitUntilFinished() const
{
    m_operation->waitUntilFinished();
}

class QMRESTAPIClient::Private
{
public:
    mutable std::mutex mutex;
    std::shared_ptr<QMOperationQueue> queue;
    std::optional<QMRESTAPIAuthenticationCredentials> credentials;
    qint64 maximumResponseSize = QMRESTAPIRequestOperation::defaultMaximumResponseSize();

    /// A request operation for the URL, parameters and method, with the client's settings.
    std::shared_ptr<QMRESTAPIRequestOperation>
    makeOperation(const QUrl &URL, const std::optional<QVariantMap> &params,
                  const QString &HTTPMethod) const;
};

QMRESTAPIClient::QMRESTAPIClient()
    : d(std::make_unique<Private>())
{
    d->queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(defaultRequestQueueWidth());
    d->queue->setName(QMMakeFoundationQueueName(u"RESTAPIClient.RequestQueue"_s));
}

QMRESTAPIClient::~QMRESTAPIClient() = default;

int QMRESTAPIClient::defaultRequestQueueWidth()
{
    return 16;
}

std::shared_ptr<QMOperationQueue> QMRESTAPIClient::queue() const
{
    std::lock_guard lock(d->mutex);
    return d->queue;
}

void QMRESTAPIClient::setQueue(std::shared_ptr<QMOperationQueue> queue)
{
    std::lock_guard lock(d->mutex);
    d->queue = std::move(queue);
}

std::optional<QMRESTAPIAuthenticationCredentials> QMRESTAPIClient::credentials() const
{
    std::lock_guard lock(d->mutex);
    return d->credentials;
}

void QMRESTAPIClient::setCredentials(
        const std::optional<QMRESTAPIAuthenticationCredentials> &credentials)
{
    std::lock_guard lock(d->mutex);
    d->credentials = credentials;
}

qint64 QMRESTAPIClient::maximumResponseSize() const
{
    std::lock_guard lock(d->mutex);
    return d->maximumResponseSize;
}

void QMRESTAPIClient::setMaximumResponseSize(qint64 maximumResponseSize)
{
    QMParameterAssert(maximumResponseSize > 0, "maximumResponseSize > 0");
    std::lock_guard lock(d->mutex);
    d->maximumResponseSize = maximumResponseSize;
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::enqueueOperation(const std::shared_ptr<QMRESTAPIRequestOperation> &operation)
{
    queue()->addOperation(operation);
    return std::make_shared<QMRESTAPIRequest>(operation);
}

std::shared_ptr<QMRESTAPIRequestOperation>
QMRESTAPIClient::Private::makeOperation(const QUrl &URL, const std::optional<QVariantMap> &params,
                                        const QString &HTTPMethod) const
{
    const bool inQuery
            = HTTPMethods::isGETMethod(HTTPMethod) || HTTPMethods::isDELETEMethod(HTTPMethod);
    const bool inBody = HTTPMethods::isPOSTMethod(HTTPMethod)
            || HTTPMethods::isPUTMethod(HTTPMethod) || HTTPMethods::isPATCHMethod(HTTPMethod);
    const QUrl target = inQuery && params ? QMCommon::URLByAppendingQueryParams(URL, *params) : URL;
    const auto operation = std::make_shared<QMRESTAPIRequestOperation>(target, HTTPMethod);
    std::optional<QMRESTAPIAuthenticationCredentials> current;
    {
        std::lock_guard lock(mutex);
        operation->setMaximumResponseSize(maximumResponseSize);
        current = credentials;
    }
    if (inBody)
        setRequestBodyOfOperation(operation, params, u"application/json"_s);
    if (current)
        configureAuthorizationForOperation(operation, current);
    return operation;
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                                       const QString &HTTPMethod,
                                       CompletionHandler completionHandler)
{
    const auto operation = d->makeOperation(URL, params, HTTPMethod);
    if (completionHandler)
        configureDefaultCompletionBlockForOperation(operation, std::move(completionHandler));
    return enqueueOperation(operation);
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                                       const QString &HTTPMethod, QObject *context,
                                       CompletionHandler completionHandler)
{
    const QMAsync::ContextBinding binding(context);
    CompletionHandler delivered;
    if (completionHandler) {
        delivered = [binding, completionHandler = std::move(completionHandler)](
                            const QMRESTAPIResponse &response) {
            binding.invoke([completionHandler, response] { completionHandler(response); },
                           "a REST client's completion handler");
        };
    }
    return performRequestWithURL(URL, params, HTTPMethod, std::move(delivered));
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performGETRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                                          QObject *context, CompletionHandler completionHandler)
{
    return performRequestWithURL(URL, params, u"GET"_s, context, std::move(completionHandler));
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performPOSTRequestWithURL(const QUrl &URL,
                                           const std::optional<QVariantMap> &params,
                                           QObject *context, CompletionHandler completionHandler)
{
    return performRequestWithURL(URL, params, u"POST"_s, context, std::move(completionHandler));
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performPUTRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                                          QObject *context, CompletionHandler completionHandler)
{
    return performRequestWithURL(URL, params, u"PUT"_s, context, std::move(completionHandler));
}

QFuture<QMRESTAPIResponse>
QMRESTAPIClient::performRequestAsync(const QUrl &URL, const std::optional<QVariantMap> &params,
                                     const QString &HTTPMethod)
{
    const auto operation = d->makeOperation(URL, params, HTTPMethod);
    const QMAsync::Promise<QMRESTAPIResponse> promise;
    const std::weak_ptr<QMRESTAPIRequestOperation> weakOperation = operation;
    configureDefaultCompletionBlockForOperation(
            operation, [promise, weakOperation](const QMRESTAPIResponse &response) {
                const std::shared_ptr<QMRESTAPIRequestOperation> ended = weakOperation.lock();
                if (promise.cancellation().isCanceled() || !ended || ended->isCancelled())
                    promise.cancel();
                else
                    promise.resolve(response);
            });
    // The handler holds the operation weakly: once the request has ended it lets go of it.
    promise.cancellation().setHandler([weakOperation] {
        if (const std::shared_ptr<QMRESTAPIRequestOperation> running = weakOperation.lock())
            running->cancel();
    });
    const QFuture<QMRESTAPIResponse> future = promise.future();
    enqueueOperation(operation);
    return future;
}

QFuture<QMRESTAPIResponse>
QMRESTAPIClient::performGETRequestAsync(const QUrl &URL, const std::optional<QVariantMap> &params)
{
    return performRequestAsync(URL, params, u"GET"_s);
}

QFuture<QMRESTAPIResponse>
QMRESTAPIClient::performPOSTRequestAsync(const QUrl &URL, const std::optional<QVariantMap> &params)
{
    return performRequestAsync(URL, params, u"POST"_s);
}

QFuture<QMRESTAPIResponse>
QMRESTAPIClient::performPUTRequestAsync(const QUrl &URL, const std::optional<QVariantMap> &params)
{
    return performRequestAsync(URL, params, u"PUT"_s);
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performGETRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                                          CompletionHandler completionHandler)
{
    return performRequestWithURL(URL, params, u"GET"_s, std::move(completionHandler));
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performPOSTRequestWithURL(const QUrl &URL,
                                           const std::optional<QVariantMap> &params,
                                           CompletionHandler completionHandler)
{
    return performRequestWithURL(URL, params, u"POST"_s, std::move(completionHandler));
}

std::shared_ptr<QMRESTAPIRequest>
QMRESTAPIClient::performPUTRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                                          CompletionHandler completionHandler)
{
    return performRequestWithURL(URL, params, u"PUT"_s, std::move(completionHandler));
}

void QMRESTAPIClient::waitUntilFinished() const
{
    const std::shared_ptr<QMOperationQueue> requests = queue();
    if (requests->operationCount() == 0)
        return;
    if (!QCoreApplication::instance()) {
        requests->waitUntilAllOperationsAreFinished();
        return;
    }
    QEventLoop loop;
    QTimer step;
    step.setSingleShot(true);
    QObject::connect(&step, &QTimer::timeout, &loop, &QEventLoop::quit);
    while (requests->operationCount() > 0) {
        step.start(1);
        loop.exec();
    }
}

void QMRESTAPIClient::configureDefaultCompletionBlockForOperation(
        const std::shared_ptr<QMRESTAPIRequestOperation> &operation,
        CompletionHandler completionHandler)
{
    const std::weak_ptr<QMRESTAPIRequestOperation> weakOperation = operation;
    operation->setCompletionBlock([weakOperation, completionHandler] {
        const std::shared_ptr<QMRESTAPIRequestOperation> finished = weakOperation.lock();
        QMRESTAPIResponse response;
        if (finished) {
            if (const std::optional<QMHTTPURLResponse> received = finished->response()) {
                response.statusCode = received->statusCode;
                response.headers = received->allHeaderFields;
            }
            const QByteArray data = finished->responseData();
            const QString body = QMStringDecoding::stringUsingUTF8Encoding(data);
            if (!data.isNull() && !body.isNull())
                response.body = body;
            response.error = finished->error();
        }
        QMUncaughtExceptions::invokeGuarded("a REST client's completion handler",
                                            [&] { completionHandler(response); });
    });
}

void QMRESTAPIClient::configureAuthorizationForOperation(
        const std::shared_ptr<QMRESTAPIRequestOperation> &operation,
        const std::optional<QMRESTAPIAuthenticationCredentials> &credentials)
{
    if (!credentials)
        return;
    const auto require = [](bool satisfied) {
        if (!satisfied)
            throw QMInternalInconsistencyException(QString());
    };
    switch (credentials->authenticationMethod) {
    case QMRESTAPIAuthenticationMethodDefault:
    case QMRESTAPIAuthenticationMethodBasic:
        require(!credentials->userName.isNull() && !credentials->password.isNull());
        operation->setBasicAuthorizationHeaderWithUsername(credentials->userName,
                                                           credentials->password);
        break;
    case QMRESTAPIAuthenticationMethodOAuth:
        require(!credentials->token.isNull());
        operation->setOAuthAuthorizationHeaderWithToken(credentials->token);
        break;
    case QMRESTAPIAuthenticationMethodNTLM:
        require(!credentials->userName.isNull() && !credentials->password.isNull());
        operation->setNTLMAuthorizationWithUsername(credentials->userName, credentials->password);
        break;
    default:
        break;
    }
}

void QMRESTAPIClient::setRequestBodyOfOperation(
        const std::shared_ptr<QMRESTAPIRequestOperation> &operation,
        const std::optional<QVariantMap> &params, const QString &contentType)
{
    if (!params)
        return;
    QByteArray body;
    if (contentType.contains(u"application/json"_s, Qt::CaseInsensitive)) {
        QMError error;
        body = JSONTranscoding::dataUsingJSONEncoding(*params, &error);
        if (body.isNull()) {
            throw QMInternalInconsistencyException(u"Not a valid JSON object: %1 => %2"_s.arg(
                    QMObjectDescribing::prettyDescriptionForObject(*params),
                    QMObjectDescribing::prettyDescriptionForObject(QVariant::fromValue(error))));
        }
    } else {
        body = QMURLEncoding::URLEncodedQueryString(*params).toUtf8();
    }
    operation->setHTTPBody(body);
    operation->setValue(contentType, u"Content-Type"_s);
    operation->setValue(QString::number(body.size()), u"Content-Length"_s);
}
