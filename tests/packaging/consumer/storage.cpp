// A program outside the source tree that uses the installed Storage library: a keychain file and
// an object store in a scratch directory, written and read back.
#include <QMFoundation/keychain/QMKeychain.h>
#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("consumer.keychain"));
    QMError error;
    const auto keychain = QMKeychain::keychainWithPath(path, QStringLiteral("pw"), &error);
    if (!keychain
        || !keychain->addGenericPasswordWithAccount(QStringLiteral("joe"), QStringLiteral("svc"),
                                                    QStringLiteral("secret"), &error)) {
        std::fprintf(stderr, "keychain file failed: %s\n",
                     qPrintable(error.localizedDescription()));
        return 1;
    }
    const auto reopened = QMKeychain::openKeychainWithPath(path, QStringLiteral("pw"), &error);
    const auto item = reopened ? reopened->findGenericPasswordItemForAccount(
                              QStringLiteral("joe"), QStringLiteral("svc"), &error)
                               : nullptr;
    if (!item || item->password() != QStringLiteral("secret")) {
        std::fprintf(stderr, "keychain file read back wrong\n");
        return 1;
    }

    // A SQLite store of a one-entity model: saved, then found again through a second store.
    QFile model(dir.filePath(QStringLiteral("Notes.momd")));
    if (!model.open(QIODevice::WriteOnly)
        || model.write(R"({"name": "Notes", "entities": [{"name": "Note", "attributes": [
                          {"name": "title", "type": "string"}]}]})")
                < 0) {
        std::fprintf(stderr, "cannot write the model\n");
        return 1;
    }
    model.close();
    const QUrl modelURL = QUrl::fromLocalFile(model.fileName());
    const QUrl storeURL = QUrl::fromLocalFile(dir.filePath(QStringLiteral("db/notes.sqlite3")));
    for (int round = 0; round < 2; ++round) {
        auto store = QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, QMSQLiteStoreType,
                                                                     storeURL, {});
        if (!store->initialize(&error)) {
            std::fprintf(stderr, "store failed: %s\n", qPrintable(error.localizedDescription()));
            return 1;
        }
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                store->persistentStoreCoordinator());
        if (round == 0) {
            context->insertNewObjectForEntityForName(QStringLiteral("Note"))
                    ->setValue(QStringLiteral("title"), QStringLiteral("kept"));
            if (!context->save(&error)) {
                std::fprintf(stderr, "save failed: %s\n", qPrintable(error.localizedDescription()));
                return 1;
            }
            continue;
        }
        QMFetchRequest request(QStringLiteral("Note"));
        request.setPredicate(QMPredicate::predicateWithFormat(QStringLiteral("title = %@"),
                                                              {QStringLiteral("kept")}));
        if (context->countForFetchRequest(request, &error) != 1) {
            std::fprintf(stderr, "object store read back wrong\n");
            return 1;
        }
    }
    std::printf("QMFoundation::Storage works from its installed package\n");
    return 0;
}
