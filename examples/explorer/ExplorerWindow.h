#pragma once

#include "OutlineData.h"

#include <QMFoundation/tree/QMTreeNode.h>

#include <QDateTime>
#include <QMainWindow>
#include <QStringDecoder>
#include <QStringList>

#include <atomic>
#include <memory>

class QComboBox;
class QFileSystemWatcher;
class QLabel;
class QLineEdit;
class QListView;
class QMCommandOperation;
class QMListModel;
class QMOperationQueue;
class QMTreeModel;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class QTreeView;

/// qmf-explorer's main window: an outline of a directory that follows the file system, a
/// quick-open list ranked by fuzzy score, and a box that runs a command in the directory.
///
/// Threads: reading the directory, building the new tree and ranking the quick-open list run on
/// serial worker queues (QMOperationQueue); their results come back to the window through the
/// main queue's performBlock(), where the models are changed. A new tree is merged into the shown
/// one through QMTreeModel in slices: the folders the outline does not show yet arrive empty and
/// are filled by later slices, one event-loop turn apart, so a large merge never holds the window
/// still. A command runs as a QMCommandOperation on a queue of its own; its output chunks reach
/// the pane through the main queue as well.
class ExplorerWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit ExplorerWindow(QWidget *parent = nullptr);
    ~ExplorerWindow() override;

    /// Shows `directory`: reads it on the worker queue and watches it from then on.
    void setDirectory(const QString &directory);
    QString directory() const { return m_directory; }

    /// Reads the directory again (the file watcher and the fallback timer call this).
    void refresh();
    /// Merges a tree made from `entries` as if the directory had been read that way.
    void mergeEntries(const QList<ExplorerData::Entry> &entries);
    /// The interval of the fallback timer that re-reads the directory, in milliseconds.
    void setFallbackInterval(int milliseconds);

    /// The paths of the files the outline knows, in path order (the quick-open candidates).
    const QStringList &filePaths() const { return m_filePaths; }
    /// The number of merges applied so far (each read of the directory that changed nothing
    /// counts too).
    int mergeCount() const { return m_mergeCount; }
    /// True while a read or a merge is under way.
    bool isBusy() const;
    bool isCommandRunning() const { return m_command != nullptr; }

    QTreeView *outlineView() const { return m_outlineView; }
    QMTreeModel *outlineModel() const { return m_outlineModel; }
    QListView *quickOpenView() const { return m_quickOpenView; }
    QMListModel *quickOpenModel() const { return m_quickOpenModel; }
    QLineEdit *filterField() const { return m_filterField; }
    QComboBox *sortBox() const { return m_sortBox; }
    QLineEdit *queryField() const { return m_queryField; }
    QLineEdit *commandField() const { return m_commandField; }
    QPushButton *runButton() const { return m_runButton; }
    QPushButton *cancelButton() const { return m_cancelButton; }
    QPlainTextEdit *outputPane() const { return m_outputPane; }
    QLabel *statusLabel() const { return m_statusLabel; }
    QTabWidget *tabs() const { return m_tabs; }

public Q_SLOTS:
    void showOutline();
    void showQuickOpen();
    void chooseDirectory();
    void runCommand();
    void cancelCommand();

Q_SIGNALS:
    /// A merge has been applied in full (all its slices).
    void merged();
    /// The quick-open list shows the ranking for the current query.
    void quickOpenRanked();
    /// The running command has ended; the pane holds all its output.
    void commandFinished();

private:
    struct PendingFill;

    void scheduleRefresh();
    friend class CommandOutputForwarder;

    void startMerge(const QMTreeNodeList &roots, const QStringList &errors);
    void applyNextSlice();
    /// Merges into `folder`'s children, or the root list for none; false, with the failure in
    /// the status line, when the model refuses the tree.
    bool merge(const QMTreeNodePointer &folder, const QMTreeNodeList &nodes);
    void finishMerge();
    void watchFolders(const QStringList &folders);
    void applyFilter();
    void applySort();
    void rankQuickOpen();
    void openQuickOpenRow(const QModelIndex &index);
    void appendOutput(const QByteArray &bytes);
    void finishCommand(qint64 exitCode, bool cancelled, bool failedToLaunch);
    void updateStatus();

    QString m_directory;
    QStringList m_filePaths;
    QStringList m_scanErrors;
    QString m_commandStatus;
    QDateTime m_lastMerge;
    int m_folderCount = 0;
    int m_mergeCount = 0;

    std::shared_ptr<QMOperationQueue> m_scanQueue;
    std::shared_ptr<QMOperationQueue> m_rankQueue;
    std::shared_ptr<QMOperationQueue> m_commandQueue;
    /// Told to every piece of queued work, so that the results of a superseded read or ranking
    /// are dropped.
    std::shared_ptr<std::atomic<quint64>> m_scanGeneration;
    std::shared_ptr<std::atomic<quint64>> m_rankGeneration;
    bool m_scanRunning = false;
    bool m_scanAgain = false;
    std::unique_ptr<QList<PendingFill>> m_pendingFills;
    quint64 m_mergeGeneration = 0;

    std::shared_ptr<QMCommandOperation> m_command;
    QStringDecoder m_outputDecoder;

    QTabWidget *m_tabs = nullptr;
    QTreeView *m_outlineView = nullptr;
    QMTreeModel *m_outlineModel = nullptr;
    QListView *m_quickOpenView = nullptr;
    QMListModel *m_quickOpenModel = nullptr;
    QLineEdit *m_filterField = nullptr;
    QComboBox *m_sortBox = nullptr;
    QLineEdit *m_queryField = nullptr;
    QLabel *m_directoryLabel = nullptr;
    QLineEdit *m_commandField = nullptr;
    QPushButton *m_runButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
    QPlainTextEdit *m_outputPane = nullptr;
    QLabel *m_statusLabel = nullptr;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer *m_refreshDelay = nullptr;
    QTimer *m_fallbackTimer = nullptr;
};
