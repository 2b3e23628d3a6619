#include <QMFoundation/rest/HTTPMethods.h>
#include <QMFoundation/rest/QMCommon.h>
#include <QMFoundation/rest/QMQueryParams.h>
#include <QMFoundation/rest/QMURLEncoding.h>
#include <QMFoundation/rest/QMURLTranscoding.h>

#include "text/TextTestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRandomGenerator>
#include <QStringList>

#include <gtest/gtest.h>

using namespace QMURLTranscoding;
using namespace Qt::StringLiterals;

namespace {

const QString loneHigh(QChar(0xD83D));
const QString loneLow(QChar(0xDE00));

// A fixed corpus of short texts drawn from ASCII (controls included), Latin-1, the rest of the
// BMP (lone surrogates included) and the supplementary planes: the same every run.
QStringList randomCorpus()
{
    QRandomGenerator random(20240611);
    const char32_t starts[] = {0, 0x80, 0, 0x10000}, sizes[] = {0x80, 0x80, 0x10000, 0x100000};
    QStringList corpus;
    for (int n = 0; n < 400; ++n) {
        QString text = u""_s;
        for (int length = random.bounded(12); length > 0; --length) {
            const int range = random.bounded(4);
            const char32_t c = starts[range] + random.bounded(sizes[range]);
            text += c < 0x10000 ? QString(QChar(char16_t(c))) : QString::fromUcs4(&c, 1);
        }
        corpus.append(text);
    }
    return corpus;
}

// JSON text for a list of texts with everything outside printable ASCII as \u escapes, so lone
// surrogates travel too (JSON allows them; UTF-8 could not carry them).
QByteArray jsonStringList(const QStringList &texts)
{
    QByteArray json = "[";
    for (const QString &text : texts) {
        json += json.size() > 1 ? ",\"" : "\"";
        for (const QChar c : text) {
            if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'"' && c != u'\\')
                json += char(c.unicode());
            else
                json += "\\u" + QByteArray::number(c.unicode(), 16).rightJustified(4, '0');
        }
        json += '"';
    }
    return json + ']';
}

} // namespace

TEST(URLTranscodingTest, EncodesByTheLegalAndCriticalSets)
{
    // The query encoding keeps exactly the ASCII letters, digits and "-_."; everything else is
    // escaped, which the other rows check beyond ASCII.
    for (char16_t c = 0; c < 0x80; ++c) {
        const QString text(QChar {c});
        const bool kept = QChar::isLetterOrNumber(c) || c == u'-' || c == u'_' || c == u'.';
        const QString expected = kept ? text : u"%%1"_s.arg(int(c), 2, 16, QChar(u'0')).toUpper();
        EXPECT_EQ(stringByURLEncodingString(text), expected) << int(c);
        EXPECT_EQ(stringByURLEncodingIllegalAndCriticalLegalURLCharactersInString(text), expected);
    }

    const struct
    {
        QString text, leave, escape, expected;
    } rows[] = {
            {u"a b&c=d/é~"_s, {}, u"~:/?#[]@!$&'()*+,;="_s, u"a%20b%26c%3Dd%2F%C3%A9%7E"_s},
            // Without characters to escape, RFC 2396's legal set stays; "#%[] " and others do not.
            {u"-_.!~*'();/?:@&=+$,aZ9"_s, {}, {}, u"-_.!~*'();/?:@&=+$,aZ9"_s},
            {u"#%[] <>\"{}|\\^`\x7f"_s, {}, {}, u"%23%25%5B%5D%20%3C%3E%22%7B%7D%7C%5C%5E%60%7F"_s},
            // Leaving beats escaping; left characters need not be legal.
            {u"a/b c"_s, u"/ "_s, u"/a"_s, u"%61/b c"_s},
            {u"é😀ü"_s, u"😀é"_s, {}, u"é😀%C3%BC"_s},
            {u"\u0800\uffff\U0010FFFF"_s, {}, {}, u"%E0%A0%80%EF%BF%BF%F4%8F%BF%BF"_s},
            // A lone surrogate has no UTF-8 form: refused unless left.
            {u"a"_s + loneHigh, {}, {}, QString()},
            {loneLow + u"a"_s, {}, {}, QString()},
            {loneHigh + u" "_s, loneHigh, {}, loneHigh + u"%20"_s},
            {u""_s, {}, {}, u""_s},
            {QString(), u"a"_s, {}, QString()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        const QString encoded = stringByURLEncodingStringLeavingCharactersInStringUntoched(
                row.text, row.leave, row.escape);
        EXPECT_EQ(encoded, row.expected);
        EXPECT_EQ(encoded.isNull(), row.expected.isNull());
    }
}

TEST(URLTranscodingTest, DecodesEscapesAndRefusesBrokenUTF8)
{
    const std::pair<QString, QString> rows[] = {
            {u"a%20b+c"_s, u"a b+c"_s}, // "+" is no space
            {u"%c3%A9%F0%9F%98%80"_s, u"é😀"_s},
            {u"%EF%BB%BFx%00"_s, u"\ufeffx"_s + QChar(u'\0')}, // a byte-order mark is a character
            {u"%%4%zz%4g%"_s, u"%%4%zz%4g%"_s}, // no escapes here
            {u"é%41"_s, u"éA"_s},
            {u"%C3"_s, QString()}, // truncated
            {u"%C3x%A9"_s, QString()}, // interrupted
            {u"%A9"_s, QString()}, // stray continuation byte
            {u"%C0%80"_s, QString()}, // overlong
            {u"%ED%A0%80"_s, QString()}, // encoded surrogate
            {u"%F4%90%80%80"_s, QString()}, // past U+10FFFF
            {u"%FF"_s, QString()},
            {QString(), QString()},
    };
    for (const auto &[text, expected] : rows) {
        SCOPED_TRACE(text.toStdString());
        EXPECT_EQ(stringByURLDecodingString(text), expected);
        EXPECT_EQ(stringByURLDecodingString(text).isNull(), expected.isNull());
    }
}

// The query encoding agrees with Python's urllib.parse.quote(text, safe='-_.') on every text of
// a fixed corpus. quote() never escapes "~" (RFC 3986 made it unreserved), while the library
// escapes it with the critical characters; a "~" in quote()'s output can only be one of the
// input, so the script writes it as "%7E". quote() refuses lone surrogates as the library does.
// Every encoded text decodes back.
TEST(URLTranscodingTest, AgreesWithPythonsQuote)
{
    QStringList corpus = {u""_s,
                          u"a b&c=d/é~"_s,
                          u"~:/?#[]@!$&'()*+,;=%\"<>\\^`{|} -_."_s,
                          u"\t\n\r\x01\x1f\x7f\u0080\u009f\u00a0"_s,
                          u"żółw 日本語 עברית \ufeff\ufffd\uffff"_s,
                          u"😀\U00010000\U0010FFFF𝄞"_s,
                          u"ab"_s + loneHigh,
                          loneLow + u"ab"_s,
                          loneLow + loneHigh};
    QString ascii;
    for (char16_t c = 0; c < 0x80; ++c)
        ascii += QChar(c);
    corpus.append(ascii);
    corpus.append(randomCorpus());

    QProcess python;
    python.start(u"python3"_s,
                 {u"-c"_s,
                  u"import json, sys, urllib.parse\n"
                  "def quote(s):\n"
                  "    try:\n"
                  "        return urllib.parse.quote(s, safe='-_.').replace('~', '%7E')\n"
                  "    except UnicodeEncodeError:\n"
                  "        return None\n"
                  "json.dump([quote(s) for s in json.load(sys.stdin)], sys.stdout)\n"_s});
    ASSERT_TRUE(python.waitForStarted())
            << "python3 is needed: " << python.errorString().toStdString();
    python.write(jsonStringList(corpus));
    python.closeWriteChannel();
    ASSERT_TRUE(python.waitForFinished(60000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    const QJsonArray expected = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    ASSERT_EQ(expected.size(), corpus.size());
    for (qsizetype i = 0; i < corpus.size(); ++i) {
        SCOPED_TRACE(jsonStringList({corpus[i]}).toStdString());
        const QString encoded = stringByURLEncodingString(corpus[i]);
        EXPECT_EQ(encoded.isNull(), expected[i].isNull());
        EXPECT_EQ(encoded, expected[i].toString());
        if (!encoded.isNull()) {
            EXPECT_EQ(stringByURLDecodingString(encoded), corpus[i]);
        }
    }
}

TEST(URLEncodingTest, BuildsAndReadsQueryStrings)
{
    const struct
    {
        QVariantMap params;
        QString query;
    } built[] = {
            {{}, u""_s},
            {{{u"a"_s, u"b c"_s}}, u"a=b%20c"_s},
            {{{u"a&b"_s, u"1=2"_s}}, u"a%26b=1%3D2"_s},
            {{{u"t"_s, true}, {u"f"_s, false}, {u"n"_s, 5}, {u"x"_s, 1.5}}, u"f=0&n=5&t=1&x=1.5"_s},
            {{{u"plus"_s, u"+%"_s}, {u""_s, QString()}}, u"=&plus=%2B%25"_s},
            // A list is one value: its description.
            {{{u"l"_s, QStringList {u"a"_s}}}, u"l=%28%0A%20%20%20%20a%0A%29"_s},
            {{{u"s"_s, loneHigh}}, QString()},
    };
    for (const auto &row : built) {
        SCOPED_TRACE(row.query.toStdString());
        EXPECT_EQ(QMURLEncoding::URLEncodedQueryString(row.params), row.query);
        EXPECT_EQ(QMURLEncoding::URLEncodedQueryString(row.params).isNull(), row.query.isNull());
    }
    using Items = QList<QPair<QString, QString>>;
    EXPECT_EQ(QMURLEncoding::queryItems({{u"b"_s, 2}, {u"a"_s, u"x&y"_s}}),
              (Items {{u"a"_s, u"x&y"_s}, {u"b"_s, u"2"_s}}));

    using Params = QMap<QString, QString>;
    const std::pair<QString, Params> read[] = {
            {u"a=1&b&c=2=3"_s, {{u"a"_s, u"1"_s}}},
            {u"a=1&a=2"_s, {{u"a"_s, u"2"_s}}},
            {u"q=%20&a+b=c+d"_s, {{u"q"_s, u"%20"_s}, {u"a+b"_s, u"c+d"_s}}},
            {u"&=x&y=&&"_s, {{u""_s, u"x"_s}, {u"y"_s, u""_s}}},
            {u""_s, {}},
    };
    for (const auto &[query, expected] : read) {
        SCOPED_TRACE(query.toStdString());
        const Params params = QMQueryParams::queryParams(query);
        EXPECT_EQ(params, expected);
        for (const QString &value : params)
            EXPECT_FALSE(value.isNull());
    }
    EXPECT_FALSE(QMQueryParams::queryParams(QUrl(u"http://h/p"_s)).has_value());
    EXPECT_EQ(QMQueryParams::queryParams(QUrl(u"http://h/p?"_s)), Params {});
    // As the URL holds it: escapes stay, but QUrl writes those of unreserved characters plainly.
    EXPECT_EQ(QMQueryParams::queryParams(QUrl(u"http://h/?q=%20%26&r=%7E%41"_s)),
              (Params {{u"q"_s, u"%20%26"_s}, {u"r"_s, u"~A"_s}}));
}

TEST(URLCommonTest, BuildsAndRebuildsURLs)
{
    using namespace QMCommon;
    const auto url = [](const QString &text) {
        return QUrl(text);
    };
    const QString none;
    const QUrl withUser(u"https://old:pw@example.com:8443/a%2Fb%20c?x=%26#f"_s);
    const struct
    {
        QUrl actual;
        QString expected; // empty: an empty QUrl
    } rows[] = {
            {URLWithScheme(u"https"_s, u""_s, u"example.com"_s, 8443, u"/a b"_s, u"q=1"_s, u"f"_s),
             u"https://example.com:8443/a%20b?q=1#f"_s},
            {URLWithScheme(u"https"_s, u"joe@example.com"_s, u"h"_s, -1, u"/"_s, u""_s, none),
             u"https://joe%40example.com@h/?"_s},
            {URLWithScheme(u"http"_s, u"example.com"_s, -1, none), u"http://example.com"_s},
            {URLWithScheme(u"http"_s, u"h"_s, -1, u"relative"_s), none},
            {URLWithScheme(u"http"_s, u"h"_s, 70000, none), none},
            {URLWithScheme(u"1http"_s, u"h"_s, -1, none), none},
            {URLWithScheme(none, none, -1, none), none},
            // Rebuilding keeps every escape and drops the password.
            {URLBySettingUser(withUser, u"new"_s),
             u"https://new@example.com:8443/a%2Fb%20c?x=%26#f"_s},
            {URLBySettingUser(withUser, u""_s), u"https://example.com:8443/a%2Fb%20c?x=%26#f"_s},
            {URLByRemovingUser(withUser), u"https://example.com:8443/a%2Fb%20c?x=%26#f"_s},
            {URLByRemovingUser(url(u"http://:pw@h/"_s)), u"http://h/"_s},
            {URLByDeletingPathAndQueryString(withUser), u"https://old@example.com:8443"_s},
            {URLByDeletingPath(url(u"http://%FF@h/p"_s)), u"http://%FF@h"_s},
            // File URLs, URLs without a host and URLs without a user come back as they are.
            {URLBySettingUser(url(u"file:///tmp/x"_s), u"u"_s), u"file:///tmp/x"_s},
            {URLBySettingUser(url(u"mailto:joe@example.com"_s), u"u"_s),
             u"mailto:joe@example.com"_s},
            {URLByDeletingPath(url(u"file://host/tmp/x?y"_s)), u"file://host/tmp/x?y"_s},
            {URLByRemovingUser(url(u"http://h/p"_s)), u"http://h/p"_s},
            // Appending: "?" or "&", at the very end of the text.
            {URLByAppendingQueryParams(url(u"http://h/p"_s), {{u"a"_s, u"b c"_s}}),
             u"http://h/p?a=b%20c"_s},
            {URLByAppendingQueryParams(url(u"http://h/p?x=1"_s), {{u"a"_s, 1}}),
             u"http://h/p?x=1&a=1"_s},
            {URLByAppendingQueryParams(url(u"http://h/p?"_s), {{u"a"_s, 1}}), u"http://h/p?&a=1"_s},
            {URLByAppendingQueryParams(url(u"http://h/p#top"_s), {{u"a"_s, 1}}),
             u"http://h/p#top?a=1"_s},
            {URLByAppendingQueryParams(url(u"http://h/p"_s), {}), u"http://h/p"_s},
            {URLByAppendingQueryParams(QUrl(), {{u"a"_s, 1}}), none},
            {URLByAppendingQueryParams(url(u"http://h/p"_s), {{u"a"_s, loneLow}}), none},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.expected.toStdString());
        EXPECT_EQ(row.actual.toString(QUrl::FullyEncoded), row.expected);
        EXPECT_EQ(row.actual.isEmpty(), row.expected.isEmpty());
    }

    const std::pair<const char *, bool> web[]
            = {{"http://h", true}, {"https://h/p", true}, {"HTTP://h", true}, {"ftp://h", false},
               {"//h/p", false},   {"httpx://h", false},  {"http:", true}};
    for (const auto &[text, expected] : web)
        EXPECT_EQ(isValidWebURL(QUrl(QString::fromLatin1(text))), expected) << text;
}

TEST(HTTPMethodsTest, ComparesUpperCasedNames)
{
    using namespace HTTPMethods;
    const std::pair<QString, QString> rows[] = {
            {u"get"_s, u"GET"_s}, {u"Get"_s, u"GET"_s},       {u"POST"_s, u"POST"_s},
            {u"pUt"_s, u"PUT"_s}, {u"delete"_s, u"DELETE"_s}, {u"patch"_s, u"PATCH"_s},
            {u" GET"_s, u""_s},   {u"GETS"_s, u""_s},         {u"HEAD"_s, u""_s},
            {QString(), u""_s},
    };
    for (const auto &[method, name] : rows) {
        SCOPED_TRACE(method.toStdString());
        EXPECT_EQ(isGETMethod(method), name == u"GET"_s);
        EXPECT_EQ(isPOSTMethod(method), name == u"POST"_s);
        EXPECT_EQ(isPUTMethod(method), name == u"PUT"_s);
        EXPECT_EQ(isDELETEMethod(method), name == u"DELETE"_s);
        EXPECT_EQ(isPATCHMethod(method), name == u"PATCH"_s);
    }
}
