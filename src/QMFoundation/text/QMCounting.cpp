#include <QMFoundation/text/QMCounting.h>

namespace QMCounting {

quint64 lineCount(const QString &string)
{
    quint64 lines = 0;
    bool insideLine = false;
    const qsizetype length = string.size();
    for (qsizetype i = 0; i < length; ++i) {
        const char16_t c = string.at(i).unicode();
        switch (c) {
        case u'\r':
            if (i + 1 < length && string.at(i + 1) == u'\n')
                ++i; // CRLF ends one line, not two.
            Q_FALLTHROUGH();
        case u'\n':
        case u'\u0085':
        case u'\u2028':
        case u'\u2029':
            ++lines;
            insideLine = false;
            break;
        default:
            insideLine = true;
            break;
        }
    }
    // A last line without a line break still counts; a final line break opens no new one.
    return insideLine ? lines + 1 : lines;
}

} // namespace QMCounting
