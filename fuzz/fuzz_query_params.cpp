// Reads arbitrary query strings and encodes arbitrary texts, and checks that
//  - reading never crashes, every entry it gives stands in the text as a "name=value" piece
//    (so no name or value holds "&" or "="), and joining the entries again reads back the same;
//  - a URL with a query, however it was written, has query parameters;
//  - encoding refuses exactly the texts with a lone surrogate, writes only letters, digits,
//    "-_.%" and decodes back to the text;
//  - with characters to leave and to escape taken from the input (and "%" not left), every
//    character that is not an escape is one that must be copied, and decoding gives the text
//    back;
//  - decoding either fails or gives a text that encodes and decodes back to itself;
//  - texts cut from the input into a parameter map survive URLEncodedQueryString() and
//    URLByAppendingQueryParams(): reading and decoding the result gives the map back.
//
// The first byte chooses how the rest is read: 0 as UTF-8, 1 as raw UTF-16 code units (lone
// surrogates included).

#include <QMFoundation/rest/QMCommon.h>
#include <QMFoundation/rest/QMQueryParams.h>
#include <QMFoundation/rest/QMURLEncoding.h>
#include <QMFoundation/rest/QMURLTranscoding.h>

#include <QStringList>
#include <QStringTokenizer>
#include <QVariantMap>

#include <cstdint>
#include <cstdlib>

using namespace Qt::StringLiterals;
using namespace QMURLTranscoding;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

QString join(const QMap<QString, QString> &params)
{
    QStringList pieces;
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        pieces.append(it.key() + u'=' + *it);
    return pieces.join(u'&');
}

void checkReading(const QString &query)
{
    const QMap<QString, QString> params = QMQueryParams::queryParams(query);
    const QString framed = u'&' + query + u'&';
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        require(!it.key().contains(u'&') && !it.key().contains(u'='));
        require(!it->isNull() && !it->contains(u'&') && !it->contains(u'='));
        require(framed.contains(u'&' + it.key() + u'=' + *it + u'&'));
    }
    require(QMQueryParams::queryParams(join(params)) == params);

    // Through a URL the query may change (QUrl escapes what a query cannot hold); it must read.
    const QUrl url(u"https://example.com/p?"_s + query);
    require(!url.isValid() || QMQueryParams::queryParams(url).has_value());
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

void checkEncoding(const QString &text, const QString &leave, const QString &escape)
{
    const QString encoded = stringByURLEncodingString(text);
    require(encoded.isNull() == (text.isNull() || !text.isValidUtf16()));
    if (!encoded.isNull()) {
        for (const QChar c : encoded)
            require(c.unicode() < 0x80 && (c.isLetterOrNumber() || u"-_.%"_s.contains(c)));
        require(stringByURLDecodingString(encoded) == text);
    }

    // The general form: a character outside escapes must be left, or legal and not escaped.
    const QString general
            = stringByURLEncodingStringLeavingCharactersInStringUntoched(text, leave, escape);
    // With "%" left, a "%" of the text cannot be told from an escape.
    if (general.isNull() || leave.contains(u'%'))
        return;
    const QString legal = u"-_.!~*'();/?:@&=+$,"_s;
    for (qsizetype i = 0; i < general.size(); ++i) {
        const QChar c = general[i];
        if (c == u'%') {
            require(i + 2 < general.size() && isHexDigit(general[i + 1])
                    && isHexDigit(general[i + 2]));
            i += 2;
            continue;
        }
        const bool isLegal = c.unicode() < 0x80 && (c.isLetterOrNumber() || legal.contains(c));
        require(leave.contains(c) || (isLegal && !escape.contains(c)));
    }
    require(stringByURLDecodingString(general) == text);
}

void checkDecoding(const QString &text)
{
    const QString decoded = stringByURLDecodingString(text);
    if (!text.contains(u'%'))
        require(decoded == text);
    if (decoded.isNull() || !decoded.isValidUtf16())
        return;
    require(stringByURLDecodingString(stringByURLEncodingString(decoded)) == decoded);
}

// Pieces of the text at "\x01" are keys and values in turn; the map goes through a query string
// and a URL and must come back whole once read and decoded.
void checkParameters(const QString &text)
{
    QVariantMap params;
    const QStringList pieces = text.split(QChar(u'\x01'));
    for (qsizetype i = 0; i + 1 < pieces.size(); i += 2)
        params.insert(pieces[i], pieces[i + 1]);
    const QString query = QMURLEncoding::URLEncodedQueryString(params);
    const QUrl url = QMCommon::URLByAppendingQueryParams(QUrl(u"https://example.com/p"_s), params);
    bool encodable = true;
    for (auto it = params.cbegin(); it != params.cend(); ++it)
        encodable = encodable && it.key().isValidUtf16() && it->toString().isValidUtf16();
    require(query.isNull() == !encodable);
    if (!encodable) {
        require(url.isEmpty());
        return;
    }
    const auto read = QMQueryParams::queryParams(url);
    require(params.isEmpty() ? !read.has_value() : read.has_value());
    for (const auto &source :
         {QMQueryParams::queryParams(query), read.value_or(QMap<QString, QString>())}) {
        QVariantMap decoded;
        for (auto it = source.cbegin(); it != source.cend(); ++it)
            decoded.insert(stringByURLDecodingString(it.key()), stringByURLDecodingString(*it));
        require(decoded == params);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const char *rest = reinterpret_cast<const char *>(data + 1);
    const qsizetype length = qsizetype(size - 1);
    const QString text = data[0] % 2 ? QString(reinterpret_cast<const QChar *>(rest), length / 2)
                                     : QString::fromUtf8(rest, length);
    checkReading(text);
    checkDecoding(text);
    checkParameters(text);
    // The first two lines of the text, if any, are the characters to leave and to escape.
    const QStringList lines = text.split(u'\n');
    if (lines.size() >= 3)
        checkEncoding(lines.mid(2).join(u'\n'), lines[0], lines[1]);
    else
        checkEncoding(text, QString(), QString());
    return 0;
}
