#include <QMFoundation/rest/QMRESTAPILinkHeaderParser.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QStringTokenizer>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

const QString linkField = u"Link"_s;
const QString firstRelation = u"first"_s;
const QString prevRelation = u"prev"_s;
const QString nextRelation = u"next"_s;
const QString lastRelation = u"last"_s;

// The relation an entry ends with, tried in the order first, last, prev, next; null for none.
QString relationOf(QStringView entry)
{
    for (const QString &relation : {firstRelation, lastRelation, prevRelation, nextRelation}) {
        const QString ending = u"; rel=\""_s + relation + u'"';
        if (entry.endsWith(ending))
            return relation;
    }
    return QString();
}

QUrl linkURLOf(QStringView entry)
{
    const qsizetype semicolon = entry.indexOf(u';');
    const QStringView enclosed = semicolon < 0 ? entry : entry.left(semicolon);
    if (enclosed.size() < 2)
        return QUrl();
    // Strict, so that a server's malformed link reads as no link rather than as a repaired guess.
    const QUrl url(enclosed.mid(1, enclosed.size() - 2).toString(), QUrl::StrictMode);
    return url.isValid() && !url.isRelative() ? url : QUrl();
}

// An empty name or value is the empty text, never a null one ("none").
QString text(QStringView view)
{
    return view.isEmpty() ? u""_s : view.toString();
}

// strtoll()'s reading without a locale: white space, a sign, ASCII digits, clamped to the signed
// range. Our own, since QString::toLongLong() refuses what follows the digits ("7x" is 7 here).
qint64 leadingInteger(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-'))
        negative = text[i++] == u'-';
    // Accumulated as a negative number, whose range reaches one further than the positive one.
    constexpr qint64 lowest = std::numeric_limits<qint64>::min();
    qint64 value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        const int digit = text[i].unicode() - u'0';
        value = value < (lowest + digit) / 10 ? lowest : value * 10 - digit;
    }
    if (!negative)
        return value == lowest ? std::numeric_limits<qint64>::max() : -value;
    return value;
}

} // namespace

class QMRESTAPILinkHeaderParser::Private
{
public:
    HeaderFields headerFields;
    QString pageParameterName;
    QString perPageParameterName;
    std::optional<LinkURLs> linkURLs;
    quint64 nextPageNumber = 0;
    quint64 prevPageNumber = 0;
    quint64 numberOfTotalPages = 0;
    quint64 numberOfItemsPerPage = 0;
};

namespace {

// The number `parameter` holds in the query of the link for `relation`; 0 when any of these is
// missing.
quint64 numberInLink(const std::optional<QMRESTAPILinkHeaderParser::LinkURLs> &links,
                     const QString &relation, const QString &parameter)
{
    if (!links || !links->contains(relation))
        return 0;
    const auto query = QMRESTAPILinkHeaderParser::parseQueryFromLinkURL(links->value(relation));
    const auto value = query.constFind(parameter);
    return value == query.cend() ? 0 : quint64(leadingInteger(*value));
}

} // namespace

QMRESTAPILinkHeaderParser::QMRESTAPILinkHeaderParser(const HeaderFields &headerFields,
                                                     const QString &pageParameterName,
                                                     const QString &perPageParameterName)
    : d(std::make_unique<Private>())
{
    QMParameterAssert(!pageParameterName.isNull(), "pageParameterName");
    QMParameterAssert(!perPageParameterName.isNull(), "perPageParameterName");
    d->headerFields = headerFields;
    d->pageParameterName = pageParameterName;
    d->perPageParameterName = perPageParameterName;
    d->linkURLs = parseLinkURLsFromHeaderFields(headerFields);
    d->nextPageNumber = parseNextPageNumberFromHeaderFields(headerFields);
    d->prevPageNumber = parsePrevPageNumberFromHeaderFields(headerFields);
    d->numberOfTotalPages = parseNumberOfTotalPagesFromHeaderFields(headerFields);
    d->numberOfItemsPerPage = parseNumberOfItemsPerPageFromHeaderFields(headerFields);
}

QMRESTAPILinkHeaderParser::~QMRESTAPILinkHeaderParser() = default;

std::shared_ptr<QMRESTAPILinkHeaderParser>
QMRESTAPILinkHeaderParser::parserWithHeaderFields(const HeaderFields &headerFields,
                                                  const QString &pageParameterName,
                                                  const QString &perPageParameterName)
{
    return std::make_shared<QMRESTAPILinkHeaderParser>(headerFields, pageParameterName,
                                                       perPageParameterName);
}

QMRESTAPILinkHeaderParser::HeaderFields QMRESTAPILinkHeaderParser::headerFields() const
{
    return d->headerFields;
}

void QMRESTAPILinkHeaderParser::setHeaderFields(const HeaderFields &headerFields)
{
    d->headerFields = headerFields;
}

QString QMRESTAPILinkHeaderParser::pageParameterName() const
{
    return d->pageParameterName;
}

void QMRESTAPILinkHeaderParser::setPageParameterName(const QString &pageParameterName)
{
    d->pageParameterName = pageParameterName;
}

QString QMRESTAPILinkHeaderParser::perPageParameterName() const
{
    return d->perPageParameterName;
}

void QMRESTAPILinkHeaderParser::setPerPageParameterName(const QString &perPageParameterName)
{
    d->perPageParameterName = perPageParameterName;
}

std::optional<QMRESTAPILinkHeaderParser::LinkURLs> QMRESTAPILinkHeaderParser::linkURLs() const
{
    return d->linkURLs;
}

void QMRESTAPILinkHeaderParser::setLinkURLs(const std::optional<LinkURLs> &linkURLs)
{
    d->linkURLs = linkURLs;
}

quint64 QMRESTAPILinkHeaderParser::nextPageNumber() const
{
    return d->nextPageNumber;
}

void QMRESTAPILinkHeaderParser::setNextPageNumber(quint64 nextPageNumber)
{
    d->nextPageNumber = nextPageNumber;
}

quint64 QMRESTAPILinkHeaderParser::prevPageNumber() const
{
    return d->prevPageNumber;
}

void QMRESTAPILinkHeaderParser::setPrevPageNumber(quint64 prevPageNumber)
{
    d->prevPageNumber = prevPageNumber;
}

quint64 QMRESTAPILinkHeaderParser::numberOfTotalPages() const
{
    return d->numberOfTotalPages;
}

void QMRESTAPILinkHeaderParser::setNumberOfTotalPages(quint64 numberOfTotalPages)
{
    d->numberOfTotalPages = numberOfTotalPages;
}

quint64 QMRESTAPILinkHeaderParser::numberOfItemsPerPage() const
{
    return d->numberOfItemsPerPage;
}

void QMRESTAPILinkHeaderParser::setNumberOfItemsPerPage(quint64 numberOfItemsPerPage)
{
    d->numberOfItemsPerPage = numberOfItemsPerPage;
}

QUrl QMRESTAPILinkHeaderParser::firstLinkURL() const
{
    return d->linkURLs ? d->linkURLs->value(firstRelation) : QUrl();
}

QUrl QMRESTAPILinkHeaderParser::prevLinkURL() const
{
    return d->linkURLs ? d->linkURLs->value(prevRelation) : QUrl();
}

QUrl QMRESTAPILinkHeaderParser::nextLinkURL() const
{
    return d->linkURLs ? d->linkURLs->value(nextRelation) : QUrl();
}

QUrl QMRESTAPILinkHeaderParser::lastLinkURL() const
{
    return d->linkURLs ? d->linkURLs->value(lastRelation) : QUrl();
}

std::optional<QMRESTAPILinkHeaderParser::LinkURLs>
QMRESTAPILinkHeaderParser::parseLinkURLsFromHeaderFields(const HeaderFields &headerFields)
{
    const auto field = headerFields.constFind(linkField);
    if (field == headerFields.cend())
        return std::nullopt;
    // A host may put a null text into the map; it is a field without links, not a broken call.
    return parseLinkURLsByRelParamFromLinkHeader(field->isNull() ? u""_s : *field);
}

QMRESTAPILinkHeaderParser::LinkURLs
QMRESTAPILinkHeaderParser::parseLinkURLsByRelParamFromLinkHeader(const QString &linkHeader)
{
    QMParameterAssert(!linkHeader.isNull(), "linkHeader");
    LinkURLs links;
    for (const QStringView entry : QStringTokenizer(linkHeader, u", ")) {
        const QString relation = relationOf(entry);
        if (relation.isNull())
            continue;
        const QUrl url = linkURLOf(entry);
        if (url.isEmpty())
            links.remove(relation);
        else
            links.insert(relation, url);
    }
    return links;
}

QUrl QMRESTAPILinkHeaderParser::parseLinkURLFromLinkHeaderComponent(
        const QString &linkHeaderComponent)
{
    QMParameterAssert(!linkHeaderComponent.isNull(), "linkHeaderComponent");
    return linkURLOf(linkHeaderComponent);
}

QMap<QString, QString> QMRESTAPILinkHeaderParser::parseQueryFromLinkURL(const QUrl &linkURL)
{
    QMParameterAssert(!linkURL.isEmpty(), "linkURL");
    QMap<QString, QString> query;
    if (!linkURL.hasQuery())
        return query;
    const QString encodedQuery = linkURL.query(QUrl::FullyEncoded);
    for (const QStringView piece : QStringTokenizer(encodedQuery, u'&')) {
        const qsizetype equals = piece.indexOf(u'=');
        if (equals < 0)
            continue;
        const qsizetype secondEquals = piece.indexOf(u'=', equals + 1);
        const QStringView value
                = piece.mid(equals + 1, secondEquals < 0 ? -1 : secondEquals - equals - 1);
        query.insert(text(piece.left(equals)), text(value));
    }
    return query;
}

quint64 QMRESTAPILinkHeaderParser::parseNextPageNumberFromHeaderFields(
        const HeaderFields &headerFields) const
{
    return numberInLink(parseLinkURLsFromHeaderFields(headerFields), nextRelation,
                        d->pageParameterName);
}

quint64 QMRESTAPILinkHeaderParser::parsePrevPageNumberFromHeaderFields(
        const HeaderFields &headerFields) const
{
    return numberInLink(parseLinkURLsFromHeaderFields(headerFields), prevRelation,
                        d->pageParameterName);
}

quint64 QMRESTAPILinkHeaderParser::parseNumberOfTotalPagesFromHeaderFields(
        const HeaderFields &headerFields) const
{
    const auto links = parseLinkURLsFromHeaderFields(headerFields);
    const bool hasLast = links && links->contains(lastRelation);
    return numberInLink(links, hasLast ? lastRelation : prevRelation, d->pageParameterName);
}

quint64 QMRESTAPILinkHeaderParser::parseNumberOfItemsPerPageFromHeaderFields(
        const HeaderFields &headerFields) const
{
    const auto links = parseLinkURLsFromHeaderFields(headerFields);
    if (!links || links->isEmpty())
        return 0;
    return numberInLink(links, links->firstKey(), d->perPageParameterName);
}
