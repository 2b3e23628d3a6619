// qmf_store_migrator TYPE PATH: a second process for the migration crash tests. Says "opening" on
// a line of its own, then opens the store at PATH (TYPE "SQLite" or "XML") with the current
// version of the ledger model (LedgerModel.h), which migrates a store written under an earlier
// version, keeping the copy from before the migration. Once open it says "opened FROM", FROM the
// version the store was migrated from (empty when it was at the current one already), and ends;
// on failure it says "failed CODE MESSAGE" and ends with 1.

#include "persistence/LedgerModel.h"
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: qmf_store_migrator TYPE PATH\n");
        return 2;
    }
    const auto model = QMManagedObjectModel::modelWithJSON(ledgerModelJSON());
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    std::printf("opening\n");
    std::fflush(stdout);
    QMError error;
    const auto store = coordinator->addPersistentStoreWithType(
            arguments.at(1), {}, QUrl::fromLocalFile(arguments.at(2)), {}, &error);
    if (!store) {
        std::printf("failed %lld %s\n", static_cast<long long>(error.code()),
                    qPrintable(error.localizedDescription()));
        return 1;
    }
    std::printf("opened %s\n", qPrintable(store->migratedFromVersionName()));
    std::fflush(stdout);
    return 0;
}
