#include "QMEditDistance_p.h"

#include <algorithm>
#include <array>
#include <vector>

// The table is computed in horizontal strips of 64 rows (one row per code unit of the shorter
// text), each strip as bit vectors of its vertical differences, which are all -1, 0 or +1
// (Myers' bit-parallel algorithm in Hyyrö's formulation for the edit distance). A strip passes
// the horizontal difference of its bottom row, column by column, to the strip below, so only
// one strip's state and one row of differences are ever kept.

namespace {

// For one strip: the rows (bits) whose pattern code unit equals a given code unit.
class PatternMasks
{
public:
    void set(QStringView strip)
    {
        for (qsizetype row = 0; row < strip.size(); ++row) {
            const char16_t unit = strip[row].unicode();
            const quint64 bit = quint64(1) << row;
            if (unit < m_ascii.size()) {
                m_ascii[unit] |= bit;
                continue;
            }
            size_t index = hash(unit);
            while (m_units[index] != 0 && m_units[index] != unit)
                index = (index + 1) % m_units.size();
            if (m_units[index] == 0) {
                m_units[index] = unit;
                m_masks[index] = 0;
                m_hasOthers = true;
            }
            m_masks[index] |= bit;
        }
    }

    /// Forgets the units of `strip`, which must be the text last given to set().
    void clear(QStringView strip)
    {
        for (const QChar c : strip) {
            if (c.unicode() < m_ascii.size())
                m_ascii[c.unicode()] = 0;
        }
        if (m_hasOthers)
            m_units.fill(0);
        m_hasOthers = false;
    }

    quint64 at(char16_t unit) const
    {
        if (unit < m_ascii.size())
            return m_ascii[unit];
        if (!m_hasOthers)
            return 0;
        // At most 64 of the 128 slots are taken, so a free one ends every probe.
        for (size_t index = hash(unit);; index = (index + 1) % m_units.size()) {
            if (m_units[index] == unit)
                return m_masks[index];
            if (m_units[index] == 0)
                return 0;
        }
    }

private:
    static size_t hash(char16_t unit) { return (size_t(unit) * 0x9e3779b1u >> 16) % 128; }

    std::array<quint64, 128> m_ascii {};
    // Open addressing for the other units; 0 marks a free slot, since only units from 128 up
    // are kept here.
    std::array<char16_t, 128> m_units {};
    std::array<quint64, 128> m_masks;
    bool m_hasOthers = false;
};

// Runs one strip over every column of `text`. The strip's top row receives `carries[j]` as the
// horizontal difference entering column j (the first strip receives +1, the table's top row
// counting up); the strip's bottom row leaves its difference in `carries[j]`, or, for the last
// strip, adds it to `distance`.
template<bool First, bool Last>
void runStrip(const PatternMasks &masks, int rows, QStringView text, qint8 *carries,
              qint64 &distance)
{
    const quint64 bottom = quint64(1) << (rows - 1);
    quint64 pv = ~quint64(0); // the first column counts up by one per row
    quint64 mv = 0;
    const char16_t *units = text.utf16();
    for (qsizetype j = 0; j < text.size(); ++j) {
        quint64 eq = masks.at(units[j]);
        const int hin = First ? 1 : carries[j];
        const quint64 xv = eq | mv;
        if (hin < 0)
            eq |= 1;
        const quint64 xh = (((eq & pv) + pv) ^ pv) | eq;
        quint64 ph = mv | ~(xh | pv);
        quint64 mh = pv & xh;
        const int hout = (ph & bottom) ? 1 : (mh & bottom) ? -1 : 0;
        ph <<= 1;
        mh <<= 1;
        if (hin < 0)
            mh |= 1;
        else if (hin > 0)
            ph |= 1;
        pv = mh | ~(xv | ph);
        mv = ph & xv;
        if constexpr (Last)
            distance += hout;
        else
            carries[j] = qint8(hout);
    }
}

} // namespace

quint64 QMEditDistance::levenshtein(QStringView a, QStringView b)
{
    // A common prefix or suffix never changes the distance, and typed texts share a lot.
    qsizetype prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a[prefix] == b[prefix])
        ++prefix;
    a = a.mid(prefix);
    b = b.mid(prefix);
    qsizetype suffix = 0;
    while (suffix < a.size() && suffix < b.size()
           && a[a.size() - 1 - suffix] == b[b.size() - 1 - suffix])
        ++suffix;
    a.chop(suffix);
    b.chop(suffix);

    // The distance is symmetric; the shorter text makes the fewer strips.
    if (a.size() > b.size())
        std::swap(a, b);
    if (a.isEmpty())
        return quint64(b.size());

    qint64 distance = a.size(); // the table's first column ends at |a|
    PatternMasks masks;
    std::vector<qint8> carries(a.size() > 64 ? size_t(b.size()) : 0);
    for (qsizetype top = 0; top < a.size(); top += 64) {
        const int rows = int(std::min<qsizetype>(64, a.size() - top));
        const bool first = top == 0;
        const bool last = top + rows == a.size();
        masks.set(a.mid(top, rows));
        if (first && last)
            runStrip<true, true>(masks, rows, b, carries.data(), distance);
        else if (first)
            runStrip<true, false>(masks, rows, b, carries.data(), distance);
        else if (last)
            runStrip<false, true>(masks, rows, b, carries.data(), distance);
        else
            runStrip<false, false>(masks, rows, b, carries.data(), distance);
        masks.clear(a.mid(top, rows));
    }
    return quint64(distance);
}
