#include "ListTestSupport.h"
#include "text/TextTestSupport.h"

#include <QMFoundation/lists/Functional.h>
#include <QMFoundation/lists/QMListItem.h>
#include <QMFoundation/lists/QMMoving.h>
#include <QMFoundation/lists/RemovingObjects.h>
#include <QMFoundation/lists/ReversedArray.h>
#include <QMFoundation/lists/Subsets.h>
#include <QMFoundation/lists/Types.h>

#include <gtest/gtest.h>

#include <QObject>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>

// Named, not anonymous, so that the class names in the map failure messages read plainly.
namespace CollectionHelpersTest {

// Value equality with one hash for everything: legal, if slow, and it must stay correct.
struct Colliding
{
    int value = 0;
    bool isEqual(const Colliding &other) const { return value == other.value; }
    size_t hash() const { return 7; }
};

class Animal
{
public:
    virtual ~Animal() = default;
};
class Dog : public Animal
{ };
class Puppy : public Dog
{ };
class Cat : public Animal
{ };

struct Point
{
    int x = 0;
};

class Fruit : public QObject
{
    Q_OBJECT
};
class Apple : public Fruit
{
    Q_OBJECT
};
// A QObject without Q_OBJECT: its meta-object is Fruit's, so only dynamic_cast can tell it.
class Pear : public Fruit
{ };

} // namespace CollectionHelpersTest

using namespace CollectionHelpersTest;
using namespace ListTestSupport;
using namespace Qt::StringLiterals;

namespace {

// An item equal by value to every other instance with its identifier.
std::shared_ptr<ContentItem> valueItem(const QString &identifier)
{
    return std::make_shared<ContentItem>(identifier, identifier);
}

} // namespace

TEST(CollectionHelpersTest, RemovesEveryEqualElement)
{
    const struct
    {
        const char *list;
        const char *other;
        const char *expected;
    } rows[] = {
            // Every occurrence goes, not only the first.
            {"abac", "a", "bc"},
            // An empty other list gives a copy; an empty receiver stays empty.
            {"abac", "", "abac"},
            {"", "ab", ""},
            // Elements of the other list that the receiver lacks, and repeats in it, change
            // nothing.
            {"abc", "bbxb", "ac"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.list) + " - " + row.other);
        EXPECT_EQ(RemovingObjects::arrayByRemovingObjectsFromArray(letters(row.list),
                                                                   letters(row.other)),
                  letters(row.expected));
    }

    // Items compare by isEqual(): a value item goes with any equal instance, an identity item
    // only with itself.
    const auto a = valueItem(u"a"_s);
    const auto otherA = valueItem(u"a"_s);
    const QMListItemList values {a, valueItem(u"b"_s), a, otherA};
    EXPECT_EQ(identifiers(RemovingObjects::arrayByRemovingObjectsFromArray(values, {otherA})),
              letters("b"));

    const QMListItemList xyx = pick(items(letters("xy")), letters("xyx"));
    EXPECT_EQ(identifiers(RemovingObjects::arrayByRemovingObjectsFromArray(xyx, {item(u"x"_s)})),
              letters("xyx"));
    EXPECT_EQ(identifiers(RemovingObjects::arrayByRemovingObjectsFromArray(xyx, {xyx[0]})),
              letters("y"));

    // Elements that share a hash are still told apart by equality.
    Colliding one {1}, two {2}, otherOne {1}, likeTwo {2};
    EXPECT_EQ(RemovingObjects::arrayByRemovingObjectsFromArray(
                      QList<Colliding *> {&one, &two, &otherOne}, {&likeTwo}),
              (QList<Colliding *> {&one, &otherOne}));

    // Equal by isEqual() without a hash() of their own: still found.
    struct Named
    {
        QString name;
        bool isEqual(const Named &other) const { return name == other.name; }
    };
    const auto n = std::make_shared<Named>(Named {u"n"_s});
    const auto m = std::make_shared<Named>(Named {u"m"_s});
    EXPECT_EQ(RemovingObjects::arrayByRemovingObjectsFromArray(
                      QList {n, m}, {std::make_shared<Named>(Named {u"n"_s})}),
              QList {m});
}

TEST(CollectionHelpersTest, RemovesRanges)
{
    const struct
    {
        qsizetype location;
        qsizetype length;
        const char *expected; // nullptr: out of range
        const char *range = nullptr;
    } rows[] = {
            {1, 2, "ad"},
            {0, 4, ""},
            // An empty range at the end lies inside the list.
            {4, 0, "abcd"},
            // Ranges that leave the list, including ones whose end would overflow.
            {4, 1, nullptr, "{4, 1}"},
            {-1, 1, nullptr, "{-1, 1}"},
            {2, std::numeric_limits<qsizetype>::max(), nullptr, "{2, 9223372036854775807}"},
    };
    EXPECT_EQ(ReversedArray::reversedArray(letters("abc")), letters("cba"));
    EXPECT_TRUE(ReversedArray::reversedArray(QList<int> {}).isEmpty());

    const QStringList list = letters("abcd");
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.location) + ", " + std::to_string(row.length));
        if (row.expected) {
            EXPECT_EQ(
                    RemovingObjects::arrayByRemovingObjectsInRange(list, row.location, row.length),
                    letters(row.expected));
            continue;
        }
        try {
            RemovingObjects::arrayByRemovingObjectsInRange(list, row.location, row.length);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range &exception) {
            EXPECT_EQ(std::string(exception.what()),
                      std::string("RemovingObjects::arrayByRemovingObjectsInRange: range ")
                              + row.range + " outside the list of 4 elements");
        }
    }
}

TEST(CollectionHelpersTest, TellsWhetherElementsShareAType)
{
    const auto dog = std::make_shared<Dog>();
    const auto puppy = std::make_shared<Puppy>();
    const auto cat = std::make_shared<Cat>();
    const QList<std::shared_ptr<Animal>> dogs {dog, puppy};
    const QList<std::shared_ptr<Animal>> mixed {dog, cat, puppy};
    const QList<std::shared_ptr<Animal>> withNull {dog, nullptr};

    EXPECT_TRUE(Types::containsObjectsOfSingleType<Dog>(dogs)); // a subclass counts
    EXPECT_TRUE(Types::containsObjectsOfSingleType<Animal>(mixed));
    EXPECT_FALSE(Types::containsObjectsOfSingleType<Dog>(mixed));
    EXPECT_TRUE(Types::containsObjectsOfSingleType<Cat>(QList<std::shared_ptr<Animal>> {}));
    // A null element is no instance, even of the list's own element type.
    EXPECT_FALSE(Types::containsObjectsOfSingleType<Animal>(withNull));
    EXPECT_TRUE(Types::containsObjectsOfSingleType<Animal>(QList<Dog *> {dog.get(), puppy.get()}));

    // QObjects: qobject_cast for classes with their own meta-object, dynamic_cast for Pear.
    Apple apple;
    Pear pear;
    QObject plain;
    EXPECT_TRUE(Types::containsObjectsOfSingleType<Apple>(QList<QObject *> {&apple, &apple}));
    EXPECT_TRUE(Types::containsObjectsOfSingleType<Fruit>(QList<QObject *> {&apple, &pear}));
    EXPECT_FALSE(Types::containsObjectsOfSingleType<Apple>(QList<QObject *> {&apple, &pear}));
    EXPECT_FALSE(Types::containsObjectsOfSingleType<Fruit>(QList<QObject *> {&apple, &plain}));
    EXPECT_FALSE(Types::containsObjectsOfSingleType<Pear>(QList<Fruit *> {&pear, &apple}));
    EXPECT_TRUE(
            Types::containsObjectsOfSingleType<QObject>(QList<const QObject *> {&apple, &plain}));
}

TEST(CollectionHelpersTest, FiltersMapsAndReduces)
{
    const QList<int> numbers {1, 2, 3, 4, 5};
    EXPECT_EQ(Functional::filter(numbers, [](int n) { return n % 2 == 0; }), (QList<int> {2, 4}));

    EXPECT_EQ(Functional::map(numbers, [](int n) { return QString::number(n * n); }),
              u"1 4 9 16 25"_s.split(u' '));
    // Optional results are unwrapped; a null QString is a value, not none.
    const QList<int> unwrapped
            = Functional::map(numbers, [](int n) { return std::optional<int>(n + 1); });
    EXPECT_EQ(unwrapped, (QList<int> {2, 3, 4, 5, 6}));
    EXPECT_EQ(Functional::map(QList<int> {1}, [](int) { return QString(); }).size(), 1);

    // compactMap drops every kind of none and keeps the order of the rest.
    const auto evenOrNone = [](int n) {
        return n % 2 ? std::nullopt : std::optional<int>(n);
    };
    EXPECT_EQ(Functional::compactMap(numbers, evenOrNone), (QList<int> {2, 4}));
    const QList<QVariant> variants = Functional::compactMap(
            numbers, [](int n) { return n > 3 ? QVariant(n) : QVariant(); });
    EXPECT_EQ(variants, (QList<QVariant> {4, 5}));
    Dog dog;
    EXPECT_EQ(Functional::compactMap(numbers, [&](int n) { return n == 3 ? &dog : nullptr; }),
              QList<Dog *> {&dog});

    // reduce feeds the elements in order; over an empty list it returns the initial value
    // without calling the function.
    // "-> QString": with QStringBuilder, "text + letter" alone would outlive its operands.
    const auto concatenate = [](const QString &text, const QString &letter) -> QString {
        return text + letter;
    };
    EXPECT_EQ(Functional::reduce(letters("abc"), QStringLiteral(">"), concatenate),
              QStringLiteral(">abc"));
    int calls = 0;
    EXPECT_EQ(Functional::reduce(QStringList {}, QStringLiteral("start"),
                                 [&](QString text, const QString &) {
                                     ++calls;
                                     return text;
                                 }),
              QStringLiteral("start"));
    EXPECT_EQ(calls, 0);
}

TEST(CollectionHelpersTest, MapFailsWithTheElementsClassName)
{
    const auto none = [](const auto &) {
        return std::optional<int>();
    };
    const QList<int> numbers {1, 2, 3};
    int calls = 0;
    Apple apple;
    Point point;
    // QObjects by their meta-object's name, other polymorphic targets by their dynamic type,
    // everything else (null pointers included) by the static type; every kind of none fails.
    const std::pair<std::function<void()>, const char *> rows[] = {
            {[&] { Functional::map(QList<QObject *> {&apple}, none); },
             "CollectionHelpersTest::Apple"},
            {[&] {
                 Functional::map(QList<std::shared_ptr<Animal>> {std::make_shared<Puppy>()}, none);
             },
             "CollectionHelpersTest::Puppy"},
            {[&] { Functional::map(QList<std::shared_ptr<Animal>> {nullptr}, none); },
             "CollectionHelpersTest::Animal"},
            {[&] { Functional::map(QList<Point *> {&point}, none); },
             "CollectionHelpersTest::Point"},
            // At the first element that gives none.
            {[&] {
                 Functional::map(numbers, [&](int n) {
                     ++calls;
                     return n == 2 ? QVariant() : QVariant(n);
                 });
             },
             "int"},
            {[&] { Functional::map(numbers, [](int) -> Dog * { return nullptr; }); }, "int"},
            {[&] { Functional::map(numbers, [](int) { return std::shared_ptr<Dog>(); }); }, "int"},
    };
    for (const auto &[action, name] : rows) {
        SCOPED_TRACE(name);
        EXPECT_EQ(failureOf(action),
                  u"Error. Item of class '%1' could not be mapped."_s.arg(QLatin1StringView(name)));
    }
    EXPECT_EQ(calls, 2);
}

TEST(CollectionHelpersTest, BuildsAllUniqueOrderedSubsets)
{
    const struct
    {
        const char *list;
        const char *expected; // each subset as one text, sorted and separated by spaces
    } rows[] = {
            {"", ""},
            {"ab", "a ab b ba"},
            // Equal elements never stand together: [a, a] gives only [a].
            {"aa", "a"},
            {"aba", "a ab b ba"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.list);
        QStringList texts;
        for (const QStringList &subset : Subsets::allPossibleUniqueSubsets(letters(row.list)))
            texts.append(subset.join(QString()));
        texts.sort();
        EXPECT_EQ(texts.join(u' '), QString::fromLatin1(row.expected));
    }
    // n distinct elements give the sum of n! / (n - k)!.
    EXPECT_EQ(Subsets::allPossibleUniqueSubsets(letters("abcd")).size(), 4 + 12 + 24 + 24);

    // Items: the same instance twice gives one list; distinct equal instances never stand
    // together, but make two one-element lists, since the set tells them apart by identity.
    const auto x = valueItem(u"x"_s);
    const auto otherX = valueItem(u"x"_s);
    const auto y = valueItem(u"y"_s);
    EXPECT_EQ(Subsets::allPossibleUniqueSubsets(QMListItemList {x, x}),
              (QSet<QMListItemList> {{x}}));
    EXPECT_EQ(
            Subsets::allPossibleUniqueSubsets(QMListItemList {x, otherX, y}),
            (QSet<QMListItemList> {{x}, {otherX}, {y}, {x, y}, {otherX, y}, {y, x}, {y, otherX}}));
}

TEST(CollectionHelpersTest, MovesOneElement)
{
    // From, to, and the list afterwards; a position outside leaves the list as it was.
    const std::tuple<qsizetype, qsizetype, const char *> rows[]
            = {{0, 2, "bca"}, {2, 0, "cab"}, {1, 1, "abc"}, {3, 0, nullptr}, {0, 3, nullptr}};
    for (const auto &[from, to, expected] : rows) {
        SCOPED_TRACE(std::to_string(from) + " -> " + std::to_string(to));
        QStringList list = letters("abc");
        if (expected)
            QMMoving::moveObjectAtIndex(list, from, to);
        else
            EXPECT_THROW(QMMoving::moveObjectAtIndex(list, from, to), std::out_of_range);
        EXPECT_EQ(list, letters(expected ? expected : "abc"));
    }
}

#include "CollectionHelpersTest.moc"
