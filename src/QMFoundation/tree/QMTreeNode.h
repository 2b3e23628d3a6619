#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/lists/QMIndexSet.h>
#include <QMFoundation/lists/QMListItem.h>

#include <QList>
#include <QString>
#include <QVariant>

#include <cstddef>
#include <memory>

class QMIdentifierMap;
class QMTreeNode;

/// A shared tree node, as parents, managers and models hold them.
using QMTreeNodePointer = std::shared_ptr<QMTreeNode>;
/// A list of shared tree nodes.
using QMTreeNodeList = QList<QMTreeNodePointer>;

/// One node of an ordered tree as an outline view shows it: a string identifier that names the
/// node stably across rebuilds of the tree, an optional title, a represented object (the model
/// value the node stands for), a weak link to its parent and an ordered list of children.
///
/// Nodes live in `std::shared_ptr`s (make them with `std::make_shared<QMTreeNode>(...)` or
/// nodeWithIdentifier()); a parent owns its children, a child never owns its parent. Functions that
/// link a child to the receiver throw QMInternalInconsistencyException "Expected a node owned by a
/// std::shared_ptr" on a node that is not.
///
/// Nodes are equal when their identifiers are equal. To make that one integer comparison, each
/// node carries the shared QMIdentifierMap's number for its identifier (numericIdentifier()). Every
/// search of the children (removeChild(), indexOfChild()) matches by identifier, not by instance:
/// a child list that holds two nodes named "a" loses both on one removeChild().
///
/// Linking rules, so that parent links and child lists always agree:
/// - a node given to addChild() or insertChild() leaves its old parent's child list first
///   (through that parent's removeChild());
/// - a node that is already the receiver's child moves: addChild() takes it to the end,
///   insertChild() to the given position of the list without it;
/// - a node cannot become a child of itself or of one of its descendants (that would make a cycle
///   of owners): "Expected a node that is not the receiver or one of its ancestors".
///
/// Functions take nodes and lists by value, so a caller may pass an element of the very list they
/// change (`p->removeChild(p->mutableChildNodes()[0])`).
///
/// A tree is built and changed on one thread; only the identifier map is shared between threads.
class QMF_CORE_EXPORT QMTreeNode : public std::enable_shared_from_this<QMTreeNode>
{
public:
    /// A node named by a new random UUID (36 characters, 8-4-4-4-12 hexadecimal groups).
    QMTreeNode();
    /// Throws QMInternalInconsistencyException "QMTreeNode identifier must be of type NSString"
    /// for a null string, which names nothing.
    explicit QMTreeNode(const QString &identifier, const QVariant &representedObject = {});
    /// A node named by a new random UUID that stands for `representedObject`.
    static QMTreeNodePointer nodeWithRepresentedObject(const QVariant &representedObject);
    /// `std::make_shared<QMTreeNode>(identifier)`, with the same check.
    static QMTreeNodePointer nodeWithIdentifier(const QString &identifier);
    ~QMTreeNode();
    QMTreeNode(const QMTreeNode &) = delete;
    QMTreeNode &operator=(const QMTreeNode &) = delete;

    /// The node's stable name.
    const QString &identifier() const { return m_identifier; }
    /// Renames the node and takes the new name's number from the identifier map (relinking the
    /// shared map first if the node's link to it is empty). A null string is taken as is.
    void setIdentifier(const QString &identifier);
    /// The identifier map's number for identifier(): equal identifiers, equal numbers.
    quint64 numericIdentifier() const { return m_numericIdentifier; }

    /// The title an outline view shows; a null QString unless set.
    const QString &title() const { return m_title; }
    /// Sets the title.
    void setTitle(const QString &title) { m_title = title; }
    /// The model value the node stands for; an invalid QVariant unless set.
    const QVariant &representedObject() const { return m_representedObject; }
    /// Sets the represented object.
    void setRepresentedObject(const QVariant &object) { m_representedObject = object; }

    /// The node whose child list holds this node; null for a root node (and once the parent is
    /// destroyed).
    QMTreeNodePointer parentNode() const { return m_parentNode.lock(); }
    /// Sets the link alone; the parent's child list is not changed.
    void setParentNode(const QMTreeNodePointer &parent) { m_parentNode = parent; }

    /// The children in display order (a copy that later changes of the node do not touch).
    QMTreeNodeList childNodes() const { return m_childNodes; }
    /// The children list itself, for a caller that maintains parent links on its own.
    QMTreeNodeList &mutableChildNodes() { return m_childNodes; }
    /// Replaces the child list without relinking parents.
    void setMutableChildNodes(const QMTreeNodeList &children) { m_childNodes = children; }
    /// The number of children.
    qsizetype numberOfChildren() const { return m_childNodes.size(); }
    /// True for a node without children.
    bool isLeaf() const { return m_childNodes.isEmpty(); }

    /// The identifier map the node numbers its identifier with, held weakly; the shared map
    /// unless replaced.
    std::shared_ptr<QMIdentifierMap> identifierMap() const { return m_identifierMap.lock(); }
    /// Links the node to `map`, held weakly; numericIdentifier() keeps its number.
    void setIdentifierMap(const std::shared_ptr<QMIdentifierMap> &map) { m_identifierMap = map; }

    /// Equal numeric identifiers.
    bool isEqual(const QMTreeNode &other) const
    {
        return m_numericIdentifier == other.m_numericIdentifier;
    }
    /// The hash of the identifier, so it agrees with isEqual().
    size_t hash() const;
    /// The identifier.
    QString description() const { return m_identifier; }
    /// "identifier <address> : parent's identifier", with "(null)" for a root node.
    QString longDescription() const;

    /// A deep copy: a new node with the same identifier (and number) and title, and copies of
    /// every child, appended in order; no represented object and no parent.
    QMTreeNodePointer copy() const;

    /// Appends `node` (see the linking rules in the class comment).
    void addChild(QMTreeNodePointer node);
    /// addChild() for each node, in order.
    void addChildrenFromArray(QMTreeNodeList nodes);
    /// Inserts `node` at `index`, which must lie in 0 ... numberOfChildren() (counted without the
    /// node when it is already a child): "Index out of bounds" otherwise.
    void insertChild(QMTreeNodePointer node, qsizetype index);
    /// Inserts `nodes[k]` at the k-th position of `indexes`, ascending, each at its own position
    /// (as QList insertions in turn), then links each. Nodes already in the receiver leave it
    /// first. Throws "Invalid parameter not satisfying: nodes.count == indexes.count" on a count
    /// mismatch and "Index out of bounds" for a position past the list.
    void insertChildren(QMTreeNodeList nodes, const QMIndexSet &indexes);
    /// Removes every child equal to `node` (same identifier) and clears the parent link of each
    /// removed child and of `node` itself where it names the receiver.
    void removeChild(QMTreeNodePointer node);
    /// Throws "Index out of bounds" unless 0 <= index < numberOfChildren().
    void removeChildAtIndex(qsizetype index);
    /// Throws "Index out of bounds" when a position lies past the list.
    void removeChildrenAtIndexes(const QMIndexSet &indexes);
    /// Removes every child, clearing the parent links that name the receiver.
    void removeAllChildren();
    /// Replaces the child at `index` with `node` (see the linking rules); throws "Index out of
    /// bounds" unless 0 <= index < numberOfChildren().
    void replaceChildNodeAtIndex(qsizetype index, QMTreeNodePointer node);
    /// Takes the child at `fromIndex` out and puts it at `toIndex` of the list without it; parent
    /// links are unchanged. Throws "Index out of bounds" for a position outside the list.
    void moveChildAtIndex(qsizetype fromIndex, qsizetype toIndex);
    /// Throws "Index out of bounds" for a position outside the list.
    void swapChildAtIndex(qsizetype index, qsizetype otherIndex);
    /// The lowest position of a child equal to `node` (same identifier), or QMNotFound.
    qint64 indexOfChild(const QMTreeNodePointer &node) const;
    /// As indexOfChild() for a shared node.
    qint64 indexOfChild(const QMTreeNode &node) const;

private:
    friend class QMTreeManager;
    // The copy constructor of copy(): the identifier's number is copied, not looked up again.
    struct CopyTag
    { };
    QMTreeNode(CopyTag, const QMTreeNode &other);
    QMTreeNodePointer self();
    void adopt(const QMTreeNodePointer &node);
    void checkAdoptable(const QMTreeNode &node) const;

    QString m_identifier;
    QString m_title;
    QVariant m_representedObject;
    std::weak_ptr<QMTreeNode> m_parentNode;
    QMTreeNodeList m_childNodes;
    std::weak_ptr<QMIdentifierMap> m_identifierMap;
    quint64 m_numericIdentifier = 0;
};
