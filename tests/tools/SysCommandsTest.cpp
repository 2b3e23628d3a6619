#include "QmfTestSupport.h"

#include <QMFoundation/platform/QMProcessInfo.h>

#include <gtest/gtest.h>

#include <QCoreApplication>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

TEST(QmfSysTest, PrintsSystemDirectoriesAndBundle)
{
    const QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(u"data"_s)));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath(u"cache"_s)));
    qputenv("TMPDIR", QFile::encodeName(home.path()));
    QCoreApplication::setApplicationName(u"qmf"_s);
    QCoreApplication::setApplicationVersion(u"1.2"_s);
    QCoreApplication::setOrganizationDomain(u"qmfoundation.example"_s);
    QFile osRelease(u"/etc/os-release"_s);
    ASSERT_TRUE(osRelease.open(QIODevice::ReadOnly));
    const QString version
            = QMProcessInfo::versionStringFromOSRelease(QString::fromUtf8(osRelease.readAll()));
    const QString expected
            = u"System version: %1\n"
              "Temporary directory: %2\n"
              "Application support: %2/data/qmf\n"
              "Caches: %2/cache/qmf\n"
              "Bundle name: qmf\n"
              "Bundle version: 1.2\n"
              "Bundle short version: 1.2\n"
              "Bundle identifier: example.qmfoundation.qmf\n"_s.arg(version, home.path());
    expectRuns({
            {words("sys"), {}, 0, expected.toUtf8()},
            failing(words("sys extra"), 2,
                    u"qmf: unknown sys command \"extra\" (try mime or normalize)\n"_s),
    });
}

TEST(QmfSysTest, MimeAndNormalizePrintOneLinePerArgument)
{
    expectRuns({
            {words("sys mime notes.txt /x/photo.JPG notes"),
             {},
             0,
             "text/plain\nimage/jpeg\nnone\n"},
            {words("sys normalize https://joe:pw@example.com:8443/a/./b/../c/?q#f "
                   "http://example.com/ file:///a/./b/../c"),
             {},
             0,
             "https://joe@example.com:8443/a/c\nhttp://example.com\nfile:///a/c\n"},
            // Nothing is printed when one URL is bad.
            failing(words("sys normalize http://example.com/ http://exa%mple.com/"), 2,
                    u"qmf: \"http://exa%mple.com/\" is not a URL that can be normalised\n"_s),
            failing(words("sys mime"), 2, u"qmf: sys mime needs at least one PATH\n"_s),
            failing(words("sys normalize"), 2, u"qmf: sys normalize needs at least one URL\n"_s),
    });
}
