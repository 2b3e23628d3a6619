#include <QMFoundation/text/QMVersionStringComparator.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include "QMFoundation/text/QMUtf16Text_p.h"

#include <QStringView>

#include <algorithm>
#include <limits>

namespace {

enum CharacterClass : qint32 { Digit = 0, Other = 1, Period = 2 };

CharacterClass classOf(QChar unit)
{
    if (unit.isDigit())
        return Digit;
    return unit == u'.' ? Period : Other;
}

// One part of a version text, found in place so that a comparison allocates nothing.
struct Part
{
    QStringView text;
    CharacterClass kind = Other;
};

// Walks the parts of a version text in order, as splitVersionString() splits it.
class PartReader
{
public:
    explicit PartReader(QStringView version)
        : m_version(version)
    { }

    bool atEnd() const { return m_position >= m_version.size(); }

    Part next()
    {
        const qsizetype start = m_position;
        const CharacterClass kind = classOf(m_version.at(start));
        ++m_position;
        // A period always stands alone; other runs go on while the class stays the same.
        if (kind != Period) {
            while (m_position < m_version.size() && classOf(m_version.at(m_position)) == kind)
                ++m_position;
        }
        return {m_version.sliced(start, m_position - start), kind};
    }

private:
    QStringView m_version;
    qsizetype m_position = 0;
};

// Any decimal digit counts, with its own value, so "١٢" reads as 12. The value saturates
// instead of wrapping: a long run of digits must not turn into a small or negative number.
qint32 numberValue(QStringView digits)
{
    constexpr qint32 maximum = std::numeric_limits<qint32>::max();
    qint32 value = 0;
    for (QChar digit : digits) {
        // Only digits get here, so a unit up to '9' is an ASCII one: no table lookup for those.
        const char16_t unit = digit.unicode();
        const qint32 next = unit <= u'9' ? qint32(unit - u'0') : digit.digitValue();
        if (value > (maximum - next) / 10)
            return maximum;
        value = value * 10 + next;
    }
    return value;
}

// By UTF-16 code units, without locale or case folding; a prefix comes first.
int compareText(QStringView a, QStringView b)
{
    const auto unitsOf = [](QStringView text) {
        return std::u16string_view(text.utf16(), size_t(text.size()));
    };
    const int order = unitsOf(a).compare(unitsOf(b));
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

int sign(qint64 difference)
{
    return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
}

int compareParts(const Part &x, const Part &y)
{
    if (x.kind != y.kind) {
        // A number or a period beats text; a number beats a period.
        if (x.kind == Other)
            return -1;
        if (y.kind == Other)
            return 1;
        return x.kind == Digit ? 1 : -1;
    }
    switch (x.kind) {
    case Other:
        return compareText(x.text, y.text);
    case Digit:
        return sign(qint64(numberValue(x.text)) - numberValue(y.text));
    case Period:
        break;
    }
    return 0;
}

} // namespace

qint32 QMVersionStringComparator::typeOfCharacter(QAnyStringView character)
{
    QMParameterAssert(!character.isEmpty(), "!character.isEmpty()");
    return classOf(QMUtf16Text(character).view().front());
}

QStringList QMVersionStringComparator::splitVersionString(QAnyStringView version)
{
    QStringList parts;
    const QMUtf16Text text(version);
    for (PartReader reader(text.view()); !reader.atEnd();)
        parts.append(reader.next().text.toString());
    return parts;
}

qint64 QMVersionStringComparator::compareVersion(QAnyStringView a, QAnyStringView b)
{
    const QMUtf16Text textA(a);
    const QMUtf16Text textB(b);
    PartReader readerA(textA.view());
    PartReader readerB(textB.view());
    while (!readerA.atEnd() && !readerB.atEnd()) {
        if (const int order = compareParts(readerA.next(), readerB.next()))
            return order;
    }
    // The first extra part of the longer version decides: a pre-release label makes it lower,
    // a further number or period higher.
    if (!readerA.atEnd())
        return readerA.next().kind == Other ? -1 : 1;
    if (!readerB.atEnd())
        return readerB.next().kind == Other ? 1 : -1;
    return 0;
}

qint64 QMVersionStringComparator::compareToVersion(QAnyStringView version, QAnyStringView other)
{
    return compareVersion(version, other);
}

bool QMVersionStringComparator::isGreaterThanVersion(QAnyStringView version, QAnyStringView other)
{
    return compareVersion(version, other) == 1;
}

bool QMVersionStringComparator::isGreaterThanOrEqualToVersion(QAnyStringView version,
                                                              QAnyStringView other)
{
    return compareVersion(version, other) >= 0;
}

bool QMVersionStringComparator::isLessThanVersion(QAnyStringView version, QAnyStringView other)
{
    return compareVersion(version, other) == -1;
}

bool QMVersionStringComparator::isLessThanOrEqualToVersion(QAnyStringView version,
                                                           QAnyStringView other)
{
    return compareVersion(version, other) <= 0;
}
