#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/errors/QMErrorDefinition.h>

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QVariantMap>

#include <memory>

// Keys and name parts of a catalog file, published for hosts that generate code or load
// catalogs of their own; addErrorDefinitionsFromJSON() reads "domain", "errors" and "prefix".

/// "errors": the catalog's list of definition dictionaries.
QMF_CORE_EXPORT extern const QString kErrorDefinitionsErrorsKey;
/// "prefix": the prefix of the names generated from the catalog.
QMF_CORE_EXPORT extern const QString kErrorDefinitionsPrefixKey;
/// "domain": the catalog's error domain.
QMF_CORE_EXPORT extern const QString kErrorDefinitionsDomainKey;
/// "ErrorDomain": the suffix of a domain constant's name.
QMF_CORE_EXPORT extern const QString kErrorDefinitionsDomainSuffix;
/// "Errors": the suffix of the name of a catalog's class.
QMF_CORE_EXPORT extern const QString kErrorDefinitionsClassSuffix;
/// "ErrorKey": the suffix of the name of a user-information key constant.
QMF_CORE_EXPORT extern const QString kDefinitionKeySuffix;

/// The error domain of catalog files that do not load, "QMErrorCatalogErrorDomain".
QMF_CORE_EXPORT extern const QString QMErrorCatalogErrorDomain;
/// User-information key of a catalog error: the file name as the caller gave it (QString).
QMF_CORE_EXPORT extern const QString QMErrorCatalogFileKey;
/// User-information key of a catalog error about the content: where the offending value is, as
/// a JSON Pointer (QString): "" for the whole document, "/domain", "/errors/2/code".
QMF_CORE_EXPORT extern const QString QMErrorCatalogEntryKey;

/// The most an error catalog file may hold: 16 MiB. A larger file is not read.
inline constexpr qint64 QMErrorCatalogMaximumFileSize = 16 * 1024 * 1024;

/// Error codes in QMErrorCatalogErrorDomain. Each description names the file; the failure
/// reason says what is wrong.
enum QMErrorCatalogErrorCode : qint64 {
    /// "The error catalog \"FILE\" does not exist."; the reason is the system's message.
    QMErrorCatalogErrorFileNotFound = 1,
    /// "The error catalog \"FILE\" could not be read." (no permission, a directory, an I/O
    /// error); the reason is the system's message. Also for anything but a regular file (a FIFO
    /// or a device is not opened for reading: "Not a regular file") and for a file larger than
    /// QMErrorCatalogMaximumFileSize ("Larger than 16 MiB, the most an error catalog may hold").
    QMErrorCatalogErrorFileUnreadable = 2,
    /// "The error catalog \"FILE\" is not valid JSON."; the reason is the JSON parser's message
    /// and the byte offset ("unterminated string at offset 12").
    QMErrorCatalogErrorInvalidJSON = 3,
    /// "The file \"FILE\" is not an error catalog.": the document is not an object, or its
    /// "domain" is not a non-empty text, its "errors" not an array or its "prefix" not a text.
    /// The reason reads "/errors: expected an array, found an object" and
    /// QMErrorCatalogEntryKey holds the pointer.
    QMErrorCatalogErrorInvalidCatalog = 4,
    /// "The error catalog \"FILE\" has an invalid definition at /errors/N.": that entry is not
    /// an object, lacks "code", has a code that is not an integer (a number, or a text holding
    /// a decimal integer) or that an earlier entry already defines, a name, description or
    /// failure reason that is not a text, or key lists that are not lists of at most ten texts.
    /// The reason names the field ("/errors/3/code: expected an integer, found true").
    QMErrorCatalogErrorInvalidDefinition = 5,
};

/// Error catalogs: definitions of errors by domain, and the errors made from them.
///
/// Hosts declare their errors as data (QMErrorDefinition) and ask the manager for finished
/// QMError records whose description, failure reason and recovery suggestion come from the
/// catalog. Every member may be called from any thread at any time: the table is guarded by a
/// lock that is held for lookups and additions only, never while texts are formatted.
class QMF_CORE_EXPORT QMErrorManager
{
public:
    /// The definitions of each domain, in the order they were added.
    using DefinitionsByDomain = QHash<QString, QMErrorDefinitionList>;

    /// An empty manager, for catalogs kept apart from the shared one.
    QMErrorManager();
    ~QMErrorManager();
    QMErrorManager(const QMErrorManager &) = delete;
    QMErrorManager &operator=(const QMErrorManager &) = delete;

    /// The process-wide manager, created on the first call (once, also when several threads
    /// make the first call at the same time) and kept for the life of the process.
    static QMErrorManager &sharedManager();

    /// Appends a definition of `errorDefinition` to the list of `errorDomain`. Nothing is ever
    /// removed or replaced: of two definitions with one code the first is the one found. Throws
    /// "Invalid parameter not satisfying: errorDomain" for a null domain.
    void addErrorDefinition(const QVariantMap &errorDefinition, const QString &errorDomain);
    /// addErrorDefinition() for each of `errorDefinitions` in order, as one step: no lookup on
    /// another thread sees only some of them.
    void addErrorDefinitions(const QList<QVariantMap> &errorDefinitions,
                             const QString &errorDomain);

    /// Loads the JSON catalog file `fileName` (a Qt resource path works too) and adds its
    /// definitions to its domain, all or none:
    ///
    ///     {"domain": "SyncErrorDomain", "prefix": "Sync", "errors": [
    ///         {"code": 1, "name": "FileNotFound", "description": "File %@ not found",
    ///          "description_keys": ["path"], "failure_reason": "...", "failure_reason_keys": []}]}
    ///
    /// "domain" and "errors" are required, "prefix" is optional; other members, of the catalog
    /// and of definitions, are allowed and kept. A definition needs "code"; the other keys are
    /// optional. An empty "errors" list adds nothing, not even the domain. On failure returns
    /// false and sets `error` to a QMErrorCatalogErrorDomain error (see QMErrorCatalogErrorCode);
    /// the manager is then unchanged.
    bool addErrorDefinitionsFromJSON(const QString &fileName, QMError *error = nullptr);
    /// The same for catalog text that is already in memory; `fileName` only names it in errors.
    bool addErrorDefinitionsFromJSONData(const QByteArray &json, const QString &fileName,
                                         QMError *error = nullptr);

    /// The first definition of `domain`, in order of addition, whose code() is `code`, or
    /// nullptr.
    QMErrorDefinitionPtr errorDefinitionForDomain(const QString &domain, qint64 code) const;
    /// A copy of the table, taken now: later additions do not change it.
    DefinitionsByDomain allErrorDefinitionsByDomain() const;

    /// A new error of `domain` and `code`. With a definition for them, its localized
    /// description and failure reason (made from `userInfo`) are set first, then every entry of
    /// `userInfo` goes on top: the caller's entries win, and the substituted values stay in the
    /// error. Then, when there is a failure reason but no recovery suggestion, the failure reason
    /// is copied into the recovery suggestion. An unknown domain or code is no failure: the error
    /// carries `userInfo` (and that copy) alone.
    QMError errorWithDomain(const QString &domain, qint64 code,
                            const QVariantMap &userInfo = {}) const;

private:
    class Private;
    std::unique_ptr<Private> d;
};
