#include <QMFoundation/platform/QMURLPaths.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/platform/QMFileManager.h>
#include <QMFoundation/rest/QMCommon.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdlib>

using namespace Qt::StringLiterals;

QUrl QMURLPaths::URLByNormalizingPath(const QUrl &url)
{
    if (!url.isValid())
        return QUrl();
    // Escapes stay escapes: the path is cleaned in its encoded form, so "%2F" never turns into
    // a separator.
    QString path = QDir::cleanPath(url.path(QUrl::FullyEncoded));
    if (path == u"/"_s || path == u"."_s)
        path.clear();
    QUrl normalized
            = QMCommon::URLWithScheme(url.scheme(), url.host(QUrl::FullyEncoded), url.port(), path);
    const QString user = url.userName(QUrl::FullyDecoded);
    if (!normalized.isEmpty() && !user.isEmpty())
        normalized = QMCommon::URLBySettingUser(normalized, user);
    return normalized;
}

namespace {

// The system's own resolution: null for a missing file and for links that loop (ELOOP), where
// QFileInfo::canonicalFilePath() may answer with a path that leads nowhere.
QString realPath(const QString &path)
{
    char *resolved = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!resolved)
        return QString();
    const QString text = QFile::decodeName(resolved);
    std::free(resolved);
    return text;
}

QString resolvedPath(const QUrl &url)
{
    const QString cleaned = QDir::cleanPath(url.toLocalFile());
    const QString canonical = realPath(cleaned);
    return canonical.isNull() ? cleaned : canonical;
}

} // namespace

QUrl QMURLPaths::normalizedFileURL(const QUrl &url)
{
    if (!url.isLocalFile())
        return url;
    return QUrl::fromLocalFile(resolvedPath(url));
}

QUrl QMURLPaths::normalizedFileTypeFileURL(const QUrl &url)
{
    return normalizedFileURL(url);
}

QUrl QMURLPaths::normalizedDirectoryTypeFileURL(const QUrl &url)
{
    if (!url.isLocalFile())
        return url;
    const QString path = resolvedPath(url);
    return QUrl::fromLocalFile(path.endsWith(u'/') ? path : path + u'/');
}

QUrl QMURLPaths::fileURLFromAliasAtURL(const QUrl &aliasFileURL, QMError *error)
{
    QMParameterAssert(aliasFileURL.isLocalFile(), "aliasFileURL.isFileURL");
    const QString path = aliasFileURL.toLocalFile();
    const QFileInfo alias(path);
    const auto fail = [error](QMFileManagerErrorCode code, const QString &description) {
        QMSetError(error,
                   QMError(QMFileManagerErrorDomain, code,
                           {{QMLocalizedDescriptionKey, description}}));
        return QUrl();
    };
    if (!alias.isSymLink())
        return fail(QMFileManagerErrorNotAnAlias, u"%1 is not an alias"_s.arg(path));
    const QString target = realPath(path);
    if (target.isNull())
        return fail(QMFileManagerErrorUnresolvableAlias,
                    u"The alias %1 leads to nothing: its target is missing or its links loop"_s.arg(
                            path));
    return QUrl::fromLocalFile(target);
}
