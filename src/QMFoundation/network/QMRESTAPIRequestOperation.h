#pragma once

#include <QMFoundation/QMFoundationNetworkExport.h>

#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/network/QMHTTPURLResponse.h>
#include <QMFoundation/operations/QMBaseOperation.h>

#include <QByteArray>
#include <QMap>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class QMOperationQueue;

/// The error domain of transfer failures. The code is Qt's QNetworkReply::NetworkError with
/// Qt's text for it as the localized description, except for the failures below, which the
/// library detects itself and describes in its own words.
QMF_NETWORK_EXPORT extern const QString QMRESTAPINetworkErrorDomain;

/// Codes of QMRESTAPINetworkErrorDomain with a meaning of the library's own.
enum QMRESTAPINetworkErrorCode : qint64 {
    /// No progress for the request's time-out: Qt's QNetworkReply::TimeoutError, with the text
    /// "The request timed out." (A cancel is no error at all; see cancel().)
    QMRESTAPINetworkErrorTimedOut = 4,
    /// The peer broke the protocol: a status code outside 100-599, Content-Length fields that
    /// disagree, or a body whose length contradicts its Content-Length. Qt's
    /// QNetworkReply::ProtocolFailure, with a text that names the fault.
    QMRESTAPINetworkErrorProtocolFailure = 399,
    /// The body grew past maximumResponseSize(); the transfer was aborted there.
    QMRESTAPINetworkErrorResponseTooLarge = 1000,
};

/// One HTTP request, performed inside main() of an operation that a queue runs.
///
/// The operation owns the request it will send: a QNetworkRequest (URL, header fields, transfer
/// time-out, cache policy; cookies are neither sent nor stored), a method and a body. Change them
/// before the operation starts. main() sends the request through a QNetworkAccessManager that
/// lives on main()'s thread and waits in a local event loop until the transfer has ended; then
/// response(), responseData() and error() hold the outcome. Subclasses validate and parse the
/// outcome through the hooks at the end.
///
/// Ending: exactly one of the outcome (requestDidReceiveResponse()), the failure
/// (requestDidFailToConnectWithError()) or cancel() ends a transfer and turns isLoading() false.
/// An HTTP status of 400 or more is an outcome like any other: the base class leaves error()
/// unset (a subclass maps such responses in handleAPIErrorResponse()). A failure is never an
/// outcome: any error of the reply other than the one Qt derives from an error status (a body
/// cut short, one that does not decompress, a stalled transfer) fails the request, and so do a
/// status code outside 100-599, Content-Length fields that disagree and a body whose length
/// contradicts its Content-Length (see QMRESTAPINetworkErrorCode). What Qt 6.4 itself accepts
/// and hides from the library (malformed chunk sizes, for one) cannot be detected.
///
/// Bounds: the body the operation keeps in responseData() is at most maximumResponseSize()
/// bytes (defaultMaximumResponseSize() unless set); a longer one aborts the transfer with
/// QMRESTAPINetworkErrorResponseTooLarge. The streaming form keeps nothing: with
/// setResponseDataHandler() the body goes to the handler chunk by chunk as it arrives, is not
/// limited, and responseData() stays null. The transfer time-out counts time without progress,
/// so a body that trickles on never times out: bound it with the maximum response size.
///
/// Authentication: setBasicAuthorizationHeaderWithUsername() and
/// setOAuthAuthorizationHeaderWithToken() set the "Authorization" field; it goes to the
/// request's own host and port only, never to another one that a redirect leads to.
/// setNTLMAuthorizationWithUsername() keeps a credential that answers the server's first NTLM
/// challenge; a second challenge for the same request (a wrong password) is answered with no
/// credential, so the request ends with the server's 401.
///
/// Server trust: a TLS peer whose certificate does not verify fails the request, unless
/// trustsServer() is set (the certificate is accepted and its SHA-256 digest kept as
/// serverTrustExceptionCookie()) or serverTrustExceptionCookie() names that very certificate.
///
/// Threads: every member may be called from any thread. The hooks run on main()'s thread, with
/// no lock of the operation held; an exception that leaves one there goes to
/// QMUncaughtExceptions and the transfer ends as if the hook had returned.
class QMF_NETWORK_EXPORT QMRESTAPIRequestOperation : public QMBaseOperation
{
public:
    /// Throws "Invalid parameter not satisfying: URL" for an empty URL.
    explicit QMRESTAPIRequestOperation(const QUrl &URL);
    /// A null `HTTPMethod` keeps the default, "GET".
    QMRESTAPIRequestOperation(const QUrl &URL, const QString &HTTPMethod);
    ~QMRESTAPIRequestOperation() override;

    // The request.
    /// The request as Qt's network stack sends it.
    QNetworkRequest request() const;
    /// Replaces the request; set it before the operation starts.
    void setRequest(const QNetworkRequest &request);
    /// The request's URL.
    QUrl URL() const;
    /// The method, sent as given; "GET" unless given at construction or set.
    QString HTTPMethod() const;
    /// Sets the method, sent as given.
    void setHTTPMethod(const QString &method);
    /// Null when the request has no body.
    QByteArray HTTPBody() const;
    /// Sets the body; a null QByteArray sends none.
    void setHTTPBody(const QByteArray &body);
    /// Sets a header field, replacing an earlier value of it; a null value removes the field.
    void setValue(const QString &value, const QString &HTTPHeaderField);
    /// Null when the field is not set.
    QString valueForHTTPHeaderField(const QString &field) const;
    /// Every header field set, by name.
    QMap<QString, QString> allHTTPHeaderFields() const;

    /// How the request uses a cache: PreferNetwork, which follows the protocol's own rules.
    /// Read once, by main(), before it takes any lock: an override may call the other members.
    virtual QNetworkRequest::CacheLoadControl requestCachePolicy() const;
    /// The transfer time-out in seconds: 15. A transfer without progress for that long fails
    /// with QMRESTAPINetworkErrorTimedOut. Read once, by main(), before it takes any lock, and
    /// checked: see timeoutMilliseconds().
    virtual double requestTimeoutInterval() const;
    /// The time-out main() applies for `seconds`: rounded to whole milliseconds, at least 1 ms
    /// and at most maximumTimeoutInterval(); a value that is not finite or not above 0 (NaN,
    /// infinities, 0, negatives) is refused and the default 15 s applies instead. A transfer
    /// time-out of 0 or less in request() (Qt's "none") is refused the same way: every
    /// request ends within a time-out.
    static int timeoutMilliseconds(double seconds);
    /// The longest time-out: one day.
    static double maximumTimeoutInterval();

    /// The largest body the operation keeps: 64 MiB unless set.
    static qint64 defaultMaximumResponseSize();
    /// Bytes of body the operation keeps at most; see the class comment. Throws "Invalid
    /// parameter not satisfying: maximumResponseSize > 0" for a size of 0 or less.
    qint64 maximumResponseSize() const;
    /// Sets the maximum response size; see maximumResponseSize().
    void setMaximumResponseSize(qint64 maximumResponseSize);

    /// Called with the final response's head (status, header fields) once it has arrived,
    /// before any of its body; not for the redirects the operation follows.
    using ResponseHeadHandler = std::function<void(const QMHTTPURLResponse &response)>;
    /// Called with each piece of the final response's body as it arrives.
    using ResponseDataHandler = std::function<void(const QByteArray &chunk)>;
    /// Both run on main()'s thread, outside any lock of the operation, and may call cancel().
    /// Set them before the operation starts. An exception they throw goes to
    /// QMUncaughtExceptions; the transfer goes on.
    void setResponseHeadHandler(ResponseHeadHandler handler);
    /// The streaming form: the body goes to `handler` and is not kept. An empty handler keeps
    /// the body again.
    void setResponseDataHandler(ResponseDataHandler handler);

    /// Sets "Authorization" to "Basic " and the Base64 text of "username:password" (UTF-8), on
    /// one line however long. Throws "Invalid parameter not satisfying: username" (or
    /// "password") for a null argument.
    void setBasicAuthorizationHeaderWithUsername(const QString &username, const QString &password);
    /// Sets "Authorization" to "Bearer " and the token, without any "\r" or "\n". Throws
    /// "Invalid parameter not satisfying: token" for a null token.
    void setOAuthAuthorizationHeaderWithToken(const QString &token);
    /// Keeps a credential for the server's NTLM challenge; sets no header. Throws as
    /// setBasicAuthorizationHeaderWithUsername() does.
    void setNTLMAuthorizationWithUsername(const QString &username, const QString &password);
    /// True once setNTLMAuthorizationWithUsername() has kept a credential.
    bool hasNTLMCredentials() const;

    /// Whether a TLS peer whose certificate does not verify is accepted (see the class comment);
    /// false unless set.
    bool trustsServer() const;
    /// Sets whether unverified servers are accepted.
    void setTrustsServer(bool trustsServer);
    /// Opaque: the SHA-256 digest of the DER form of the certificate it accepts.
    std::optional<QByteArray> serverTrustExceptionCookie() const;
    /// Sets the certificate to accept, as serverTrustExceptionCookie() gives it; std::nullopt
    /// accepts none.
    void setServerTrustExceptionCookie(const std::optional<QByteArray> &cookie);

    // The outcome.
    /// True from the start of main() until the transfer has ended.
    bool isLoading() const;
    /// The last response received; none before it arrives.
    std::optional<QMHTTPURLResponse> response() const;
    /// The body received so far; null when none arrived.
    QByteArray responseData() const;
    /// The error the request ended with: a transfer failure, or what validateAPIResponse(),
    /// parseResponseData() or handleAPIErrorResponse() left; std::nullopt when there is none.
    std::optional<QMError> error() const;
    /// Records `error`, or clears the record with std::nullopt.
    void setError(const std::optional<QMError> &error);

    /// Sends the request and waits for its end; see the class comment.
    void main() override;
    /// Stops the transfer (also one not started yet), cancels the operation, then calls
    /// requestDidCancel(). From any thread. A cancel is not a failure: error() stays as it was
    /// (none in the base class) and no response is kept.
    void cancel() override;

    /// Runs the operation on the calling thread: start(), then waitUntilFinished(). True when
    /// error() is none afterwards; otherwise the error goes to `error`.
    bool execute(QMError *error = nullptr);
    /// Makes the operation hold a response with `statusCode` (version "HTTP/1.1", no header
    /// fields, the request's URL) and `data` as its body, as if a server had sent them.
    void _setResponseWithStatusCode(qint64 statusCode, const QByteArray &data);

protected:
    /// At the end of cancel(): turns isLoading() false.
    virtual void requestDidCancel();
    /// When the transfer fails: error() becomes handleConnectionError(error); then isLoading()
    /// turns false.
    virtual void requestDidFailToConnectWithError(const QMError &error);
    /// When the whole body has arrived: validateAPIResponse(), then parseResponseData() below
    /// status 400 or handleAPIErrorResponse() from 400 on; the error they leave becomes error();
    /// then isLoading() turns false.
    virtual void requestDidReceiveResponse(const std::optional<QMHTTPURLResponse> &response,
                                           const QByteArray &data);
    /// The last step of main(). Does nothing.
    virtual void requestDidFinish();
    /// Returns `error` unchanged.
    virtual QMError handleConnectionError(const QMError &error);
    /// Returns true and leaves `error` alone.
    virtual bool validateAPIResponse(const std::optional<QMHTTPURLResponse> &response,
                                     const QByteArray &data, std::optional<QMError> *error);
    /// Returns none.
    virtual std::optional<QMError>
    handleAPIErrorResponse(const std::optional<QMHTTPURLResponse> &response,
                           const QByteArray &data);
    /// Returns true and leaves `error` alone.
    virtual bool parseResponseData(const QByteArray &data, std::optional<QMError> *error);

private:
    class Private;
    std::unique_ptr<Private> d;
};
