#pragma once

#include <QMFoundation/QMFoundationStorageExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QString>

/// The error domain of the object store: models, stores, contexts and predicates. The codes are
/// the numbers other object-persistence frameworks use for the same failures, so code that
/// already knows them (QMManagedObject::isDestroyed() relies on 133000) reads them the same way.
QMF_STORAGE_EXPORT extern const QString QMPersistenceErrorDomain;

/// User-information key of a predicate parse error: the position (UTF-16 offset, an int) in the
/// format text where reading failed.
QMF_STORAGE_EXPORT extern const QString QMPredicateErrorPositionKey; // "QMPredicateErrorPosition"
/// User-information key of store errors: the store's URL (a QUrl) when it has one.
QMF_STORAGE_EXPORT extern const QString QMPersistentStoreURLErrorKey; // "QMPersistentStoreURL"
/// User-information key of QMManagedObjectMergeError: the URIRepresentation()s (QUrls, in a
/// QVariantList) of the objects whose save conflicted.
QMF_STORAGE_EXPORT extern const QString
        QMPersistentStoreSaveConflictsErrorKey; // "QMPersistentStoreSaveConflicts"
/// User-information key of file errors: the path of the file (a QString).
QMF_STORAGE_EXPORT extern const QString QMFilePathErrorKey; // "QMFilePath"

/// Codes of QMPersistenceErrorDomain.
enum QMPersistenceErrorCode : qint64 {
    /// A file could not be read (missing, not a regular file, an I/O error).
    QMFileReadUnknownError = 256,
    /// A file could not be read for lack of permission.
    QMFileReadNoPermissionError = 257,
    /// The store file is not a store of its type, or is damaged (a corrupt SQLite file, a
    /// truncated XML file).
    QMFileReadCorruptFileError = 259,
    /// A file is larger than the library reads (a model over 16 MiB, an XML store over
    /// QMXMLStoreMaximumFileSize).
    QMFileReadTooLargeError = 263,
    /// A file could not be written.
    QMFileWriteUnknownError = 512,
    /// A file could not be written for lack of permission (or on a read-only file system).
    QMFileWriteNoPermissionError = 513,
    /// A value does not fit its attribute's type.
    QMValidationValueTypeError = 1550,
    /// A value is missing for an attribute that is not optional.
    QMValidationMissingMandatoryPropertyError = 1570,
    /// A predicate format could not be read; QMPredicateErrorPositionKey says where.
    QMPredicateFormatError = 2048,
    /// A predicate names an attribute the entity does not have, or compares an attribute with a
    /// value that does not convert to its type.
    QMPredicateInvalidKeyError = 2049,
    /// The object with the given identifier no longer exists in the store (nor in a parent
    /// context), or never did.
    QMManagedObjectReferentialIntegrityError = 133000,
    /// A save would overwrite what another context or process saved since the saving context
    /// read the objects (or would update an object that was deleted meanwhile);
    /// QMPersistentStoreSaveConflictsErrorKey names them. Nothing of the save was written and
    /// the context keeps its changes: refresh the objects (refreshObject() with mergeChanges,
    /// which keeps the context's own changes over the saved values) and save again.
    QMManagedObjectMergeError = 133020,
    /// A store could not be added: an unknown store type, a missing URL, a coordinator that
    /// already has its store.
    QMPersistentStoreInvalidTypeError = 134000,
    /// The store was made for another model: its tables or columns differ from the model's.
    QMPersistentStoreIncompatibleSchemaError = 134020,
    /// A save failed; nothing of it reached the store, and the context keeps its changes. One
    /// exception: a PostgreSQL save whose commit got no answer and whose server could not be
    /// asked afterwards says that whether it was kept "cannot be told now"; its objects may or may
    /// not be in the store, so roll the context back and fetch rather than save it again.
    QMPersistentStoreSaveError = 134030,
    /// The model is malformed: not JSON, a missing or invalid name, an unknown type, a duplicate.
    QMManagedObjectModelInvalidError = 134060,
    /// A store could not be migrated to the model's version: a host migration stopped it or
    /// gave values that do not fit, or the migrated store could not be written. The store was
    /// left at its old version; QMUnderlyingErrorKey holds the cause when there is one.
    QMMigrationError = 134110,
    /// A change between two versions of a model cannot be inferred (a narrowing type change, a
    /// required attribute without a default) and no host migration is given for its entity; the
    /// message names the entity, the attribute and the change. The store is left as it was.
    QMInferredMappingModelError = 134190,
    /// A fetch or count failed in the store.
    QMPersistentStoreOperationError = 134070,
    /// Another process kept the store locked (a SQLite write, an XML store's save, a PostgreSQL
    /// writer's rows) for longer than the store's time-out (QMPersistentStoreTimeoutOption), or a
    /// PostgreSQL server ran a statement longer than that or stopped answering. Nothing was
    /// written and the context keeps its changes: the save can simply be tried again.
    QMPersistentStoreTimeoutError = 134090,
};
