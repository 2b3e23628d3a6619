#include "text/QMCamelize.h"

namespace QMCamelize {

QString camelizedString(const QString &string)
{
    if (string.isEmpty())
        return string;
    // Upper-case the whole first code point, so that a letter outside the Basic Multilingual
    // Plane is mapped as one and its surrogate pair is never split. The simple one-to-one
    // mapping keeps the length unchanged.
    if (string.size() > 1 && string.at(0).isHighSurrogate() && string.at(1).isLowSurrogate()) {
        const char32_t upper = QChar::toUpper(QChar::surrogateToUcs4(string.at(0), string.at(1)));
        return QString::fromUcs4(&upper, 1) + string.mid(2);
    }
    return string.at(0).toUpper() + string.mid(1);
}

} // namespace QMCamelize
