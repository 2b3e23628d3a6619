#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QUrl>

/// Canonical forms of URLs and file URLs, and resolving aliases.
namespace QMURLPaths {

/// The URL reduced to scheme, host, port and user with a cleaned path: the URL is rebuilt with
/// QMCommon::URLWithScheme() from its scheme, host and port and its path cleaned by
/// QDir::cleanPath() ("." and ".." resolved, repeated and trailing "/" removed, escapes kept as
/// they are), and its user name is set again with QMCommon::URLBySettingUser() when it has one.
/// A cleaned path of "/" leaves no path at all. Password, query and fragment are dropped.
/// "https://joe:pw@example.com:8443/a/./b/../c/?q#f" gives "https://joe@example.com:8443/a/c".
/// An empty QUrl when the URL is not valid or cannot be rebuilt.
QMF_CORE_EXPORT QUrl URLByNormalizingPath(const QUrl &url);

/// For a file URL, the file URL of its path cleaned and with symbolic links resolved
/// (QFileInfo::canonicalFilePath(); the cleaned path when the file does not exist or its links
/// form a loop). Other URLs come back unchanged.
QMF_CORE_EXPORT QUrl normalizedFileURL(const QUrl &url);
/// normalizedFileURL(), marked as a file: no trailing "/".
QMF_CORE_EXPORT QUrl normalizedFileTypeFileURL(const QUrl &url);
/// normalizedFileURL(), marked as a directory: a trailing "/".
QMF_CORE_EXPORT QUrl normalizedDirectoryTypeFileURL(const QUrl &url);

/// The file URL that the alias (symbolic link) at `aliasFileURL` leads to, links followed to
/// the end. Throws QMInternalInconsistencyException "Invalid parameter not satisfying:
/// aliasFileURL.isFileURL" for a URL that is not a file URL. An empty QUrl with
/// QMFileManagerErrorNotAnAlias when the file is not a symbolic link (or does not exist), and
/// with QMFileManagerErrorUnresolvableAlias when its target is missing or the links loop.
QMF_CORE_EXPORT QUrl fileURLFromAliasAtURL(const QUrl &aliasFileURL, QMError *error = nullptr);

} // namespace QMURLPaths
