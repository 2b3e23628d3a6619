#pragma once

#include <QMFoundation/tree/QMTreeNode.h>

#include <QList>
#include <QString>
#include <QStringList>

/// The data side of qmf-explorer, free of widgets so that it runs on a worker queue: reading a
/// directory into a flat list of entries, turning entries into a tree of QMTreeNodes, and
/// ranking paths against a quick-open query.
namespace ExplorerData {

/// One file or folder below the chosen directory, by its path relative to it ("src/a.cpp").
struct Entry
{
    QString path;
    bool isDirectory = false;
};

/// What a scan found: the entries in path order, and a message for everything that could not be
/// read (empty when all was read).
struct Scan
{
    QList<Entry> entries;
    QStringList errors;
};

/// Reads `directory` recursively. Symbolic links are listed but not followed, so a link cycle
/// cannot make the scan endless; folders that cannot be read are listed, left empty and named in
/// the errors; entries that vanish while the scan runs are simply missing.
Scan scanDirectory(const QString &directory);

/// The tree of `entries`: one node per entry whose title is its file name and whose identifier
/// is its relative path, with a "/" after it for a folder (so that a file that becomes a folder
/// is a new node, and the mark survives the tree manager's copies, which keep no represented
/// object). A path whose parent folder is not among the entries hangs below a folder node made
/// for it; a path given twice makes one node.
QMTreeNodeList buildTree(const QList<Entry> &entries);

/// Whether a node of buildTree() stands for a folder.
bool isDirectoryNode(const QMTreeNode &node);

/// Folders first, then by title ignoring case (then by case, so the order is total); `ascending`
/// false reverses the titles but keeps folders first.
int compareNodes(const QMTreeNode &a, const QMTreeNode &b, bool ascending);

/// The quick-open ranking: the paths that QMSearching::fuzzyMatchesString() accepts for
/// `query`, highest QMSearching::similarityScoreForString() (case-insensitive) first, ties in
/// the order of `paths`; at most `limit` of them. The empty query ranks nothing.
QStringList rankPaths(const QStringList &paths, const QString &query, qsizetype limit);

} // namespace ExplorerData
