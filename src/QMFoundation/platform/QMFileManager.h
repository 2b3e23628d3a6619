#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QByteArray>
#include <QStandardPaths>
#include <QString>
#include <QUrl>

/// The error domain of the file and alias operations below.
QMF_CORE_EXPORT extern const QString QMFileManagerErrorDomain;

/// Codes of QMFileManagerErrorDomain. The user information holds a description naming the path
/// and, where the system gave one, its reason.
enum QMFileManagerErrorCode : qint64 {
    /// A directory could not be created.
    QMFileManagerErrorCreateDirectory = 1,
    /// A file could not be written.
    QMFileManagerErrorWriteFile = 2,
    /// A directory could not be listed.
    QMFileManagerErrorListDirectory = 3,
    /// The destination of a new alias does not exist.
    QMFileManagerErrorNoSuchDestination = 4,
    /// Something already exists where a new alias should go.
    QMFileManagerErrorAliasExists = 5,
    /// The alias could not be made.
    QMFileManagerErrorCreateAlias = 6,
    /// The file is not an alias (a symbolic link).
    QMFileManagerErrorNotAnAlias = 7,
    /// The alias leads nowhere: its target is missing or the links form a loop.
    QMFileManagerErrorUnresolvableAlias = 8,
    /// A file could not be removed (missing, or no permission).
    QMFileManagerErrorRemoveFile = 9,
};

/// Temporary files, standard directories, a few questions about files, and aliases.
///
/// Temporary names are QDir::tempPath() (which follows $TMPDIR) with a fresh QUuid text
/// appended as a path component, so names never repeat and need no lock: every function may run
/// on any thread at once. What these functions create is for the owner only (directories 0700,
/// files 0600), since the temporary directory is shared with other users.
///
/// Aliases are symbolic links on this platform: an alias file is a link holding the absolute
/// path of its destination.
namespace QMFileManager {

/// QDir::tempPath() + "/" + a fresh unique identifier text.
QMF_CORE_EXPORT QString temporaryDirectoryPath();
/// temporaryDirectoryPath() as a file URL.
QMF_CORE_EXPORT QUrl temporaryDirectoryURL();
/// Creates a new temporaryDirectoryURL() (and any missing parents), readable by the owner only.
/// Returns its URL, or an empty QUrl and a QMFileManagerErrorCreateDirectory error.
QMF_CORE_EXPORT QUrl createTemporaryDirectory(QMError *error = nullptr);

/// QDir::tempPath() + "/" + a fresh unique identifier text.
QMF_CORE_EXPORT QString temporaryFilePath();
/// temporaryFilePath() + "." + `extension`; without "." when `extension` is null or empty.
QMF_CORE_EXPORT QString temporaryFilePathWithExtension(const QString &extension);
/// temporaryFilePath() as a file URL.
QMF_CORE_EXPORT QUrl temporaryFileURL();
/// temporaryFilePathWithExtension() as a file URL.
QMF_CORE_EXPORT QUrl temporaryFileURLWithExtension(const QString &extension);

/// Writes `contents` (a null QByteArray writes an empty file) atomically (QSaveFile) to a new
/// temporaryFileURLWithExtension(`extension`), readable and writable by the owner only. Returns
/// the URL, or an empty QUrl and a QMFileManagerErrorWriteFile error (also for an extension
/// holding a "/", which would leave the temporary directory); nothing is left behind on failure.
QMF_CORE_EXPORT QUrl createTemporaryFileWithExtension(const QString &extension,
                                                      const QByteArray &contents,
                                                      QMError *error = nullptr);
/// createTemporaryFileWithExtension() without extension.
QMF_CORE_EXPORT QUrl createTemporaryFileWithContents(const QByteArray &contents,
                                                     QMError *error = nullptr);
/// createTemporaryFileWithExtension() without extension or contents.
QMF_CORE_EXPORT QUrl createEmptyTemporaryFile(QMError *error = nullptr);

/// Which directories URLForDirectory() considers.
enum SearchPathDomain {
    /// The user's own directory (QStandardPaths::writableLocation()).
    UserDomainMask,
    /// Every directory QStandardPaths::standardLocations() lists, the user's first.
    AllDomainsMask,
};

/// The last of the directories that QStandardPaths gives for `location` in `domain`, as a file
/// URL; an empty QUrl when it gives none.
QMF_CORE_EXPORT QUrl URLForDirectory(QStandardPaths::StandardLocation location,
                                     SearchPathDomain domain);
/// The user's application data directory (QStandardPaths::AppDataLocation).
QMF_CORE_EXPORT QUrl applicationSupportDirectory();
/// The user's cache directory (QStandardPaths::CacheLocation).
QMF_CORE_EXPORT QUrl cachesDirectory();

/// True when the directory at `path` lists no entry (hidden ones count) and sets `*error` to a
/// null QMError; false when it has one; false with a QMFileManagerErrorListDirectory error when
/// it cannot be listed (missing, not a directory, no permission).
QMF_CORE_EXPORT bool isEmptyDirectoryAtPath(const QString &path, QMError *error = nullptr);

/// A text rule, not a question to the file system: for an absolute path, the cleaned path
/// (QDir::cleanPath()) split at "/"; with at least three parts the first three joined with "/"
/// ("/Volumes/Disk/a/b" gives "/Volumes/Disk", "/a/b" gives "/a/b"). A null QString for a
/// relative path and for fewer parts ("/", "/a").
QMF_CORE_EXPORT QString volumePathForFileAtPath(const QString &path);
/// The mount point of the file system that holds `path` (QStorageInfo), or a null QString when
/// the path does not exist.
QMF_CORE_EXPORT QString mountPointForFileAtPath(const QString &path);

/// The MIME type QMimeDatabase gives for the path's extension (the file is not read), or a null
/// QString when the name has no extension or the extension tells nothing. The extension is what
/// follows the last "." of the last path component, when that "." neither starts nor ends it:
/// "a.tar.gz" has "gz" (application/gzip), "Makefile" and ".bashrc" have none.
QMF_CORE_EXPORT QString MIMETypeForFileAtPath(const QString &path);
/// The MIME type QMimeDatabase gives for the path's whole file name, with its patterns for
/// names ("Makefile" is text/x-makefile) and compound extensions ("a.tar.gz" is
/// application/x-compressed-tar); a null QString when the name tells nothing.
QMF_CORE_EXPORT QString MIMETypeForFileName(const QString &path);

/// Makes an alias at `aliasFileURL` leading to `destinationFileURL`: a symbolic link holding the
/// destination's absolute path. Throws QMInternalInconsistencyException "Invalid parameter not
/// satisfying: aliasFileURL.isFileURL" (or "... destinationFileURL.isFileURL") for URLs that are
/// not file URLs. Returns false with QMFileManagerErrorNoSuchDestination when the destination
/// does not exist, QMFileManagerErrorAliasExists when anything (a dangling link included) is at
/// the alias URL, QMFileManagerErrorCreateAlias when the link cannot be made; true otherwise.
QMF_CORE_EXPORT bool createAliasAtURL(const QUrl &aliasFileURL, const QUrl &destinationFileURL,
                                      QMError *error = nullptr);

} // namespace QMFileManager
