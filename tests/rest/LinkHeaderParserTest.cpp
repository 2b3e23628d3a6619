#include <QMFoundation/rest/QMRESTAPILinkHeaderParser.h>

#include "support/Failures.h"
#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <type_traits>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

using Parser = QMRESTAPILinkHeaderParser;

QString link(const QString &query, const QString &relation)
{
    return u"<https://api.example.com/items?"_s + query + u">; rel=\""_s + relation + u'"';
}

} // namespace

TEST(LinkHeaderParserTest, ReadsLinksAndPageNumbers)
{
    const QString none;
    const struct
    {
        QString field; // the "Link" field; none: no such field
        QString links; // relation=query pairs of the expected links, ' '-separated; "-": none
        quint64 next, prev, total, perPage;
    } rows[] = {
            {link(u"page=3&per_page=50"_s, u"next"_s) + u", "_s
                     + link(u"page=10&per_page=50"_s, u"last"_s),
             u"last=page=10&per_page=50 next=page=3&per_page=50"_s, 3, 0, 10, 50},
            // The last page has no "last" link: the previous page's number is the count. The page
            // size comes from the first link in the order first, last, next, prev.
            {link(u"page=1&per_page=20"_s, u"first"_s) + u", "_s
                     + link(u"page=9&per_page=30"_s, u"prev"_s),
             u"first=page=1&per_page=20 prev=page=9&per_page=30"_s, 0, 9, 9, 20},
            {link(u"per_page=5"_s, u"last"_s) + u", "_s + link(u"page=2&per_page=7"_s, u"prev"_s),
             u"last=per_page=5 prev=page=2&per_page=7"_s, 0, 2, 0, 5},
            // Only ", " separates: this is one entry, ending with rel="next", whose URL is the
            // first one.
            {link(u"page=1"_s, u"first"_s) + u","_s + link(u"page=2"_s, u"next"_s),
             u"next=page=1"_s, 1, 0, 0, 0},
            // Unrecognised endings are ignored, recognised ones with a bad URL remove the relation,
            // and a later entry replaces an earlier one.
            {u"<https://a.example/?page=2>; rel=next, <https://a.example/?page=2>; rel=\"NEXT\", "
             "<https://a.example/?page=2>; rel=\"next\"; title=\"x\", "
             "<https://a.example/?page=2>; rel=\"other\""_s,
             u""_s, 0, 0, 0, 0},
            {link(u"page=2"_s, u"next"_s) + u", <https://a.example/?page=3>; rel=\"next\""_s,
             u"next=page=3"_s, 3, 0, 0, 0},
            {link(u"page=2"_s, u"next"_s) + u", <a b>; rel=\"next\", "_s
                     + link(u"page=4"_s, u"prev"_s) + u", </items?page=5>; rel=\"prev\", "_s
                     + link(u"page=1"_s, u"first"_s) + u", <>; rel=\"first\""_s,
             u""_s, 0, 0, 0, 0},
            // Numbers: not decoded, signed with saturation, cut at the first non-digit.
            {link(u"page=abc"_s, u"next"_s) + u", "_s + link(u"page=-1"_s, u"prev"_s),
             u"next=page=abc prev=page=-1"_s, 0, 18446744073709551615u, 18446744073709551615u, 0},
            {link(u"page=%2012"_s, u"next"_s) + u", "_s + link(u"page=+7x&page=8=9"_s, u"prev"_s)
                     + u", "_s + link(u"page=99999999999999999999"_s, u"last"_s),
             u"last=page=99999999999999999999 next=page=%2012 prev=page=+7x&page=8=9"_s, 0, 8,
             9223372036854775807u, 0},
            {link(u"page=-99999999999999999999"_s, u"next"_s), u"next=page=-99999999999999999999"_s,
             9223372036854775808u, 0, 0, 0},
            {u""_s, u""_s, 0, 0, 0, 0},
            {none, u"-"_s, 0, 0, 0, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.field.toStdString());
        Parser::HeaderFields fields {{u"link"_s, link(u"page=2"_s, u"next"_s)}}; // not "Link"
        if (!row.field.isNull())
            fields.insert(u"Link"_s, row.field);
        const auto parser = Parser::parserWithHeaderFields(fields, u"page"_s, u"per_page"_s);

        const auto links = parser->linkURLs();
        ASSERT_EQ(links.has_value(), row.links != u"-"_s);
        if (links) {
            QStringList described;
            for (auto it = links->cbegin(); it != links->cend(); ++it)
                described.append(it.key() + u'=' + it->query(QUrl::FullyEncoded));
            EXPECT_EQ(described.join(u' '), row.links);
        }
        EXPECT_EQ(parser->nextPageNumber(), row.next);
        EXPECT_EQ(parser->prevPageNumber(), row.prev);
        EXPECT_EQ(parser->numberOfTotalPages(), row.total);
        EXPECT_EQ(parser->numberOfItemsPerPage(), row.perPage);
        EXPECT_EQ(parser->firstLinkURL().isEmpty(), !links || !links->contains(u"first"_s));
    }
}

TEST(LinkHeaderParserTest, ChecksItsArgumentsAndReadsEntriesAndQueries)
{
    static_assert(!std::is_default_constructible_v<Parser>);
    const Parser::HeaderFields fields {{u"Link"_s, link(u"page=2"_s, u"next"_s)}};
    const QString prefix = u"Invalid parameter not satisfying: "_s;
    EXPECT_EQ(failureOf([&] { Parser parser(fields, QString(), u""_s); }),
              prefix + u"pageParameterName"_s);
    EXPECT_EQ(failureOf([&] { Parser parser(fields, u""_s, QString()); }),
              prefix + u"perPageParameterName"_s);
    EXPECT_EQ(failureOf([] { (void)Parser::parseLinkURLsByRelParamFromLinkHeader(QString()); }),
              prefix + u"linkHeader"_s);
    EXPECT_EQ(failureOf([] { (void)Parser::parseLinkURLFromLinkHeaderComponent(QString()); }),
              prefix + u"linkHeaderComponent"_s);
    EXPECT_EQ(failureOf([] { (void)Parser::parseQueryFromLinkURL(QUrl()); }),
              prefix + u"linkURL"_s);
    // A null field value is an empty field, not a broken call.
    EXPECT_EQ(Parser::parseLinkURLsFromHeaderFields({{u"Link"_s, QString()}}), Parser::LinkURLs());

    EXPECT_EQ(Parser::parseQueryFromLinkURL(QUrl(u"https://h/?a=1&b&c=2=3&=4&a=5"_s)),
              (QMap<QString, QString> {{u"a"_s, u"5"_s}, {u"c"_s, u"2"_s}, {u""_s, u"4"_s}}));
    EXPECT_EQ(Parser::parseLinkURLFromLinkHeaderComponent(u"(https://h/x);whatever"_s),
              QUrl(u"https://h/x"_s));
    EXPECT_TRUE(Parser::parseLinkURLFromLinkHeaderComponent(u"<"_s).isEmpty());
}
