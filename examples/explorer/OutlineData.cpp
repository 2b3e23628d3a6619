#include "OutlineData.h"

#include <QMFoundation/text/QMSearching.h>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSet>

#include <algorithm>

namespace ExplorerData {

namespace {

void scanInto(const QString &root, const QString &relative, Scan &scan)
{
    const QString absolute = relative.isEmpty() ? root : root + u'/' + relative;
    const QFileInfo info(absolute);
    if (!info.exists())
        return; // gone while the scan ran: the next read drops it
    if (!info.isReadable() || !info.isExecutable()) {
        scan.errors.append(
                QStringLiteral("Cannot read %1").arg(QDir::toNativeSeparators(absolute)));
        return;
    }
    const QDir dir(absolute);
    const QFileInfoList children = dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                             | QDir::NoDotAndDotDot,
                                                     QDir::Name | QDir::DirsFirst);
    for (const QFileInfo &child : children) {
        const QString path
                = relative.isEmpty() ? child.fileName() : relative + u'/' + child.fileName();
        const bool isDirectory = child.isDir() && !child.isSymLink();
        scan.entries.append({path, isDirectory});
        if (isDirectory)
            scanInto(root, path, scan);
    }
}

} // namespace

Scan scanDirectory(const QString &directory)
{
    Scan scan;
    const QFileInfo info(directory);
    if (!info.exists()) {
        scan.errors.append(
                QStringLiteral("No such folder: %1").arg(QDir::toNativeSeparators(directory)));
        return scan;
    }
    if (!info.isDir()) {
        scan.errors.append(
                QStringLiteral("Not a folder: %1").arg(QDir::toNativeSeparators(directory)));
        return scan;
    }
    scanInto(QDir::cleanPath(info.absoluteFilePath()), QString(), scan);
    std::sort(scan.entries.begin(), scan.entries.end(),
              [](const Entry &a, const Entry &b) { return a.path < b.path; });
    return scan;
}

QMTreeNodeList buildTree(const QList<Entry> &entries)
{
    QMTreeNodeList roots;
    QHash<QString, QMTreeNodePointer> folders;
    QSet<QString> files;
    // Finds or makes the node of a folder path, with the folders above it.
    std::function<QMTreeNodePointer(const QString &)> folderNode;
    auto place = [&](const QString &path, const QMTreeNodePointer &node) {
        const qsizetype slash = path.lastIndexOf(u'/');
        if (slash < 0)
            roots.append(node);
        else
            folderNode(path.left(slash))->addChild(node);
    };
    folderNode = [&](const QString &path) {
        if (const auto found = folders.constFind(path); found != folders.cend())
            return *found;
        auto node = std::make_shared<QMTreeNode>(path + u'/');
        node->setTitle(path.mid(path.lastIndexOf(u'/') + 1));
        folders.insert(path, node);
        place(path, node);
        return node;
    };
    for (const Entry &entry : entries) {
        if (entry.path.isEmpty())
            continue;
        if (entry.isDirectory) {
            folderNode(entry.path);
            continue;
        }
        if (files.contains(entry.path))
            continue; // a path given twice is one file
        files.insert(entry.path);
        auto node = std::make_shared<QMTreeNode>(entry.path);
        node->setTitle(entry.path.mid(entry.path.lastIndexOf(u'/') + 1));
        place(entry.path, node);
    }
    return roots;
}

bool isDirectoryNode(const QMTreeNode &node)
{
    return node.identifier().endsWith(u'/');
}

int compareNodes(const QMTreeNode &a, const QMTreeNode &b, bool ascending)
{
    const bool aFolder = isDirectoryNode(a);
    const bool bFolder = isDirectoryNode(b);
    if (aFolder != bFolder)
        return aFolder ? -1 : 1;
    int order = a.title().compare(b.title(), Qt::CaseInsensitive);
    if (order == 0)
        order = a.title().compare(b.title(), Qt::CaseSensitive);
    order = order < 0 ? -1 : (order > 0 ? 1 : 0);
    return ascending ? order : -order;
}

QStringList rankPaths(const QStringList &paths, const QString &query, qsizetype limit)
{
    if (query.isEmpty() || limit <= 0)
        return {};
    struct Ranked
    {
        double score;
        qsizetype position;
    };
    QList<Ranked> ranked;
    for (qsizetype i = 0; i < paths.size(); ++i) {
        if (!QMSearching::fuzzyMatchesString(paths[i], query))
            continue;
        const double score = QMSearching::similarityScoreForString(
                paths[i], query, QMSearching::CaseInsensitiveSearch);
        ranked.append({score, i});
    }
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const Ranked &a, const Ranked &b) { return a.score > b.score; });
    QStringList result;
    for (qsizetype i = 0; i < ranked.size() && i < limit; ++i)
        result.append(paths[ranked[i].position]);
    return result;
}

} // namespace ExplorerData
