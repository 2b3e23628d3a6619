#pragma once

#include <QMFoundation/QMFoundationNetworkExport.h>

#include <QMFoundation/network/QMRESTAPIRequestOperation.h>
#include <QMFoundation/network/QMRESTAPIResponse.h>

#include <QFuture>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class QMOperationQueue;
class QObject;

/// Which authorization a client applies to its requests.
enum QMRESTAPIAuthenticationMethod : quint64 {
    /// Basic, as QMRESTAPIAuthenticationMethodBasic.
    QMRESTAPIAuthenticationMethodDefault = 0,
    /// An "Authorization: Basic ..." field from userName and password.
    QMRESTAPIAuthenticationMethodBasic = 1,
    /// An "Authorization: Bearer ..." field from token.
    QMRESTAPIAuthenticationMethodOAuth = 2,
    /// userName and password answer the server's NTLM challenge.
    QMRESTAPIAuthenticationMethodNTLM = 3,
};

/// Which authorization to use, and with what. Any other method value applies none.
struct QMF_NETWORK_EXPORT QMRESTAPIAuthenticationCredentials
{
    /// A QMRESTAPIAuthenticationMethod.
    quint64 authenticationMethod = QMRESTAPIAuthenticationMethodDefault;
    /// The user name of Basic and NTLM.
    QString userName;
    /// The password of Basic and NTLM.
    QString password;
    /// The token of OAuth (Bearer).
    QString token;
};

/// A handle on one request of a client: look at it, cancel it or wait for it.
class QMF_NETWORK_EXPORT QMRESTAPIRequest
{
public:
    /// Throws "Invalid parameter not satisfying: requestOperation" without an operation.
    explicit QMRESTAPIRequest(std::shared_ptr<QMRESTAPIRequestOperation> requestOperation);
    QMRESTAPIRequest() = delete;

    /// The operation that carries the request.
    std::shared_ptr<QMRESTAPIRequestOperation> requestOperation() const;
    /// The request's URL, parameters included.
    QUrl URL() const;
    /// The request body as UTF-8 text; a null QString when there is none (or it is not UTF-8).
    QString body() const;
    /// The request's header fields.
    QMap<QString, QString> headers() const;
    /// True while the operation runs.
    bool isLoading() const;
    /// Called with isLoading() whenever it changes, on the thread that runs the operation.
    /// Returns a token for removeLoadingObserver().
    quint64 addLoadingObserver(std::function<void(bool loading)> observer);
    /// Removes the loading observer of `token`; an unknown token is ignored.
    void removeLoadingObserver(quint64 token);
    /// True once the request was cancelled.
    bool isCancelled() const;

    /// Cancels the operation (QMRESTAPIRequestOperation::cancel()); the completion handler still
    /// gets the response.
    void cancel();
    /// Blocks the calling thread until the operation has finished.
    void waitUntilFinished() const;

private:
    std::shared_ptr<QMRESTAPIRequestOperation> m_operation;
};

/// The entry point of the REST client: builds a request operation for a URL, parameters and a
/// method, applies the credentials, and runs it on the client's request queue.
///
/// Parameters go into the query for GET and DELETE, into a compact JSON body (with
/// "Content-Type: application/json" and "Content-Length") for POST, PUT and PATCH, and nowhere
/// for other methods; methods are recognised without regard to case and sent as given. The
/// completion handler gets a QMRESTAPIResponse on a thread of the request queue (never on the
/// main thread by itself), also for a cancelled request; whether the request succeeded is for
/// it to judge from `error` and `statusCode`.
///
/// Threads: the perform functions may be called from any thread and return at once.
/// The operations need a QCoreApplication (Qt's network stack does).
class QMF_NETWORK_EXPORT QMRESTAPIClient
{
public:
    /// Receives the outcome of a request.
    using CompletionHandler = std::function<void(const QMRESTAPIResponse &response)>;

    /// A client with a new request queue named QMMakeFoundationQueueName() of
    /// "RESTAPIClient.RequestQueue", wide enough for many requests waiting on their servers at
    /// once (defaultRequestQueueWidth()), and no credentials.
    QMRESTAPIClient();
    ~QMRESTAPIClient();
    QMRESTAPIClient(const QMRESTAPIClient &) = delete;
    QMRESTAPIClient &operator=(const QMRESTAPIClient &) = delete;

    /// How many requests a new client's queue runs at once: 16. A request mostly waits on the
    /// network, so the queue is wider than the machine's core count.
    static int defaultRequestQueueWidth();

    /// The queue requests run on.
    std::shared_ptr<QMOperationQueue> queue() const;
    /// Replaces the queue for the requests made from now on.
    void setQueue(std::shared_ptr<QMOperationQueue> queue);
    /// Applied to every request made while set.
    std::optional<QMRESTAPIAuthenticationCredentials> credentials() const;
    /// Sets or, with std::nullopt, removes the credentials of the requests made from now on.
    void setCredentials(const std::optional<QMRESTAPIAuthenticationCredentials> &credentials);
    /// The maximum response size of every request the perform functions make while set
    /// (QMRESTAPIRequestOperation::setMaximumResponseSize()); the operation's default,
    /// QMRESTAPIRequestOperation::defaultMaximumResponseSize(), for a new client. Throws
    /// "Invalid parameter not satisfying: maximumResponseSize > 0" for a size of 0 or less.
    qint64 maximumResponseSize() const;
    /// Sets the maximum response size of the requests made from now on.
    void setMaximumResponseSize(qint64 maximumResponseSize);

    /// Adds `operation` to the queue and returns a handle on it.
    std::shared_ptr<QMRESTAPIRequest>
    enqueueOperation(const std::shared_ptr<QMRESTAPIRequestOperation> &operation);

    /// Builds, configures and enqueues a request; see the class comment. Throws
    /// QMInternalInconsistencyException (with no message) when the credentials lack what their
    /// method needs, and "Not a valid JSON object: PARAMS => ERROR" when body parameters cannot
    /// be written as JSON; nothing is queued then.
    std::shared_ptr<QMRESTAPIRequest>
    performRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                          const QString &HTTPMethod, CompletionHandler completionHandler = {});
    /// performRequestWithURL() with "GET".
    std::shared_ptr<QMRESTAPIRequest>
    performGETRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                             CompletionHandler completionHandler = {});
    /// performRequestWithURL() with "POST".
    std::shared_ptr<QMRESTAPIRequest>
    performPOSTRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                              CompletionHandler completionHandler = {});
    /// performRequestWithURL() with "PUT".
    std::shared_ptr<QMRESTAPIRequest>
    performPUTRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                             CompletionHandler completionHandler = {});

    /// performRequestWithURL() with the handler delivered on `context`'s thread (at once when
    /// the request ends there, else through its event loop), and never once `context` has been
    /// destroyed, as a QObject::connect() with a context delivers. An exception the handler
    /// throws goes to QMUncaughtExceptions. Throws as performRequestWithURL() does, and
    /// "Invalid parameter not satisfying: context" without a context.
    std::shared_ptr<QMRESTAPIRequest>
    performRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                          const QString &HTTPMethod, QObject *context,
                          CompletionHandler completionHandler);
    /// The context form of performRequestWithURL() with "GET".
    std::shared_ptr<QMRESTAPIRequest>
    performGETRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                             QObject *context, CompletionHandler completionHandler);
    /// The context form of performRequestWithURL() with "POST".
    std::shared_ptr<QMRESTAPIRequest>
    performPOSTRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                              QObject *context, CompletionHandler completionHandler);
    /// The context form of performRequestWithURL() with "PUT".
    std::shared_ptr<QMRESTAPIRequest>
    performPUTRequestWithURL(const QUrl &URL, const std::optional<QVariantMap> &params,
                             QObject *context, CompletionHandler completionHandler);

    /// performRequestWithURL() as a future: it resolves with the response the completion
    /// handler would get. A response is a result whatever it holds: an HTTP error status, and
    /// also a transfer failure (refused connection, time-out, a body too large), which the
    /// response carries in `error` as the handler sees it; the future fails only with an
    /// exception nothing else catches. Cancelling the future cancels the request
    /// (QMRESTAPIRequest::cancel()), and the future reads as cancelled; so does a request
    /// cancelled through its operation. Throws, before anything is queued, as
    /// performRequestWithURL() does. Needs a QCoreApplication, as every request does.
    QFuture<QMRESTAPIResponse> performRequestAsync(const QUrl &URL,
                                                   const std::optional<QVariantMap> &params,
                                                   const QString &HTTPMethod);
    /// performRequestAsync() with "GET".
    QFuture<QMRESTAPIResponse> performGETRequestAsync(const QUrl &URL,
                                                      const std::optional<QVariantMap> &params);
    /// performRequestAsync() with "POST".
    QFuture<QMRESTAPIResponse> performPOSTRequestAsync(const QUrl &URL,
                                                       const std::optional<QVariantMap> &params);
    /// performRequestAsync() with "PUT".
    QFuture<QMRESTAPIResponse> performPUTRequestAsync(const QUrl &URL,
                                                      const std::optional<QVariantMap> &params);

    /// Returns when the queue holds no operation, serving the calling thread's event loop in
    /// steps of a millisecond meanwhile (so that work posted to that thread still runs).
    void waitUntilFinished() const;

    /// Sets the operation's completion block to build a QMRESTAPIResponse and hand it to
    /// `completionHandler`. The block holds the operation weakly. An exception the handler
    /// throws goes to QMUncaughtExceptions.
    static void configureDefaultCompletionBlockForOperation(
            const std::shared_ptr<QMRESTAPIRequestOperation> &operation,
            CompletionHandler completionHandler);
    /// Applies the authorization of `credentials`; nothing without credentials.
    static void configureAuthorizationForOperation(
            const std::shared_ptr<QMRESTAPIRequestOperation> &operation,
            const std::optional<QMRESTAPIAuthenticationCredentials> &credentials);
    /// Writes `params` as the body: compact JSON when `contentType` contains "application/json"
    /// (in any case), else their URL-encoded query string; then sets "Content-Type" and
    /// "Content-Length". Nothing without parameters.
    static void
    setRequestBodyOfOperation(const std::shared_ptr<QMRESTAPIRequestOperation> &operation,
                              const std::optional<QVariantMap> &params, const QString &contentType);

private:
    class Private;
    std::unique_ptr<Private> d;
};
