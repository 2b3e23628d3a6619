# The credential store, built into the QMFoundation::Storage library: keychain items, keychains,
# the desktop keyring (Secret Service) and encrypted keychain files. Internal headers (_p.h) are
# listed with the sources and not installed.
set(QMF_KEYCHAIN_HEADERS
    keychain/QMGenericPasswordKeychainItem.h
    keychain/QMInternetPasswordKeychainItem.h
    keychain/QMKeychain.h
    keychain/QMKeychainError.h
    keychain/QMKeychainItem.h
    keychain/QMPasswordKeychainItem.h
)
set(QMF_KEYCHAIN_SOURCES
    keychain/QMGenericPasswordKeychainItem.cpp
    keychain/QMInternetPasswordKeychainItem.cpp
    keychain/QMKeychain.cpp
    keychain/QMKeychainError.cpp
    keychain/QMKeychainFile.cpp
    keychain/QMKeychainFile_p.h
    keychain/QMKeychainItem.cpp
    keychain/QMKeychainStore.cpp
    keychain/QMKeychainStore_p.h
    keychain/QMPasswordKeychainItem.cpp
    keychain/QMSecretServiceStore.cpp
)
