#include <QMFoundation/text/QMInitials.h>

#include "QMFoundation/text/QMCodePoint_p.h"

namespace QMInitials {

namespace {

QString trimmedOfSpacesAndTabs(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && (text.at(begin) == u' ' || text.at(begin) == u'\t'))
        ++begin;
    while (end > begin && (text.at(end - 1) == u' ' || text.at(end - 1) == u'\t'))
        --end;
    return text.mid(begin, end - begin);
}

} // namespace

const QRegularExpression &stripRegex()
{
    // Compiled once on first use (the static's initialisation is thread-safe); optimize() forces
    // the compilation up front so that concurrent callers only ever read the expression.
    static const QRegularExpression expression = [] {
        QRegularExpression result(QStringLiteral("[\\p{L}0-9\\s]+"),
                                  QRegularExpression::CaseInsensitiveOption
                                          | QRegularExpression::UseUnicodePropertiesOption);
        result.optimize();
        return result;
    }();
    return expression;
}

QString initials(const QString &string)
{
    if (string.isEmpty())
        return {};

    const qsizetype comma = string.indexOf(u',');
    const QString name = comma >= 0 ? string.left(comma) : string;

    QString kept;
    QRegularExpressionMatchIterator matches = stripRegex().globalMatch(name);
    while (matches.hasNext())
        kept += matches.next().capturedView();
    if (kept.isEmpty())
        return {};

    // Split at every single space: "Anna  Berg" has an empty middle piece, which is harmless
    // because only the first and the last piece are kept.
    QStringList pieces = trimmedOfSpacesAndTabs(kept).split(u' ');
    if (pieces.size() >= 2)
        pieces = {pieces.constFirst(), pieces.constLast()};

    QString result = QStringLiteral("");
    for (const QString &piece : std::as_const(pieces))
        result += QMCodePoint::upperCasedFirst(piece); // an empty piece adds nothing
    return result;
}

} // namespace QMInitials
