#include "support/Failures.h"

#include <QMFoundation/platform/QMDictionary.h>
#include <QMFoundation/platform/QMProcessInfo.h>
#include <QMFoundation/platform/QMSystem.h>

#include <gtest/gtest.h>

#include <QFile>

#include <thread>

using namespace Qt::StringLiterals;

TEST(ProcessInfoTest, VersionsFromPropertyListsAndOSRelease)
{
    const auto plist = [](const QByteArray &entries) -> QByteArray {
        return "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>" + entries
                + "</dict></plist>\n";
    };
    const QString expectedFile = u"Expected "_s + QMSystemVersionPropertyListPath;
    const QString noVersion
            = u"Expected valid version string from key 'ProductVersion' in '%1'"_s.arg(
                    QMSystemVersionPropertyListPath);
    const std::pair<QByteArray, QString> plists[] = {
            {plist("<key>ProductVersion</key><string>10.15</string>"), u"10.15.0"_s},
            {plist("<key>ProductVersion</key><string>11.2.3</string>"), u"11.2.3"_s},
            // Only exactly three parts give a patch; nested dictionaries are not looked into.
            {plist("<key>A</key><dict><key>ProductVersion</key><string>9.9</string></dict>"
                   "<key>ProductVersion</key><string>1.2b.3.4</string>"),
             u"1.2.0"_s},
            {plist("<key>ProductVersion</key><string>11</string>"),
             u"Expected at least major and minor version: '11'"_s},
            {plist("<key>ProductVersion</key><string></string>"),
             u"Expected at least major and minor version: ''"_s},
            {plist("<key>ProductVersion</key><integer>11</integer>"), noVersion},
            {"<plist><array/></plist>", expectedFile},
            {plist("<key>ProductVersion</key><string>1.2</string>").chopped(9), expectedFile},
    };
    for (const auto &[bytes, expected] : plists) {
        SCOPED_TRACE(bytes.toStdString());
        QString result;
        const QString failure = TestSupport::failureOf(
                [&] { result = QMProcessInfo::versionStringFromSystemVersionPropertyList(bytes); });
        EXPECT_EQ(result.isNull() ? failure : result, expected);
    }
    EXPECT_EQ(TestSupport::failureOf([] {
                  QMProcessInfo::operatingSystemVersionStringFromPropertyListAtPath(u"/no.plist"_s);
              }),
              u"Expected /no.plist"_s);

    const std::pair<const char *, const char *> osReleases[] = {
            {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", "12.0.0"},
            {"  VERSION_ID='22.04.3'  \r\n", "22.4.3"},
            {"VERSION_ID=\"1.\\\"2\"\nVERSION_ID=2.1", "2.1.0"},
            {"VERSION_ID=99999999999999999999.1", "9223372036854775807.1.0"},
            {"ID=arch", "0.0.0"},
    };
    for (const auto &[text, version] : osReleases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(QMProcessInfo::versionStringFromOSRelease(QString::fromUtf8(text)),
                  QString::fromUtf8(version));
    }
    // The running system's version, the same on every thread.
    QFile osRelease(u"/etc/os-release"_s);
    ASSERT_TRUE(osRelease.open(QIODevice::ReadOnly));
    const QString expected
            = QMProcessInfo::versionStringFromOSRelease(QString::fromUtf8(osRelease.readAll()));
    QString fromThread;
    std::thread thread([&] { fromThread = QMProcessInfo::operatingSystemVersionString(); });
    EXPECT_EQ(QMProcessInfo::operatingSystemVersionStringValue(), expected);
    thread.join();
    EXPECT_EQ(fromThread, expected);
}

TEST(ProcessInfoTest, SmallHelpers)
{
    const std::pair<const char *, const char *> encodings[] = {
            {"utf8", "UTF-8"},        {"latin1", "ISO-8859-1"}, {"sjis", "Shift_JIS"},
            {"no-such-set", nullptr}, {"utf\xc3\xa9", nullptr},
    };
    for (const auto &[name, expected] : encodings) {
        SCOPED_TRACE(name);
        EXPECT_EQ(QMStringEncoding::stringEncodingFromIANACharSetName(QString::fromUtf8(name)),
                  expected ? QString::fromUtf8(expected) : QString());
    }
    QVariantMap map {{u"a"_s, QVariant()}};
    QMDictionary::setFloat(map, 1.5f, u"f"_s);
    EXPECT_TRUE(QMDictionary::existsKey(map, u"a"_s));
    EXPECT_EQ(map.value(u"f"_s).typeId(), QMetaType::Float);
    EXPECT_EQ(QMDictionary::dictionaryByAddingEntriesFromDictionary(map, {{u"f"_s, 2}}),
              (QVariantMap {{u"a"_s, QVariant()}, {u"f"_s, 2}}));
    quint64 other = 0;
    std::thread([&other] { other = QMThread::identifier(); }).join();
    EXPECT_NE(other, QMThread::identifier());
}
