#include "ExplorerWindow.h"

#include <QMFoundation/lists/QMListItem.h>
#include <QMFoundation/lists/QMListModel.h>
#include <QMFoundation/observation/QMPerformBlock.h>
#include <QMFoundation/operations/QMCommandOperation.h>
#include <QMFoundation/operations/QMOperationNotifier.h>
#include <QMFoundation/operations/QMOperationQueue.h>
#include <QMFoundation/tree/QMSortDescriptor.h>
#include <QMFoundation/tree/QMTreeModel.h>

#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemWatcher>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScrollBar>
#include <QSet>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

namespace {

/// How long one slice of a merge may hold the window before it gets a turn, in milliseconds.
constexpr qint64 SliceMilliseconds = 15;
/// The most folders the file watcher follows; the fallback timer covers the rest.
constexpr qsizetype MaximumWatchedFolders = 4096;
/// The longest quick-open list.
constexpr qsizetype QuickOpenLimit = 500;
/// The most lines the output pane keeps.
constexpr int OutputLineLimit = 20000;

/// What a worker hands back after reading the directory (or building the tree of given entries).
struct TreeResult
{
    QMTreeNodeList roots;
    QStringList filePaths;
    QStringList folders;
    QStringList errors;
};

TreeResult makeTreeResult(const QList<ExplorerData::Entry> &entries, QStringList errors)
{
    TreeResult result;
    result.errors = std::move(errors);
    for (const ExplorerData::Entry &entry : entries) {
        if (entry.isDirectory)
            result.folders.append(entry.path);
        else
            result.filePaths.append(entry.path);
    }
    result.roots = ExplorerData::buildTree(entries);
    return result;
}

/// Empties a new folder node whose children wait for a later slice. The children keep their
/// parent link: the slice gives them to this very node (QMTreeNode::removeAllChildren() would
/// unlink them).
void detachChildren(QMTreeNode &folder)
{
    folder.setMutableChildNodes({});
}

// Runs `block` on the window's thread, and not at all once the window is gone. A worker may
// call it with the window, which outlives its queues' work: the queues are the window's own,
// and their destructors wait for what they run.
void postToWindow(ExplorerWindow *window, std::function<void()> block)
{
    QMPerformBlock::performBlockOnMainThread(window, std::move(block), 0);
}

} // namespace

/// The children of a folder that a merge brought into the outline empty, to be merged by a later
/// slice.
struct ExplorerWindow::PendingFill
{
    QString identifier;
    QMTreeNodeList children;
};

/// Hands a command's output to the window, through the main queue.
class CommandOutputForwarder : public QMCommandOperationDelegate
{
public:
    explicit CommandOutputForwarder(ExplorerWindow *window)
        : m_window(window)
    { }
    void commandDidReceiveStandardOutputData(QMCommandOperation &, const QByteArray &data) override
    {
        forward(data);
    }
    void commandDidReceiveStandardErrorData(QMCommandOperation &, const QByteArray &data) override
    {
        forward(data);
    }

private:
    void forward(const QByteArray &data)
    {
        postToWindow(m_window, [window = m_window, data] { window->appendOutput(data); });
    }
    ExplorerWindow *m_window;
};

ExplorerWindow::ExplorerWindow(QWidget *parent)
    : QMainWindow(parent)
    , m_scanQueue(QMOperationQueue::serialQueue())
    , m_rankQueue(QMOperationQueue::serialQueue())
    , m_commandQueue(QMOperationQueue::serialQueue())
    , m_scanGeneration(std::make_shared<std::atomic<quint64>>(0))
    , m_rankGeneration(std::make_shared<std::atomic<quint64>>(0))
    , m_outputDecoder(QStringDecoder::Utf8)
{
    setWindowTitle(QStringLiteral("qmf-explorer"));
    m_scanQueue->setName(QStringLiteral("qmf-explorer.scan"));
    m_rankQueue->setName(QStringLiteral("qmf-explorer.rank"));
    m_commandQueue->setName(QStringLiteral("qmf-explorer.command"));

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);

    auto *top = new QHBoxLayout;
    m_directoryLabel = new QLabel(central);
    m_directoryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *chooseButton = new QPushButton(QStringLiteral("Open Folder…"), central);
    connect(chooseButton, &QPushButton::clicked, this, &ExplorerWindow::chooseDirectory);
    top->addWidget(m_directoryLabel, 1);
    top->addWidget(chooseButton);
    layout->addLayout(top);

    m_tabs = new QTabWidget(central);

    auto *outlinePage = new QWidget(m_tabs);
    auto *outlineLayout = new QVBoxLayout(outlinePage);
    auto *outlineBar = new QHBoxLayout;
    m_filterField = new QLineEdit(outlinePage);
    m_filterField->setPlaceholderText(QStringLiteral("Filter by name"));
    m_filterField->setClearButtonEnabled(true);
    m_sortBox = new QComboBox(outlinePage);
    m_sortBox->addItem(QStringLiteral("Name A–Z"));
    m_sortBox->addItem(QStringLiteral("Name Z–A"));
    outlineBar->addWidget(m_filterField, 1);
    outlineBar->addWidget(m_sortBox);
    outlineLayout->addLayout(outlineBar);
    m_outlineModel = new QMTreeModel(this);
    m_outlineView = new QTreeView(outlinePage);
    m_outlineView->setModel(m_outlineModel);
    m_outlineView->setHeaderHidden(true);
    m_outlineView->setAnimated(true);
    m_outlineView->setUniformRowHeights(true);
    m_outlineView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    outlineLayout->addWidget(m_outlineView);
    m_tabs->addTab(outlinePage, QStringLiteral("Outline"));

    auto *quickOpenPage = new QWidget(m_tabs);
    auto *quickOpenLayout = new QVBoxLayout(quickOpenPage);
    m_queryField = new QLineEdit(quickOpenPage);
    m_queryField->setPlaceholderText(QStringLiteral("Type to find a file, Enter to open it"));
    m_queryField->setClearButtonEnabled(true);
    m_quickOpenModel = new QMListModel(this);
    m_quickOpenView = new QListView(quickOpenPage);
    m_quickOpenView->setModel(m_quickOpenModel);
    m_quickOpenView->setUniformItemSizes(true);
    quickOpenLayout->addWidget(m_queryField);
    quickOpenLayout->addWidget(m_quickOpenView);
    m_tabs->addTab(quickOpenPage, QStringLiteral("Quick Open"));

    auto *runPage = new QWidget(central);
    auto *runLayout = new QVBoxLayout(runPage);
    runLayout->setContentsMargins(0, 0, 0, 0);
    auto *runBar = new QHBoxLayout;
    m_commandField = new QLineEdit(runPage);
    m_commandField->setPlaceholderText(QStringLiteral("Command to run in the folder, e.g. ls -l"));
    m_runButton = new QPushButton(QStringLiteral("Run"), runPage);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"), runPage);
    m_cancelButton->setEnabled(false);
    runBar->addWidget(m_commandField, 1);
    runBar->addWidget(m_runButton);
    runBar->addWidget(m_cancelButton);
    m_outputPane = new QPlainTextEdit(runPage);
    m_outputPane->setReadOnly(true);
    m_outputPane->setMaximumBlockCount(OutputLineLimit);
    m_outputPane->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    runLayout->addLayout(runBar);
    runLayout->addWidget(m_outputPane);

    auto *splitter = new QSplitter(Qt::Vertical, central);
    splitter->addWidget(m_tabs);
    splitter->addWidget(runPage);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);
    setCentralWidget(central);

    m_statusLabel = new QLabel(this);
    statusBar()->addWidget(m_statusLabel, 1);

    m_watcher = new QFileSystemWatcher(this);
    m_refreshDelay = new QTimer(this);
    m_refreshDelay->setSingleShot(true);
    m_refreshDelay->setInterval(50);
    m_fallbackTimer = new QTimer(this);
    m_fallbackTimer->setInterval(10000);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this,
            &ExplorerWindow::scheduleRefresh);
    connect(m_refreshDelay, &QTimer::timeout, this, &ExplorerWindow::refresh);
    connect(m_fallbackTimer, &QTimer::timeout, this, &ExplorerWindow::refresh);

    m_outlineModel->setUpdateHandler(
            [](const QMTreeNodePointer &existing, const QMTreeNodePointer &fresh) {
                bool changed = false;
                if (existing->title() != fresh->title()) {
                    existing->setTitle(fresh->title());
                    changed = true;
                }
                return changed;
            });
    applySort();
    connect(m_filterField, &QLineEdit::textChanged, this, &ExplorerWindow::applyFilter);
    connect(m_sortBox, &QComboBox::currentIndexChanged, this, &ExplorerWindow::applySort);
    connect(m_queryField, &QLineEdit::textChanged, this, &ExplorerWindow::rankQuickOpen);
    connect(m_queryField, &QLineEdit::returnPressed, this, [this] {
        const QModelIndex current = m_quickOpenView->currentIndex();
        openQuickOpenRow(current.isValid() ? current : m_quickOpenModel->index(0));
    });
    connect(m_quickOpenView, &QListView::activated, this, &ExplorerWindow::openQuickOpenRow);
    connect(m_commandField, &QLineEdit::returnPressed, this, &ExplorerWindow::runCommand);
    connect(m_runButton, &QPushButton::clicked, this, &ExplorerWindow::runCommand);
    connect(m_cancelButton, &QPushButton::clicked, this, &ExplorerWindow::cancelCommand);
    auto *quickOpenShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+P")), this);
    connect(quickOpenShortcut, &QShortcut::activated, this, &ExplorerWindow::showQuickOpen);
    auto *outlineShortcut = new QShortcut(QKeySequence(QStringLiteral("Ctrl+L")), this);
    connect(outlineShortcut, &QShortcut::activated, this, &ExplorerWindow::showOutline);

    resize(900, 640);
    updateStatus();
}

ExplorerWindow::~ExplorerWindow()
{
    // Late results are dropped with the window (they are posted with it as their context); a
    // running command is interrupted, and the queues' destructors wait for what they still run.
    if (m_command)
        m_command->cancel();
    m_scanGeneration->fetch_add(1);
    m_rankGeneration->fetch_add(1);
}

void ExplorerWindow::setDirectory(const QString &directory)
{
    m_directory = QDir::cleanPath(QDir(directory).absolutePath());
    m_directoryLabel->setText(QDir::toNativeSeparators(m_directory));
    if (!m_watcher->directories().isEmpty())
        m_watcher->removePaths(m_watcher->directories());
    // Whatever is still under way belongs to the previous folder.
    m_scanGeneration->fetch_add(1);
    ++m_mergeGeneration;
    m_pendingFills.reset();
    m_scanErrors.clear();
    m_filePaths.clear();
    m_folderCount = 0;
    m_outlineModel->setRootNodes({});
    m_quickOpenModel->setItems({});
    m_fallbackTimer->start();
    refresh();
}

void ExplorerWindow::setFallbackInterval(int milliseconds)
{
    m_fallbackTimer->setInterval(milliseconds);
}

bool ExplorerWindow::isBusy() const
{
    return m_scanRunning || m_pendingFills != nullptr;
}

void ExplorerWindow::scheduleRefresh()
{
    m_refreshDelay->start();
}

void ExplorerWindow::refresh()
{
    if (m_directory.isEmpty())
        return;
    if (m_scanRunning) {
        m_scanAgain = true;
        return;
    }
    m_scanRunning = true;
    const quint64 generation = m_scanGeneration->fetch_add(1) + 1;
    auto currentGeneration = m_scanGeneration;
    ExplorerWindow *const window = this;
    m_scanQueue->addOperationWithBlock(
            [directory = m_directory, generation, currentGeneration, window] {
                if (currentGeneration->load() != generation)
                    return postToWindow(window, [window] {
                        window->m_scanRunning = false;
                        if (std::exchange(window->m_scanAgain, false))
                            window->refresh();
                    });
                ExplorerData::Scan scan = ExplorerData::scanDirectory(directory);
                auto result = std::make_shared<TreeResult>(
                        makeTreeResult(scan.entries, std::move(scan.errors)));
                postToWindow(window, [window, generation, currentGeneration, result] {
                    window->m_scanRunning = false;
                    if (currentGeneration->load() == generation) {
                        window->watchFolders(result->folders);
                        window->m_filePaths = result->filePaths;
                        window->m_folderCount = int(result->folders.size());
                        window->startMerge(result->roots, result->errors);
                    }
                    if (std::exchange(window->m_scanAgain, false))
                        window->refresh();
                });
            });
}

void ExplorerWindow::mergeEntries(const QList<ExplorerData::Entry> &entries)
{
    const quint64 generation = m_scanGeneration->fetch_add(1) + 1;
    auto currentGeneration = m_scanGeneration;
    ExplorerWindow *const window = this;
    m_scanQueue->addOperationWithBlock([entries, generation, currentGeneration, window] {
        auto result = std::make_shared<TreeResult>(makeTreeResult(entries, {}));
        postToWindow(window, [window, generation, currentGeneration, result] {
            if (currentGeneration->load() != generation)
                return;
            window->m_filePaths = result->filePaths;
            window->m_folderCount = int(result->folders.size());
            window->startMerge(result->roots, result->errors);
        });
    });
}

void ExplorerWindow::watchFolders(const QStringList &folders)
{
    // The directory and every folder below it, as far as the watcher's share goes.
    QStringList wanted {m_directory};
    for (const QString &folder : folders) {
        if (wanted.size() >= MaximumWatchedFolders)
            break;
        wanted.append(m_directory + u'/' + folder);
    }
    const QSet<QString> wantedSet(wanted.cbegin(), wanted.cend());
    QStringList stale;
    for (const QString &watched : m_watcher->directories())
        if (!wantedSet.contains(watched))
            stale.append(watched);
    if (!stale.isEmpty())
        m_watcher->removePaths(stale);
    const QStringList watched = m_watcher->directories();
    const QSet<QString> watchedSet(watched.cbegin(), watched.cend());
    QStringList added;
    for (const QString &folder : std::as_const(wanted))
        if (!watchedSet.contains(folder))
            added.append(folder);
    // Folders that vanished meanwhile are refused; the next read drops them anyway.
    if (!added.isEmpty())
        m_watcher->addPaths(added);
}

void ExplorerWindow::startMerge(const QMTreeNodeList &roots, const QStringList &errors)
{
    m_scanErrors = errors;
    ++m_mergeGeneration;
    m_pendingFills = std::make_unique<QList<PendingFill>>();
    if (m_outlineModel->isFiltering()) {
        // Hidden folders cannot be filled later, so a filtered merge is one step.
        if (merge({}, roots))
            finishMerge();
        return;
    }
    // Folders the outline does not show yet come in empty; their children wait for a slice.
    QMTreeNodeList stack = roots;
    while (!stack.isEmpty()) {
        const QMTreeNodePointer node = stack.takeLast();
        if (node->isLeaf())
            continue;
        if (m_outlineModel->manager().nodeForIdentifier(node->identifier())) {
            stack.append(node->childNodes());
            continue;
        }
        m_pendingFills->append({node->identifier(), node->childNodes()});
        detachChildren(*node);
    }
    if (!merge({}, roots))
        return;
    if (m_pendingFills->isEmpty())
        return finishMerge();
    QTimer::singleShot(0, this, [this, generation = m_mergeGeneration] {
        if (generation == m_mergeGeneration)
            applyNextSlice();
    });
}

void ExplorerWindow::applyNextSlice()
{
    if (!m_pendingFills)
        return;
    QElapsedTimer clock;
    clock.start();
    while (!m_pendingFills->isEmpty() && clock.elapsed() < SliceMilliseconds) {
        PendingFill fill = m_pendingFills->takeFirst();
        const QMTreeNodePointer folder
                = m_outlineModel->manager().nodeForIdentifier(fill.identifier);
        if (!folder)
            continue;
        for (const QMTreeNodePointer &child : std::as_const(fill.children)) {
            if (child->isLeaf())
                continue;
            m_pendingFills->append({child->identifier(), child->childNodes()});
            detachChildren(*child);
        }
        if (!merge(folder, fill.children))
            return;
    }
    if (m_pendingFills->isEmpty())
        return finishMerge();
    QTimer::singleShot(0, this, [this, generation = m_mergeGeneration] {
        if (generation == m_mergeGeneration)
            applyNextSlice();
    });
}

bool ExplorerWindow::merge(const QMTreeNodePointer &folder, const QMTreeNodeList &nodes)
{
    try {
        if (folder)
            m_outlineModel->updateChildNodes(folder, nodes);
        else
            m_outlineModel->updateRootNodes(nodes);
        return true;
    } catch (const std::exception &exception) {
        // The steps done so far stay shown (the model reports them); the rest of this merge is
        // dropped and the next read starts over.
        m_scanErrors.append(QStringLiteral("Could not merge the new tree: %1")
                                    .arg(QString::fromUtf8(exception.what())));
        finishMerge();
        return false;
    }
}

void ExplorerWindow::finishMerge()
{
    m_pendingFills.reset();
    ++m_mergeCount;
    m_lastMerge = QDateTime::currentDateTime();
    updateStatus();
    if (!m_queryField->text().isEmpty())
        rankQuickOpen();
    Q_EMIT merged();
}

void ExplorerWindow::applyFilter()
{
    // Pending slices fill folders by identifier, which a filter may hide: finish them first.
    while (m_pendingFills)
        applyNextSlice();
    const QString text = m_filterField->text();
    if (text.isEmpty()) {
        m_outlineModel->setFilterPredicate({});
    } else {
        m_outlineModel->setFilterPredicate([text](const QMTreeNode &node) {
            return node.title().contains(text, Qt::CaseInsensitive);
        });
    }
    updateStatus();
}

void ExplorerWindow::applySort()
{
    const bool ascending = m_sortBox->currentIndex() != 1;
    m_outlineModel->setSortDescriptors({QMSortDescriptor(
            QStringLiteral("name"), true, [ascending](const QMTreeNode &a, const QMTreeNode &b) {
                return ExplorerData::compareNodes(a, b, ascending);
            })});
}

void ExplorerWindow::rankQuickOpen()
{
    const quint64 generation = m_rankGeneration->fetch_add(1) + 1;
    auto currentGeneration = m_rankGeneration;
    ExplorerWindow *const window = this;
    m_rankQueue->addOperationWithBlock([paths = m_filePaths, query = m_queryField->text(),
                                        generation, currentGeneration, window] {
        if (currentGeneration->load() != generation)
            return;
        const QStringList ranked = ExplorerData::rankPaths(paths, query, QuickOpenLimit);
        postToWindow(window, [window, ranked, generation, currentGeneration] {
            if (currentGeneration->load() != generation)
                return;
            window->m_quickOpenModel->updateItems(QMTextListItem::itemsWithTexts(ranked));
            if (!window->m_quickOpenView->currentIndex().isValid()
                && window->m_quickOpenModel->rowCount() > 0)
                window->m_quickOpenView->setCurrentIndex(window->m_quickOpenModel->index(0));
            window->updateStatus();
            Q_EMIT window->quickOpenRanked();
        });
    });
}

void ExplorerWindow::openQuickOpenRow(const QModelIndex &index)
{
    const QMListItemPointer item = m_quickOpenModel->itemAt(index.row());
    if (!index.isValid() || !item)
        return;
    const QString path = m_directory + u'/' + item->identifier();
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        m_commandStatus = QStringLiteral("Could not open %1").arg(QDir::toNativeSeparators(path));
    else
        m_commandStatus = QStringLiteral("Opened %1").arg(item->identifier());
    updateStatus();
}

void ExplorerWindow::showOutline()
{
    m_tabs->setCurrentIndex(0);
    m_outlineView->setFocus();
}

void ExplorerWindow::showQuickOpen()
{
    m_tabs->setCurrentIndex(1);
    m_queryField->setFocus();
    m_queryField->selectAll();
}

void ExplorerWindow::chooseDirectory()
{
    const QString chosen
            = QFileDialog::getExistingDirectory(this, QStringLiteral("Open Folder"), m_directory);
    if (!chosen.isEmpty())
        setDirectory(chosen);
}

void ExplorerWindow::runCommand()
{
    if (m_command)
        return;
    const QStringList words = QProcess::splitCommand(m_commandField->text());
    if (words.isEmpty())
        return;
    m_outputPane->clear();
    m_outputDecoder.resetState();
    auto forwarder = std::make_shared<CommandOutputForwarder>(this);
    m_command = QMCommandOperation::commandWithLaunchPath(
            words.first(), m_directory.isEmpty() ? QString() : m_directory, words.mid(1),
            forwarder);
    // The operation's finished() comes from the command queue's worker, after the command
    // has ended; connected to the window, it is delivered on the window's thread, after the
    // output posted before it, and not at all once the window is gone. The connection holds
    // the forwarder, which the operation holds only weakly, for as long as the command lives.
    connect(m_command->notifier(), &QMOperationNotifier::finished, this, [this, forwarder] {
        const qint64 exitCode = m_command->exitCode();
        const bool cancelled = m_command->isCancelled();
        const bool failed = !m_command->standardOutputData().has_value();
        finishCommand(exitCode, cancelled, failed);
    });
    m_runButton->setEnabled(false);
    m_cancelButton->setEnabled(true);
    m_commandStatus = QStringLiteral("Running %1").arg(m_commandField->text());
    updateStatus();
    m_commandQueue->addOperation(m_command);
}

void ExplorerWindow::cancelCommand()
{
    if (m_command)
        m_command->cancel();
}

void ExplorerWindow::appendOutput(const QByteArray &bytes)
{
    const QString text = m_outputDecoder.decode(bytes);
    QTextCursor cursor(m_outputPane->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
    m_outputPane->verticalScrollBar()->setValue(m_outputPane->verticalScrollBar()->maximum());
}

void ExplorerWindow::finishCommand(qint64 exitCode, bool cancelled, bool failedToLaunch)
{
    const QString call = m_commandField->text();
    if (failedToLaunch) {
        m_commandStatus = QStringLiteral("Could not start %1").arg(call);
        appendOutput(m_commandStatus.toUtf8() + '\n');
    } else if (cancelled) {
        m_commandStatus = QStringLiteral("Cancelled %1 (status %2)").arg(call).arg(exitCode);
    } else {
        m_commandStatus = QStringLiteral("%1 ended with status %2").arg(call).arg(exitCode);
    }
    m_command.reset();
    m_runButton->setEnabled(true);
    m_cancelButton->setEnabled(false);
    updateStatus();
    Q_EMIT commandFinished();
}

void ExplorerWindow::updateStatus()
{
    QStringList parts;
    if (m_directory.isEmpty()) {
        parts.append(QStringLiteral("No folder"));
    } else {
        parts.append(
                QStringLiteral("%1 folders, %2 files").arg(m_folderCount).arg(m_filePaths.size()));
        if (m_lastMerge.isValid())
            parts.append(QStringLiteral("merged at %1")
                                 .arg(m_lastMerge.toString(QStringLiteral("HH:mm:ss"))));
    }
    if (!m_queryField->text().isEmpty())
        parts.append(QStringLiteral("%1 matches").arg(m_quickOpenModel->rowCount()));
    if (!m_scanErrors.isEmpty()) {
        parts.append(m_scanErrors.size() == 1 ? m_scanErrors.first()
                                              : QStringLiteral("%1 (and %2 more read errors)")
                                                        .arg(m_scanErrors.first())
                                                        .arg(m_scanErrors.size() - 1));
    }
    if (!m_commandStatus.isEmpty())
        parts.append(m_commandStatus);
    m_statusLabel->setText(parts.join(QStringLiteral(" · ")));
}
