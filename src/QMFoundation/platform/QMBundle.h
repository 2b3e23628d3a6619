#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <memory>

/// Information dictionary key of the bundle's name.
QMF_CORE_EXPORT extern const QString QMBundleNameKey; // "CFBundleName"
/// Information dictionary key of the bundle's build version.
QMF_CORE_EXPORT extern const QString QMBundleVersionKey; // "CFBundleVersion"
/// Information dictionary key of the bundle's release version.
QMF_CORE_EXPORT extern const QString QMBundleShortVersionKey; // "CFBundleShortVersionString"
/// Information dictionary key of the bundle's reverse-DNS identifier.
QMF_CORE_EXPORT extern const QString QMBundleIdentifierKey; // "CFBundleIdentifier"

/// A bundle: an information dictionary and places to find resources in.
///
/// The main bundle stands for the running application: its dictionary is read from
/// QCoreApplication at every call (name, version as both versions, and the organisation domain
/// reversed plus the name as identifier: "example.org" and "Notes" give "org.example.Notes";
/// keys whose value is empty are left out), and its resources are looked up in the
/// application's data directories (QStandardPaths::AppDataLocation, the user's first) and then
/// in Qt resources under ":/". Any other bundle is a directory holding an "Info.json" (a JSON
/// object, the dictionary) whose resources are the files in that directory.
///
/// A bundle is immutable once made and may be used from any thread.
class QMF_CORE_EXPORT QMBundle
{
public:
    /// The application's bundle, made on the first call.
    static std::shared_ptr<QMBundle> mainBundle();
    /// The bundle in the directory at `path`, or nullptr with an error in
    /// QMBundleErrorDomain when the directory has no readable "Info.json" holding a JSON object.
    static std::shared_ptr<QMBundle> bundleWithPath(const QString &path, QMError *error = nullptr);

    ~QMBundle();
    QMBundle(const QMBundle &) = delete;
    QMBundle &operator=(const QMBundle &) = delete;

    /// The bundle's directory; a null QString for the main bundle.
    QString bundlePath() const;
    /// The JSON object of the bundle's "Info.json"; for the main bundle, the application's name,
    /// version and identifier (from its organization domain) as QCoreApplication has them now.
    QVariantMap infoDictionary() const;
    /// The value under `key` in infoDictionary(), or an invalid QVariant.
    QVariant objectForInfoDictionaryKey(const QString &key) const;
    /// The texts under QMBundleNameKey, QMBundleVersionKey, QMBundleShortVersionKey and
    /// QMBundleIdentifierKey, or a null QString when the key is missing or holds no text.
    QString bundleName() const;
    /// The text under QMBundleVersionKey (see bundleName()).
    QString bundleVersion() const;
    /// The text under QMBundleShortVersionKey (see bundleName()).
    QString bundleShortVersion() const;
    /// The text under QMBundleIdentifierKey (see bundleName()).
    QString bundleIdentifier() const;

    /// The directories searched for resources, in order (":" stands for Qt resources).
    QStringList resourceDirectories() const;
    /// The path of the first existing file "name.extension" ("name" when `extension` is null or
    /// empty) in resourceDirectories(), or a null QString. Qt resources give ":/name.extension".
    /// Names holding ".." components are never found.
    QString pathForResource(const QString &name, const QString &extension) const;
    /// pathForResource() as a URL: a file URL, or "qrc:/name.extension" for a Qt resource; an
    /// empty QUrl when nothing is found.
    QUrl URLForResource(const QString &name, const QString &extension) const;

private:
    class Private;
    explicit QMBundle(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

/// The error domain of QMBundle::bundleWithPath(); code 1: no readable Info.json, code 2: it
/// holds no JSON object.
QMF_CORE_EXPORT extern const QString QMBundleErrorDomain;
