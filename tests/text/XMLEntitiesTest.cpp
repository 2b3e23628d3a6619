#include <QMFoundation/text/QMXMLEntities.h>

#include "TextTestSupport.h"

#include <gtest/gtest.h>

using namespace QMXMLEntities;
using namespace Qt::StringLiterals;

TEST(XMLEntitiesTest, EscapesTheFivePredefinedCharacters)
{
    const QString text = u"a<b> & \"c\" 'd' \u00e9"_s;
    const QString escaped = u"a&lt;b&gt; &amp; &quot;c&quot; &apos;d&apos; \u00e9"_s;
    EXPECT_EQ(stringByEscapingXMLEntities(text), escaped);
    EXPECT_EQ(stringByEscapingEntities(text), escaped);
    EXPECT_EQ(stringByUnescapingXMLEntities(escaped), text);
    EXPECT_EQ(stringByUnescapingEntities(escaped), text);
    EXPECT_TRUE(stringByEscapingXMLEntities(QString()).isNull());
}

TEST(XMLEntitiesTest, UnescapesReferencesAndLeavesMalformedOnesAsText)
{
    const std::pair<QString, QString> decoded[]
            = {{u"&#65;&#x41;&#x6a;&#x6A;"_s, u"AAjj"_s},
               {u"&#0000065;&#x0000000000000000000041;"_s, u"AA"_s},
               {u"&#9;&#10;&#13;"_s, u"\t\n\r"_s},
               {u"&#x1F600;|&#128512;"_s, u"\U0001F600|\U0001F600"_s},
               {u"&#x10FFFF;"_s, u"\U0010FFFF"_s},
               {u"&amp;lt;"_s, u"&lt;"_s}, // decoded text is not decoded again
               {u"&#38;#38;"_s, u"&#38;"_s},
               {u"&&amp;"_s, u"&&"_s}};
    for (const auto &[input, expected] : decoded)
        EXPECT_EQ(stringByUnescapingXMLEntities(input), expected) << input.toStdString();

    // Malformed, out of range or naming no XML character: kept verbatim.
    const QString kept[] = {u"&#99999999999;"_s,
                            u"&#x;&#;&#0;&#x0;&#1;"_s,
                            u"&#xD800;&#55296;&#xDFFF;"_s,
                            u"&#x110000;&#1114112;&#xFFFE;"_s,
                            u"&#x100000041;"_s, // must not wrap around to 'A'
                            u"&#12"_s,
                            u"x&#x41"_s,
                            u"&#X41;&#-5;&#1a;&#x1g;&# 65;"_s,
                            u"&AMP;&nbsp;&amp&;& amp;&"_s,
                            u"&#"_s + QString(100000, u'9') + u';'};
    for (const QString &input : kept)
        EXPECT_EQ(stringByUnescapingXMLEntities(input), input) << input.left(40).toStdString();
}
