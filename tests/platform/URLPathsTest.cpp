#include "PlatformTestSupport.h"

#include <QMFoundation/platform/QMURLPaths.h>

#include <QFile>

using namespace Qt::StringLiterals;

TEST(URLPathsTest, NormalizingPathKeepsSchemeUserHostPortAndCleanedPath)
{
    const std::pair<const char *, const char *> rows[] = {
            // Password, query and fragment go; the user stays.
            {"https://joe:pw@example.com:8443/a/./b/../c/?q=1#f",
             "https://joe@example.com:8443/a/c"},
            // A path of "/" (or none) leaves no path at all.
            {"http://example.com/", "http://example.com"},
            {"http://example.com/a/..", "http://example.com"},
            // Repeated and trailing separators go; escapes stay escapes.
            {"http://example.com//a//b//", "http://example.com/a/b"},
            {"http://example.com/a%2Fb/c%20d", "http://example.com/a%2Fb/c%20d"},
            // An e-mail address as user name keeps its escape.
            {"ftp://joe%40example.org@files.example.com/pub/",
             "ftp://joe%40example.org@files.example.com/pub"},
            {"file:///tmp/./x/../y", "file:///tmp/y"},
            {"mailto:joe@example.com", "mailto:joe@example.com"},
    };
    for (const auto &[input, expected] : rows) {
        SCOPED_TRACE(input);
        EXPECT_EQ(QMURLPaths::URLByNormalizingPath(QUrl(QString::fromUtf8(input)))
                          .toString(QUrl::FullyEncoded),
                  QString::fromUtf8(expected));
    }
    EXPECT_TRUE(QMURLPaths::URLByNormalizingPath(QUrl()).isEmpty());
}

TEST(URLPathsTest, NormalizedFileURLsResolveSymbolicLinks)
{
    const ScratchTemporaryDirectory scratch;
    const QString real = scratch.filePath(u"real"_s);
    ASSERT_TRUE(QDir().mkdir(real));
    ASSERT_TRUE(QFile::link(real, scratch.filePath(u"link"_s)));
    ASSERT_TRUE(QFile::link(scratch.filePath(u"loop2"_s), scratch.filePath(u"loop1"_s)));
    ASSERT_TRUE(QFile::link(scratch.filePath(u"loop1"_s), scratch.filePath(u"loop2"_s)));
    const auto file = [&scratch](const QString &name) {
        return QUrl::fromLocalFile(scratch.path() + name);
    };
    const std::pair<QString, QString> rows[] = {
            {u"/link/"_s, u"/real"_s},
            {u"/link/../link/./"_s, u"/real"_s},
            // Missing files and loops keep the cleaned path.
            {u"/link//missing/../other"_s, u"/link/other"_s},
            {u"/nothing//here/."_s, u"/nothing/here"_s},
            {u"/loop1/x"_s, u"/loop1/x"_s},
    };
    for (const auto &[input, expected] : rows) {
        SCOPED_TRACE(input.toStdString());
        EXPECT_EQ(QMURLPaths::normalizedFileURL(file(input)), file(expected));
        EXPECT_EQ(QMURLPaths::normalizedFileTypeFileURL(file(input)), file(expected));
        EXPECT_EQ(QMURLPaths::normalizedDirectoryTypeFileURL(file(input)), file(expected + u'/'));
    }
    const QUrl web(u"https://example.com/a/../b"_s);
    EXPECT_EQ(QMURLPaths::normalizedFileURL(web), web);
    EXPECT_EQ(QMURLPaths::normalizedDirectoryTypeFileURL(web), web);
}
