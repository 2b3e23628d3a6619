#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QByteArray>
#include <QHash>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <memory>

class QJsonObject;
class QMBundle;
struct QMetaObject;

/// The value types an attribute can hold, with the QVariant type each is kept as.
enum class QMAttributeType {
    String, ///< QString
    Integer, ///< qint64
    Double, ///< double
    Boolean, ///< bool
    Date, ///< QDateTime in UTC, to the millisecond
    Binary, ///< QByteArray
};

/// The model's name of a type: "string", "integer", "double", "boolean", "date", "binary".
QMF_STORAGE_EXPORT QString QMAttributeTypeName(QMAttributeType type);

/// One attribute of an entity. A plain record; models are immutable once loaded.
struct QMF_STORAGE_EXPORT QMAttributeDescription
{
    /// The attribute's name, unique in its entity.
    QString name;
    /// The type of the attribute's values.
    QMAttributeType type = QMAttributeType::String;
    /// An optional attribute may hold no value (an invalid QVariant); saving an object whose
    /// non-optional attribute has none fails with QMValidationMissingMandatoryPropertyError.
    bool optional = true;
    /// The value new objects start with, of the attribute's type, or an invalid QVariant.
    QVariant defaultValue;
    /// The SQLite store keeps an index on indexed attributes.
    bool indexed = false;
    /// The attribute's name in the previous version of the model when it was renamed there
    /// ("renamingIdentifier"); empty otherwise. A migration carries the values over.
    QString renamingIdentifier;

    /// A digest of what the attribute's stored values depend on: its name, type and
    /// optionality (not its default, index or renaming identifier).
    QByteArray versionHash() const;

    /// `value` converted to this attribute's type: an invalid QVariant and QMNull() stay "no
    /// value"; numbers, texts of numbers, booleans and ISO 8601 dates convert where the
    /// conversion loses nothing (3.0 to the integer 3, not 3.5; "true"/"false"/"1"/"0" to a
    /// boolean); anything else fails with QMValidationValueTypeError naming the attribute, and
    /// so do NaN and infinite doubles. Lone UTF-16 surrogates and the noncharacters U+FFFE and
    /// U+FFFF in texts become U+FFFD, so that every store keeps the same text.
    QVariant convertedValue(const QVariant &value, QMError *error = nullptr) const;
    /// The JSON form of `value`, a value of this attribute's type: texts, numbers and booleans as
    /// they are, dates as ISO 8601 text in UTC with milliseconds, binary values as Base64, and no
    /// value as null.
    QJsonValue JSONValue(const QVariant &value) const;
};

/// An entity: a name and its attributes, in the model's order.
class QMF_STORAGE_EXPORT QMEntityDescription
{
public:
    /// The entity's name, unique in its model.
    QString name() const { return m_name; }
    /// The attributes, in the model's order.
    const QList<QMAttributeDescription> &attributes() const { return m_attributes; }
    /// The attribute's position in attributes(), or -1.
    qsizetype indexOfAttribute(const QString &name) const;
    /// The attribute of that name, or nullptr.
    const QMAttributeDescription *attributeNamed(const QString &name) const;
    /// The attribute names, in the model's order.
    QStringList attributeNames() const;
    /// A digest of the entity's name and its attributes' version hashes, in any order: two
    /// versions of an entity with the same hash store their objects alike.
    QByteArray versionHash() const { return m_hash; }

private:
    friend class QMManagedObjectModel;
    friend class QMManagedObjectAccess;
    friend QMF_STORAGE_EXPORT QMEntityDescription
    QMMakeEntityDescription(const QString &name, const QList<QMAttributeDescription> &attributes);
    QString m_name;
    QList<QMAttributeDescription> m_attributes;
    QByteArray m_hash;
    // A new object's values and saved values, shared by its objects until one is set.
    QVariantList m_defaultValues;
    QVariantList m_absentValues;
};

/// \class QMManagedObjectModel
/// An object model: the entities a store holds, loaded from a compiled model resource.
///
/// A compiled model "NAME.momd" is either a JSON file or a directory holding "model.json":
///
///     {"name": "Notes", "version": 1,
///      "entities": [{"name": "Person",
///                    "attributes": [{"name": "name", "type": "string", "optional": false,
///                                    "default": "", "indexed": true}, ...]}]}
///
/// "version" (a number) and "versionName" (a text) are optional; "optional" defaults to true,
/// "indexed" to false and "default" to no value (dates are ISO 8601 texts, binary values
/// Base64); "renamingIdentifier" names an attribute's previous name.
///
/// A model with several versions lists them, oldest first, each a full model of its own with a
/// "versionName" unique in the file, and names the current one ("currentVersion"; the last one
/// when not given):
///
///     {"name": "Notes", "currentVersion": "2",
///      "versions": [{"versionName": "1", "entities": [...]},
///                   {"versionName": "2", "entities": [...]}]}
///
/// Loading such a model gives its current version; modelForVersionName() gives the others. A
/// store written under an earlier version is migrated when it is opened (QMMigrationPlan). Entity
/// and attribute names are ASCII identifiers (a letter, then letters, digits and "_", at most 64
/// characters); names starting with "qm_" (any case) are the store's own and refused, and so is
/// "objectID". Anything else — not JSON, a missing or duplicate name, an unknown type, a default
/// that does not fit its type — is QMManagedObjectModelInvalidError with a message naming the
/// entity and attribute.
///
/// A model is immutable and may be shared between threads.

/// The largest model file read: 16 MiB, far more than any model needs.
inline constexpr qint64 QMManagedObjectModelMaximumFileSize = 16 * 1024 * 1024;

class QMF_STORAGE_EXPORT QMManagedObjectModel
{
public:
    /// The model at `url`: a file URL or a "qrc:" URL of a JSON file or a directory holding
    /// "model.json". nullptr with an error when it cannot be read (QMFileReadUnknownError: also
    /// for anything but a regular file, such as a FIFO or a device, which is never read;
    /// QMFileReadNoPermissionError; QMFileReadTooLargeError for a file over
    /// QMManagedObjectModelMaximumFileSize) or is malformed (QMManagedObjectModelInvalidError).
    static std::shared_ptr<const QMManagedObjectModel>
    modelWithContentsOfURL(const QUrl &url, QMError *error = nullptr);
    /// The model described by JSON bytes.
    static std::shared_ptr<const QMManagedObjectModel> modelWithJSON(const QByteArray &json,
                                                                     QMError *error = nullptr);
    /// The compiled model "name.momd" found in `bundle` (QMBundle::URLForResource()), or nullptr
    /// with QMFileReadUnknownError when the bundle has no such resource. A resource that does not
    /// load throws QMInternalInconsistencyException "Core Data object model not found at URL
    /// URL", the loader's error under QMUnderlyingErrorKey: the application ships a broken model.
    static std::shared_ptr<const QMManagedObjectModel>
    managedObjectModelWithName(const QString &name, const QMBundle &bundle,
                               QMError *error = nullptr);

    ~QMManagedObjectModel();
    QMManagedObjectModel(const QMManagedObjectModel &) = delete;
    QMManagedObjectModel &operator=(const QMManagedObjectModel &) = delete;

    /// The model's "name".
    QString name() const;
    /// The model's "version"; 0 when the model gives none.
    qint64 version() const;
    /// The name of this version of the model ("versionName"); empty when a model of one version
    /// gives none.
    QString versionName() const;
    /// The names of every version in the model file, oldest first (one, possibly empty, for a
    /// model of one version).
    QStringList versionNames() const;
    /// The name of the version the model file names current.
    QString currentVersionName() const;
    /// The version of that name from the same model file, or nullptr.
    std::shared_ptr<const QMManagedObjectModel> modelForVersionName(const QString &name) const;
    /// This version's position in versionNames().
    qsizetype versionIndex() const;
    /// The entities, in the model's order.
    const QList<QMEntityDescription> &entities() const;
    /// The entity of that name, or nullptr.
    const QMEntityDescription *entityForName(const QString &name) const;
    /// A digest of the entities and attributes (names, types, optionality; not defaults,
    /// indexes or renaming identifiers): two models with the same hash store objects alike.
    QByteArray versionHash() const;
    /// The entities' version hashes by entity name.
    QHash<QString, QByteArray> entityVersionHashes() const;
    /// This version as JSON, in the format of a model of one version.
    QByteArray toJSON() const;

private:
    class Private;
    struct Version;
    struct Family;
    static QString readVersion(const QJsonObject &root, Version *out);
    QMManagedObjectModel();
    std::unique_ptr<Private> d;
};

/// Makes `metaObject` (a QMManagedObject subclass with a Q_INVOKABLE constructor taking no
/// arguments, or only a QObject* parent) the class of the entity named like its class name, in
/// every model. Objects of entities without a class are plain QMManagedObjects. The fetch and
/// create templates of QMManagedObject register their class themselves. Any thread.
QMF_STORAGE_EXPORT void QMRegisterManagedObjectClass(const QMetaObject *metaObject);
/// The class registered for an entity name, or nullptr.
QMF_STORAGE_EXPORT const QMetaObject *QMManagedObjectClassForEntityName(const QString &name);
