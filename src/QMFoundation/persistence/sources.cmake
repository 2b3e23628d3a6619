# The object store, built into the QMFoundation::Storage library: models, the store coordinator
# and its SQLite, PostgreSQL, XML and in-memory stores, contexts, managed objects and predicates. Internal
# headers (_p.h) are listed with the sources and not installed.
set(QMF_PERSISTENCE_HEADERS
    persistence/QMFetchRequest.h
    persistence/QMManagedObject.h
    persistence/QMManagedObject_impl.h
    persistence/QMManagedObjectContext.h
    persistence/QMManagedObjectID.h
    persistence/QMManagedObjectModel.h
    persistence/QMMergePolicy.h
    persistence/QMMigrationPlan.h
    persistence/QMPersistenceError.h
    persistence/QMPersistentStoreCoordinator.h
    persistence/QMPredicate.h
)

# Value rules shared by every store, and entities.
set(QMF_PERSISTENCE_SOURCES
    persistence/QMEntityBuilder_p.h
    persistence/QMEntityDescription.cpp
    persistence/QMPersistenceValue.cpp
    persistence/QMPersistenceValue_p.h
)

# Predicates: the format reader, evaluation in memory and SQL.
list(APPEND QMF_PERSISTENCE_SOURCES
    persistence/QMPersistenceError.cpp
    persistence/QMPredicate.cpp
    persistence/QMPredicateBinding.cpp
    persistence/QMPredicateEvaluation.cpp
    persistence/QMPredicateFormat.cpp
    persistence/QMPredicateLexer.cpp
    persistence/QMPredicateParser.cpp
    persistence/QMPredicateReader_p.h
    persistence/QMPredicateSQL.cpp
    persistence/QMPredicateSQL_p.h
    persistence/QMPredicate_p.h
)

# Models, the coordinator, the stores, contexts and objects.
list(APPEND QMF_PERSISTENCE_SOURCES
    persistence/QMGraphStore.cpp
    persistence/QMManagedObject.cpp
    persistence/QMManagedObjectContext.cpp
    persistence/QMManagedObjectContextAsync.cpp
    persistence/QMManagedObjectContext_p.h
    persistence/QMManagedObjectModel.cpp
    persistence/QMMergePolicy.cpp
    persistence/QMMigrationPlan.cpp
    persistence/QMMigration_p.h
    persistence/QMPersistentStoreAccess_p.h
    persistence/QMPersistentStoreCoordinator.cpp
    persistence/QMPostgreSQLClient.cpp
    persistence/QMPostgreSQLClient_p.h
    persistence/QMPostgreSQLKeychain.cpp
    persistence/QMPostgreSQLStore.cpp
    persistence/QMSQLiteConnection.cpp
    persistence/QMSQLiteConnection_p.h
    persistence/QMSQLiteMigration.cpp
    persistence/QMSQLiteStore.cpp
    persistence/QMSQLiteSupport_p.h
    persistence/QMStoreBackend.cpp
    persistence/QMStoreBackend_p.h
    persistence/QMStoreThread_p.h
)

# The object store's set-up: defaults, stores and their context registries, and the store
# registry.
list(APPEND QMF_PERSISTENCE_HEADERS
    persistence/QMCoreDataStore.h
    persistence/QMCoreDataStoreContextManager.h
    persistence/QMCoreDataStoreDefaults.h
    persistence/QMCoreDataStoreManager.h
)
list(APPEND QMF_PERSISTENCE_SOURCES
    persistence/QMCoreDataStore.cpp
    persistence/QMCoreDataStoreContextManager.cpp
    persistence/QMCoreDataStoreDefaults.cpp
    persistence/QMCoreDataStoreManager.cpp
)
