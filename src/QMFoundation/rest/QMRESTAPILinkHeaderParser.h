#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMap>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

/// The pagination links of a paged REST response, read from its "Link" header field: the URLs
/// of the first, previous, next and last page, and from their queries the next and previous
/// page numbers, the number of pages and the page size.
///
/// The caller names the query parameters that carry the page number and the page size (such as
/// "page" and "per_page"). All work is done once, in the constructor; the properties are then
/// plain values that the setters overwrite without parsing anything again.
///
/// The accepted field value is strict, as servers write it:
///   <https://api.example.com/items?page=3&per_page=50>; rel="next", <...>; rel="last"
///  - entries are separated by exactly ", " (a comma and one space); a comma alone does not
///    separate, so the whole text is then one entry;
///  - an entry counts only when it ends with exactly one of `; rel="first"`, `; rel="last"`,
///    `; rel="prev"` or `; rel="next"`: unquoted or upper-case relations, other relations and
///    further parameters after the relation make the entry ignored;
///  - the URL is the text before the entry's first ";" without its first and last character
///    (normally "<" and ">"); it must be a valid absolute URL (with a scheme) in QUrl's strict
///    reading: a space, a control character or a "%" that starts no escape makes it invalid. A
///    recognised entry whose URL is invalid removes what an earlier entry of the same relation
///    gave;
///  - a later entry of a relation replaces an earlier one.
///
/// Page numbers are read from a link URL's query as it stands (still percent-encoded): the value
/// of the last "name=value" piece with the parameter's name (text after a second "=" is
/// dropped; pieces without "=" are ignored), as a signed decimal integer: optional leading white
/// space and sign, then ASCII digits, anything after them ignored, 0 when there are no digits,
/// and clamped to the signed 64-bit range. The result is taken as unsigned: "-1" reads as the
/// largest number, 18446744073709551615. Every number is 0 when what it is read from is missing.
///
/// Not thread-safe: use one parser from one thread at a time. The static functions may be
/// called from any thread.
class QMF_CORE_EXPORT QMRESTAPILinkHeaderParser
{
public:
    /// Header fields by name.
    using HeaderFields = QMap<QString, QString>;
    /// Link URLs by relation ("first", "prev", "next", "last").
    using LinkURLs = QMap<QString, QUrl>;

    /// Keeps the three arguments, then fills linkURLs(), nextPageNumber(), prevPageNumber(),
    /// numberOfTotalPages() and numberOfItemsPerPage() from the header fields, in that order.
    /// Throws QMInternalInconsistencyException with "Invalid parameter not satisfying:
    /// pageParameterName" (or perPageParameterName) when a name is null; empty names are
    /// accepted.
    QMRESTAPILinkHeaderParser(const HeaderFields &headerFields, const QString &pageParameterName,
                              const QString &perPageParameterName);
    /// A parser needs its header fields and parameter names.
    QMRESTAPILinkHeaderParser() = delete;
    ~QMRESTAPILinkHeaderParser();
    QMRESTAPILinkHeaderParser(const QMRESTAPILinkHeaderParser &) = delete;
    QMRESTAPILinkHeaderParser &operator=(const QMRESTAPILinkHeaderParser &) = delete;

    /// A new shared parser; see the constructor.
    static std::shared_ptr<QMRESTAPILinkHeaderParser>
    parserWithHeaderFields(const HeaderFields &headerFields, const QString &pageParameterName,
                           const QString &perPageParameterName);

    /// The response's header fields, as given.
    HeaderFields headerFields() const;
    /// Replaces the header fields; nothing is read again.
    void setHeaderFields(const HeaderFields &headerFields);
    /// The query parameter that holds a page number.
    QString pageParameterName() const;
    /// Replaces the page parameter name; nothing is read again.
    void setPageParameterName(const QString &pageParameterName);
    /// The query parameter that holds the page size.
    QString perPageParameterName() const;
    /// Replaces the page-size parameter name; nothing is read again.
    void setPerPageParameterName(const QString &perPageParameterName);

    /// The links by relation ("first", "prev", "next", "last"); std::nullopt when the header
    /// fields have no "Link" field.
    std::optional<LinkURLs> linkURLs() const;
    /// Replaces the link URLs.
    void setLinkURLs(const std::optional<LinkURLs> &linkURLs);
    /// The page number of the "next" link.
    quint64 nextPageNumber() const;
    /// Replaces the next page number.
    void setNextPageNumber(quint64 nextPageNumber);
    /// The page number of the "prev" link.
    quint64 prevPageNumber() const;
    /// Replaces the previous page number.
    void setPrevPageNumber(quint64 prevPageNumber);
    /// The page number of the "last" link when there is one, otherwise of the "prev" link (on
    /// the last page, which has no "last" link, that is the page before it).
    quint64 numberOfTotalPages() const;
    /// Replaces the number of pages.
    void setNumberOfTotalPages(quint64 numberOfTotalPages);
    /// The page size in the first link, in the order first, last, next, prev.
    quint64 numberOfItemsPerPage() const;
    /// Replaces the page size.
    void setNumberOfItemsPerPage(quint64 numberOfItemsPerPage);

    /// The entry of linkURLs() for one relation, or an empty QUrl.
    QUrl firstLinkURL() const;
    /// The "prev" entry of linkURLs(), or an empty QUrl.
    QUrl prevLinkURL() const;
    /// The "next" entry of linkURLs(), or an empty QUrl.
    QUrl nextLinkURL() const;
    /// The "last" entry of linkURLs(), or an empty QUrl.
    QUrl lastLinkURL() const;

    /// parseLinkURLsByRelParamFromLinkHeader() of the field named exactly "Link" (no other
    /// spelling), std::nullopt when there is none. A null value reads as an empty one.
    [[nodiscard]] static std::optional<LinkURLs>
    parseLinkURLsFromHeaderFields(const HeaderFields &headerFields);
    /// The links of a "Link" field value, by relation (see the class comment). Throws
    /// "Invalid parameter not satisfying: linkHeader" for a null text.
    [[nodiscard]] static LinkURLs parseLinkURLsByRelParamFromLinkHeader(const QString &linkHeader);
    /// The URL of one entry, or an empty QUrl when the text before its first ";" is shorter than
    /// two characters or does not hold a valid absolute URL once they are dropped. Throws
    /// "Invalid parameter not satisfying: linkHeaderComponent" for a null text.
    [[nodiscard]] static QUrl
    parseLinkURLFromLinkHeaderComponent(const QString &linkHeaderComponent);
    /// The "name=value" pieces of the URL's percent-encoded query (see the class comment); an
    /// empty map when it has none. Throws "Invalid parameter not satisfying: linkURL" for an
    /// empty URL.
    [[nodiscard]] static QMap<QString, QString> parseQueryFromLinkURL(const QUrl &linkURL);

    /// pageParameterName() in the "next" link of the fields' "Link" field.
    quint64 parseNextPageNumberFromHeaderFields(const HeaderFields &headerFields) const;
    /// pageParameterName() in the "prev" link.
    quint64 parsePrevPageNumberFromHeaderFields(const HeaderFields &headerFields) const;
    /// pageParameterName() in the "last" link when there is one, else in the "prev" link.
    quint64 parseNumberOfTotalPagesFromHeaderFields(const HeaderFields &headerFields) const;
    /// perPageParameterName() in the first link, in the order first, last, next, prev.
    quint64 parseNumberOfItemsPerPageFromHeaderFields(const HeaderFields &headerFields) const;

private:
    class Private;
    std::unique_ptr<Private> d;
};
