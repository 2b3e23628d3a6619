#include <QMFoundation/tree/QMTreeNode.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMIdentifierMap.h>
#include <QMFoundation/text/QMUniqueIdentifier.h>

#include <QHash>

#include <algorithm>
#include <utility>

namespace {

const QString &checkedIdentifier(const QString &identifier)
{
    QMAssert(!identifier.isNull(),
             QStringLiteral("QMTreeNode identifier must be of type NSString"));
    return identifier;
}

void checkIndex(qsizetype index, qsizetype count)
{
    QMAssert(index >= 0 && index < count, QStringLiteral("Index out of bounds"));
}

} // namespace

QMTreeNode::QMTreeNode()
    : QMTreeNode(QMUniqueIdentifier::UUID())
{ }

QMTreeNode::QMTreeNode(const QString &identifier, const QVariant &representedObject)
    : m_identifier(checkedIdentifier(identifier))
    , m_representedObject(representedObject)
{
    const std::shared_ptr<QMIdentifierMap> map = QMIdentifierMap::sharedIdentifierMap();
    m_identifierMap = map;
    m_numericIdentifier = map->identifierForString(m_identifier);
}

QMTreeNode::QMTreeNode(CopyTag, const QMTreeNode &other)
    : m_identifier(other.m_identifier)
    , m_title(other.m_title)
    , m_identifierMap(other.m_identifierMap)
    , m_numericIdentifier(other.m_numericIdentifier)
{ }

QMTreeNode::~QMTreeNode() = default;

QMTreeNodePointer QMTreeNode::nodeWithRepresentedObject(const QVariant &representedObject)
{
    return std::make_shared<QMTreeNode>(QMUniqueIdentifier::UUID(), representedObject);
}

QMTreeNodePointer QMTreeNode::nodeWithIdentifier(const QString &identifier)
{
    return std::make_shared<QMTreeNode>(identifier);
}

void QMTreeNode::setIdentifier(const QString &identifier)
{
    std::shared_ptr<QMIdentifierMap> map = m_identifierMap.lock();
    if (!map) {
        map = QMIdentifierMap::sharedIdentifierMap();
        m_identifierMap = map;
    }
    m_identifier = identifier;
    // A null name has no number of its own; it shares 0, which the map never hands out.
    m_numericIdentifier = identifier.isNull() ? 0 : map->identifierForString(identifier);
}

size_t QMTreeNode::hash() const
{
    return qHash(m_identifier);
}

QString QMTreeNode::longDescription() const
{
    const QMTreeNodePointer parent = parentNode();
    return QStringLiteral("%1 <0x%2> : %3")
            .arg(m_identifier, QString::number(reinterpret_cast<quintptr>(this), 16),
                 parent ? parent->description() : QStringLiteral("(null)"));
}

QMTreeNodePointer QMTreeNode::copy() const
{
    // The tag constructor is private, which std::make_shared cannot reach.
    QMTreeNodePointer copied(new QMTreeNode(CopyTag {}, *this));
    copied->m_childNodes.reserve(m_childNodes.size());
    for (const QMTreeNodePointer &child : m_childNodes) {
        QMTreeNodePointer childCopy = child->copy();
        childCopy->m_parentNode = copied;
        copied->m_childNodes.append(std::move(childCopy));
    }
    return copied;
}

QMTreeNodePointer QMTreeNode::self()
{
    QMTreeNodePointer pointer = weak_from_this().lock();
    QMAssert(bool(pointer), QStringLiteral("Expected a node owned by a std::shared_ptr"));
    return pointer;
}

void QMTreeNode::checkAdoptable(const QMTreeNode &node) const
{
    for (const QMTreeNode *ancestor = this; ancestor;) {
        QMAssert(
                ancestor != &node,
                QStringLiteral("Expected a node that is not the receiver or one of its ancestors"));
        const QMTreeNodePointer parent = ancestor->parentNode();
        ancestor = parent.get();
    }
}

// Detaches `node` from its old parent (another node) and links it to the receiver. The node
// already stands in the receiver's list.
void QMTreeNode::adopt(const QMTreeNodePointer &node)
{
    const QMTreeNodePointer oldParent = node->parentNode();
    if (oldParent && oldParent.get() != this)
        oldParent->removeChild(node);
    node->m_parentNode = weak_from_this();
}

void QMTreeNode::addChild(QMTreeNodePointer node)
{
    insertChild(std::move(node), QMNotFound);
}

void QMTreeNode::addChildrenFromArray(QMTreeNodeList nodes)
{
    for (const QMTreeNodePointer &node : nodes)
        addChild(node);
}

void QMTreeNode::insertChild(QMTreeNodePointer node, qsizetype index)
{
    QMParameterAssert(bool(node), "node");
    self();
    checkAdoptable(*node);
    // A child of the receiver moves: it leaves its place first, so that it stands once.
    if (node->parentNode().get() == this)
        m_childNodes.removeIf([&node](const QMTreeNodePointer &child) { return child == node; });
    if (index == QMNotFound)
        index = m_childNodes.size();
    QMAssert(index >= 0 && index <= m_childNodes.size(), QStringLiteral("Index out of bounds"));
    m_childNodes.insert(index, node);
    adopt(node);
}

void QMTreeNode::insertChildren(QMTreeNodeList nodes, const QMIndexSet &indexes)
{
    QMParameterAssert(quint64(nodes.size()) == indexes.count(), "nodes.count == indexes.count");
    self();
    for (const QMTreeNodePointer &node : nodes) {
        QMParameterAssert(bool(node), "node");
        checkAdoptable(*node);
    }
    for (const QMTreeNodePointer &node : nodes) {
        if (node->parentNode().get() == this)
            m_childNodes.removeIf(
                    [&node](const QMTreeNodePointer &child) { return child == node; });
    }
    // Check every position before the first insertion, so a bad set changes nothing.
    qsizetype count = m_childNodes.size();
    for (const quint64 index : indexes) {
        QMAssert(index <= quint64(count), QStringLiteral("Index out of bounds"));
        ++count;
    }
    qsizetype k = 0;
    for (const quint64 index : indexes)
        m_childNodes.insert(qsizetype(index), nodes[k++]);
    for (const QMTreeNodePointer &node : nodes)
        adopt(node);
}

void QMTreeNode::removeChild(QMTreeNodePointer node)
{
    QMParameterAssert(bool(node), "node");
    const quint64 number = node->m_numericIdentifier;
    m_childNodes.removeIf([this, number](const QMTreeNodePointer &child) {
        if (child->m_numericIdentifier != number)
            return false;
        if (child->parentNode().get() == this)
            child->m_parentNode.reset();
        return true;
    });
    if (node->parentNode().get() == this)
        node->m_parentNode.reset();
}

void QMTreeNode::removeChildAtIndex(qsizetype index)
{
    checkIndex(index, m_childNodes.size());
    const QMTreeNodePointer child = m_childNodes.takeAt(index);
    child->m_parentNode.reset();
}

void QMTreeNode::removeChildrenAtIndexes(const QMIndexSet &indexes)
{
    if (indexes.isEmpty())
        return;
    QMAssert(indexes.lastIndex() < quint64(m_childNodes.size()),
             QStringLiteral("Index out of bounds"));
    qsizetype kept = 0;
    for (qsizetype i = 0; i < m_childNodes.size(); ++i) {
        if (indexes.containsIndex(quint64(i)))
            m_childNodes[i]->m_parentNode.reset();
        else
            m_childNodes[kept++] = m_childNodes[i];
    }
    m_childNodes.resize(kept);
}

void QMTreeNode::removeAllChildren()
{
    // What removeChild() does for every child, in one pass: removing them one by one searched
    // the whole list each time, quadratic in the number of children.
    const QMTreeNodeList children = std::exchange(m_childNodes, {});
    for (const QMTreeNodePointer &child : children) {
        if (child->parentNode().get() == this)
            child->m_parentNode.reset();
    }
}

void QMTreeNode::replaceChildNodeAtIndex(qsizetype index, QMTreeNodePointer node)
{
    QMParameterAssert(bool(node), "node");
    checkIndex(index, m_childNodes.size());
    checkAdoptable(*node);
    removeChildAtIndex(index);
    insertChild(node, std::min(index, m_childNodes.size()));
}

void QMTreeNode::moveChildAtIndex(qsizetype fromIndex, qsizetype toIndex)
{
    checkIndex(fromIndex, m_childNodes.size());
    checkIndex(toIndex, m_childNodes.size());
    m_childNodes.move(fromIndex, toIndex);
}

void QMTreeNode::swapChildAtIndex(qsizetype index, qsizetype otherIndex)
{
    checkIndex(index, m_childNodes.size());
    checkIndex(otherIndex, m_childNodes.size());
    m_childNodes.swapItemsAt(index, otherIndex);
}

qint64 QMTreeNode::indexOfChild(const QMTreeNode &node) const
{
    const auto found = std::find_if(
            m_childNodes.cbegin(), m_childNodes.cend(), [&node](const QMTreeNodePointer &child) {
                return child->m_numericIdentifier == node.m_numericIdentifier;
            });
    return found == m_childNodes.cend() ? QMNotFound : qint64(found - m_childNodes.cbegin());
}

qint64 QMTreeNode::indexOfChild(const QMTreeNodePointer &node) const
{
    return node ? indexOfChild(*node) : QMNotFound;
}
