#pragma once

// Internal: not installed. Whole code points of UTF-16 text, for the helpers that map case or
// cut text: a letter outside the Basic Multilingual Plane takes a surrogate pair, and handling
// it one code unit at a time would map or cut half a character.

#include <QString>
#include <QStringView>

namespace QMCodePoint {

struct CodePoint
{
    char32_t value;
    qsizetype length; ///< in code units: 2 for a surrogate pair, else 1
};

/// The code point that starts at `index`. An unpaired surrogate is a code point of its own.
inline CodePoint at(QStringView text, qsizetype index)
{
    const QChar c = text.at(index);
    if (c.isHighSurrogate() && index + 1 < text.size() && text.at(index + 1).isLowSurrogate())
        return {QChar::surrogateToUcs4(c, text.at(index + 1)), 2};
    return {c.unicode(), 1};
}

inline void append(QString &text, char32_t value)
{
    if (QChar::requiresSurrogates(value)) {
        text += QChar(QChar::highSurrogate(value));
        text += QChar(QChar::lowSurrogate(value));
    } else {
        text += QChar(char16_t(value));
    }
}

/// The first code point of `text`, upper-cased by the simple one-to-one mapping (so its length
/// in code units does not change); the empty text for an empty `text`.
inline QString upperCasedFirst(QStringView text)
{
    QString result = QString(QLatin1String(""));
    if (!text.isEmpty())
        append(result, QChar::toUpper(at(text, 0).value));
    return result;
}

/// True when cutting `text` before `index` would separate a surrogate pair.
inline bool cutSplitsPair(QStringView text, qsizetype index)
{
    return index > 0 && index < text.size() && text.at(index - 1).isHighSurrogate()
            && text.at(index).isLowSurrogate();
}

} // namespace QMCodePoint
