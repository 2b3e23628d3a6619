// Feeds arbitrary bytes, read both as UTF-8 and as raw UTF-16 code units, to the XML entity
// helpers and checks what must hold for any text:
//  - unescaping never lengthens a text (every reference is at least as long as its character);
//  - escaping then unescaping gives the text back, also for the result of an unescape.

#include <QMFoundation/text/QMXMLEntities.h>

#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void checkRoundTrip(const QString &text)
{
    using namespace QMXMLEntities;
    if (stringByUnescapingXMLEntities(stringByEscapingXMLEntities(text)) != text)
        std::abort();
}

void check(const QString &text)
{
    const QString unescaped = QMXMLEntities::stringByUnescapingXMLEntities(text);
    if (unescaped.size() > text.size())
        std::abort();
    checkRoundTrip(text);
    checkRoundTrip(unescaped);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    check(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));

    // Raw code units keep lone surrogates and other sequences that UTF-8 decoding would replace.
    QString units(qsizetype(size / 2), Qt::Uninitialized);
    if (!units.isEmpty())
        std::memcpy(units.data(), data, size_t(units.size()) * sizeof(char16_t));
    check(units);
    return 0;
}
