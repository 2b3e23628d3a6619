// Drives the list comparison with lists that the input's bytes build from an old list by
// deleting, inserting and moving items (and sometimes repeating an instance), under the three
// ways elements can be matched: identity, an element comparator by identifier, and value
// equality that calls some distinct items equal. Checks, whatever the input:
//  - the comparison either succeeds or fails with QMInternalInconsistencyException, and fails
//    only where the step-by-step definition fails too or a list repeats an instance;
//  - a success gives exactly the step-by-step definition's removals, insertions and moves, and
//    applying them (removals, insertions ascending, then each move) rebuilds the new list when
//    identity decides;
//  - the list manager, given fresh instances for the new list, returns items with the new
//    list's identifiers, keeping old instances where identifiers persist.
//
// Byte 0 is the old list's length (mod 48), byte 1 chooses the matching, and each following pair
// of bytes is one operation: the first byte's low two bits choose delete / insert / move /
// repeat and the rest, with the second byte, the positions.

#include "ListDiffOracle.h"

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMArrayComparator.h>
#include <QMFoundation/lists/QMListManager.h>

#include <QString>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

class Item : public QMListItem
{
public:
    Item(int number, int valueClasses)
        : m_number(number)
        , m_valueClasses(valueClasses)
    { }
    QString identifier() const override { return QString::number(m_number); }
    // With value classes, items whose numbers agree modulo the class count are equal.
    bool isEqual(const QMListItem &other) const override
    {
        if (m_valueClasses == 0)
            return this == &other;
        const auto *item = dynamic_cast<const Item *>(&other);
        return item && item->m_number % m_valueClasses == m_number % m_valueClasses;
    }
    size_t hash() const override
    {
        return m_valueClasses == 0 ? QMListItem::hash() : size_t(m_number % m_valueClasses);
    }

private:
    int m_number;
    int m_valueClasses;
};

struct Outcome
{
    bool failed = false;
    ListDiffOracle::Result result;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int oldLength = data[0] % 48;
    const int matching = data[1] % 3; // 0 identity, 1 comparator by identifier, 2 value classes
    const int valueClasses = matching == 2 ? 1 + data[1] / 3 % 5 : 0;
    int serial = 0;
    QMListItemList oldList;
    for (int i = 0; i < oldLength; ++i)
        oldList.append(std::make_shared<Item>(serial++, valueClasses));
    QMListItemList newList = oldList;
    bool repeats = false;
    for (size_t k = 2; k + 1 < size; k += 2) {
        const int kind = data[k] & 3;
        const auto first = qsizetype(data[k] >> 2);
        const auto second = qsizetype(data[k + 1]);
        if (kind == 0 && !newList.isEmpty()) {
            newList.removeAt(first % newList.size());
        } else if (kind == 1) {
            newList.insert(second % (newList.size() + 1),
                           std::make_shared<Item>(serial++, valueClasses));
        } else if (kind == 2 && !newList.isEmpty()) {
            newList.move(first % newList.size(), second % newList.size());
        } else if (kind == 3 && !oldList.isEmpty() && second % 8 == 0) {
            // Rarely, an instance twice: in the new list or, by the first byte, in the old one.
            const QMListItemPointer repeated = oldList[first % oldList.size()];
            if (second % 16 == 0)
                oldList.insert(first % (oldList.size() + 1), repeated);
            else
                newList.insert(first % (newList.size() + 1), repeated);
            repeats = true;
        }
    }

    QMArrayComparator<QMListItemPointer>::Comparator comparator;
    if (matching == 1) {
        comparator = [](const QMListItemPointer &element, const QMListItemPointer &object) {
            return element->identifier() == object->identifier() ? QMOrderedSame
                                                                 : QMOrderedAscending;
        };
    }

    Outcome engine;
    try {
        QMArrayComparator<QMListItemPointer>(oldList, newList, comparator)
                .compareWithCompletionHandler([&](const QMIndexSet &removed,
                                                  const QMIndexSet &inserted,
                                                  const QMMovePairList &moves) {
                    engine.result.removedIndexes = removed;
                    engine.result.insertedIndexes = inserted;
                    engine.result.movedIndexes = moves;
                });
    } catch (const QMInternalInconsistencyException &) {
        engine.failed = true;
    }

    Outcome literal;
    try {
        literal.result = ListDiffOracle::Oracle<QMListItemPointer>(comparator)
                                 .compare(oldList, newList, 200);
    } catch (const QMInternalInconsistencyException &) {
        literal.failed = true;
    } catch (const std::runtime_error &) {
        literal.failed = true;
    }

    if (!repeats) {
        require(engine.failed == literal.failed);
    } else if (!engine.failed) {
        // With a repeated instance the engine only succeeds where no position is ambiguous.
        require(!literal.failed);
    }
    if (!engine.failed && !literal.failed) {
        require(engine.result.removedIndexes == literal.result.removedIndexes);
        require(engine.result.insertedIndexes == literal.result.insertedIndexes);
        require(engine.result.movedIndexes == literal.result.movedIndexes);
    }
    if (!engine.failed && matching == 0 && !repeats) {
        QMListItemList working;
        for (qsizetype i = 0; i < oldList.size(); ++i) {
            if (!engine.result.removedIndexes.containsIndex(quint64(i)))
                working.append(oldList[i]);
        }
        for (quint64 j : engine.result.insertedIndexes)
            working.insert(qsizetype(j), newList[qsizetype(j)]);
        for (const QMMovePair &move : engine.result.movedIndexes) {
            require(move.first < quint64(working.size()) && move.second < quint64(working.size()));
            working.move(qsizetype(move.first), qsizetype(move.second));
        }
        require(working == newList);
    }

    if (matching == 0 && !repeats) {
        QMListItemList fetched;
        for (const QMListItemPointer &item : newList)
            fetched.append(std::make_shared<Item>(item->identifier().toInt(), 0));
        const QMListItemList updated = QMListManager().updateList(oldList, fetched);
        require(updated.size() == newList.size());
        for (qsizetype i = 0; i < updated.size(); ++i) {
            require(updated[i]->identifier() == newList[i]->identifier());
            require(oldList.contains(newList[i]) == (updated[i] == newList[i]));
        }
    }
    return 0;
}
