#include <QMFoundation/platform/QMProcessInfo.h>

#include "QMFoundation/platform/QMFileLock_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QFile>
#include <QStringList>
#include <QXmlStreamReader>

#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

const QString QMSystemVersionPropertyListPath
        = u"/System/Library/CoreServices/SystemVersion.plist"_s;

namespace {

// The leading ASCII digits of `part` as a number (0 without any), saturating rather than
// wrapping, so that no text can give a negative or wrapped-around version.
qint64 leadingNumber(QStringView part)
{
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    qint64 number = 0;
    for (const QChar c : part) {
        if (c < u'0' || c > u'9')
            break;
        const int digit = c.unicode() - u'0';
        number = number > (max - digit) / 10 ? max : number * 10 + digit;
    }
    return number;
}

QString versionText(qint64 major, qint64 minor, qint64 patch)
{
    return u"%1.%2.%3"_s.arg(major).arg(minor).arg(patch);
}

// An os-release value: '...' taken literally, "..." with backslash escapes, anything else up to
// the end of the line. An unterminated quote takes the rest of the line.
QString unquoted(QStringView value)
{
    if (value.isEmpty() || (value.front() != u'"' && value.front() != u'\''))
        return value.trimmed().toString();
    const QChar quote = value.front();
    QString text;
    for (qsizetype i = 1; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c == quote)
            break;
        if (quote == u'"' && c == u'\\' && i + 1 < value.size())
            text += value.at(++i);
        else
            text += c;
    }
    return text;
}

// The system's version files are small; anything else at their paths is not read.
constexpr qint64 maximumSystemFileSize = 1024 * 1024;

QString readOSRelease()
{
    for (const char *path : {"/etc/os-release", "/usr/lib/os-release"}) {
        QByteArray text;
        if (QMFileIO::readRegularFile(QString::fromLatin1(path), maximumSystemFileSize, &text).ok())
            return QMProcessInfo::versionStringFromOSRelease(QString::fromUtf8(text));
    }
    return versionText(0, 0, 0);
}

} // namespace

QString QMProcessInfo::operatingSystemVersionString()
{
    // A function-local static: computed once, by the first caller, while others wait.
    static const QString version = readOSRelease();
    return version;
}

QString QMProcessInfo::operatingSystemVersionStringValue()
{
    return operatingSystemVersionString();
}

QString QMProcessInfo::versionStringFromOSRelease(const QString &osRelease)
{
    QString versionId;
    for (QStringView line : QStringView(osRelease).split(u'\n')) {
        line = line.trimmed();
        if (line.startsWith(u"VERSION_ID="))
            versionId = unquoted(line.mid(11));
    }
    const QList<QStringView> parts = QStringView(versionId).split(u'.');
    const auto part = [&parts](qsizetype i) {
        return i < parts.size() ? leadingNumber(parts.at(i)) : 0;
    };
    return versionText(part(0), part(1), part(2));
}

QString QMProcessInfo::versionStringFromSystemVersionPropertyList(const QByteArray &propertyList,
                                                                  const QString &path)
{
    const auto expectedFile = [&path] {
        throw QMInternalInconsistencyException(u"Expected "_s + path);
    };
    QXmlStreamReader xml(propertyList);
    if (!xml.readNextStartElement() || xml.name() != u"plist"_s)
        expectedFile();
    if (!xml.readNextStartElement() || xml.name() != u"dict"_s)
        expectedFile();
    // The top-level dictionary: <key> elements, each followed by its value. Nested values are
    // skipped whole; the last "ProductVersion" wins, as in a dictionary.
    std::optional<QString> version;
    QString key;
    bool keyPending = false;
    while (xml.readNextStartElement()) {
        if (xml.name() == u"key"_s) {
            key = xml.readElementText();
            keyPending = true;
            continue;
        }
        if (keyPending && key == u"ProductVersion"_s)
            version = xml.name() == u"string"_s ? std::optional(xml.readElementText())
                                                : std::nullopt;
        if (xml.tokenType() == QXmlStreamReader::StartElement)
            xml.skipCurrentElement();
        keyPending = false;
    }
    // The rest must be well-formed too: a cut-off file is no property list.
    while (!xml.atEnd())
        xml.readNext();
    if (xml.hasError())
        expectedFile();
    if (!version)
        throw QMInternalInconsistencyException(
                u"Expected valid version string from key 'ProductVersion' in '%1'"_s.arg(path));
    const QStringList parts = version->split(u'.');
    if (parts.size() < 2)
        throw QMInternalInconsistencyException(
                u"Expected at least major and minor version: '%1'"_s.arg(*version));
    return versionText(leadingNumber(parts.at(0)), leadingNumber(parts.at(1)),
                       parts.size() == 3 ? leadingNumber(parts.at(2)) : 0);
}

QString QMProcessInfo::operatingSystemVersionStringFromPropertyListAtPath(const QString &path)
{
    QByteArray list;
    if (!QMFileIO::readRegularFile(path, maximumSystemFileSize, &list).ok())
        throw QMInternalInconsistencyException(u"Expected "_s + path);
    return versionStringFromSystemVersionPropertyList(list, path);
}
