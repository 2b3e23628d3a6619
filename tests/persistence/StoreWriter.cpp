// qmf_store_writer TYPE PATH TAG SAVES BATCH [--wait]: a second process for the store tests. Opens
// the store of the people model at PATH (TYPE "SQLite" or "XML") and makes SAVES saves (0: until it
// is killed), each inserting BATCH people named "TAG-N-K" (N the save, K its place in the
// save) with age N. After each save it prints "saved N" or "failed N CODE MESSAGE" on a line of
// its own and flushes, so that the test knows which saves were reported as successes. A save
// that fails is tried again up to four times, as an application would after a retryable error.
// With --wait it says "ready" once the store is open and waits for a line on its input before
// the first save, so that several writers can be started together.

#include "persistence/PersistenceTestSupport.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QCoreApplication>
#include <QUrl>

#include <cstdio>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 6 && !(arguments.size() == 7 && arguments.at(6) == u"--wait"_s)) {
        std::fprintf(stderr, "usage: qmf_store_writer TYPE PATH TAG SAVES BATCH [--wait]\n");
        return 2;
    }
    const QString type = arguments.at(1);
    const QString tag = arguments.at(3);
    const qint64 saves = arguments.at(4).toLongLong();
    const qint64 batch = arguments.at(5).toLongLong();

    const auto model = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    QMError error;
    if (!coordinator->addPersistentStoreWithType(type, {}, QUrl::fromLocalFile(arguments.at(2)),
                                                 {{QMPersistentStoreTimeoutOption, 10}}, &error)) {
        std::printf("open failed %lld %s\n", static_cast<long long>(error.code()),
                    qPrintable(error.localizedDescription()));
        return 1;
    }
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    if (arguments.size() == 7) {
        std::printf("ready\n");
        std::fflush(stdout);
        char line[16];
        if (!std::fgets(line, sizeof line, stdin))
            return 1;
    }
    for (qint64 n = 0; saves == 0 || n < saves; ++n) {
        for (qint64 k = 0; k < batch; ++k) {
            auto person = context->insertNewObjectForEntityForName(u"Person"_s);
            person->setValue(u"name"_s, u"%1-%2-%3"_s.arg(tag).arg(n).arg(k));
            person->setValue(u"age"_s, n);
        }
        bool saved = false;
        for (int attempt = 0; attempt < 5 && !saved; ++attempt) {
            saved = context->save(&error);
            if (!saved)
                std::printf("failed %lld %lld %s\n", static_cast<long long>(n),
                            static_cast<long long>(error.code()),
                            qPrintable(error.localizedDescription()));
        }
        if (saved)
            std::printf("saved %lld\n", static_cast<long long>(n));
        else
            context->rollback();
        std::fflush(stdout);
    }
    return 0;
}
