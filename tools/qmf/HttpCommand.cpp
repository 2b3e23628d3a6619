#include "HttpCommand.h"

#include "LoopbackHTTPServer.h"

#include <QMFoundation/network/QMRESTAPIClient.h>
#include <QMFoundation/operations/QMOperationQueue.h>
#include <QMFoundation/rest/QMCommon.h>
#include <QMFoundation/rest/QMRESTAPILinkHeaderParser.h>

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const QStringList knownMethods {u"GET"_s,   u"HEAD"_s,   u"POST"_s,   u"PUT"_s,
                                u"PATCH"_s, u"DELETE"_s, u"OPTIONS"_s};

// Option values may come back null for an empty argument; the credentials must not be null.
QString nonNull(const QVariant &value)
{
    const QString text = value.toString();
    return text.isNull() ? u""_s : text;
}

void writeHead(QTextStream &out, const QMHTTPURLResponse &response, bool withHeaderFields)
{
    out << HttpCommand::statusLine(response.HTTPVersion, response.statusCode, response.reasonPhrase)
        << '\n';
    if (withHeaderFields) {
        for (const QString &line : HttpCommand::headerFieldLines(response))
            out << line << '\n';
    }
    out << '\n';
    out.flush();
}

QString failure(const HttpCommand::Exchange &exchange)
{
    return exchange.error ? exchange.error->localizedDescription() : u"no response"_s;
}

} // namespace

QString HttpCommand::standardReasonPhrase(qint64 code)
{
    static const QHash<qint64, QString> phrases {
            {100, u"Continue"_s},
            {101, u"Switching Protocols"_s},
            {200, u"OK"_s},
            {201, u"Created"_s},
            {202, u"Accepted"_s},
            {203, u"Non-Authoritative Information"_s},
            {204, u"No Content"_s},
            {205, u"Reset Content"_s},
            {206, u"Partial Content"_s},
            {300, u"Multiple Choices"_s},
            {301, u"Moved Permanently"_s},
            {302, u"Found"_s},
            {303, u"See Other"_s},
            {304, u"Not Modified"_s},
            {307, u"Temporary Redirect"_s},
            {308, u"Permanent Redirect"_s},
            {400, u"Bad Request"_s},
            {401, u"Unauthorized"_s},
            {402, u"Payment Required"_s},
            {403, u"Forbidden"_s},
            {404, u"Not Found"_s},
            {405, u"Method Not Allowed"_s},
            {406, u"Not Acceptable"_s},
            {407, u"Proxy Authentication Required"_s},
            {408, u"Request Timeout"_s},
            {409, u"Conflict"_s},
            {410, u"Gone"_s},
            {411, u"Length Required"_s},
            {412, u"Precondition Failed"_s},
            {413, u"Content Too Large"_s},
            {414, u"URI Too Long"_s},
            {415, u"Unsupported Media Type"_s},
            {416, u"Range Not Satisfiable"_s},
            {417, u"Expectation Failed"_s},
            {421, u"Misdirected Request"_s},
            {422, u"Unprocessable Content"_s},
            {426, u"Upgrade Required"_s},
            {428, u"Precondition Required"_s},
            {429, u"Too Many Requests"_s},
            {431, u"Request Header Fields Too Large"_s},
            {451, u"Unavailable For Legal Reasons"_s},
            {500, u"Internal Server Error"_s},
            {501, u"Not Implemented"_s},
            {502, u"Bad Gateway"_s},
            {503, u"Service Unavailable"_s},
            {504, u"Gateway Timeout"_s},
            {505, u"HTTP Version Not Supported"_s},
    };
    return phrases.value(code);
}

QString HttpCommand::escapedFieldText(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\r')
            escaped += u"\\r"_s;
        else if (u == u'\n')
            escaped += u"\\n"_s;
        else if ((u < 0x20 && u != u'\t') || u == 0x7f)
            escaped += u"\\x%1"_s.arg(int(u), 2, 16, QChar(u'0'));
        else
            escaped += c;
    }
    return escaped;
}

QStringList HttpCommand::headerFieldLines(const QMHTTPURLResponse &response)
{
    QStringList lines;
    for (auto field = response.allHeaderFields.cbegin(); field != response.allHeaderFields.cend();
         ++field) {
        // A line feed never comes inside a received value: it is how Qt joins the instances of
        // "Set-Cookie", each of which gets its own line here.
        for (const QString &instance : field.value().split(u'\n'))
            lines << escapedFieldText(field.key()) + u": "_s + escapedFieldText(instance);
    }
    return lines;
}

QString HttpCommand::statusLine(const QString &version, qint64 code, const QString &reason)
{
    const QString phrase = reason.isEmpty() ? standardReasonPhrase(code) : reason;
    QString line = version + u' ' + QString::number(code);
    if (!phrase.isEmpty())
        line += u' ' + phrase;
    return line;
}

HttpCommand::Exchange HttpCommand::perform(QMRESTAPIClient &client, const QString &method,
                                           const QUrl &URL,
                                           const std::optional<QVariantMap> &params,
                                           bool trustsServer, const Configure &configure)
{
    // The client enqueues the request at once: a width of 0 holds it back until its operation
    // trusts the server as asked.
    const std::shared_ptr<QMOperationQueue> queue = client.queue();
    queue->setMaxConcurrentOperationCount(0);
    const std::shared_ptr<QMRESTAPIRequestOperation> operation
            = client.performRequestWithURL(URL, params, method)->requestOperation();
    operation->setTrustsServer(trustsServer);
    if (configure)
        configure(*operation);
    queue->setMaxConcurrentOperationCount(1);
    client.waitUntilFinished();
    return {operation->response(), operation->responseData(), operation->error()};
}

std::optional<QList<HttpCommand::Page>> HttpCommand::allPages(
        QMRESTAPIClient &client, const QUrl &URL, const std::optional<QVariantMap> &params,
        bool trustsServer, const QString &pageParameterName, const QString &perPageParameterName,
        quint64 maxPages, qint64 maxListingSize, QString *error, const Configure &configure)
{
    // Pages of another origin than the first get no credentials.
    QMRESTAPIClient anonymous;
    anonymous.setMaximumResponseSize(client.maximumResponseSize());
    QList<Page> pages;
    const auto fail = [&](const QString &why) {
        if (error)
            *error = u"page %1: "_s.arg(pages.size() + 1) + why;
        return std::nullopt;
    };
    QUrl next = URL;
    std::optional<QVariantMap> nextParams = params;
    quint64 pageNumber = 0; // unknown for the first page
    qint64 listingSize = 0;
    for (;;) {
        if (quint64(pages.size()) >= maxPages)
            return fail(u"the listing has more than %1 pages (see --max-pages)"_s.arg(maxPages));
        QMRESTAPIClient &sender = QMCommon::isSameOrigin(URL, next) ? client : anonymous;
        const Exchange exchange
                = perform(sender, u"GET"_s, next, nextParams, trustsServer, configure);
        if (exchange.error || !exchange.response)
            return fail(failure(exchange));
        const QMHTTPURLResponse &response = *exchange.response;
        if (response.statusCode >= 400)
            return fail(
                    statusLine(response.HTTPVersion, response.statusCode, response.reasonPhrase));
        listingSize += exchange.body.size();
        if (listingSize > maxListingSize) {
            const bool inMiB = maxListingSize % (1024 * 1024) == 0;
            return fail(u"the pages so far hold more than %1 %2"_s
                                .arg(inMiB ? maxListingSize / (1024 * 1024) : maxListingSize)
                                .arg(inMiB ? u"MiB"_s : u"bytes"_s));
        }
        const QJsonDocument document = QJsonDocument::fromJson(exchange.body);
        if (!document.isArray())
            return fail(u"not a JSON array"_s);
        const QMRESTAPILinkHeaderParser parser(response.allHeaderFields, pageParameterName,
                                               perPageParameterName);
        next = parser.nextLinkURL();
        if (next.isEmpty()) {
            pages.append({response, document.array(), 0, parser.numberOfTotalPages(),
                          parser.numberOfItemsPerPage()});
            return pages;
        }
        // Each next page must lie past the one before, or a server could keep us going round.
        const quint64 nextNumber = parser.nextPageNumber();
        if (nextNumber == 0)
            return fail(u"the next link has no page number in \"%1\" (see --page-param)"_s.arg(
                    pageParameterName));
        if (nextNumber <= pageNumber)
            return fail(u"the next link leads back to page %1"_s.arg(nextNumber));
        pages.append({response, document.array(), nextNumber, parser.numberOfTotalPages(),
                      parser.numberOfItemsPerPage()});
        pageNumber = nextNumber;
        nextParams = std::nullopt;
    }
}

ToolCommand HttpCommand::command()
{
    const QMOptionPtr param = QMOption::optionWithFlag(
            u"p"_s, u"param"_s, u"Send the parameter NAME with the text VALUE (may be repeated)"_s,
            u"NAME=VALUE"_s, QMOptionTypeString, false);
    const QMOptionPtr user = QMOption::optionWithFlag(
            QString(), u"user"_s, u"Authenticate as USER with Basic credentials"_s, u"USER"_s,
            QMOptionTypeString, false);
    const QMOptionPtr password
            = QMOption::optionWithFlag(QString(), u"password"_s, u"The password of --user"_s,
                                       u"PASSWORD"_s, QMOptionTypeString, false);
    const QMOptionPtr token = QMOption::optionWithFlag(
            QString(), u"token"_s, u"Authenticate with the Bearer token TOKEN"_s, u"TOKEN"_s,
            QMOptionTypeString, false);
    const QMOptionPtr ntlm = QMOption::optionWithFlag(
            QString(), u"ntlm"_s, u"Answer the server's NTLM challenge as USER with PASSWORD"_s,
            u"USER:PASSWORD"_s, QMOptionTypeString, false);
    const QMOptionPtr trustServer = QMOption::optionWithFlag(
            QString(), u"trust-server"_s,
            u"Accept the server's TLS certificate even when it does not verify"_s, QString(),
            QMOptionTypeNone, false);
    const QMOptionPtr allPagesOption = QMOption::optionWithFlag(
            QString(), u"all-pages"_s,
            u"Follow the Link header's next pages and print all their items as one JSON array"_s,
            QString(), QMOptionTypeNone, false);
    const QMOptionPtr pageParam = QMOption::optionWithFlag(
            QString(), u"page-param"_s, u"The query parameter of the page number (default: page)"_s,
            u"NAME"_s, QMOptionTypeString, false);
    const QMOptionPtr perPageParam = QMOption::optionWithFlag(
            QString(), u"per-page-param"_s,
            u"The query parameter of the page size (default: per_page)"_s, u"NAME"_s,
            QMOptionTypeString, false);
    const QMOptionPtr maxPagesOption = QMOption::optionWithFlag(
            QString(), u"max-pages"_s,
            u"Fail when the listing has more than N pages (default: 1000)"_s, u"N"_s,
            QMOptionTypeNumber, false);
    const QMOptionPtr timeoutOption = QMOption::optionWithFlag(
            QString(), u"timeout"_s,
            u"Fail when the server sends nothing for SECONDS (default: 15)"_s, u"SECONDS"_s,
            QMOptionTypeNumber, false);
    const QMOptionPtr include = QMOption::optionWithFlag(
            u"i"_s, u"include"_s, u"Print the response's header fields after the status line"_s,
            QString(), QMOptionTypeNone, false);

    const auto run = [=](Invocation &invocation) {
        const QStringList &arguments = invocation.arguments();
        if (arguments.size() != 2)
            return invocation.usageError(u"http needs a METHOD and a URL"_s);
        const QString method = arguments.at(0).toUpper();
        if (!knownMethods.contains(method))
            return invocation.usageError(u"unknown method \"%1\" (expected one of %2)"_s.arg(
                    arguments.at(0), knownMethods.join(u", "_s)));
        const QUrl URL(arguments.at(1), QUrl::StrictMode);
        if (!URL.isValid() || (URL.scheme() != u"http"_s && URL.scheme() != u"https"_s)
            || URL.host().isEmpty())
            return invocation.usageError(
                    u"\"%1\" is not an http or https URL"_s.arg(arguments.at(1)));

        std::optional<QVariantMap> params;
        for (const QVariant &value : invocation.values(param)) {
            const auto assignment = splitAssignment(value.toString());
            if (!assignment)
                return invocation.usageError(
                        u"-p needs NAME=VALUE, not \"%1\""_s.arg(value.toString()));
            if (!params)
                params = QVariantMap();
            params->insert(assignment->first, assignment->second);
        }

        if (int(invocation.has(user)) + int(invocation.has(token)) + int(invocation.has(ntlm)) > 1)
            return invocation.usageError(u"--user, --token and --ntlm exclude each other"_s);
        if (invocation.has(user) != invocation.has(password))
            return invocation.usageError(u"--user and --password go together"_s);
        std::optional<QMRESTAPIAuthenticationCredentials> credentials;
        if (invocation.has(user)) {
            credentials = {QMRESTAPIAuthenticationMethodBasic,
                           nonNull(invocation.value(user)),
                           nonNull(invocation.value(password)),
                           {}};
        } else if (invocation.has(token)) {
            credentials = {
                    QMRESTAPIAuthenticationMethodOAuth, {}, {}, nonNull(invocation.value(token))};
        } else if (invocation.has(ntlm)) {
            const QString text = nonNull(invocation.value(ntlm));
            const qsizetype colon = text.indexOf(u':');
            if (colon <= 0)
                return invocation.usageError(u"--ntlm needs USER:PASSWORD"_s);
            credentials = {
                    QMRESTAPIAuthenticationMethodNTLM, text.left(colon), text.mid(colon + 1), {}};
        }

        const bool paging = invocation.has(allPagesOption);
        if (!paging
            && (invocation.has(pageParam) || invocation.has(perPageParam)
                || invocation.has(maxPagesOption)))
            return invocation.usageError(
                    u"--page-param, --per-page-param and --max-pages go with --all-pages"_s);
        quint64 maxPages = defaultMaxPages;
        if (invocation.has(maxPagesOption)) {
            const double number = invocation.value(maxPagesOption).toDouble();
            if (!(number >= 1 && number <= 1e9) || number != std::floor(number))
                return invocation.usageError(
                        u"--max-pages needs a whole number from 1 to 1000000000"_s);
            maxPages = quint64(number);
        }
        if (paging && method != u"GET"_s)
            return invocation.usageError(u"--all-pages pages through GET requests only"_s);

        std::optional<double> timeout;
        if (invocation.has(timeoutOption)) {
            timeout = invocation.value(timeoutOption).toDouble();
            if (!std::isfinite(*timeout) || *timeout <= 0)
                return invocation.usageError(u"--timeout needs a number of seconds above 0"_s);
        }

        // The time-out goes into the request itself, where it overrides the operation's.
        const auto applyTimeout = [timeout](QMRESTAPIRequestOperation &operation) {
            if (!timeout)
                return;
            QNetworkRequest request = operation.request();
            request.setTransferTimeout(QMRESTAPIRequestOperation::timeoutMilliseconds(*timeout));
            operation.setRequest(request);
        };

        QMRESTAPIClient client;
        client.setCredentials(credentials);
        const bool trustsServer = invocation.has(trustServer);
        const bool withHeaderFields = invocation.has(include);
        if (paging) {
            QString error;
            const std::optional<QList<Page>> pages = allPages(
                    client, URL, params, trustsServer,
                    invocation.has(pageParam) ? nonNull(invocation.value(pageParam)) : u"page"_s,
                    invocation.has(perPageParam) ? nonNull(invocation.value(perPageParam))
                                                 : u"per_page"_s,
                    maxPages, maximumListingSize, &error, applyTimeout);
            if (!pages) {
                invocation.err << "qmf: " << error << Qt::endl;
                return 1;
            }
            QJsonArray items;
            for (const Page &page : *pages) {
                for (const QJsonValue &item : page.items)
                    items.append(item);
            }
            writeHead(invocation.out, pages->last().response, withHeaderFields);
            invocation.writeBytes(QJsonDocument(items).toJson(QJsonDocument::Compact) + '\n');
            invocation.err << "pages: " << pages->size();
            if (const quint64 perPage = pages->first().numberOfItemsPerPage; perPage > 0)
                invocation.err << ", per page: " << perPage;
            invocation.err << Qt::endl;
            return 0;
        }

        // The head as soon as it has arrived, then the body as it arrives: qmf keeps none of it.
        bool headWritten = false;
        const Exchange exchange
                = perform(client, method, URL, params, trustsServer,
                          [&](QMRESTAPIRequestOperation &operation) {
                              applyTimeout(operation);
                              operation.setResponseHeadHandler([&](const QMHTTPURLResponse &head) {
                                  writeHead(invocation.out, head, withHeaderFields);
                                  headWritten = true;
                              });
                              // A body with nowhere to go is not read on.
                              operation.setResponseDataHandler([&](const QByteArray &chunk) {
                                  if (!invocation.writeBytes(chunk))
                                      operation.cancel();
                              });
                          });
        // qmf reports output that did not arrive on its way out; the cancellation it caused
        // is not the server's failure.
        if (!Invocation::delivered(invocation.out))
            return 1;
        if (exchange.error || !exchange.response) {
            invocation.err << "qmf: " << failure(exchange) << Qt::endl;
            return 1;
        }
        if (!headWritten)
            writeHead(invocation.out, *exchange.response, withHeaderFields);
        return 0;
    };

    return ToolCommand::make(
            u"http"_s,
            {param, user, password, token, ntlm, trustServer, timeoutOption, allPagesOption,
             pageParam, perPageParam, maxPagesOption, include},
            {u"METHOD"_s, u"URL"_s},
            u"Send a request through the REST client and print the response: http METHOD URL\n\n"
            u"Usage: qmf http METHOD URL [-p NAME=VALUE]... [--user USER --password PASSWORD |\n"
            "           --token TOKEN | --ntlm USER:PASSWORD] [--trust-server]\n"
            "           [--timeout SECONDS] [--all-pages [--page-param NAME]\n"
            "           [--per-page-param NAME] [--max-pages N]] [-i]\n\n"
            "Sends one request through QMRESTAPIClient. METHOD is one of GET, HEAD, POST, PUT,\n"
            "PATCH, DELETE and OPTIONS, in any case, and is sent in upper case. The -p\n"
            "parameters (text values; the last of a repeated NAME wins) go into the query for\n"
            "GET and DELETE, into a JSON object body for POST, PUT and PATCH. A request fails\n"
            "when the server sends nothing for --timeout SECONDS (15).\n\n"
            "Prints the status line (\"HTTP/1.x 200 OK\", or \"HTTP/2 200\"), with -i the header\n"
            "fields as \"Name: value\" lines in name order (one per Set-Cookie; CR, LF and other\n"
            "control characters written as \\r, \\n and \\xHH), then a blank line and the body's\n"
            "bytes as they arrive, keeping none of them. Any response, 404 or 500 too, ends\n"
            "with status 0. A request that gets none (refused, timed out, certificate\n"
            "refused, an invalid status code) prints \"qmf: DESCRIPTION\" and ends with status\n"
            "1; so does a body that breaks off or breaks the protocol, after what arrived\n"
            "of it.\n\n"
            "--all-pages GETs URL, then every page that the Link header's \"next\" link\n"
            "names, and prints the last page's head and the items of all pages as one compact\n"
            "JSON array with a line feed. The error stream gets \"pages: N\" and, when the\n"
            "first page's links give the page size (in the --per-page-param parameter),\n"
            "\", per page: M\". Each next link must name a page number (in the --page-param\n"
            "parameter) past the one before, and the listing must have at most --max-pages\n"
            "pages (1000) of 256 MiB together. Credentials go only to pages of URL's scheme,\n"
            "host and port. A page that fails, has a status of 400 or more, is not a JSON\n"
            "array, is larger than 64 MiB or breaks those rules ends the command with\n"
            "\"qmf: page N: REASON\" and status 1, and nothing on the standard output."_s,
            run);
}

void HttpCommand::tourSection(QTextStream &out)
{
    LoopbackHTTPServer server;
    QString error;
    if (!server.start(&error)) {
        out << "The loopback server did not start: " << error << "\n";
        return;
    }
    QMRESTAPIClient client;
    out << "QMRESTAPIClient sends requests through Qt Network, each on a thread of the client's\n"
           "queue. A LoopbackHTTPServer on 127.0.0.1 answers here; its /echo route tells what\n"
           "it received. GET puts the parameters into the query, in name order:\n\n"
        << "  $ qmf http GET <server>/echo -p q=\"a b\" -p lang=en\n";
    const HttpCommand::Exchange echo
            = perform(client, u"GET"_s, server.url(u"/echo"_s),
                      QVariantMap {{u"q"_s, u"a b"_s}, {u"lang"_s, u"en"_s}}, false);
    if (!echo.response) {
        out << "    qmf: " << failure(echo) << "\n";
        return;
    }
    const QJsonObject received = QJsonDocument::fromJson(echo.body).object();
    out << "    "
        << statusLine(echo.response->HTTPVersion, echo.response->statusCode,
                      echo.response->reasonPhrase)
        << "\n    (the server received " << received.value(u"method"_s).toString() << " "
        << received.value(u"path"_s).toString() << "?" << received.value(u"query"_s).toString()
        << ")\n";

    out << "\nIts /pages route lists 25 items a page at a time, with a Link header that names the\n"
           "first, previous, next and last pages. QMRESTAPILinkHeaderParser reads it; following\n"
           "the \"next\" links until there is none (qmf http GET <server>/pages -p per_page=10\n"
           "--all-pages):\n";
    const std::optional<QList<HttpCommand::Page>> pages
            = allPages(client, server.url(u"/pages"_s), QVariantMap {{u"per_page"_s, 10}}, false,
                       u"page"_s, u"per_page"_s, defaultMaxPages, maximumListingSize, &error);
    if (!pages) {
        out << "    qmf: " << error << "\n";
        return;
    }
    qsizetype count = 0;
    for (const HttpCommand::Page &page : *pages) {
        out << "    page " << ++count << ":";
        for (const QJsonValue &item : page.items)
            out << " " << item.toObject().value(u"id"_s).toInteger();
        if (page.nextPageNumber > 0)
            out << "  (next page " << page.nextPageNumber << ")\n";
        else
            out << "  (no next page)\n";
    }
    out << "The first page's links told of " << pages->first().numberOfTotalPages << " pages of "
        << pages->first().numberOfItemsPerPage << " items; " << count << " pages were fetched.\n";
}
