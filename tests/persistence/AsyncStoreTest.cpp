// The object store's asynchronous forms: the same answers as the synchronous ones, failures as
// QMError, the context's work on the context's thread, and the calling thread left to turn.

#include "PersistenceTestSupport.h"
#include "support/Futures.h"

#include <QMFoundation/operations/QMAsync.h>
#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFutureWatcher>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

using ObjectList = QList<std::shared_ptr<QMManagedObject>>;

using TestSupport::waitFor;

QMFetchRequest request(const QString &format = QString(), const QVariantList &arguments = {},
                       qsizetype limit = 0)
{
    QMFetchRequest r(u"Person"_s);
    if (!format.isNull())
        r.setPredicate(QMPredicate::predicateWithFormat(format, arguments));
    r.setSortDescriptors({QMFetchSortDescriptor::sortDescriptorWithKey(u"name"_s)});
    r.setFetchLimit(limit);
    return r;
}

QStringList names(const ObjectList &objects)
{
    QStringList list;
    for (const auto &o : objects)
        list.append(o->value(u"name"_s).toString());
    return list;
}

class AsyncStoreTest : public ::testing::TestWithParam<QString>
{
public:
    void SetUp() override
    {
        QMRegisterManagedObjectClass(&Person::staticMetaObject);
        coordinator = open();
        context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    }

    QUrl url() const
    {
        return GetParam() == QMInMemoryStoreType ? QUrl()
                                                 : QUrl::fromLocalFile(dir.filePath(u"people"_s));
    }

    // A coordinator on the store (long time-outs: tests hold the SQLite store on purpose).
    std::shared_ptr<QMPersistentStoreCoordinator> open()
    {
        auto c = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
        QMError error;
        EXPECT_TRUE(c->addPersistentStoreWithType(GetParam(), QString(), url(),
                                                  {{QMPersistentStoreTimeoutOption, 60}}, &error))
                << error.localizedDescription().toStdString();
        return c;
    }
    // A second context: on the same coordinator for the in-memory store, else on its own.
    std::shared_ptr<QMManagedObjectContext> other()
    {
        return QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                GetParam() == QMInMemoryStoreType ? coordinator : open());
    }

    std::shared_ptr<Person> insert(const QString &name, qint64 age)
    {
        auto p = QMManagedObject::createWithManagedObjectContext<Person>(context);
        p->setName(name);
        p->setAge(age);
        return p;
    }

    QTemporaryDir dir;
    std::shared_ptr<const QMManagedObjectModel> model
            = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<QMManagedObjectContext> context;
};

} // namespace

TEST_P(AsyncStoreTest, AsyncFormsAnswerAsTheSynchronousFormsDo)
{
    const auto ann = insert(u"ann"_s, 30);
    insert(u"bob"_s, 40);
    insert(u"cid"_s, 50);
    QFuture<bool> saved = context->saveAsync();
    // The context takes the result on this thread: nothing is done before the loop runs.
    EXPECT_TRUE(ann->objectID().isTemporaryID());
    ASSERT_TRUE(waitFor(saved));
    ASSERT_TRUE(saved.result()) << QMAsync::errorOf(saved).localizedDescription().toStdString();
    EXPECT_FALSE(ann->objectID().isTemporaryID());
    EXPECT_FALSE(context->hasChanges());

    // Unsaved changes lie over the store in both forms: a deletion, a change, an insertion.
    context->deleteObject(
            QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"bob"_s, context));
    ann->setAge(35);
    insert(u"dan"_s, 60);
    struct Case
    {
        QString format;
        QVariantList arguments;
        qsizetype limit;
    };
    const Case cases[] = {{QString(), {}, 0},
                          {u"age >= %@"_s, {35}, 0},
                          {u"age < %@"_s, {35}, 0},
                          {QString(), {}, 2},
                          {u"name BEGINSWITH %@"_s, {u"x"_s}, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.format.toStdString());
        const QMFetchRequest r = request(c.format, c.arguments, c.limit);
        QMError error;
        const ObjectList expected = context->executeFetchRequest(r, &error);
        ASSERT_TRUE(error.isNull());
        QFuture<ObjectList> fetched = context->executeFetchRequestAsync(r);
        QFuture<qsizetype> counted = context->countForFetchRequestAsync(r);
        ASSERT_TRUE(waitFor(fetched) && waitFor(counted));
        // The same objects, registered once: the very ones the synchronous form gave.
        EXPECT_EQ(fetched.result(), expected);
        EXPECT_EQ(counted.result(), context->countForFetchRequest(r));
        EXPECT_EQ(counted.result(), expected.size());
    }
    // Objects new to the context are made on its thread (the QObjects live here).
    auto fresh = other();
    QFuture<ObjectList> elsewhere = fresh->executeFetchRequestAsync(request());
    ASSERT_TRUE(waitFor(elsewhere));
    EXPECT_EQ(names(elsewhere.result()), (QStringList {u"ann"_s, u"bob"_s, u"cid"_s}));
    for (const auto &o : elsewhere.result())
        EXPECT_EQ(o->thread(), QThread::currentThread());
    EXPECT_EQ(fresh->registeredObjects().size(), 3);
}

TEST_P(AsyncStoreTest, FailuresArriveAsErrorsOnTheContextsThread)
{
    QThread *const contextThread = QThread::currentThread();
    QObject receiver;
    // An unknown entity fails at once, as the synchronous form would.
    QMError unknown;
    QFuture<ObjectList> fetched = context->executeFetchRequestAsync(QMFetchRequest(u"Nope"_s));
    auto handled = fetched.onFailed(&receiver, [&](const QMError &error) {
        unknown = error;
        return ObjectList();
    });
    ASSERT_TRUE(waitFor(handled));
    EXPECT_EQ(unknown.code(), QMPersistentStoreOperationError);
    QFuture<qsizetype> counted = context->countForFetchRequestAsync(QMFetchRequest(u"Nope"_s));
    ASSERT_TRUE(waitFor(counted));
    EXPECT_EQ(QMAsync::errorOf(counted).code(), QMPersistentStoreOperationError);

    // A missing mandatory value fails validation; the context keeps its change.
    auto nameless = QMManagedObject::createWithManagedObjectContext<Person>(context);
    QFuture<bool> invalid = context->saveAsync();
    ASSERT_TRUE(waitFor(invalid));
    EXPECT_EQ(QMAsync::errorOf(invalid).code(), QMValidationMissingMandatoryPropertyError);
    context->deleteObject(nameless);

    // A merge conflict: another context saved the object since this one read it.
    const auto ann = insert(u"ann"_s, 30);
    ASSERT_TRUE(context->save());
    auto theirs = other();
    QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"ann"_s, theirs)
            ->setValue(u"age"_s, 31);
    ASSERT_TRUE(theirs->save());
    ann->setAge(32);
    QMError conflict;
    QThread *ranOn = nullptr;
    // Attached before the loop runs: the result is taken on this thread, in the loop.
    QFuture<bool> save = context->saveAsync().onFailed(&receiver, [&](const QMError &error) {
        conflict = error;
        ranOn = QThread::currentThread();
        return false;
    });
    ASSERT_TRUE(waitFor(save));
    EXPECT_FALSE(save.result());
    EXPECT_EQ(conflict.code(), QMManagedObjectMergeError);
    EXPECT_EQ(ranOn, contextThread);
    EXPECT_TRUE(ann->isUpdated());
    context->refreshObject(ann, true);
    QFuture<bool> again = context->saveAsync();
    ASSERT_TRUE(waitFor(again));
    EXPECT_TRUE(again.result());
}

TEST_P(AsyncStoreTest, ChangesMadeWhileASaveIsInFlightStayForTheNextSave)
{
    const auto ann = insert(u"ann"_s, 30);
    ASSERT_TRUE(context->save());
    const auto bob = insert(u"bob"_s, 40);
    const auto cid = insert(u"cid"_s, 50);
    ann->setAge(31);
    QFuture<bool> first = context->saveAsync();

    // Meanwhile: ann changes again, cid (inserted by the flight) is deleted, dan is new.
    ann->setAge(32);
    context->deleteObject(cid);
    insert(u"dan"_s, 60);
    // A second save while the first is in flight fails at once, in both forms.
    QMError error;
    EXPECT_FALSE(context->save(&error));
    EXPECT_EQ(error.code(), QMPersistentStoreOperationError);
    QFuture<bool> second = context->saveAsync();
    ASSERT_TRUE(second.isFinished());
    EXPECT_EQ(QMAsync::errorOf(second).code(), QMPersistentStoreOperationError);

    // Until the context has taken the result, fetches show each object once, also after the
    // store has the rows (another context sees them when they are there).
    auto watcher = other();
    QElapsedTimer deadline;
    deadline.start();
    while (watcher->countForFetchRequest(request()) < 3 && deadline.elapsed() < 60000)
        watcher->reset();
    ASSERT_EQ(watcher->countForFetchRequest(request()), 3);
    EXPECT_EQ(names(context->executeFetchRequest(request())),
              (QStringList {u"ann"_s, u"bob"_s, u"dan"_s}));
    QFuture<ObjectList> fetchedMeanwhile = context->executeFetchRequestAsync(request());

    ASSERT_TRUE(waitFor(first) && waitFor(fetchedMeanwhile));
    EXPECT_TRUE(first.result());
    EXPECT_FALSE(bob->objectID().isTemporaryID());
    EXPECT_FALSE(cid->objectID().isTemporaryID());
    // The fetch started before the result was taken gives the same objects, not copies.
    EXPECT_EQ(fetchedMeanwhile.result(), context->executeFetchRequest(request()));
    // Pending: ann's second age, cid's deletion, dan.
    EXPECT_TRUE(ann->isUpdated());
    EXPECT_EQ(ann->changedValues().value(u"age"_s).toLongLong(), 31);
    EXPECT_TRUE(cid->isDeleted());
    EXPECT_FALSE(bob->hasChanges());
    EXPECT_EQ(context->insertedObjects().size(), 1);

    QFuture<bool> next = context->saveAsync();
    ASSERT_TRUE(waitFor(next));
    EXPECT_TRUE(next.result());
    EXPECT_FALSE(context->hasChanges());
    auto fresh = other();
    EXPECT_EQ(names(fresh->executeFetchRequest(request())),
              (QStringList {u"ann"_s, u"bob"_s, u"dan"_s}));
    EXPECT_EQ(QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"ann"_s, fresh)->age(),
              32);
}

TEST_P(AsyncStoreTest, AnAsynchronousSaveSettlesConflictsByTheContextsPolicy)
{
    const auto ann = insert(u"ann"_s, 30);
    const auto bob = insert(u"bob"_s, 40);
    ASSERT_TRUE(context->save());
    auto writer = other();
    const auto theirs = [&](const QString &name) {
        return QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, name, writer);
    };
    theirs(u"ann"_s)->setAge(31);
    theirs(u"bob"_s)->destroy();
    ASSERT_TRUE(writer->save());

    ann->setScore(0.5);
    bob->setAge(41);
    const auto cid = insert(u"cid"_s, 50);
    context->setMergePolicy(QMMergePolicy::StoreWins);
    ObjectList announced;
    QObject::connect(context->notifier(), &QMManagedObjectContextNotifier::didSave,
                     [&](const ObjectList &inserted, const ObjectList &updated,
                         const ObjectList &deleted) { announced = inserted + updated + deleted; });
    QFuture<bool> saved = context->saveAsync();
    // Set while the save is in flight: stays on top of the store's values.
    ann->setName(u"anna"_s);
    ASSERT_TRUE(waitFor(saved));
    EXPECT_TRUE(saved.result());

    const QList<QMMergeResolution> expected {{ann->objectID(), QMMergeOutcome::StoreValuesKept},
                                             {bob->objectID(), QMMergeOutcome::DeletedInStore}};
    EXPECT_EQ(context->lastMergeResolutions(), expected);
    EXPECT_EQ(ann->age(), 31);
    EXPECT_FALSE(ann->value(u"score"_s).isValid());
    EXPECT_EQ(ann->name(), u"anna"_s);
    EXPECT_EQ(ann->changedValues().keys(), QStringList {u"name"_s});
    EXPECT_FALSE(context->objectRegisteredForID(bob->objectID()));
    // Only what the save wrote is announced.
    EXPECT_EQ(announced, ObjectList {cid});

    writer->reset();
    EXPECT_EQ(names(writer->executeFetchRequest(request())), (QStringList {u"ann"_s, u"cid"_s}));
    EXPECT_EQ(theirs(u"ann"_s)->age(), 31);
}

TEST_P(AsyncStoreTest, AContextDestroyedFirstDropsItsResults)
{
    insert(u"ann"_s, 30);
    QFuture<bool> saved = context->saveAsync();
    QFuture<ObjectList> fetched = context->executeFetchRequestAsync(request());
    context.reset();
    ASSERT_TRUE(waitFor(saved) && waitFor(fetched));
    EXPECT_TRUE(saved.isCanceled());
    EXPECT_TRUE(fetched.isCanceled());
    // The save itself had been sent: the store has it.
    EXPECT_EQ(other()->countForFetchRequest(request()), 1);
}

TEST_P(AsyncStoreTest, EverySaveIsAnnouncedOnceBeforeItsFutureResolves)
{
    QStringList log;
    QObject receiver;
    QObject::connect(
            context->notifier(), &QMManagedObjectContextNotifier::didSave, &receiver,
            [&](const ObjectList &inserted, const ObjectList &updated, const ObjectList &deleted) {
                QStringList ids;
                for (const auto &o : inserted)
                    ids.append(o->objectID().isTemporaryID() ? u"temporary"_s : u"permanent"_s);
                log.append(u"didSave %1/%2/%3 %4"_s.arg(inserted.size())
                                   .arg(updated.size())
                                   .arg(deleted.size())
                                   .arg(ids.join(u',')));
            });
    const auto ann = insert(u"ann"_s, 30);
    insert(u"bob"_s, 40);
    ASSERT_TRUE(context->save());
    EXPECT_EQ(log, (QStringList {u"didSave 2/0/0 permanent,permanent"_s}));
    log.clear();

    // Nothing to save and a failed save announce nothing.
    ASSERT_TRUE(context->save());
    QMManagedObject::createWithManagedObjectContext<Person>(context); // no name
    EXPECT_FALSE(context->save());
    context->rollback();
    EXPECT_TRUE(log.isEmpty());

    ann->setAge(31);
    context->deleteObject(
            QMManagedObject::fetchFirstByAttribute<Person>(u"name"_s, u"bob"_s, context));
    insert(u"cid"_s, 50);
    QFuture<void> resolved
            = context->saveAsync().then(&receiver, [&](bool) { log.append(u"resolved"_s); });
    ASSERT_TRUE(waitFor(resolved));
    EXPECT_EQ(log, (QStringList {u"didSave 1/1/1 permanent"_s, u"resolved"_s}));
}

TEST_P(AsyncStoreTest, LargeFetchesAndSavesLeaveTheCallingThreadTurning)
{
    constexpr int count = 10000;
    for (int i = 0; i < count; ++i)
        insert(u"p%1"_s.arg(i, 5, 10, QChar(u'0')), i);

    // A SQLite store held by another connection: the save waits for it on the library's
    // threads while this thread's timer goes on firing.
    sqlite3 *holder = nullptr;
    if (GetParam() == QMSQLiteStoreType) {
        ASSERT_EQ(sqlite3_open(url().toLocalFile().toUtf8().constData(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    int ticks = 0;
    QTimer timer;
    timer.setInterval(1);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    QFuture<bool> saved = context->saveAsync();
    if (holder) {
        QEventLoop loop;
        QObject::connect(&timer, &QTimer::timeout, &loop, [&] {
            if (ticks >= 5)
                loop.quit();
        });
        loop.exec();
        EXPECT_FALSE(saved.isFinished());
        sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(holder);
    }
    ASSERT_TRUE(waitFor(saved));
    ASSERT_TRUE(saved.result()) << QMAsync::errorOf(saved).localizedDescription().toStdString();

    // The largest gap between two ticks while a fresh context fetches and registers every
    // object (reported, not asserted: the machine's load decides it), and how long registering
    // them at once takes.
    auto fresh = other();
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 largestGap = 0;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        largestGap = std::max(largestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    clock.start();
    QFuture<ObjectList> fetched = fresh->executeFetchRequestAsync(request());
    ASSERT_TRUE(waitFor(fetched));
    timer.stop();
    ASSERT_EQ(fetched.result().size(), count);
    EXPECT_EQ(fetched.result().first()->value(u"name"_s), u"p00000"_s);
    EXPECT_EQ(fetched.result().last()->value(u"age"_s).toLongLong(), count - 1);
    EXPECT_EQ(fresh->registeredObjects().size(), count);

    auto third = other();
    clock.restart();
    const ObjectList all = third->executeFetchRequest(request());
    const qint64 synchronous = clock.elapsed();
    EXPECT_EQ(names(all), names(fetched.result()));
    std::printf("[ measure  ] %s: %d objects: largest gap between 1 ms ticks while fetching "
                "asynchronously %lld ms; synchronous fetch %lld ms\n",
                qPrintable(GetParam()), count, static_cast<long long>(largestGap),
                static_cast<long long>(synchronous));
}

INSTANTIATE_TEST_SUITE_P(AllStores, AsyncStoreTest,
                         ::testing::Values(QMSQLiteStoreType, QMXMLStoreType, QMInMemoryStoreType),
                         [](const auto &instance) { return instance.param.toStdString(); });

TEST(AsyncStoreSetUp, InitializeAsyncOpensTheStoreOffTheCallingThread)
{
    QTemporaryDir dir;
    const QString modelPath = dir.filePath(u"People.momd"_s);
    {
        QFile file(modelPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(peopleModelJSON());
    }
    auto store = QMCoreDataStore::storeWithManagedObjectModelURL(
            QUrl::fromLocalFile(modelPath), QMSQLiteStoreType,
            QUrl::fromLocalFile(dir.filePath(u"sub/people.sqlite"_s)), {});
    QFuture<bool> opened = store->initializeAsync();
    EXPECT_FALSE(store->isInitialized());
    ASSERT_TRUE(waitFor(opened));
    ASSERT_TRUE(opened.result()) << QMAsync::errorOf(opened).localizedDescription().toStdString();
    EXPECT_TRUE(store->isInitialized());
    ASSERT_TRUE(store->persistentStoreCoordinator());
    EXPECT_TRUE(store->persistentStoreCoordinator()->persistentStore());

    // A model that does not load fails the future with the model's error; a store file that is
    // not a store fails with the store's.
    auto broken = QMCoreDataStore::storeWithManagedObjectModelURL(
            QUrl::fromLocalFile(dir.filePath(u"missing.momd"_s)), QMInMemoryStoreType, QUrl(), {});
    QFuture<bool> failed = broken->initializeAsync();
    ASSERT_TRUE(waitFor(failed));
    EXPECT_FALSE(QMAsync::errorOf(failed).isNull());
    EXPECT_FALSE(broken->isInitialized());
    {
        QFile garbage(dir.filePath(u"garbage.sqlite"_s));
        ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
        garbage.write(QByteArray(4096, 'x'));
    }
    auto damaged = QMCoreDataStore::storeWithManagedObjectModelURL(
            QUrl::fromLocalFile(modelPath), QMSQLiteStoreType,
            QUrl::fromLocalFile(dir.filePath(u"garbage.sqlite"_s)), {});
    QFuture<bool> refused = damaged->initializeAsync();
    ASSERT_TRUE(waitFor(refused));
    EXPECT_EQ(QMAsync::errorOf(refused).code(), QMFileReadCorruptFileError);

    // A store destroyed before its result arrives drops it.
    auto dropped = QMCoreDataStore::storeWithManagedObjectModelURL(QUrl::fromLocalFile(modelPath),
                                                                   QMInMemoryStoreType, QUrl(), {});
    QFuture<bool> orphan = dropped->initializeAsync();
    dropped.reset();
    ASSERT_TRUE(waitFor(orphan));
    EXPECT_TRUE(orphan.isCanceled());
}

// The context's results arrive through the application's event loop, which the tests run on
// this thread.
int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
