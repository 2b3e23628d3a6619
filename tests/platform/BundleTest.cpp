#include "PlatformTestSupport.h"

#include <QMFoundation/platform/QMBundle.h>

#include <QCoreApplication>
#include <QFile>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

} // namespace

TEST(BundleTest, MainBundleDescribesTheApplication)
{
    QCoreApplication::setApplicationName(u"Notes"_s);
    QCoreApplication::setApplicationVersion(u"2.1"_s);
    QCoreApplication::setOrganizationDomain(u"example.org"_s);
    const std::shared_ptr<QMBundle> bundle = QMBundle::mainBundle();
    EXPECT_EQ(bundle, QMBundle::mainBundle());
    EXPECT_EQ(bundle->bundleName(), u"Notes"_s);
    EXPECT_EQ(bundle->bundleVersion(), u"2.1"_s);
    EXPECT_EQ(bundle->bundleShortVersion(), u"2.1"_s);
    EXPECT_EQ(bundle->bundleIdentifier(), u"org.example.Notes"_s);
    // Read afresh: a version set later shows; an empty one is left out.
    QCoreApplication::setApplicationVersion(QString());
    EXPECT_TRUE(bundle->bundleVersion().isNull());
    EXPECT_FALSE(bundle->infoDictionary().contains(QMBundleVersionKey));

    // Resources: the application's data directories first, then Qt resources.
    const QTemporaryDir home;
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    const QString data = home.path() + u"/Notes"_s; // no organisation name
    ASSERT_TRUE(QDir().mkpath(data));
    write(data + u"/Model.json"_s, "{}");
    EXPECT_EQ(bundle->URLForResource(u"Model"_s, u"json"_s),
              QUrl::fromLocalFile(data + u"/Model.json"_s));
    EXPECT_EQ(bundle->pathForResource(u"../Notes/Model"_s, u"json"_s), QString());
    EXPECT_TRUE(bundle->URLForResource(u"Missing"_s, u"json"_s).isEmpty());
    // Qt's own resources hold nothing of ours, but the lookup goes there.
    EXPECT_EQ(bundle->resourceDirectories().last(), u":"_s);
    qunsetenv("XDG_DATA_HOME");
}

TEST(BundleTest, DirectoryBundlesReadInfoJson)
{
    const ScratchTemporaryDirectory scratch;
    write(scratch.filePath(u"Info.json"_s),
          R"({"CFBundleName": "Store", "CFBundleVersion": 3, "Extra": [1]})");
    write(scratch.filePath(u"Model.momd"_s), "m");
    QMError error;
    const std::shared_ptr<QMBundle> bundle = QMBundle::bundleWithPath(scratch.path(), &error);
    ASSERT_TRUE(bundle) << qPrintable(error.localizedDescription());
    EXPECT_EQ(bundle->bundleName(), u"Store"_s);
    // A value that is no text gives no text, but stays in the dictionary.
    EXPECT_TRUE(bundle->bundleVersion().isNull());
    EXPECT_EQ(bundle->objectForInfoDictionaryKey(u"CFBundleVersion"_s), QVariant(3.0));
    EXPECT_EQ(bundle->pathForResource(u"Model"_s, u"momd"_s), scratch.filePath(u"Model.momd"_s));

    const std::pair<QByteArray, qint64> faults[] = {{"[1, 2]", 2}, {"{\"a\": ", 2}};
    for (const auto &[json, code] : faults) {
        SCOPED_TRACE(json.toStdString());
        write(scratch.filePath(u"Info.json"_s), json);
        EXPECT_FALSE(QMBundle::bundleWithPath(scratch.path(), &error));
        EXPECT_EQ(error.domain(), QMBundleErrorDomain);
        EXPECT_EQ(error.code(), code);
    }
    EXPECT_FALSE(QMBundle::bundleWithPath(scratch.filePath(u"nowhere"_s), &error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_TRUE(error.localizedDescription().contains(u"nowhere/Info.json"_s));
    // An Info.json that is a FIFO is refused at once rather than waited on.
    QFile::remove(scratch.filePath(u"Info.json"_s));
    ASSERT_EQ(::mkfifo(QFile::encodeName(scratch.filePath(u"Info.json"_s)).constData(), 0600), 0);
    EXPECT_FALSE(QMBundle::bundleWithPath(scratch.path(), &error));
    EXPECT_EQ(error.code(), 1);
    EXPECT_TRUE(error.localizedDescription().endsWith(u"it is not a regular file"_s));
}
