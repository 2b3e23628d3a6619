// The request operation's own rules: what a new request holds, the authorization fields, and
// how the outcome hooks decide error() and isLoading(). Transfers against real servers are in
// RESTClientTest.cpp.

#include <QMFoundation/network/QMRESTAPIRequestOperation.h>

#include "support/Failures.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

const QUrl kURL(u"http://127.0.0.1:9/items"_s);

// Reaches the protected outcome steps, and maps error statuses as an API subclass would.
class ProbeOperation : public QMRESTAPIRequestOperation
{
public:
    using QMRESTAPIRequestOperation::QMRESTAPIRequestOperation;
    using QMRESTAPIRequestOperation::requestDidFailToConnectWithError;
    using QMRESTAPIRequestOperation::requestDidReceiveResponse;

    std::optional<QMError> validationError;
    std::optional<QMError> apiError;
    std::optional<QMError> parseError;
    QStringList calls;

protected:
    bool validateAPIResponse(const std::optional<QMHTTPURLResponse> &, const QByteArray &,
                             std::optional<QMError> *error) override
    {
        calls << u"validate"_s;
        if (!validationError)
            return true;
        *error = validationError;
        return false;
    }
    std::optional<QMError> handleAPIErrorResponse(const std::optional<QMHTTPURLResponse> &,
                                                  const QByteArray &data) override
    {
        calls << u"handleAPIError:"_s + QString::fromUtf8(data);
        return apiError;
    }
    bool parseResponseData(const QByteArray &data, std::optional<QMError> *error) override
    {
        calls << u"parse:"_s + QString::fromUtf8(data);
        *error = parseError;
        return !parseError;
    }
    QMError handleConnectionError(const QMError &error) override
    {
        calls << u"handleConnectionError"_s;
        return QMError(u"Wrapped"_s, error.code());
    }
};

} // namespace

TEST(RequestOperationTest, NewRequestsAndTheirAuthorizationFields)
{
    const auto operation = std::make_shared<QMRESTAPIRequestOperation>(kURL);
    const QNetworkRequest request = operation->request();
    EXPECT_EQ(operation->HTTPMethod(), u"GET"_s);
    EXPECT_EQ(request.transferTimeout(), 15000);
    EXPECT_EQ(operation->requestTimeoutInterval(), 15.0);
    EXPECT_EQ(request.attribute(QNetworkRequest::CookieLoadControlAttribute).toInt(),
              QNetworkRequest::Manual);
    EXPECT_EQ(request.attribute(QNetworkRequest::CookieSaveControlAttribute).toInt(),
              QNetworkRequest::Manual);
    EXPECT_EQ(operation->requestCachePolicy(), QNetworkRequest::PreferNetwork);
    EXPECT_TRUE(operation->HTTPBody().isNull());
    EXPECT_FALSE(operation->isLoading());
    EXPECT_FALSE(operation->response());
    EXPECT_TRUE(operation->responseData().isNull());
    EXPECT_EQ(QMRESTAPIRequestOperation(kURL, u"patch"_s).HTTPMethod(), u"patch"_s);

    // Base64 text longer than 72 characters still makes one line.
    const QString longUser = QString(60, u'u');
    operation->setBasicAuthorizationHeaderWithUsername(longUser, u"p\u00e4ss"_s);
    EXPECT_EQ(
            operation->valueForHTTPHeaderField(u"authorization"_s),
            u"Basic "_s
                    + QString::fromLatin1(QString(longUser + u":p\u00e4ss"_s).toUtf8().toBase64()));
    // A later field replaces the earlier one, whatever the spelling of its name.
    operation->setOAuthAuthorizationHeaderWithToken(u"ab\r\ncd\n"_s);
    EXPECT_EQ(operation->allHTTPHeaderFields(),
              (QMap<QString, QString> {{u"Authorization"_s, u"Bearer abcd"_s}}));
    operation->setValue(QString(), u"AUTHORIZATION"_s);
    EXPECT_TRUE(operation->allHTTPHeaderFields().isEmpty());

    EXPECT_FALSE(operation->hasNTLMCredentials());
    operation->setNTLMAuthorizationWithUsername(u"user"_s, u"secret"_s);
    EXPECT_TRUE(operation->hasNTLMCredentials());
    EXPECT_TRUE(operation->allHTTPHeaderFields().isEmpty());

    const std::pair<std::function<void()>, QString> preconditions[] = {
            {[] { QMRESTAPIRequestOperation {QUrl()}; }, u"URL"_s},
            {[&] { operation->setBasicAuthorizationHeaderWithUsername(QString(), u"p"_s); },
             u"username"_s},
            {[&] { operation->setBasicAuthorizationHeaderWithUsername(u"u"_s, QString()); },
             u"password"_s},
            {[&] { operation->setNTLMAuthorizationWithUsername(QString(), u"p"_s); },
             u"username"_s},
            {[&] { operation->setOAuthAuthorizationHeaderWithToken(QString()); }, u"token"_s},
    };
    for (const auto &[action, condition] : preconditions)
        EXPECT_EQ(failureOf(action), u"Invalid parameter not satisfying: "_s + condition);
}

TEST(RequestOperationTest, OutcomeHooksDecideTheError)
{
    const QMError validation(u"Validation"_s, 1);
    const QMError api(u"API"_s, 2);
    const QMError parse(u"Parse"_s, 3);
    struct Row
    {
        const char *name;
        qint64 status;
        bool failValidation;
        bool mapErrors;
        QStringList calls;
        std::optional<QMError> error;
    };
    const Row rows[] = {
            // Below 400 the body is parsed; the error parsing leaves is the outcome.
            {"200 parsed", 200, false, false, {u"validate"_s, u"parse:body"_s}, std::nullopt},
            {"299 parse fails", 299, false, true, {u"validate"_s, u"parse:body"_s}, parse},
            // From 400 on, the base maps nothing: the caller only sees the status.
            {"404 unmapped",
             404,
             false,
             false,
             {u"validate"_s, u"handleAPIError:body"_s},
             std::nullopt},
            {"500 mapped", 500, false, true, {u"validate"_s, u"handleAPIError:body"_s}, api},
            // Failed validation skips both.
            {"validation fails", 200, true, true, {u"validate"_s}, validation},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const auto operation = std::make_shared<ProbeOperation>(kURL);
        if (row.failValidation)
            operation->validationError = validation;
        if (row.mapErrors) {
            operation->apiError = api;
            operation->parseError = parse;
        }
        operation->_setResponseWithStatusCode(row.status, "body");
        ASSERT_TRUE(operation->response());
        EXPECT_EQ(operation->response()->URL, kURL);
        EXPECT_EQ(operation->response()->HTTPVersion, u"HTTP/1.1"_s);
        operation->requestDidReceiveResponse(operation->response(), operation->responseData());
        EXPECT_EQ(operation->calls, row.calls);
        EXPECT_EQ(operation->error().has_value(), row.error.has_value());
        if (row.error && operation->error()) {
            EXPECT_EQ(operation->error()->domain(), row.error->domain());
        }
        EXPECT_FALSE(operation->isLoading());
    }

    // A transfer failure goes through handleConnectionError().
    const auto failed = std::make_shared<ProbeOperation>(kURL);
    failed->requestDidFailToConnectWithError(QMError(QMRESTAPINetworkErrorDomain, 1));
    EXPECT_EQ(failed->calls, QStringList {u"handleConnectionError"_s});
    ASSERT_TRUE(failed->error());
    EXPECT_EQ(failed->error()->domain(), u"Wrapped"_s);
}
