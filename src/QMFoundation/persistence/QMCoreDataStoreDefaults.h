#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QHash>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantMap>

#include <memory>
#include <optional>

class QMBundle;

/// Where the default object store comes from: the bundle holding the compiled model, the
/// model's and the store's names, the store's directory, and per store type the file extension
/// and the coordinator options.
///
/// Each property is worked out on its first read and then kept, until a setter replaces it:
/// - defaultBundle(): the application's main bundle (QMBundle::mainBundle());
/// - defaultManagedObjectModelName() and defaultStoreName(): bundleName();
/// - defaultStoreDirectoryURL(): the user's data directory (QStandardPaths::GenericDataLocation,
///   "~/.local/share" by default) with bundleIdentifier() appended, e.g.
///   "~/.local/share/org.example.Notes". (Qt's own application data location already names the
///   organisation and the application; the bundle identifier plays that part here.)
/// - defaultMergePolicy(): none (an invalid QVariant): contexts keep QMMergePolicy::Error;
/// - extensions: QMSQLiteStoreType "sqlite3", QMXMLStoreType "xml"; options: none.
///
/// One shared instance; it may be read and changed from any thread (a mutex guards it).
class QMF_STORAGE_EXPORT QMCoreDataStoreDefaults
{
public:
    /// The shared defaults, made on the first call (once, also when threads race to it).
    static QMCoreDataStoreDefaults &sharedDefaults();

    QMCoreDataStoreDefaults();
    ~QMCoreDataStoreDefaults();
    QMCoreDataStoreDefaults(const QMCoreDataStoreDefaults &) = delete;
    QMCoreDataStoreDefaults &operator=(const QMCoreDataStoreDefaults &) = delete;

    /// The bundle the default model is looked up in (see the class comment).
    std::shared_ptr<QMBundle> defaultBundle() const;
    /// Replaces the default bundle.
    void setDefaultBundle(const std::shared_ptr<QMBundle> &bundle);
    /// The resource name of the default model, without extension.
    QString defaultManagedObjectModelName() const;
    /// Replaces the default model name.
    void setDefaultManagedObjectModelName(const QString &name);
    /// The file name of the default store, without extension.
    QString defaultStoreName() const;
    /// Replaces the default store name.
    void setDefaultStoreName(const QString &name);
    /// The directory of the default store file.
    QUrl defaultStoreDirectoryURL() const;
    /// Replaces the default store directory.
    void setDefaultStoreDirectoryURL(const QUrl &url);
    /// The merge policy (a QMMergePolicy in the QVariant) that contexts registered with a
    /// QMCoreDataStore take unless theirs was set (QMCoreDataStore::setManagedObjectContext());
    /// an invalid QVariant, or one holding anything else, leaves their policy alone.
    QVariant defaultMergePolicy() const;
    /// Replaces the default merge policy.
    void setDefaultMergePolicy(const QVariant &policy);

    /// The file extension of a store type, or a null QString when it has none.
    QString defaultExtensionForStoreType(const QString &storeType) const;
    /// Sets the extension of a store type; a null QString stores the empty text "".
    void setDefaultExtension(const QString &extension, const QString &storeType);
    /// Every store type's extension.
    QHash<QString, QString> allDefaultStoreExtensions() const;
    /// The options of a store type, or std::nullopt when it has none.
    std::optional<QVariantMap> defaultStoreOptionsForStoreType(const QString &storeType) const;
    /// Sets the options of a store type; std::nullopt removes them.
    void setDefaultStoreOptions(const std::optional<QVariantMap> &options,
                                const QString &storeType);
    /// Every store type's options.
    QHash<QString, QVariantMap> allDefaultStoreOptions() const;

    /// The default bundle's QMBundleNameKey value, else the last "."-separated part of its
    /// QMBundleIdentifierKey value; throws QMInternalInconsistencyException "Unable to determine
    /// bundle name" when it has neither.
    QString bundleName() const;
    /// The default bundle's QMBundleIdentifierKey value; throws "Unable to determine bundle
    /// identifier" when it has none.
    QString bundleIdentifier() const;

    // What the properties start as.
    /// bundleName(), the first value of defaultManagedObjectModelName().
    QString makeDefaultManagedObjectModelName() const;
    /// bundleName(), the first value of defaultStoreName().
    QString makeDefaultStoreName() const;
    /// Throws "Unable to find any Applicaton Support Directories in User Domain" when the system
    /// gives no data directory.
    QUrl makeDefaultStoreDirectoryURL() const;

private:
    class Private;
    std::unique_ptr<Private> d;
};
