// Reads system versions from arbitrary text and checks that
//  - the os-release reading never fails and always gives three decimal numbers joined by ".";
//  - the property-list reading either gives three such numbers or throws one of its three
//    documented messages, and nothing else;
//  - a well-formed property list whose ProductVersion is the input (escaped for XML) gives the
//    version that an independent reading of the text predicts: parts split at ".", at least two,
//    the patch only with exactly three, each part's leading digits saturating at 2^63 - 1.
//
// The first byte chooses the use of the rest: 0 os-release text, 1 raw property-list bytes, 2 the
// ProductVersion of a generated property list.

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/platform/QMProcessInfo.h>

#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool isVersionText(const QString &text)
{
    static const QRegularExpression pattern(u"\\A[0-9]+\\.[0-9]+\\.[0-9]+\\z"_s);
    return pattern.match(text).hasMatch();
}

// The leading digits of a part, read by the C library (which saturates at 2^63 - 1 as well).
QString number(const QString &part)
{
    qsizetype digits = 0;
    while (digits < part.size() && part.at(digits) >= u'0' && part.at(digits) <= u'9')
        ++digits;
    if (digits == 0)
        return u"0"_s;
    const QByteArray text = part.left(digits).toLatin1();
    errno = 0;
    const long long value = std::strtoll(text.constData(), nullptr, 10);
    return QString::number(errno == ERANGE ? std::numeric_limits<long long>::max() : value);
}

QString escaped(const QString &text)
{
    QString result = text;
    return result.replace(u'&', u"&amp;"_s).replace(u'<', u"&lt;"_s).replace(u'>', u"&gt;"_s);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray bytes(reinterpret_cast<const char *>(data) + 1, qsizetype(size - 1));
    const QString path = QMSystemVersionPropertyListPath;
    switch (data[0] % 3) {
    case 0:
        require(isVersionText(QMProcessInfo::versionStringFromOSRelease(QString::fromUtf8(bytes))));
        break;
    case 1:
        try {
            require(isVersionText(
                    QMProcessInfo::versionStringFromSystemVersionPropertyList(bytes)));
        } catch (const QMInternalInconsistencyException &exception) {
            const QString reason = exception.reason();
            require(reason == u"Expected "_s + path
                    || reason
                            == u"Expected valid version string from key 'ProductVersion' in '%1'"_s
                                       .arg(path)
                    || reason.startsWith(u"Expected at least major and minor version: '"_s));
        }
        break;
    default: {
        // Text that XML can carry: no control characters but tab, line feed and carriage
        // return (which XML reads as a line feed), no lone surrogates or non-characters.
        const QString value = QString::fromUtf8(bytes);
        for (const QChar c : value) {
            if ((c.unicode() < 0x20 && c != u'\t' && c != u'\n') || c.isSurrogate()
                || c.unicode() >= 0xfffe)
                return 0;
        }
        const QByteArray plist = "<plist version=\"1.0\"><dict><key>ProductVersion</key><string>"
                + escaped(value).toUtf8() + "</string></dict></plist>";
        const QStringList parts = value.split(u'.');
        try {
            const QString version
                    = QMProcessInfo::versionStringFromSystemVersionPropertyList(plist);
            require(parts.size() >= 2);
            require(version
                    == number(parts.at(0)) + u'.' + number(parts.at(1)) + u'.'
                            + (parts.size() == 3 ? number(parts.at(2)) : u"0"_s));
        } catch (const QMInternalInconsistencyException &exception) {
            require(parts.size() < 2);
            require(exception.reason()
                    == u"Expected at least major and minor version: '%1'"_s.arg(value));
        }
    }
    }
    return 0;
}
