// qmf_store_writer TYPE PATH TAG SAVES BATCH [--wait] [--counters N]: a second process for the
// store tests. Opens the store of the people model at PATH (TYPE "SQLite" or "XML" and a file
// path, or "PostgreSQL" and a store URL) and makes SAVES saves (0: until it is killed), each
// inserting BATCH people named "TAG-N-K" (N the save, K its place in the save) with age N. After
// each save it prints "saved N" or "failed N CODE MESSAGE" on a line of its own and flushes, so
// that the test knows which saves were reported as successes. A save that fails is tried again up
// to four times, as an application would after a retryable error. With --wait it says "ready"
// once the store is open and waits for a line on its input before the first save, so that several
// writers can be started together.
//
// With --counters N, every save also raises by one the age of one of the N people named
// "counter-J" that all writers share (J chosen at random), as the writer's context last read it.
// A save that finds the counter changed by another writer since is refused with a conflict: the
// writer prints "conflict N URI..." (the objects the conflict names), reads the counter again
// and tries again; a save that succeeds prints "saved N counter J VALUE", VALUE being the age it
// gave the counter.

#include "persistence/PersistenceTestSupport.h"
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QUrl>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// One line to the test, at once.
void report(const QString &line)
{
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

void reportFailure(qint64 save, const QMError &error)
{
    report(u"failed %1 %2 %3"_s.arg(save).arg(error.code()).arg(error.localizedDescription()));
}

void insertPeople(QMManagedObjectContext &context, const QString &tag, qint64 save, qint64 batch)
{
    for (qint64 k = 0; k < batch; ++k) {
        auto person = context.insertNewObjectForEntityForName(u"Person"_s);
        person->setValue(u"name"_s, u"%1-%2-%3"_s.arg(tag).arg(save).arg(k));
        person->setValue(u"age"_s, save);
    }
}

// The shared counters "counter-0" ... "counter-{N-1}", as the context reads them.
QList<std::shared_ptr<QMManagedObject>> fetchCounters(QMManagedObjectContext &context, int counters)
{
    QList<std::shared_ptr<QMManagedObject>> found;
    for (int j = 0; j < counters; ++j) {
        QMFetchRequest request(u"Person"_s);
        request.setPredicate(QMPredicate::predicateWithKeyValue(u"name"_s, u"counter-%1"_s.arg(j)));
        QMError error;
        const auto objects = context.executeFetchRequest(request, &error);
        if (objects.size() != 1) {
            report(u"open failed %1 %2 objects named counter-%3 (%4)"_s.arg(error.code())
                           .arg(objects.size())
                           .arg(j)
                           .arg(error.localizedDescription()));
            return {};
        }
        found.append(objects.first());
    }
    return found;
}

// One save of the --counters mode: raises a counter as the context last read it, so that the
// save conflicts whenever another writer raised it since; then re-reads it and tries again until
// saved, or until five failures other than conflicts.
void saveWithCounter(QMManagedObjectContext &context,
                     const QList<std::shared_ptr<QMManagedObject>> &counters, const QString &tag,
                     qint64 save, qint64 batch, QRandomGenerator &random)
{
    const int j = int(random.bounded(int(counters.size())));
    const std::shared_ptr<QMManagedObject> &counter = counters.at(j);
    insertPeople(context, tag, save, batch);
    for (int attempt = 0, failures = 0; attempt < 1000 && failures < 5; ++attempt) {
        const qint64 value = counter->value(u"age"_s).toLongLong() + 1;
        counter->setValue(u"age"_s, value);
        QMError error;
        if (context.save(&error)) {
            report(u"saved %1 counter %2 %3"_s.arg(save).arg(j).arg(value));
            return;
        }
        if (error.code() == QMManagedObjectMergeError) {
            QStringList objects;
            for (const QVariant &object :
                 error.userInfo().value(QMPersistentStoreSaveConflictsErrorKey).toList())
                objects.append(object.toUrl().toString());
            report(u"conflict %1 %2"_s.arg(save).arg(objects.join(u' ')));
        } else {
            ++failures;
            reportFailure(save, error);
        }
        // The counter as the store has it now; the inserted people stay for the next try.
        context.refreshObject(counter, false);
    }
    context.rollback();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments();
    const bool wait = arguments.removeAll(u"--wait"_s) > 0;
    int counters = 0;
    const qsizetype countersAt = arguments.indexOf(u"--counters"_s);
    if (countersAt > 0 && countersAt + 1 < arguments.size()) {
        counters = arguments.at(countersAt + 1).toInt();
        arguments.remove(countersAt, 2);
    }
    if (arguments.size() != 6 || (countersAt > 0 && counters <= 0)) {
        std::fprintf(stderr,
                     "usage: qmf_store_writer TYPE PATH TAG SAVES BATCH [--wait] [--counters N]\n");
        return 2;
    }
    const QString type = arguments.at(1);
    const QString tag = arguments.at(3);
    const qint64 saves = arguments.at(4).toLongLong();
    const qint64 batch = arguments.at(5).toLongLong();

    const auto model = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    QMError error;
    if (!coordinator->addPersistentStoreWithType(type, {}, storeLocation(arguments.at(2)),
                                                 {{QMPersistentStoreTimeoutOption, 10}}, &error)) {
        report(u"open failed %1 %2"_s.arg(error.code()).arg(error.localizedDescription()));
        return 1;
    }
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    if (wait) {
        report(u"ready"_s);
        char line[16];
        if (!std::fgets(line, sizeof line, stdin))
            return 1;
    }
    const QList<std::shared_ptr<QMManagedObject>> shared
            = counters > 0 ? fetchCounters(*context, counters) : decltype(shared)();
    if (shared.size() != counters)
        return 1;
    QRandomGenerator random(qHash(tag));
    for (qint64 n = 0; saves == 0 || n < saves; ++n) {
        if (counters > 0) {
            saveWithCounter(*context, shared, tag, n, batch, random);
            continue;
        }
        insertPeople(*context, tag, n, batch);
        bool saved = false;
        for (int attempt = 0; attempt < 5 && !saved; ++attempt) {
            saved = context->save(&error);
            if (!saved)
                reportFailure(n, error);
        }
        if (saved)
            report(u"saved %1"_s.arg(n));
        else
            context->rollback();
    }
    return 0;
}
