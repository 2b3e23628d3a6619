#include "TreeTestSupport.h"

#include "lists/ListTestSupport.h"
#include "text/TextTestSupport.h"
#include <QMFoundation/lists/QMIdentifierMap.h>
#include <QMFoundation/tree/QMSortDescriptor.h>
#include <QMFoundation/tree/QMTreeNode.h>

#include <QObject>
#include <QRegularExpression>
#include <QVariantMap>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;
using ListTestSupport::failureOf;
using TreeTestSupport::parse;
using TreeTestSupport::shape;

namespace {

QMTreeNodePointer node(const QString &identifier)
{
    return QMTreeNode::nodeWithIdentifier(identifier);
}

// Every child's parent link names the node that lists it.
bool linksAgree(const QMTreeNodePointer &parent)
{
    return std::all_of(parent->mutableChildNodes().cbegin(), parent->mutableChildNodes().cend(),
                       [&parent](const QMTreeNodePointer &child) {
                           return child->parentNode() == parent && linksAgree(child);
                       });
}

} // namespace

TEST(IdentifierMapTest, NumbersStringsInTheOrderFirstSeen)
{
    QMIdentifierMap map;
    EXPECT_EQ(map.maxIndex(), 0u);
    EXPECT_EQ(map.identifierForString(u"a"_s), 1u);
    EXPECT_EQ(map.identifierForString(u"b"_s), 2u);
    EXPECT_EQ(map.identifierForString(u"a"_s), 1u);
    EXPECT_EQ(map.identifierForString(u"A"_s), 3u); // case matters
    EXPECT_EQ(map.identifierForString(u""_s), 4u); // empty is a string, unlike null
    EXPECT_EQ(map.maxIndex(), 4u);
    EXPECT_EQ(map.identifierMap().size(), 4);
    EXPECT_EQ(failureOf([&] { map.identifierForString(QString()); }),
              u"Invalid parameter not satisfying: string"_s);

    // Installed entries are found; new strings continue after maxIndex.
    map.setIdentifierMap({{u"x"_s, 7}});
    map.setMaxIndex(7);
    EXPECT_EQ(map.identifierForString(u"x"_s), 7u);
    EXPECT_EQ(map.identifierForString(u"a"_s), 8u);
    EXPECT_EQ(QMIdentifierMap::sharedIdentifierMap(), QMIdentifierMap::sharedIdentifierMap());
}

TEST(IdentifierMapTest, ThreadsPresentingTheSameNewStringsGetOneNumberEach)
{
    QMIdentifierMap map;
    constexpr int Strings = 2000;
    constexpr int Threads = 8;
    std::vector<std::vector<quint64>> seen(Threads, std::vector<quint64>(Strings));
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&map, &seen, t] {
            // Each thread walks the strings from its own starting point, so first sightings race.
            for (int k = 0; k < Strings; ++k) {
                const int s = (k + t * Strings / Threads) % Strings;
                seen[t][s] = map.identifierForString(u"s"_s + QString::number(s));
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    std::vector<quint64> numbers = seen[0];
    for (int t = 1; t < Threads; ++t)
        EXPECT_EQ(seen[t], numbers) << "thread " << t;
    std::sort(numbers.begin(), numbers.end());
    for (int s = 0; s < Strings; ++s)
        ASSERT_EQ(numbers[s], quint64(s + 1)); // 1 ... n, each once
    EXPECT_EQ(map.maxIndex(), quint64(Strings));
}

TEST(TreeNodeTest, IdentityIsTheIdentifiersNumber)
{
    const QMTreeNodePointer a = node(u"a"_s);
    const QMTreeNodePointer otherA = node(u"a"_s);
    EXPECT_NE(a, otherA);
    EXPECT_TRUE(a->isEqual(*otherA));
    EXPECT_EQ(a->hash(), otherA->hash());
    EXPECT_EQ(a->numericIdentifier(), otherA->numericIdentifier());
    EXPECT_NE(a->numericIdentifier(), 0u);
    EXPECT_FALSE(a->isEqual(*node(u"A"_s)));

    // Renaming takes the new name's number.
    otherA->setIdentifier(u"b"_s);
    EXPECT_FALSE(a->isEqual(*otherA));
    EXPECT_TRUE(otherA->isEqual(*node(u"b"_s)));

    const QRegularExpression uuid(u"^[0-9A-Fa-f]{8}-([0-9A-Fa-f]{4}-){3}[0-9A-Fa-f]{12}$"_s);
    const QMTreeNode first;
    const QMTreeNode second;
    EXPECT_TRUE(uuid.match(first.identifier()).hasMatch()) << first.identifier().toStdString();
    EXPECT_NE(first.identifier(), second.identifier());
    EXPECT_EQ(QMTreeNode::nodeWithRepresentedObject(42)->representedObject(), QVariant(42));

    EXPECT_EQ(failureOf([] { QMTreeNode::nodeWithIdentifier(QString()); }),
              u"QMTreeNode identifier must be of type NSString"_s);
    const QMTreeNodePointer parent = parse(u"p(c)"_s).first();
    EXPECT_EQ(parent->description(), u"p"_s);
    EXPECT_TRUE(parent->mutableChildNodes().first()->longDescription().startsWith(u"c <0x"_s));
    EXPECT_TRUE(parent->mutableChildNodes().first()->longDescription().endsWith(u"> : p"_s));
    EXPECT_TRUE(parent->longDescription().endsWith(u"> : (null)"_s));
}

TEST(TreeNodeTest, AddingMovesANodeFromItsOldParent)
{
    const QMTreeNodeList roots = parse(u"p(a b) q(c)"_s);
    const QMTreeNodePointer &p = roots[0];
    const QMTreeNodePointer &q = roots[1];
    const QMTreeNodePointer a = p->mutableChildNodes()[0];
    EXPECT_FALSE(p->isLeaf());
    EXPECT_TRUE(a->isLeaf());

    q->addChild(a);
    EXPECT_EQ(shape(roots), u"p(b) q(c a)"_s);
    EXPECT_EQ(a->parentNode(), q);

    // A child of the receiver moves instead of standing twice.
    q->addChild(q->mutableChildNodes()[0]);
    EXPECT_EQ(shape(roots), u"p(b) q(a c)"_s);
    q->insertChild(q->mutableChildNodes()[1], 0);
    EXPECT_EQ(shape(roots), u"p(b) q(c a)"_s);
    q->insertChild(a, 0);
    EXPECT_EQ(shape(roots), u"p(b) q(a c)"_s);

    // Several at once, each at its own position of the final list; b leaves p.
    const QMTreeNodePointer b = p->mutableChildNodes()[0];
    q->insertChildren({node(u"x"_s), b}, QMIndexSet {0, 3});
    EXPECT_EQ(shape(roots), u"p q(x a c b)"_s);
    EXPECT_TRUE(linksAgree(p) && linksAgree(q));
    EXPECT_EQ(failureOf([&] {
                  q->insertChildren({node(u"y"_s)}, QMIndexSet {0, 1});
              }),
              u"Invalid parameter not satisfying: nodes.count == indexes.count"_s);
    EXPECT_EQ(failureOf([&] { q->insertChild(node(u"y"_s), 5); }), u"Index out of bounds"_s);
    EXPECT_EQ(shape(roots), u"p q(x a c b)"_s);

    // No cycles of owners.
    const QString cycle = u"Expected a node that is not the receiver or one of its ancestors"_s;
    EXPECT_EQ(failureOf([&] { q->addChild(q); }), cycle);
    EXPECT_EQ(failureOf([&] { a->addChild(q); }), cycle);
    QMTreeNode unowned(u"u"_s);
    EXPECT_EQ(failureOf([&] { unowned.addChild(node(u"v"_s)); }),
              u"Expected a node owned by a std::shared_ptr"_s);
}

TEST(TreeNodeTest, ChildOperationsMatchByIdentifierAndKeepLinks)
{
    const QMTreeNodeList roots = parse(u"p(a b c d)"_s);
    const QMTreeNodePointer &p = roots[0];
    const QMTreeNodePointer a = p->mutableChildNodes()[0];
    EXPECT_EQ(p->indexOfChild(node(u"c"_s)), 2);
    EXPECT_EQ(p->indexOfChild(node(u"z"_s)), QMNotFound);

    p->moveChildAtIndex(0, 3);
    EXPECT_EQ(shape(roots), u"p(b c d a)"_s);
    p->swapChildAtIndex(0, 3);
    EXPECT_EQ(shape(roots), u"p(a c d b)"_s);
    p->replaceChildNodeAtIndex(1, node(u"x"_s));
    EXPECT_EQ(shape(roots), u"p(a x d b)"_s);
    p->removeChildrenAtIndexes(QMIndexSet {1, 3});
    EXPECT_EQ(shape(roots), u"p(a d)"_s);
    EXPECT_TRUE(linksAgree(p));

    // A different instance named "a" removes every child so named.
    p->mutableChildNodes().append(node(u"a"_s));
    p->removeChild(node(u"a"_s));
    EXPECT_EQ(shape(roots), u"p(d)"_s);
    EXPECT_EQ(a->parentNode(), nullptr);

    EXPECT_EQ(failureOf([&] { p->removeChildAtIndex(1); }), u"Index out of bounds"_s);
    EXPECT_EQ(failureOf([&] { p->moveChildAtIndex(0, 1); }), u"Index out of bounds"_s);
    EXPECT_EQ(failureOf([&] { p->removeChildrenAtIndexes(QMIndexSet {1}); }),
              u"Index out of bounds"_s);
    const QMTreeNodePointer d = p->mutableChildNodes()[0];
    p->removeAllChildren();
    EXPECT_TRUE(p->isLeaf());
    EXPECT_EQ(d->parentNode(), nullptr);
}

TEST(TreeNodeTest, CopyIsDeepWithoutRepresentedObjects)
{
    const QMTreeNodePointer original = parse(u"r=Root(a=A(x) b)"_s).first();
    original->setRepresentedObject(u"model"_s);
    original->mutableChildNodes()[0]->setRepresentedObject(1);
    const QMTreeNodePointer copy = original->copy();

    EXPECT_EQ(shape({copy}), u"r(a(x) b)"_s);
    EXPECT_EQ(copy->title(), u"Root"_s);
    EXPECT_EQ(copy->mutableChildNodes()[0]->title(), u"A"_s);
    EXPECT_EQ(copy->numericIdentifier(), original->numericIdentifier());
    EXPECT_FALSE(copy->representedObject().isValid());
    EXPECT_FALSE(copy->mutableChildNodes()[0]->representedObject().isValid());
    EXPECT_EQ(copy->parentNode(), nullptr);
    EXPECT_NE(copy->mutableChildNodes()[0], original->mutableChildNodes()[0]);
    EXPECT_TRUE(linksAgree(copy));
}

class Person : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int age MEMBER age)

public:
    explicit Person(int years)
        : age(years)
    { }
    int age;
};

TEST(SortDescriptorTest, OrdersByKeysAndComparators)
{
    QMTreeNodeList nodes = parse(u"n1=b n2 n3=a n4=b n5=B"_s);
    QMSortNodes(nodes, {QMSortDescriptor(u"title"_s)});
    // No title first, code-unit order ("B" < "a"), ties keep their order.
    EXPECT_EQ(shape(nodes), u"n2 n5 n3 n1 n4"_s);
    QMSortNodes(nodes,
                {QMSortDescriptor(u"title"_s, false), QMSortDescriptor(u"identifier"_s, false)});
    EXPECT_EQ(shape(nodes), u"n4 n1 n3 n5 n2"_s);

    Person young(20);
    Person old(70);
    nodes = parse(u"m p q r"_s);
    nodes[0]->setRepresentedObject(QVariantMap {{u"age"_s, 30}});
    nodes[1]->setRepresentedObject(QVariant::fromValue(static_cast<QObject *>(&old)));
    nodes[2]->setRepresentedObject(QVariant::fromValue(static_cast<QObject *>(&young)));
    // r has no age: values that do not order come first.
    QMSortNodes(nodes, {QMSortDescriptor(u"representedObject.age"_s)});
    EXPECT_EQ(shape(nodes), u"r q m p"_s);

    const QMSortDescriptor byLength(
            u"length"_s, true, [](const QMTreeNode &a, const QMTreeNode &b) {
                return int(a.identifier().size()) - int(b.identifier().size());
            });
    nodes = parse(u"ccc a bb"_s);
    QMSortNodes(nodes, {byLength.reversedSortDescriptor()});
    EXPECT_EQ(shape(nodes), u"ccc bb a"_s);

    EXPECT_EQ(failureOf([] { QMSortDescriptor(u"name"_s); }),
              u"Expected a sort key of identifier, title, numericIdentifier, numberOfChildren, "
              "representedObject or representedObject.NAME, but got name"_s);
}

#include "TreeNodeTest.moc"
