// Reads "Link" header fields with QMRESTAPILinkHeaderParser and checks that
//  - nothing crashes or throws, the links are among first, prev, next and last, and each is a
//    valid absolute URL;
//  - the four numbers are what strtoll() reads from the parameter in the right link's query (an
//    independent reading of a signed decimal number with saturation);
//  - writing the links back as a field ("<url>; rel=\"name\"" joined by ", ") reads back the same
//    links, when no URL holds the ";" that ends an entry's URL;
//  - a field generated from the input as a list of entries (recognised and unrecognised
//    relations, valid, relative, malformed and too short URLs, page numbers of any length and
//    sign) gives exactly the links and numbers that the generator predicts.
//
// The first byte chooses the use of the rest: 0 reads it as UTF-8, 1 as raw UTF-16 code units
// (lone surrogates included), 2 as the generator's choices.

#include <QMFoundation/rest/QMRESTAPILinkHeaderParser.h>

#include <QMap>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

using Parser = QMRESTAPILinkHeaderParser;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

const QString relations[] = {u"first"_s, u"prev"_s, u"next"_s, u"last"_s};

// The parameter's value in the query text, read by the C library.
quint64 expectedNumber(const std::optional<Parser::LinkURLs> &links, const QString &relation,
                       const QString &parameter)
{
    if (!links || !links->contains(relation))
        return 0;
    const auto query = Parser::parseQueryFromLinkURL(links->value(relation));
    if (!query.contains(parameter))
        return 0;
    // FullyEncoded queries are ASCII, so Latin-1 loses nothing.
    return quint64(std::strtoll(query.value(parameter).toLatin1().constData(), nullptr, 10));
}

QMap<QString, QString> linkTexts(const Parser::LinkURLs &links)
{
    QMap<QString, QString> texts;
    for (auto it = links.cbegin(); it != links.cend(); ++it)
        texts.insert(it.key(), it->toString(QUrl::FullyEncoded));
    return texts;
}

void check(const QString &field, const QMap<QString, QString> *predicted = nullptr)
{
    const Parser parser({{u"Link"_s, field}}, u"page"_s, u"per_page"_s);
    const auto links = parser.linkURLs();
    require(links.has_value());
    for (auto it = links->cbegin(); it != links->cend(); ++it) {
        require(std::find(std::begin(relations), std::end(relations), it.key())
                != std::end(relations));
        require(it->isValid() && !it->isRelative());
    }
    require(parser.nextPageNumber() == expectedNumber(links, u"next"_s, u"page"_s));
    require(parser.prevPageNumber() == expectedNumber(links, u"prev"_s, u"page"_s));
    const QString totalFrom = links->contains(u"last"_s) ? u"last"_s : u"prev"_s;
    require(parser.numberOfTotalPages() == expectedNumber(links, totalFrom, u"page"_s));
    require(parser.numberOfItemsPerPage()
            == (links->isEmpty() ? 0 : expectedNumber(links, links->firstKey(), u"per_page"_s)));

    const QMap<QString, QString> texts = linkTexts(*links);
    if (predicted)
        require(texts == *predicted);
    QStringList entries;
    for (auto it = texts.cbegin(); it != texts.cend(); ++it) {
        if (it->contains(u';'))
            return;
        entries.append(u'<' + *it + u">; rel=\"" + it.key() + u'"');
    }
    // join() gives a null text for no entries; a field is never null.
    const QString rewritten = u""_s + entries.join(u", "_s);
    require(linkTexts(Parser::parseLinkURLsByRelParamFromLinkHeader(rewritten)) == texts);
}

// Reads the generator's choices one byte at a time; zeros once the input is used up.
struct Choices
{
    const uint8_t *data;
    size_t size;
    uint8_t next()
    {
        if (size == 0)
            return 0;
        --size;
        return *data++;
    }
};

// A page number's text: digits of any length (past the 64-bit range included), a sign, or junk.
QString numberText(Choices &choices)
{
    const uint8_t shape = choices.next();
    QString text = shape % 4 == 1 ? u"-"_s : shape % 4 == 2 ? u"+"_s : u""_s;
    for (int digits = choices.next() % 24; digits > 0; --digits)
        text += QChar(char16_t(u'0' + choices.next() % 10));
    if (shape & 4)
        text += u"x1"_s;
    return text;
}

void checkGenerated(Choices choices)
{
    QStringList entries;
    QMap<QString, QString> predicted;
    for (int count = choices.next() % 8; count > 0; --count) {
        const uint8_t kind = choices.next();
        const QString url = u"https://example.com/items?page="_s + numberText(choices)
                + u"&per_page="_s + numberText(choices);
        QString enclosed;
        bool valid = false;
        switch (kind % 6) {
        case 0:
        case 1:
        case 2:
            enclosed = u'<' + url + u'>';
            valid = true;
            break;
        case 3:
            enclosed = u"</items?page=1>"_s; // relative
            break;
        case 4:
            enclosed = u"<https://example.com/a b>"_s; // a space
            break;
        default:
            enclosed = (kind & 8) ? u"<>"_s : u"<"_s;
        }
        const QString &relation = relations[(kind >> 4) % 4];
        switch ((kind >> 6) % 4) {
        case 0:
        case 1:
            entries.append(enclosed + u"; rel=\""_s + relation + u'"');
            if (valid)
                predicted.insert(relation, url);
            else
                predicted.remove(relation);
            break;
        case 2:
            entries.append(enclosed + u"; rel="_s + relation); // unquoted
            break;
        default:
            entries.append(enclosed + u"; rel=\""_s + relation + u"\"; title=\"t\""_s);
        }
    }
    check(u""_s + entries.join(u", "_s), &predicted);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const qsizetype length = qsizetype(size - 1);
    switch (data[0] % 3) {
    case 0:
        check(QString::fromUtf8(rest, length));
        break;
    case 1:
        check(QString(reinterpret_cast<const QChar *>(rest), length / 2));
        break;
    default:
        checkGenerated({data + 1, size - 1});
    }
    return 0;
}
