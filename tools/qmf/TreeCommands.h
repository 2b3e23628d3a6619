#pragma once

#include "ToolCommand.h"

#include <QMFoundation/tree/QMTreeManager.h>

#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <memory>

/// `qmf tree OLD.json NEW.json [--incremental] [--sort title] [--filter TEXT]`: the tree manager
/// merging a new version of a tree into an old one, and the tour's "Trees" section.
///
/// Both files are read by TreeReader. A manager over OLD's roots gets the options first (so the
/// sorting and the filter apply to the old tree), then merges NEW's roots with an update handler
/// that takes over a changed title. The output is the merged tree, one node a line: its title (its
/// identifier when it has none) indented by two spaces per level. With --incremental the merge's
/// delegate callbacks come first, one a line (see callbackLines()).
namespace TreeCommands {

QList<ToolCommand> commands();

/// The tour's "Trees" section.
void tourSection(QTextStream &out);

struct Options
{
    bool incremental = false;
    bool sortByTitle = false;
    /// Leaves are kept when their display text contains this, ignoring case; null: no filter.
    QString filter;
};

/// The node's title, or its identifier when it has no title (a null one; "" is a title).
QString displayText(const QMTreeNode &node);
/// The command's filter: true when the display text contains `text`, ignoring case.
QMTreeNodePredicate titleFilter(const QString &text);
/// The command's update handler: takes over the new node's title; true when it differed.
bool updateTitle(const QMTreeNodePointer &existingNode, const QMTreeNodePointer &newNode);

/// A manager over `oldRoots` set up as the command sets it up before merging: incremental mode,
/// sorting and filter as `options` ask (the latter two applied to the old tree at once), and the
/// update handler updateTitle().
std::unique_ptr<QMTreeManager> manager(const QMTreeNodeList &oldRoots, const Options &options);

/// Merges `newRoots` into the manager's root list. In incremental mode a delegate is attached for
/// this merge alone, and the lines returned are its callbacks in order:
///   updated [ID, ...]                      once per merged child list, before its changes
///   will delete {POSITIONS} in PARENT      did delete {POSITIONS} in PARENT
///   will insert {POSITIONS} in PARENT      did insert {POSITIONS} in PARENT
///   will move FROM -> TO in PARENT         did move FROM -> TO in PARENT
/// PARENT is the parent's identifier, or "(root)" for the root list; POSITIONS are ascending, runs
/// written as ranges ("0 2-3"). The delegate leaves the decision whether a node changed to the
/// update handler. Without incremental mode no delegate is attached and the list is empty.
QStringList merge(QMTreeManager &manager, const QMTreeNodeList &newRoots);

/// The tree, one node a line: displayText() indented by two spaces per level.
QStringList treeLines(const QMTreeNodeList &roots);

} // namespace TreeCommands
