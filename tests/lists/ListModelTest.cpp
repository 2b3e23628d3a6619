#include <QMFoundation/lists/QMListModel.h>

#include <QMFoundation/lists/QMListManager.h>

#include "ListTestSupport.h"
#include "support/CaughtExceptions.h"
#include "text/TextTestSupport.h"

#include <QAbstractItemModelTester>
#include <QPersistentModelIndex>
#include <QSet>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <stdexcept>

using namespace Qt::StringLiterals;

namespace {

constexpr int RankRole = QMListModel::IdentifierRole + 1;

// An item whose content is its text, with a rank for a role of the host's own; the update
// handler refreshes both from the new version.
class Item : public ListTestSupport::Item
{
public:
    Item(QString identifier, QString text, int itemRank = 0)
        : ListTestSupport::Item(std::move(identifier), std::move(text))
        , rank(itemRank)
    { }
    QString description() const override { return content(); }

    int rank;
};

Item &item(const QMListItemPointer &pointer)
{
    return static_cast<Item &>(*pointer);
}

void refresh(const QMListItemPointer &existingItem, const QMListItemPointer &newItem)
{
    item(existingItem).setContent(item(newItem).content());
    item(existingItem).rank = item(newItem).rank;
}

// One item per character: the identifier is the lower-case letter, the text the letter as
// written, so "aBc" after "abc" is the same three items with b's text changed.
QMListItemList makeItems(QStringView letters)
{
    QMListItemList items;
    for (QChar letter : letters)
        items.append(std::make_shared<Item>(QString(letter.toLower()), QString(letter)));
    return items;
}

QString texts(const QMListItemList &items)
{
    QString text;
    for (const QMListItemPointer &entry : items)
        text += entry->description();
    return text;
}

// Logs the model's signals in a compact form and replays the row signals on a copy of the rows
// that the model had when the recording started.
class Recording
{
public:
    explicit Recording(QMListModel &recordedModel)
        : model(recordedModel)
        , replayed(recordedModel.items())
    {
        QObject::connect(&model, &QAbstractItemModel::rowsRemoved, &context,
                         [this](const QModelIndex &, int first, int last) {
                             log.append(u"remove %1-%2"_s.arg(first).arg(last));
                             replayed.remove(first, last - first + 1);
                         });
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, &context,
                         [this](const QModelIndex &, int first, int last) {
                             log.append(u"insert %1-%2"_s.arg(first).arg(last));
                             for (int row = first; row <= last; ++row)
                                 replayed.insert(row, this->model.itemAt(row));
                         });
        // The model moves one row at a time; a block would show in the log and the replay.
        QObject::connect(&model, &QAbstractItemModel::rowsMoved, &context,
                         [this](const QModelIndex &, int first, int last, const QModelIndex &,
                                int destination) {
                             log.append(u"move %1 to %2"_s.arg(first).arg(destination)
                                        + (last > first ? u" (block)"_s : QString()));
                             replayed.move(first,
                                           destination > first ? destination - 1 : destination);
                         });
        QObject::connect(
                &model, &QAbstractItemModel::dataChanged, &context,
                [this](const QModelIndex &topLeft, const QModelIndex &bottomRight,
                       const QList<int> &roles) {
                    QStringList names;
                    for (int role : roles)
                        names.append(QString::fromUtf8(this->model.roleNames().value(role)));
                    log.append(u"changed %1-%2 %3"_s.arg(topLeft.row())
                                       .arg(bottomRight.row())
                                       .arg(roles.isEmpty() ? u"all"_s : names.join(u',')));
                    for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                        changed.insert(this->model.itemAt(row).get());
                });
        QObject::connect(&model, &QAbstractItemModel::modelReset, &context,
                         [this] { log.append(u"reset"_s); });
    }

    QMListModel &model;
    QObject context;
    QStringList log;
    QMListItemList replayed;
    QSet<const QMListItem *> changed;
};

// A model with every change checked by Qt's model tester; a broken invariant ends the program.
struct Fixture
{
    QMListModel model;
    QAbstractItemModelTester tester {&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

// Applies the list comparator's changeset and then changes it in a chosen way, as a faulty
// comparator of a host would.
class AlteringComparator : public QMOrderedCollectionComparator
{
public:
    explicit AlteringComparator(std::function<void(QMListChangeset &)> alteration)
        : alter(std::move(alteration))
    { }
    QMListChangeset compareList(const QMListItemList &oldItems,
                                const QMListItemList &newItems) const override
    {
        QMListChangeset changeset = QMListComparator().compareList(oldItems, newItems);
        alter(changeset);
        return changeset;
    }
    std::function<void(QMListChangeset &)> alter;
};

} // namespace

TEST(QMListModelTest, TurnsEachStepIntoQtsNotifications)
{
    const struct
    {
        const char16_t *oldLetters;
        const char16_t *newLetters;
        const char *expected; // the signals, separated by '|'
    } rows[] = {
            // Nothing to do.
            {u"abc", u"abc", ""},
            // Inserts: one pair per contiguous range, lowest first, at new-list positions.
            {u"ab", u"xaybz", "insert 0-0|insert 2-2|insert 4-4"},
            {u"", u"ab", "insert 0-1"},
            // Deletes: one pair per contiguous range, highest first, so lower rows keep their
            // numbers.
            {u"abcdefgh", u"adg", "remove 7-7|remove 4-5|remove 1-2"},
            // Moves: a move down to row t has Qt's destination t + 1.
            {u"abc", u"cab", "move 2 to 0"},
            {u"abc", u"cba", "move 0 to 3|move 1 to 0"},
            // Deletes, then inserts, then moves, as the list manager applies them.
            {u"abcd", u"dxb", "remove 2-2|remove 0-0|insert 1-1|move 0 to 3|move 1 to 0"},
            // Data refreshed by the handler: after the steps, one signal per run of rows.
            {u"abcd", u"aBCd", "changed 1-2 display"},
            {u"abcd", u"AbcD", "changed 0-0 display|changed 3-3 display"},
            {u"abcd", u"Bda", "remove 2-2|move 0 to 3|changed 0-0 display"},
            // A new item's own text is not a change of a row.
            {u"ab", u"abX", "insert 2-2"},
    };
    for (const auto &row : rows) {
        const QString oldLetters = QString::fromUtf16(row.oldLetters);
        const QString newLetters = QString::fromUtf16(row.newLetters);
        SCOPED_TRACE(oldLetters.toStdString() + " -> " + newLetters.toStdString());
        Fixture fixture;
        fixture.model.setItems(makeItems(oldLetters));
        Recording recording(fixture.model);

        fixture.model.updateItems(makeItems(newLetters), refresh);

        EXPECT_EQ(recording.log.join(u'|'), QString::fromUtf8(row.expected));
        EXPECT_EQ(texts(fixture.model.items()), newLetters);
        // Which instances persist, the random updates below check.
        EXPECT_EQ(recording.replayed, fixture.model.items());
    }
}

// Random old and new lists of distinct identifiers: after each update the rows are the new
// list with the old instances for persisting identifiers, persistent indexes follow their
// items, the row signals replayed on the old rows give the new rows, and exactly the items
// whose text the handler changed are reported. Every other update is driven through
// managerDelegate() by a list manager of the test's own, which reports no data changes.
TEST(QMListModelTest, FollowsRandomUpdates)
{
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<int> percent(0, 99);
    Fixture fixture;
    QMListManager hostManager;
    hostManager.setDelegate(fixture.model.managerDelegate());
    int serial = 0;

    for (int round = 0; round < 2000; ++round) {
        const auto pair
                = ListTestSupport::randomPair(random, percent(random) < 85 ? 12 : 60, serial);
        QMListItemList oldItems;
        for (const QMListItemPointer &x : pair.oldList)
            oldItems.append(std::make_shared<Item>(x->identifier(), u"old"_s));
        QMListItemList newItems;
        QSet<const QMListItem *> expectedChanged;
        QMListItemList expected;
        for (const QMListItemPointer &x : pair.newList) {
            const qsizetype oldPosition = pair.oldList.indexOf(x);
            const bool changes = oldPosition < 0 || percent(random) < 30;
            newItems.append(std::make_shared<Item>(x->identifier(),
                                                   changes ? u"new %1"_s.arg(serial++) : u"old"_s));
            expected.append(oldPosition < 0 ? newItems.last() : oldItems[oldPosition]);
            if (oldPosition >= 0 && changes)
                expectedChanged.insert(oldItems[oldPosition].get());
        }
        const bool hostDriven = round % 2 == 1;
        SCOPED_TRACE("round " + std::to_string(round) + (hostDriven ? " (host manager)" : ""));

        fixture.model.setItems(oldItems);
        QList<QPersistentModelIndex> persistent;
        for (int row = 0; row < oldItems.size(); ++row)
            persistent.append(QPersistentModelIndex(fixture.model.index(row)));
        Recording recording(fixture.model);

        if (hostDriven)
            hostManager.updateList(fixture.model.items(), newItems, refresh);
        else
            fixture.model.updateItems(newItems, refresh);

        ASSERT_EQ(fixture.model.items(), expected);
        ASSERT_EQ(recording.replayed, expected);
        for (qsizetype k = 0; k < oldItems.size(); ++k) {
            if (expected.contains(oldItems[k])) {
                ASSERT_TRUE(persistent[k].isValid()) << k;
                ASSERT_EQ(fixture.model.itemAt(persistent[k].row()), oldItems[k]) << k;
            } else {
                ASSERT_FALSE(persistent[k].isValid()) << k;
            }
        }
        ASSERT_EQ(recording.changed, hostDriven ? QSet<const QMListItem *>() : expectedChanged);
    }
}

// Each faulty update of a model that shows "abc" fails with its reason, leaves the rows as they
// were and the model usable, and sends only the listed signals before the failure.
TEST(QMListModelTest, RefusesFaultyUpdatesAndLeavesTheRowsAsTheyWere)
{
    using Action = std::function<void(QMListModel &)>;
    using Alter = std::function<void(QMListChangeset &)>;
    const auto update = [](const char16_t *letters, const Alter &alter = {}) -> Action {
        return [=](QMListModel &model) {
            if (alter)
                model.setComparator(std::make_shared<AlteringComparator>(alter));
            model.updateItems(makeItems(letters), refresh);
        };
    };
    using Call = std::function<void(QMListManagerDelegate &)>;
    const auto delegateCall = [](const Call &call) -> Action {
        return [=](QMListModel &model) {
            call(*model.managerDelegate());
        };
    };
    const QString twice = u"Expected same size of current array (a, b) and final array (a, a, b)"_s;
    const QString misfit = u"Expected a step of the list the model shows (3 rows), but the list "
                           "manager reported "_s;
    const struct
    {
        const char *name;
        Action action;
        QString reason;
        const char *log = ""; // the signals sent before the failure, separated by '|'
    } rows[] = {
            // Two new items that match one old item put it twice into the merged list; what the
            // handler had already changed is still reported.
            {"two new items for one old item", update(u"AAB"), twice, "changed 0-1 display"},
            // A comparator that sends a move past the end, after the deletes and inserts that
            // the manager has already reported.
            {"a move past the end",
             update(u"xb",
                    [](QMListChangeset &changeset) {
                        changeset.addChange(std::make_shared<QMListChange>(
                                QMListChangeTypeMove, changeset.deletes().first()->item(), 0, 7));
                    }),
             u"Expected the change MOV: a | OLD: (i: 7) ==> NEW: (i: 0) to fit a list of 2 items"_s},
            // A comparator that inserts two items at one position: the manager refuses the
            // changeset before any step.
            {"two inserts at one position",
             update(u"abcx",
                    [](QMListChangeset &changeset) {
                        changeset.addChange(std::make_shared<QMListChange>(
                                QMListChangeTypeInsert, std::make_shared<Item>(u"y"_s, u"y"_s), 3,
                                QMNotFound));
                    }),
             u"Expected each insert at a position of its own, but 2 inserts share 1 positions"_s},
            {"a null item for setItems",
             [](QMListModel &model) {
                 model.setItems({makeItems(u"a").first(), nullptr});
             },
             u"Expected an item at every position of the list, but position 1 holds none"_s},
            {"a null item for updateItems",
             [](QMListModel &model) {
                 model.updateItems({makeItems(u"a").first(), nullptr});
             },
             u"Expected an item at every position of the new list, but position 1 holds none"_s},
            // Changing the rows from the update handler would invalidate the steps under way.
            {"setItems from the update handler",
             [](QMListModel &model) {
                 model.updateItems(makeItems(u"cba"),
                                   [&model](const auto &, const auto &) { model.setItems({}); });
             },
             u"Expected no change to the list model while it reports a change"_s},
            // Steps of a host's manager that do not fit the rows are refused before anything
            // changes.
            {"a deletion past the last row", delegateCall([](QMListManagerDelegate &delegate) {
                 delegate.listManagerDidDeleteItemsAtIndexPaths(QMIndexSet {1, 3}, makeItems(u"a"));
             }),
             misfit + u"a deletion of 1 3 leaving 1 items"_s},
            {"an insertion with a list of the wrong length",
             delegateCall([](QMListManagerDelegate &delegate) {
                 delegate.listManagerDidInsertItemsAtIndexPaths(QMIndexSet {1}, makeItems(u"axb"));
             }),
             misfit + u"an insertion of 1 giving 3 items"_s},
            {"an insertion of no item", delegateCall([](QMListManagerDelegate &delegate) {
                 QMListItemList list = makeItems(u"axbc");
                 list[1] = nullptr;
                 delegate.listManagerDidInsertItemsAtIndexPaths(QMIndexSet {1}, list);
             }),
             misfit + u"an insertion of no item at 1"_s},
            {"a move past the last row", delegateCall([](QMListManagerDelegate &delegate) {
                 delegate.listManagerDidMoveItemAtIndex(0, 3, makeItems(u"bca"));
             }),
             misfit + u"a move from 0 to 3 giving 3 items"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Fixture fixture;
        fixture.model.setItems(makeItems(u"abc"));
        const QMListItemList before = fixture.model.items();
        {
            Recording recording(fixture.model);
            EXPECT_EQ(ListTestSupport::failureOf([&] { row.action(fixture.model); }), row.reason);
            EXPECT_EQ(recording.log.join(u'|'), QString::fromUtf8(row.log));
        }
        EXPECT_EQ(fixture.model.items(), before);
        fixture.model.setComparator(nullptr);
        fixture.model.updateItems(makeItems(u"ca"));
        EXPECT_EQ(ListTestSupport::identifiers(fixture.model.items()).join(QString()), u"ca"_s);
    }

    // Exceptions of the host's handler pass through untouched.
    Fixture fixture;
    fixture.model.setItems(makeItems(u"abc"));
    const QMListItemList before = fixture.model.items();
    EXPECT_THROW(fixture.model.updateItems(makeItems(u"b"),
                                           [](const auto &, const auto &) {
                                               throw std::runtime_error("refresh failed");
                                           }),
                 std::runtime_error);
    EXPECT_EQ(fixture.model.items(), before);
}

TEST(QMListModelTest, FollowsTheDelegateCallsOfAHostsManager)
{
    Fixture fixture;
    fixture.model.setItems(makeItems(u"abc"));
    const std::shared_ptr<QMListManagerDelegate> delegate = fixture.model.managerDelegate();
    Recording recording(fixture.model);
    // A move that puts another instance in place (a comparator may name an equal old item)
    // is reported as a change of that row's data.
    QMListItemList moved = fixture.model.items().mid(1) + makeItems(u"x");
    delegate->listManagerDidMoveItemAtIndex(0, 2, moved);
    EXPECT_EQ(fixture.model.items(), moved);
    // A move in place of the same instance is no change at all.
    delegate->listManagerDidMoveItemAtIndex(1, 1, moved);
    EXPECT_EQ(recording.log.join(u'|'), u"move 0 to 3|changed 2-2 all"_s);

    // Once the model is gone, the delegate that a host still holds does nothing.
    auto orphan = std::make_unique<QMListModel>();
    const std::shared_ptr<QMListManagerDelegate> orphaned = orphan->managerDelegate();
    orphan.reset();
    orphaned->listManagerDidInsertItemsAtIndexPaths(QMIndexSet {0}, makeItems(u"a"));
}

// Views ask for data from the event loop: a display function that throws gives no data, and the
// uncaught-exception handler has the exception.
TEST(QMListModelTest, DisplayFunctionsThatThrowGiveNoData)
{
    TestSupport::CaughtExceptions caught;
    QMListModel model;
    model.setItems(makeItems(u"a"));
    model.setDisplayFunction(
            [](const QMListItemPointer &) -> QString { throw std::runtime_error("no text"); });
    EXPECT_FALSE(model.data(model.index(0), Qt::DisplayRole).isValid());
    EXPECT_EQ(caught.entries(), QStringList {u"a role function of a list model: no text"_s});
}

TEST(QMListModelTest, ShowsItemsThroughItsRoles)
{
    Fixture fixture;
    QMListModel &model = fixture.model;
    QMListItemList items = makeItems(u"aBc");
    item(items[1]).rank = 7;
    model.setItems(items);
    Recording recording(model);

    EXPECT_EQ(model.roleNames(),
              (QHash<int, QByteArray> {{Qt::DisplayRole, "display"},
                                       {QMListModel::IdentifierRole, "identifier"}}));
    EXPECT_EQ(model.data(model.index(1), Qt::DisplayRole), QVariant(u"B"_s));
    EXPECT_EQ(model.data(model.index(1), QMListModel::IdentifierRole), QVariant(u"b"_s));
    EXPECT_FALSE(model.data(model.index(1), RankRole).isValid());
    EXPECT_FALSE(model.data(model.index(3), Qt::DisplayRole).isValid());
    EXPECT_EQ(model.itemAt(2), items[2]);
    EXPECT_EQ(model.itemAt(3), nullptr);
    EXPECT_EQ(model.itemAt(-1), nullptr);

    // The display function replaces every row's text; none restores the description.
    model.setDisplayFunction(
            [](const QMListItemPointer &entry) -> QString { return entry->identifier() + u'!'; });
    EXPECT_EQ(model.data(model.index(0), Qt::DisplayRole), QVariant(u"a!"_s));
    model.setDisplayFunction({});
    EXPECT_EQ(model.data(model.index(0), Qt::DisplayRole), QVariant(u"a"_s));

    // The host's roles come with their names; changing them resets the model.
    model.setRoleProvider({{RankRole, "rank"}}, [](const QMListItemPointer &entry, int role) {
        return role == RankRole ? QVariant(item(entry).rank) : QVariant();
    });
    EXPECT_EQ(model.roleNames().value(RankRole), QByteArray("rank"));
    EXPECT_EQ(model.data(model.index(1), RankRole), QVariant(7));

    // A refreshed rank alone is a change of that role only.
    QMListItemList newItems = makeItems(u"aBc");
    item(newItems[1]).rank = 8;
    model.updateItems(newItems, refresh);
    EXPECT_EQ(model.data(model.index(1), RankRole), QVariant(8));

    EXPECT_EQ(recording.log.join(u'|'),
              u"changed 0-2 display|changed 0-2 display|reset|changed 1-1 rank"_s);

    // The model's own roles cannot be provided, and roles need a function.
    const QMListModel::RoleFunction none = [](const QMListItemPointer &, int) {
        return QVariant();
    };
    const QString ownRoles
            = u"!roleNames.contains(Qt::DisplayRole) && !roleNames.contains(IdentifierRole)"_s;
    const struct
    {
        QHash<int, QByteArray> names;
        QMListModel::RoleFunction function;
        QString condition;
    } refused[] = {{{{Qt::DisplayRole, "text"}}, none, ownRoles},
                   {{{QMListModel::IdentifierRole, "key"}}, none, ownRoles},
                   {{{RankRole, "rank"}}, {}, u"roleNames.isEmpty() || function"_s}};
    for (const auto &row : refused) {
        EXPECT_EQ(
                ListTestSupport::failureOf([&] { model.setRoleProvider(row.names, row.function); }),
                u"Invalid parameter not satisfying: "_s + row.condition);
    }
    EXPECT_EQ(model.roleNames().value(RankRole), QByteArray("rank"));
}
