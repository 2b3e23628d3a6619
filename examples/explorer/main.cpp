// qmf-explorer: an outline, a quick-open list and a command box for one folder.
#include "ExplorerWindow.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileDialog>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qmf-explorer"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
            "Shows a folder as an outline that follows the file system, finds files by fuzzy "
            "search and runs commands in the folder."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("folder"),
                                 QStringLiteral("The folder to show (asked for when omitted)."));
    parser.process(app);

    QString folder = parser.positionalArguments().value(0);
    if (folder.isEmpty())
        folder = QFileDialog::getExistingDirectory(nullptr, QStringLiteral("Open Folder"),
                                                   QDir::currentPath());
    if (folder.isEmpty())
        folder = QDir::currentPath();

    ExplorerWindow window;
    window.setDirectory(folder);
    window.show();
    return QApplication::exec();
}
