// The object store's set-up: defaults, construction checks, initializing, deleting and
// rebuilding stores, the registries and the class-level helpers on the default store.

#include "support/Failures.h"
#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMCoreDataStoreContextManager.h>
#include <QMFoundation/persistence/QMCoreDataStoreDefaults.h>
#include <QMFoundation/persistence/QMCoreDataStoreManager.h>
#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/platform/QMBundle.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

class Note : public QMManagedObject
{
    Q_OBJECT
    Q_PROPERTY(QString title READ title WRITE setTitle)
    Q_PROPERTY(qint64 stars READ stars WRITE setStars)

public:
    Q_INVOKABLE Note() = default;
    QString title() const { return value(u"title"_s).toString(); }
    void setTitle(const QString &title) { setValue(u"title"_s, title); }
    qint64 stars() const { return value(u"stars"_s).toLongLong(); }
    void setStars(qint64 stars) { setValue(u"stars"_s, stars); }
    // Host code that runs when an object goes, here asking the registries: when a registry
    // released its contexts (and with them their objects) under its lock, this would deadlock.
    ~Note() override
    {
        (void)QMCoreDataStoreManager::sharedManager().allStores();
        if (const auto store = QMCoreDataStoreManager::sharedManager().defaultStore())
            (void)store->allManagedObjectContexts();
    }
};

namespace {

const QByteArray notesModel = R"({"name": "Notes", "entities": [{"name": "Note", "attributes": [
    {"name": "title", "type": "string", "optional": false, "indexed": true},
    {"name": "stars", "type": "integer", "default": 0}]}]})";

// A bundle directory with an information dictionary and, unless `model` is empty, the compiled
// model "Notes.momd".
std::shared_ptr<QMBundle> makeBundle(const QString &path, const QVariantMap &info,
                                     const QByteArray &model = notesModel)
{
    QDir().mkpath(path);
    QFile infoFile(path + u"/Info.json"_s);
    EXPECT_TRUE(infoFile.open(QIODevice::WriteOnly));
    infoFile.write(QJsonDocument(QJsonObject::fromVariantMap(info)).toJson());
    infoFile.close();
    if (!model.isEmpty()) {
        QFile modelFile(path + u"/Notes.momd"_s);
        EXPECT_TRUE(modelFile.open(QIODevice::WriteOnly));
        modelFile.write(model);
    }
    return QMBundle::bundleWithPath(path);
}

QUrl fileURL(const QString &path)
{
    return QUrl::fromLocalFile(path);
}

class CoreDataStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        bundle = makeBundle(dir.filePath(u"App"_s),
                            {{u"CFBundleName"_s, u"Notes"_s},
                             {u"CFBundleIdentifier"_s, u"org.example.Notes"_s}});
        modelURL = fileURL(dir.filePath(u"App/Notes.momd"_s));
    }
    void TearDown() override
    {
        QMCoreDataStoreManager::sharedManager().setDefaultStore(nullptr);
        QMCoreDataStoreDefaults &defaults = QMCoreDataStoreDefaults::sharedDefaults();
        defaults.setDefaultBundle(QMBundle::mainBundle());
        defaults.setDefaultManagedObjectModelName(QString());
        defaults.setDefaultStoreDirectoryURL(QUrl());
        defaults.setDefaultStoreName(QString());
    }

    // A store on the default registry with a main context, in memory.
    std::shared_ptr<QMManagedObjectContext> setUpDefaultStore()
    {
        auto store = QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, QMInMemoryStoreType,
                                                                     {}, {});
        EXPECT_TRUE(store->initialize());
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                store->persistentStoreCoordinator());
        store->setManagedObjectContext(context, QMCoreDataStoreContextMainContextName);
        QMCoreDataStoreManager::sharedManager().setDefaultStore(store);
        return context;
    }

    QTemporaryDir dir;
    std::shared_ptr<QMBundle> bundle;
    QUrl modelURL;
};

TEST_F(CoreDataStoreTest, DefaultsComeFromTheBundleAndAreKept)
{
    QMCoreDataStoreDefaults defaults;
    defaults.setDefaultBundle(bundle);
    EXPECT_EQ(defaults.bundleName(), u"Notes"_s);
    EXPECT_EQ(defaults.bundleIdentifier(), u"org.example.Notes"_s);
    EXPECT_EQ(defaults.defaultManagedObjectModelName(), u"Notes"_s);
    EXPECT_EQ(defaults.defaultStoreName(), u"Notes"_s);
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    EXPECT_EQ(defaults.defaultStoreDirectoryURL(), fileURL(data + u"/org.example.Notes"_s));
    EXPECT_FALSE(defaults.defaultMergePolicy().isValid());

    // Worked out once: another bundle later changes nothing already read.
    defaults.setDefaultBundle(
            makeBundle(dir.filePath(u"Other"_s), {{u"CFBundleIdentifier"_s, u"a.b.c"_s}}));
    EXPECT_EQ(defaults.defaultStoreName(), u"Notes"_s);
    // Without a name, the last part of the identifier.
    EXPECT_EQ(defaults.bundleName(), u"c"_s);

    defaults.setDefaultBundle(makeBundle(dir.filePath(u"Bare"_s), {}));
    EXPECT_EQ(failureOf([&] { defaults.bundleName(); }), u"Unable to determine bundle name"_s);
    EXPECT_EQ(failureOf([&] { defaults.bundleIdentifier(); }),
              u"Unable to determine bundle identifier"_s);
    EXPECT_EQ(failureOf([&] { defaults.makeDefaultStoreName(); }),
              u"Unable to determine bundle name"_s);
    // A fresh instance has nothing kept, so its first read fails the same way.
    QMCoreDataStoreDefaults fresh;
    fresh.setDefaultBundle(defaults.defaultBundle());
    EXPECT_EQ(failureOf([&] { fresh.defaultStoreDirectoryURL(); }),
              u"Unable to determine bundle identifier"_s);
}

TEST_F(CoreDataStoreTest, ExtensionsAndOptionsByStoreType)
{
    QMCoreDataStoreDefaults defaults;
    EXPECT_EQ(defaults.defaultExtensionForStoreType(QMSQLiteStoreType), u"sqlite3"_s);
    EXPECT_EQ(defaults.defaultExtensionForStoreType(QMXMLStoreType), u"xml"_s);
    EXPECT_TRUE(defaults.defaultExtensionForStoreType(QMInMemoryStoreType).isNull());

    defaults.setDefaultExtension(QString(), QMXMLStoreType);
    const QString stored = defaults.defaultExtensionForStoreType(QMXMLStoreType);
    EXPECT_TRUE(stored.isEmpty() && !stored.isNull());
    EXPECT_EQ(
            defaults.allDefaultStoreExtensions(),
            (QHash<QString, QString> {{QMSQLiteStoreType, u"sqlite3"_s}, {QMXMLStoreType, u""_s}}));

    EXPECT_TRUE(defaults.allDefaultStoreOptions().isEmpty());
    defaults.setDefaultStoreOptions(QVariantMap {{u"a"_s, 1}}, QMSQLiteStoreType);
    EXPECT_EQ(defaults.defaultStoreOptionsForStoreType(QMSQLiteStoreType),
              (QVariantMap {{u"a"_s, 1}}));
    defaults.setDefaultStoreOptions(std::nullopt, QMSQLiteStoreType);
    EXPECT_FALSE(defaults.defaultStoreOptionsForStoreType(QMSQLiteStoreType).has_value());
    EXPECT_TRUE(defaults.allDefaultStoreOptions().isEmpty());
}

TEST_F(CoreDataStoreTest, ConstructionChecksInOrder)
{
    const QUrl store = fileURL(dir.filePath(u"s.sqlite3"_s));
    const QUrl web(u"https://example.org/Notes.momd"_s);
    struct Row
    {
        QUrl model;
        QString type;
        QUrl store;
        QString failure;
    } rows[] = {
            {QUrl(), QString(), QUrl(),
             u"Invalid parameter not satisfying: managedObjectModelURL != nil"_s},
            {web, QMSQLiteStoreType, store,
             u"Invalid parameter not satisfying: [managedObjectModelURL isFileURL]"_s},
            {modelURL, QString(), QUrl(), u"Invalid parameter not satisfying: storeType != nil"_s},
            {modelURL, QMSQLiteStoreType, QUrl(),
             u"Store URL must be a valid file protocol URL."_s},
            {modelURL, QMXMLStoreType, web, u"Store URL must be a valid file protocol URL."_s},
            // In memory, no store URL is needed; Qt resources count as files.
            {modelURL, QMInMemoryStoreType, QUrl(), u"(no exception)"_s},
            {QUrl(u"qrc:/Notes.momd"_s), QMSQLiteStoreType, store, u"(no exception)"_s},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.failure.toStdString());
        EXPECT_EQ(failureOf([&] {
                      QMCoreDataStore::storeWithManagedObjectModelURL(row.model, row.type,
                                                                      row.store, {});
                  }),
                  row.failure);
    }
}

TEST_F(CoreDataStoreTest, DefaultStoresFromTheSharedDefaults)
{
    QMCoreDataStoreDefaults &defaults = QMCoreDataStore::defaults();
    defaults.setDefaultBundle(bundle);
    defaults.setDefaultManagedObjectModelName(u"Notes"_s);
    defaults.setDefaultStoreName(u"Library"_s);
    defaults.setDefaultStoreDirectoryURL(fileURL(dir.filePath(u"Stores"_s)));
    defaults.setDefaultStoreOptions(QVariantMap {{u"k"_s, u"v"_s}}, QMXMLStoreType);

    auto sqlite = QMCoreDataStore::defaultStoreWithSqliteStoreType();
    EXPECT_EQ(sqlite->managedObjectModelURL(), modelURL);
    EXPECT_EQ(sqlite->storeURL(), fileURL(dir.filePath(u"Stores/Library.sqlite3"_s)));
    EXPECT_TRUE(sqlite->storeOptions().isEmpty());
    EXPECT_FALSE(sqlite->isInitialized());
    auto xml = QMCoreDataStore::defaultStoreWithXMLStoreType();
    EXPECT_EQ(xml->storeURL(), fileURL(dir.filePath(u"Stores/Library.xml"_s)));
    EXPECT_EQ(xml->storeOptions(), (QVariantMap {{u"k"_s, u"v"_s}}));
    defaults.setDefaultStoreOptions(std::nullopt, QMXMLStoreType);
    EXPECT_TRUE(QMCoreDataStore::defaultStoreWithInMemoryStoreType()->storeURL().isEmpty());

    defaults.setDefaultManagedObjectModelName(u"Missing"_s);
    EXPECT_EQ(failureOf([] { QMCoreDataStore::defaultStoreWithSqliteStoreType(); }),
              u"Could not find resource Missing.momd in default bundle"_s);
}

TEST_F(CoreDataStoreTest, InitializeDeleteAndRebuildASQLiteStore)
{
    // Two directories that do not exist yet: the coordinator helper makes them.
    const QString path = dir.filePath(u"a/b/Notes.sqlite3"_s);
    auto store = QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, QMSQLiteStoreType,
                                                                 fileURL(path), {});
    QMError error;
    ASSERT_TRUE(store->initialize(&error)) << error.localizedDescription().toStdString();
    EXPECT_TRUE(store->isInitialized());
    ASSERT_TRUE(store->managedObjectModel());
    EXPECT_TRUE(store->managedObjectModel()->entityForName(u"Note"_s));

    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
            store->persistentStoreCoordinator());
    store->setManagedObjectContext(context, QMCoreDataStoreContextMainContextName);
    auto note = QMManagedObject::createWithManagedObjectContext<Note>(context,
                                                                      {{u"title"_s, u"one"_s}});
    ASSERT_TRUE(note->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_TRUE(QFileInfo::exists(path));
    EXPECT_TRUE(QFileInfo::exists(path + u"-wal"_s));
    EXPECT_TRUE(QFileInfo::exists(path + u"-shm"_s));

    // Uninitializing drops the registered contexts and nothing else.
    store->uninitialize();
    EXPECT_FALSE(store->isInitialized());
    EXPECT_TRUE(store->allManagedObjectContexts().isEmpty());
    EXPECT_TRUE(store->persistentStoreCoordinator());

    ASSERT_TRUE(store->rebuild(&error)) << error.localizedDescription().toStdString();
    EXPECT_TRUE(store->isInitialized());
    auto fresh = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
            store->persistentStoreCoordinator());
    EXPECT_EQ(QMManagedObject::countAll<Note>(fresh, &error), 0);

    ASSERT_TRUE(store->deleteStoreFile(&error));
    for (const QString &suffix : {u""_s, u"-wal"_s, u"-shm"_s})
        EXPECT_FALSE(QFileInfo::exists(path + suffix)) << suffix.toStdString();
    // The file is gone, so removing it again fails and says which file.
    EXPECT_FALSE(store->deleteStoreFile(&error));
    EXPECT_TRUE(error.localizedDescription().contains(path));
}

TEST_F(CoreDataStoreTest, InitializeFailures)
{
    // A file where the store's directory should be: no coordinator, the error, not initialized.
    QFile blocker(dir.filePath(u"blocker"_s));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    auto store = QMCoreDataStore::storeWithManagedObjectModelURL(
            modelURL, QMSQLiteStoreType, fileURL(dir.filePath(u"blocker/x/Notes.sqlite3"_s)), {});
    QMError error;
    EXPECT_FALSE(store->initialize(&error));
    EXPECT_FALSE(error.isNull());
    EXPECT_FALSE(store->isInitialized());
    EXPECT_FALSE(store->persistentStoreCoordinator());

    // A model that does not load is a broken application, hence an exception with the reason.
    makeBundle(dir.filePath(u"Broken"_s), {}, R"({"name": "Notes", "entities": [{}]})");
    const QUrl broken = fileURL(dir.filePath(u"Broken/Notes.momd"_s));
    auto bad = QMCoreDataStore::storeWithManagedObjectModelURL(broken, QMInMemoryStoreType, {}, {});
    try {
        bad->initialize();
        ADD_FAILURE() << "no exception";
    } catch (const QMInternalInconsistencyException &exception) {
        EXPECT_EQ(exception.reason(),
                  u"Could not create ManagedObjectModel from URL: "_s + broken.toString());
        EXPECT_EQ(exception.userInfo().value(QMUnderlyingErrorKey).value<QMError>().code(),
                  QMManagedObjectModelInvalidError);
    }
    auto resource = QMBundle::bundleWithPath(dir.filePath(u"Broken"_s));
    EXPECT_EQ(failureOf([&] {
                  QMManagedObjectModel::managedObjectModelWithName(u"Notes"_s, *resource);
              }),
              u"Core Data object model not found at URL "_s + broken.toString());
    EXPECT_FALSE(QMManagedObjectModel::managedObjectModelWithName(u"None"_s, *resource, &error));
    EXPECT_EQ(error.code(), QMFileReadUnknownError);

    // In memory there is no file to delete, and nothing on disk is touched.
    auto memory = QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, QMInMemoryStoreType, {},
                                                                  {});
    EXPECT_TRUE(memory->deleteStoreFile(&error));
    EXPECT_TRUE(memory->rebuild(&error));
}

TEST_F(CoreDataStoreTest, RegistriesAndDescription)
{
    auto store = QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, QMInMemoryStoreType, {},
                                                                 {});
    ASSERT_TRUE(store->initialize());
    auto coordinator = store->persistentStoreCoordinator();
    auto first = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    auto second = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    store->setManagedObjectContext(first, QMCoreDataStoreContextMainContextName);
    store->setManagedObjectContext(second, QMCoreDataStoreContextMainContextName);
    EXPECT_EQ(store->mainManagedObjectContext(), second);
    EXPECT_EQ(store->allManagedObjectContexts().size(), 1);
    store->setManagedObjectContext(first, QMCoreDataStoreContextBackgroundContextName);
    EXPECT_EQ(store->backgroundManagedObjectContext(), first);
    store->removeManagedObjectContextForName(u"nothing"_s);
    store->removeManagedObjectContextForName(QMCoreDataStoreContextMainContextName);
    EXPECT_EQ(store->allManagedObjectContextsByName().keys(),
              QList<QString> {QMCoreDataStoreContextBackgroundContextName});

    QMCoreDataStoreManager manager;
    manager.setDefaultStore(store);
    EXPECT_EQ(manager.storeForName(u"default"_s), store);
    manager.setStore(store, u"other"_s);
    EXPECT_EQ(manager.allStores().size(), 2);
    manager.setDefaultStore(nullptr);
    EXPECT_FALSE(manager.defaultStore());
    EXPECT_EQ(manager.allStores().keys(), QList<QString> {u"other"_s});

    store->setName(u"notes"_s);
    QString description = store->description();
    description.replace(QRegularExpression(u"<0x[0-9a-f]+>"_s), u"<0x>"_s);
    EXPECT_EQ(description,
              u"QMCoreDataStore <0x> {\n"
              u"    \"managedObjectModelURL\": \""_s
                      + modelURL.toString()
                      + u"\",\n"
                        u"    \"name\": \"notes\",\n"
                        u"    \"storeOptions\": null,\n"
                        u"    \"storeType\": \"InMemory\",\n"
                        u"    \"storeURL\": null\n"
                        u"}"_s);
}

TEST_F(CoreDataStoreTest, RegisteredContextsTakeTheDefaultMergePolicy)
{
    auto store = QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, QMInMemoryStoreType, {},
                                                                 {});
    ASSERT_TRUE(store->initialize());
    const auto make = [&] {
        return QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                store->persistentStoreCoordinator());
    };
    QMCoreDataStoreDefaults &defaults = QMCoreDataStore::defaults();
    struct Restore
    {
        QMCoreDataStoreDefaults &defaults;
        QVariant before = defaults.defaultMergePolicy();
        ~Restore() { defaults.setDefaultMergePolicy(before); }
    } restore {defaults};

    // None by default, and a value that is no policy: contexts keep their own.
    struct Row
    {
        const char *label;
        QVariant defaultPolicy;
        std::optional<QMMergePolicy> own;
        QMMergePolicy expected;
    };
    const Row rows[] = {
            {"no default", QVariant(), std::nullopt, QMMergePolicy::Error},
            {"not a policy", QVariant(int(QMMergePolicy::StoreWins)), std::nullopt,
             QMMergePolicy::Error},
            {"default taken", QVariant::fromValue(QMMergePolicy::StoreWins), std::nullopt,
             QMMergePolicy::StoreWins},
            {"own policy kept", QVariant::fromValue(QMMergePolicy::ContextWins),
             QMMergePolicy::Error, QMMergePolicy::Error},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.label);
        defaults.setDefaultMergePolicy(row.defaultPolicy);
        auto context = make();
        if (row.own)
            context->setMergePolicy(*row.own);
        store->setManagedObjectContext(context, QMCoreDataStoreContextMainContextName);
        EXPECT_EQ(store->mainManagedObjectContext()->mergePolicy(), row.expected);
    }

    // A context made outside the store's registry keeps the default of its class.
    defaults.setDefaultMergePolicy(QVariant::fromValue(QMMergePolicy::ContextWins));
    EXPECT_EQ(make()->mergePolicy(), QMMergePolicy::Error);
    EXPECT_EQ(defaults.defaultMergePolicy().value<QMMergePolicy>(), QMMergePolicy::ContextWins);
}

TEST_F(CoreDataStoreTest, RegistriesServeWorkerThreadsAndReleaseOutsideTheirLocks)
{
    QMRegisterManagedObjectClass(&Note::staticMetaObject);
    const auto makeStore = [&] {
        auto store = QMCoreDataStore::storeWithManagedObjectModelURL(modelURL, QMInMemoryStoreType,
                                                                     {}, {});
        EXPECT_TRUE(store->initialize());
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                store->persistentStoreCoordinator());
        auto note = QMManagedObject::createWithManagedObjectContext<Note>(context);
        note->setTitle(u"kept by its context"_s);
        store->setManagedObjectContext(context, QMCoreDataStoreContextBackgroundContextName);
        return store;
    };
    QMCoreDataStoreManager::sharedManager().setDefaultStore(makeStore());

    // Workers ask for the default store's background context while the main thread replaces
    // the store and its contexts; each replaced context takes its object with it.
    std::atomic<bool> stop {false};
    std::atomic<int> found {0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&] {
            while (!stop.load()) {
                if (QMManagedObjectContext::backgroundContext())
                    found.fetch_add(1);
                (void)QMCoreDataStoreManager::sharedManager().allStores();
            }
        });
    }
    for (int round = 0; round < 200; ++round) {
        auto store = makeStore();
        QMCoreDataStoreManager::sharedManager().setDefaultStore(store);
        store->setManagedObjectContext(nullptr, QMCoreDataStoreContextBackgroundContextName);
        store->setManagedObjectContext(
                QMManagedObjectContext::contextWithPersistentStoreCoordinator(
                        store->persistentStoreCoordinator()),
                QMCoreDataStoreContextBackgroundContextName);
        store->uninitialize();
    }
    // On a loaded machine the workers may not have run at all yet: leave them a store with a
    // background context until one of them has seen it.
    QMCoreDataStoreManager::sharedManager().setDefaultStore(makeStore());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (found.load() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    stop.store(true);
    for (std::thread &worker : workers)
        worker.join();
    EXPECT_GT(found.load(), 0);
    QMCoreDataStoreManager::sharedManager().setDefaultStore(nullptr);
}

TEST_F(CoreDataStoreTest, ClassHelpersOnTheDefaultStore)
{
    EXPECT_FALSE(QMManagedObjectContext::mainContext());
    EXPECT_FALSE(QMManagedObjectContext::backgroundContext());
    EXPECT_NE(failureOf([] { QMManagedObject::fetchAll<Note>(); }), u"(no exception)"_s);

    auto context = setUpDefaultStore();
    EXPECT_EQ(QMManagedObjectContext::mainContext(), context);

    auto first = QMManagedObject::createWithAttributes<Note>({{u"title"_s, u"b"_s}});
    auto second = QMManagedObject::create<Note>();
    second->setTitle(u"a"_s);
    second->setStars(5);
    QMError error;
    ASSERT_TRUE(second->save(&error)) << error.localizedDescription().toStdString();
    EXPECT_EQ(QMManagedObject::countAll<Note>(&error), 2);
    EXPECT_EQ(QMManagedObject::countAllWithPredicate<Note>(
                      QMPredicate::predicateWithFormat(u"stars > 1"_s), &error),
              1);
    const auto sorted = QMManagedObject::fetchAllWithSortDescriptors<Note>(
            {QMFetchSortDescriptor::sortDescriptorWithKey(u"title"_s)}, &error);
    ASSERT_EQ(sorted.size(), 2);
    EXPECT_EQ(sorted[0], second);
    EXPECT_EQ(QMManagedObject::fetchFirstByAttribute<Note>(u"title"_s, u"b"_s, &error), first);
    EXPECT_EQ(QMManagedObject::managedObjectWithObjectID<Note>(first->objectID()), first);

    // An object made in memory has no context nor identifier, and so counts as destroyed.
    auto loose = QMManagedObject::createInMemoryWithAttributes<Note>({{u"title"_s, u"x"_s}});
    EXPECT_EQ(loose->title(), u"x"_s);
    EXPECT_TRUE(loose->objectID().isNull());
    EXPECT_TRUE(loose->isDestroyed());
    EXPECT_EQ(QMManagedObject::countAll<Note>(&error), 2);

    EXPECT_FALSE(first->isDestroyed());
    first->destroy();
    ASSERT_TRUE(context->save(&error));
    EXPECT_TRUE(first->isDestroyed());
    EXPECT_EQ(QMManagedObject::fetchAll<Note>(&error), QList<std::shared_ptr<Note>> {second});
}

TEST_F(CoreDataStoreTest, ContextNames)
{
    auto context = setUpDefaultStore();
    auto child = QMManagedObjectContext::contextWithParentContext(context);
    EXPECT_EQ(context->name_(), u"Persistent store context"_s);
    EXPECT_EQ(child->name_(), u"Child context of Persistent store context"_s);
    context->setUserInfo({{u"name"_s, u"from user info"_s}});
    EXPECT_EQ(child->name_(), u"Child context of from user info"_s);
    context->setName_(u"main"_s);
    EXPECT_EQ(context->name(), u"main"_s);
    EXPECT_EQ(child->name_(), u"Child context of main"_s);
}

} // namespace

#include "CoreDataStoreTest.moc"
