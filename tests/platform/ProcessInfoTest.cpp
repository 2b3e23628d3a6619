#include "support/Failures.h"

#include "platform/QMDictionary.h"
#include "platform/QMProcessInfo.h"
#include "platform/QMSystem.h"

#include <gtest/gtest.h>

#include <QFile>

#include <thread>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

QByteArray propertyList(const QByteArray &entries)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//x//DTD PLIST "
           "1.0//EN\" \"x.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
            + entries + "\n</dict>\n</plist>\n";
}

} // namespace

TEST(ProcessInfoTest, PropertyListVersionsFollowTheProductVersionRule)
{
    const QString path = QMSystemVersionPropertyListPath;
    const QString noVersion
            = u"Expected valid version string from key 'ProductVersion' in '%1'"_s.arg(path);
    const struct
    {
        QByteArray plist;
        QString result; // the version, or the exception's reason
    } rows[] = {
            {propertyList("<key>ProductVersion</key><string>10.15</string>"), u"10.15.0"_s},
            {propertyList("<key>ProductVersion</key><string>11.2.3</string>"), u"11.2.3"_s},
            // Only exactly three parts give a patch.
            {propertyList("<key>ProductVersion</key><string>1.2.3.4</string>"), u"1.2.0"_s},
            {propertyList("<key>ProductName</key><string>X</string><key>Other</key><dict><key>"
                          "ProductVersion</key><string>9.9</string></dict>"
                          "<key>ProductVersion</key><string>12.4b</string>"),
             u"12.4.0"_s},
            {propertyList("<key>ProductVersion</key><string>11</string>"),
             u"Expected at least major and minor version: '11'"_s},
            {propertyList("<key>ProductVersion</key><string></string>"),
             u"Expected at least major and minor version: ''"_s},
            {propertyList("<key>ProductVersion</key><integer>11</integer>"), noVersion},
            {propertyList("<key>Other</key><string>1.2</string>"), noVersion},
            {"", u"Expected "_s + path},
            {"<plist><array/></plist>", u"Expected "_s + path},
            {propertyList("<key>ProductVersion</key><string>1.2</string>").chopped(9),
             u"Expected "_s + path},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.plist.toStdString());
        QString result;
        const QString failure = failureOf([&] {
            result = QMProcessInfo::versionStringFromSystemVersionPropertyList(row.plist);
        });
        EXPECT_EQ(result.isNull() ? failure : result, row.result);
    }
    EXPECT_EQ(failureOf([] {
                  QMProcessInfo::operatingSystemVersionStringFromPropertyListAtPath(
                          u"/no/such.plist"_s);
              }),
              u"Expected /no/such.plist"_s);
}

TEST(ProcessInfoTest, OSReleaseVersionsReadMissingPartsAsZero)
{
    const std::pair<const char *, const char *> rows[] = {
            {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", "12.0.0"},
            {"VERSION_ID=22.04", "22.4.0"},
            {"  VERSION_ID='3.18.4'  \r\n", "3.18.4"},
            {"VERSION_ID=\"1.\\\"2\"", "1.0.0"},
            {"VERSION_ID=1\nVERSION_ID=2.1", "2.1.0"},
            {"VERSION_ID=99999999999999999999.1", "9223372036854775807.1.0"},
            {"ID=arch\nBUILD_ID=rolling", "0.0.0"},
            {"VERSION_ID=\"7", "7.0.0"},
            {"", "0.0.0"},
    };
    for (const auto &[text, version] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(QMProcessInfo::versionStringFromOSRelease(QString::fromUtf8(text)),
                  QString::fromUtf8(version));
    }

    // The running system's version, the same text on every thread.
    QFile osRelease(u"/etc/os-release"_s);
    ASSERT_TRUE(osRelease.open(QIODevice::ReadOnly));
    const QString expected
            = QMProcessInfo::versionStringFromOSRelease(QString::fromUtf8(osRelease.readAll()));
    QString fromThread;
    std::thread thread(
            [&fromThread] { fromThread = QMProcessInfo::operatingSystemVersionString(); });
    const QString here = QMProcessInfo::operatingSystemVersionStringValue();
    thread.join();
    EXPECT_EQ(here, expected);
    EXPECT_EQ(fromThread, expected);
}

TEST(ProcessInfoTest, SmallHelpers)
{
    EXPECT_FALSE(QMIsDebugEnvironment());
    const std::pair<const char *, const char *> encodings[] = {
            {"utf-8", "UTF-8"},
            {"utf8", "UTF-8"},
            {"latin1", "ISO-8859-1"},
            {"ISO_8859-1", "ISO-8859-1"},
            {"sjis", "Shift_JIS"},
            {"no-such-charset", nullptr},
            {"", nullptr},
            {"utf\xc3\xa9", nullptr},
    };
    for (const auto &[name, expected] : encodings) {
        SCOPED_TRACE(name);
        EXPECT_EQ(QMStringEncoding::stringEncodingFromIANACharSetName(QString::fromUtf8(name)),
                  expected ? QString::fromUtf8(expected) : QString());
    }
    QVariantMap map {{u"a"_s, QVariant()}};
    QMDictionary::setFloat(map, 1.5f, u"f"_s);
    QMDictionary::setUnsignedInteger(map, 7, u"u"_s);
    EXPECT_TRUE(QMDictionary::existsKey(map, u"a"_s));
    EXPECT_EQ(map.value(u"f"_s).typeId(), QMetaType::Float);
    EXPECT_EQ(map.value(u"u"_s).typeId(), QMetaType::ULongLong);
    const QVariantMap added = QMDictionary::dictionaryByAddingEntriesFromDictionary(
            map, {{u"u"_s, 8}, {u"b"_s, true}});
    EXPECT_EQ(added.value(u"u"_s), QVariant(8));
    EXPECT_EQ(added.size(), 4);
    EXPECT_EQ(map.size(), 3);

    quint64 other = 0;
    std::thread([&other] { other = QMThread::identifier(); }).join();
    EXPECT_NE(other, QMThread::identifier());
    EXPECT_EQ(QMThread::identifier(), QMThread::identifier());
}
