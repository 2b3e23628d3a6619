#include "QMEditDistance_p.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

// The table is computed as bit vectors of its vertical differences, which are all -1, 0 or +1
// (Myers' bit-parallel algorithm in Hyyrö's formulation for the edit distance): one 64-bit
// block holds 64 rows of a column, one row per code unit of the shorter text. Each column of
// a block depends on the previous column of the same block and on the horizontal difference
// leaving the block above, so the rows are cut into bands of up to eight blocks, each band
// walked column by column (its blocks' dependency chains then overlap in the processor) and
// handing the horizontal difference of its bottom row to the next band, one per column. Memory
// stays linear in the texts whatever their alphabet.

namespace {

constexpr int blockRows = 64;
constexpr int bandBlocks = 8;
constexpr qsizetype bandRows = blockRows * bandBlocks;

struct Block
{
    quint64 pv = ~quint64(0); // the first column counts up by one per row
    quint64 mv = 0;
};

// Advances `block` by one column whose code unit matches the rows in `eq`. On entry `hp` and
// `hn` (each 0 or 1) say whether the horizontal difference entering the block's top row is +1
// or -1; on return they say the same of the difference leaving row `bottom`. The differences
// are random on real text, so they steer bits, not branches.
inline void advance(Block &block, quint64 eq, quint64 &hp, quint64 &hn, int bottom)
{
    const quint64 xv = eq | block.mv;
    eq |= hn;
    const quint64 xh = (((eq & block.pv) + block.pv) ^ block.pv) | eq;
    const quint64 ph = block.mv | ~(xh | block.pv);
    const quint64 mh = block.pv & xh;
    const quint64 phIn = (ph << 1) | hp;
    const quint64 mhIn = (mh << 1) | hn;
    hp = (ph >> bottom) & 1;
    hn = (mh >> bottom) & 1;
    block.pv = mhIn | ~(xv | phIn);
    block.mv = phIn & xv;
}

// For a shorter text of at most 64 code units: the rows (bits) where each code unit occurs,
// on the stack.
class BlockMasks
{
public:
    explicit BlockMasks(QStringView pattern)
    {
        for (qsizetype row = 0; row < pattern.size(); ++row) {
            const char16_t unit = pattern[row].unicode();
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

// For one band: each distinct code unit of the band's rows gets a slot of eight masks, one per
// block; slot 0 (all zero) stands for every unit the band does not hold.
class BandMasks
{
public:
    void set(QStringView rows)
    {
        m_ascii.fill(0);
        m_units.fill(0);
        m_masks.assign(bandBlocks, 0);
        for (qsizetype row = 0; row < rows.size(); ++row) {
            const char16_t unit = rows[row].unicode();
            quint16 *slot;
            bool fresh;
            if (unit < m_ascii.size()) {
                slot = &m_ascii[unit];
                fresh = *slot == 0;
            } else {
                size_t index = hash(unit);
                while (m_units[index] != 0 && m_units[index] != unit)
                    index = (index + 1) % m_units.size();
                fresh = m_units[index] == 0;
                m_units[index] = unit;
                slot = &m_slots[index];
            }
            if (fresh) {
                *slot = quint16(m_masks.size() / bandBlocks);
                m_masks.resize(m_masks.size() + bandBlocks, 0);
            }
            m_masks[*slot * bandBlocks + size_t(row / blockRows)] |= quint64(1)
                    << (row % blockRows);
        }
    }

    /// The slot of `unit`: its masks start at data() + slot * bandBlocks.
    quint16 slot(char16_t unit) const
    {
        if (unit < m_ascii.size())
            return m_ascii[unit];
        // At most 512 of the 1024 slots are taken, so a free one ends every probe.
        for (size_t index = hash(unit);; index = (index + 1) % m_units.size()) {
            if (m_units[index] == unit)
                return m_slots[index];
            if (m_units[index] == 0)
                return 0;
        }
    }

    const quint64 *data() const { return m_masks.data(); }

private:
    static size_t hash(char16_t unit) { return (size_t(unit) * 0x9e3779b1u >> 16) % 1024; }

    std::array<quint16, 128> m_ascii {};
    std::array<char16_t, 1024> m_units {}; // 0: free (only units from 128 up are kept)
    std::array<quint16, 1024> m_slots;
    std::vector<quint64> m_masks;
};

qint64 oneBlockDistance(QStringView pattern, QStringView text)
{
    const BlockMasks masks(pattern);
    const int bottom = int(pattern.size()) - 1;
    Block block;
    qint64 distance = pattern.size(); // the table's first column ends at |pattern|
    for (const QChar unit : text) {
        quint64 hp = 1; // the top row counts up
        quint64 hn = 0;
        advance(block, masks.at(unit.unicode()), hp, hn, bottom);
        distance += qint64(hp) - qint64(hn);
    }
    return distance;
}

// The `Blocks` blocks of one band, run over every column as a wavefront: step t advances block
// k at column t - k, which needs what block k - 1 passed down at the same column, one step
// earlier. The blocks of one step are independent, so the processor overlaps them instead of
// waiting for each difference to pass down the band. `carries[j]` enters the band's top row at
// column j; what leaves its bottom row goes back there, or into `distance` for the last band.
template<int Blocks>
struct Band
{
    const quint64 *eq;
    const quint16 *unitSlots;
    quint8 *carries;
    qsizetype n;
    int bottom;
    bool lastBand;
    qint64 &distance;
    Block state[Blocks] = {};
    // What block k handed down at its latest column: +1 (hp), -1 (hn) or 0 (neither).
    quint64 hp[Blocks] = {};
    quint64 hn[Blocks] = {};

    // Block K at column t - K. K is a constant, so the band's state needs no indexing.
    template<int K>
    Q_ALWAYS_INLINE void step(qsizetype t)
    {
        const qsizetype j = t - K;
        quint64 p;
        quint64 m;
        if constexpr (K == 0) {
            p = carries[j] & 1;
            m = carries[j] >> 1;
        } else {
            p = hp[K - 1];
            m = hn[K - 1];
        }
        constexpr bool lastBlock = K == Blocks - 1;
        advance(state[K], eq[unitSlots[j] * bandBlocks + K], p, m,
                lastBlock ? bottom : blockRows - 1);
        hp[K] = p;
        hn[K] = m;
        if constexpr (lastBlock) {
            if (lastBand)
                distance += qint64(p) - qint64(m);
            else
                carries[j] = quint8(p | m << 1);
        }
    }

    // Downwards within a step, so that block k reads what block k - 1 passed one step ago.
    template<int... I>
    Q_ALWAYS_INLINE void wholeStep(qsizetype t, std::integer_sequence<int, I...>)
    {
        (step<Blocks - 1 - I>(t), ...);
    }

    // The steps where the wavefront enters and leaves the columns hold fewer blocks.
    template<int... I>
    void partialStep(qsizetype t, std::integer_sequence<int, I...>)
    {
        ((t - (Blocks - 1 - I) >= 0 && t - (Blocks - 1 - I) < n ? step<Blocks - 1 - I>(t) : void()),
         ...);
    }

    void run()
    {
        constexpr auto blocks = std::make_integer_sequence<int, Blocks>();
        const qsizetype full = n >= Blocks ? Blocks - 1 : n + Blocks - 1;
        for (qsizetype t = 0; t < full; ++t)
            partialStep(t, blocks);
        for (qsizetype t = full; t < n; ++t)
            wholeStep(t, blocks);
        for (qsizetype t = std::max(full, n); t < n + Blocks - 1; ++t)
            partialStep(t, blocks);
    }
};

template<int Blocks>
void runBand(const quint64 *eq, const quint16 *unitSlots, quint8 *carries, qsizetype n, int bottom,
             bool lastBand, qint64 &distance)
{
    Band<Blocks> {eq, unitSlots, carries, n, bottom, lastBand, distance}.run();
}

qint64 bandedDistance(QStringView pattern, QStringView text)
{
    const qsizetype n = text.size();
    // The horizontal difference entering each column's next band, +1 as bit 0 and -1 as bit
    // 1: the top row counts up.
    std::vector<quint8> carries(size_t(n), 1);
    std::vector<quint16> unitSlots(static_cast<size_t>(n));
    BandMasks masks;
    qint64 distance = pattern.size(); // the table's first column ends at |pattern|
    for (qsizetype top = 0; top < pattern.size(); top += bandRows) {
        const qsizetype rows = std::min(bandRows, pattern.size() - top);
        const int blocks = int((rows + blockRows - 1) / blockRows);
        const int bottom = int((rows - 1) % blockRows); // in the band's last block
        const bool lastBand = top + rows == pattern.size();
        masks.set(pattern.mid(top, rows));
        for (qsizetype j = 0; j < n; ++j)
            unitSlots[size_t(j)] = masks.slot(text[j].unicode());

        // The block count is a template argument so that the wavefront's steps unroll.
        using Band = void (*)(const quint64 *, const quint16 *, quint8 *, qsizetype, int, bool,
                              qint64 &);
        constexpr Band bands[bandBlocks] = {runBand<1>, runBand<2>, runBand<3>, runBand<4>,
                                            runBand<5>, runBand<6>, runBand<7>, runBand<8>};
        bands[blocks - 1](masks.data(), unitSlots.data(), carries.data(), n, bottom, lastBand,
                          distance);
    }
    return distance;
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

    // The distance is symmetric; the shorter text makes the fewer blocks.
    if (a.size() > b.size())
        std::swap(a, b);
    if (a.isEmpty())
        return quint64(b.size());
    return quint64(a.size() <= blockRows ? oneBlockDistance(a, b) : bandedDistance(a, b));
}
