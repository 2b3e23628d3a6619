# The credential store, built into the QMFoundation::Storage library: keychain items, keychains,
# the desktop keyring (Secret Service) and encrypted keychain files. Internal headers (_p.h) are
# listed with the sources and not installed.
set(QMF_PLATFORM_STORAGE_HEADERS
    platform/QMGenericPasswordKeychainItem.h
    platform/QMInternetPasswordKeychainItem.h
    platform/QMKeychain.h
    platform/QMKeychainError.h
    platform/QMKeychainItem.h
    platform/QMPasswordKeychainItem.h
)
set(QMF_PLATFORM_STORAGE_SOURCES
    platform/QMGenericPasswordKeychainItem.cpp
    platform/QMInternetPasswordKeychainItem.cpp
    platform/QMKeychain.cpp
    platform/QMKeychainError.cpp
    platform/QMKeychainFile.cpp
    platform/QMKeychainFile_p.h
    platform/QMKeychainItem.cpp
    platform/QMKeychainStore.cpp
    platform/QMKeychainStore_p.h
    platform/QMPasswordKeychainItem.cpp
    platform/QMSecretServiceStore.cpp
)

# The object store's set-up: defaults, stores and their context registries, the store registry,
# and the set-up's helpers on the object store's classes.
list(APPEND QMF_PLATFORM_STORAGE_HEADERS
    platform/QMCoreDataStore.h
    platform/QMCoreDataStoreContextManager.h
    platform/QMCoreDataStoreDefaults.h
    platform/QMCoreDataStoreManager.h
)
list(APPEND QMF_PLATFORM_STORAGE_SOURCES
    platform/QMCoreDataStore.cpp
    platform/QMCoreDataStoreContextManager.cpp
    platform/QMCoreDataStoreDefaults.cpp
    platform/QMCoreDataStoreHelpers.cpp
    platform/QMCoreDataStoreManager.cpp
)
