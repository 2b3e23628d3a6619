#pragma once

#include <QMFoundation/tree/QMTreeNode.h>

#include <QByteArray>
#include <QString>

#include <optional>

/// Reads trees of QMTreeNodes from JSON:
///
///   NODE = {"id": "text", "title": "text", "children": [NODE...]}
///
/// A document holds one NODE or an array of them (the root list, possibly empty). "id" is
/// required; "title" and "children" may be left out or null (no title, no children). Any other
/// field is an error, so that a misspelt "children" never drops a subtree silently. Identifiers
/// are global to a tree, as the tree manager takes them: an identifier may occur once in the
/// whole document, at any depth.
///
/// Limits, so that neither this reader nor the recursive work that later walks the tree (merges,
/// copies, destruction) can run out of stack: nodes nest at most maximumDepth levels (a root node
/// is level 1), and a document holds at most maximumNodeCount nodes.
namespace TreeReader {

constexpr int maximumDepth = 256;
constexpr qsizetype maximumNodeCount = 1000000;

/// The root list, or std::nullopt with a one-line `error` ("PATH: what") naming the first fault
/// in document order by its JSON path: "[0].children[2]: duplicate id \"x\" (first at [0])",
/// "[1].title: expected a string". Paths start at "[i]" in an array and are empty for the node of
/// a single-node document, whose faults read without a path ("id: missing"). `error` may be null.
std::optional<QMTreeNodeList> nodesFromJson(const QByteArray &json, QString *error);

} // namespace TreeReader
