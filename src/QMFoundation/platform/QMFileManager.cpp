#include <QMFoundation/platform/QMFileManager.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QDir>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QSaveFile>
#include <QStorageInfo>
#include <QUuid>

#include <cerrno>
#include <cstring>

#include <dirent.h>

using namespace Qt::StringLiterals;

const QString QMFileManagerErrorDomain = u"QMFileManagerErrorDomain"_s;

namespace {

constexpr QFile::Permissions ownerOnlyFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions ownerOnlyDirectory = ownerOnlyFile | QFile::ExeOwner;

QMError fileError(QMFileManagerErrorCode code, const QString &description)
{
    return QMError(QMFileManagerErrorDomain, code, {{QMLocalizedDescriptionKey, description}});
}

QString freshName()
{
    return QDir::tempPath() + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces);
}

} // namespace

QString QMFileManager::temporaryDirectoryPath()
{
    return freshName();
}

QUrl QMFileManager::temporaryDirectoryURL()
{
    return QUrl::fromLocalFile(temporaryDirectoryPath());
}

QUrl QMFileManager::createTemporaryDirectory(QMError *error)
{
    const QString path = temporaryDirectoryPath();
    const QFileInfo info(path);
    // The parents are the user's temporary directory and exist in practice; only the new,
    // uniquely named one must be private, and mkdir() creates it so (no window with wider bits).
    if (!QDir().mkpath(info.absolutePath()) || !QDir().mkdir(path, ownerOnlyDirectory)) {
        const int cause = errno;
        QMSetError(error,
                   fileError(QMFileManagerErrorCreateDirectory,
                             u"Cannot create the directory %1: %2"_s.arg(
                                     path, QString::fromLocal8Bit(std::strerror(cause)))));
        return QUrl();
    }
    return QUrl::fromLocalFile(path);
}

QString QMFileManager::temporaryFilePath()
{
    return freshName();
}

QString QMFileManager::temporaryFilePathWithExtension(const QString &extension)
{
    return extension.isEmpty() ? freshName() : freshName() + u'.' + extension;
}

QUrl QMFileManager::temporaryFileURL()
{
    return QUrl::fromLocalFile(temporaryFilePath());
}

QUrl QMFileManager::temporaryFileURLWithExtension(const QString &extension)
{
    return QUrl::fromLocalFile(temporaryFilePathWithExtension(extension));
}

QUrl QMFileManager::createTemporaryFileWithExtension(const QString &extension,
                                                     const QByteArray &contents, QMError *error)
{
    const QString path = temporaryFilePathWithExtension(extension);
    // An extension with a separator would put the file outside the temporary directory.
    if (extension.contains(u'/')) {
        QMSetError(error,
                   fileError(QMFileManagerErrorWriteFile,
                             u"Cannot write the file %1: the extension holds a \"/\""_s.arg(path)));
        return QUrl();
    }
    QSaveFile file(path);
    // QSaveFile writes to a private scratch file and renames it into place on commit(), so the
    // name appears only complete; its bits are narrowed before a byte is written.
    const bool written = file.open(QIODevice::WriteOnly) && file.setPermissions(ownerOnlyFile)
            && file.write(contents) == contents.size() && file.commit();
    if (!written) {
        QMSetError(error,
                   fileError(QMFileManagerErrorWriteFile,
                             u"Cannot write the file %1: %2"_s.arg(path, file.errorString())));
        file.cancelWriting();
        return QUrl();
    }
    return QUrl::fromLocalFile(path);
}

QUrl QMFileManager::createTemporaryFileWithContents(const QByteArray &contents, QMError *error)
{
    return createTemporaryFileWithExtension(QString(), contents, error);
}

QUrl QMFileManager::createEmptyTemporaryFile(QMError *error)
{
    return createTemporaryFileWithExtension(QString(), QByteArray(), error);
}

QUrl QMFileManager::URLForDirectory(QStandardPaths::StandardLocation location,
                                    SearchPathDomain domain)
{
    const QStringList paths = domain == UserDomainMask
            ? QStringList {QStandardPaths::writableLocation(location)}
            : QStandardPaths::standardLocations(location);
    if (paths.isEmpty() || paths.last().isEmpty())
        return QUrl();
    return QUrl::fromLocalFile(paths.last());
}

QUrl QMFileManager::applicationSupportDirectory()
{
    return URLForDirectory(QStandardPaths::AppDataLocation, UserDomainMask);
}

QUrl QMFileManager::cachesDirectory()
{
    return URLForDirectory(QStandardPaths::CacheLocation, UserDomainMask);
}

bool QMFileManager::isEmptyDirectoryAtPath(const QString &path, QMError *error)
{
    // QDir::entryList() answers an empty list for a directory it cannot read, which must not
    // read as "empty", so the listing is the system's own.
    DIR *directory = ::opendir(QFile::encodeName(path).constData());
    if (!directory) {
        const int cause = errno;
        QMSetError(error,
                   fileError(QMFileManagerErrorListDirectory,
                             u"Cannot list the directory %1: %2"_s.arg(
                                     path, QString::fromLocal8Bit(std::strerror(cause)))));
        return false;
    }
    bool empty = true;
    while (const dirent *entry = ::readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(directory);
    if (empty)
        QMSetError(error, QMError());
    return empty;
}

QString QMFileManager::volumePathForFileAtPath(const QString &path)
{
    if (!path.startsWith(u'/'))
        return QString();
    const QStringList parts = QDir::cleanPath(path).split(u'/');
    if (parts.size() < 3)
        return QString();
    return parts.mid(0, 3).join(u'/');
}

QString QMFileManager::mountPointForFileAtPath(const QString &path)
{
    const QStorageInfo storage(path);
    return storage.isValid() ? storage.rootPath() : QString();
}

QString QMFileManager::MIMETypeForFileAtPath(const QString &path)
{
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    if (dot <= 0 || dot == name.size() - 1)
        return QString();
    // A stand-in name with that extension only, so that patterns for whole names and compound
    // extensions cannot match.
    return MIMETypeForFileName(u"file."_s + name.mid(dot + 1));
}

QString QMFileManager::MIMETypeForFileName(const QString &path)
{
    // By the name alone: mimeTypeForFile() would also call any path ending in "/" a directory.
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    const QList<QMimeType> types = QMimeDatabase().mimeTypesForFileName(name);
    return types.isEmpty() || types.first().isDefault() ? QString() : types.first().name();
}

bool QMFileManager::createAliasAtURL(const QUrl &aliasFileURL, const QUrl &destinationFileURL,
                                     QMError *error)
{
    QMParameterAssert(aliasFileURL.isLocalFile(), "aliasFileURL.isFileURL");
    QMParameterAssert(destinationFileURL.isLocalFile(), "destinationFileURL.isFileURL");
    const QString aliasPath = aliasFileURL.toLocalFile();
    const QFileInfo destination(destinationFileURL.toLocalFile());
    if (!destination.exists()) {
        QMSetError(error,
                   fileError(QMFileManagerErrorNoSuchDestination,
                             u"The destination %1 does not exist"_s.arg(destination.filePath())));
        return false;
    }
    const QFileInfo alias(aliasPath);
    // exists() follows links, so a dangling link answers false: isSymLink() catches it.
    if (alias.exists() || alias.isSymLink()) {
        QMSetError(error,
                   fileError(QMFileManagerErrorAliasExists,
                             u"Something already exists at %1"_s.arg(aliasPath)));
        return false;
    }
    QFile link(destination.absoluteFilePath());
    if (!link.link(aliasPath)) {
        QMSetError(error,
                   fileError(QMFileManagerErrorCreateAlias,
                             u"Cannot make the alias %1: %2"_s.arg(aliasPath, link.errorString())));
        return false;
    }
    return true;
}
