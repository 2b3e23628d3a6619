#include <QMFoundation/platform/QMBundle.h>

#include "QMFoundation/platform/QMFileLock_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <algorithm>

using namespace Qt::StringLiterals;

const QString QMBundleNameKey = u"CFBundleName"_s;
const QString QMBundleVersionKey = u"CFBundleVersion"_s;
const QString QMBundleShortVersionKey = u"CFBundleShortVersionString"_s;
const QString QMBundleIdentifierKey = u"CFBundleIdentifier"_s;
const QString QMBundleErrorDomain = u"QMBundleErrorDomain"_s;

class QMBundle::Private
{
public:
    // Null for the main bundle, whose dictionary and directories are read when asked.
    QString path;
    QVariantMap info;
};

namespace {

QString reversedDomain(const QString &domain)
{
    QStringList labels = domain.split(u'.', Qt::SkipEmptyParts);
    std::reverse(labels.begin(), labels.end());
    return labels.join(u'.');
}

QVariantMap applicationInfo()
{
    QVariantMap info;
    const auto insert = [&info](const QString &key, const QString &value) {
        if (!value.isEmpty())
            info.insert(key, value);
    };
    const QString name = QCoreApplication::applicationName();
    const QString version = QCoreApplication::applicationVersion();
    insert(QMBundleNameKey, name);
    insert(QMBundleVersionKey, version);
    insert(QMBundleShortVersionKey, version);
    const QString domain = reversedDomain(QCoreApplication::organizationDomain());
    insert(QMBundleIdentifierKey, domain.isEmpty() || name.isEmpty() ? name : domain + u'.' + name);
    return info;
}

} // namespace

QMBundle::QMBundle(std::unique_ptr<Private> dd)
    : d(std::move(dd))
{ }

QMBundle::~QMBundle() = default;

std::shared_ptr<QMBundle> QMBundle::mainBundle()
{
    static const std::shared_ptr<QMBundle> bundle(new QMBundle(std::make_unique<Private>()));
    return bundle;
}

std::shared_ptr<QMBundle> QMBundle::bundleWithPath(const QString &path, QMError *error)
{
    const QString directory = QFileInfo(path).absoluteFilePath();
    const QString infoPath = QDir(directory).filePath(u"Info.json"_s);
    // A regular file of a sensible size only: a FIFO or a device there must not hang the reader
    // or fill its memory.
    constexpr qint64 maximumInfoSize = 1024 * 1024;
    QByteArray info;
    const QMFileStatus read = QMFileIO::readRegularFile(infoPath, maximumInfoSize, &info);
    if (!read.ok()) {
        QMSetError(
                error,
                QMError(QMBundleErrorDomain, 1,
                        {{QMLocalizedDescriptionKey,
                          u"Cannot read %1: %2"_s.arg(infoPath, read.reason(maximumInfoSize))}}));
        return nullptr;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(info, &parseError);
    if (!document.isObject()) {
        const QString reason = parseError.error == QJsonParseError::NoError
                ? u"it holds no JSON object"_s
                : u"%1 at offset %2"_s.arg(parseError.errorString()).arg(parseError.offset);
        QMSetError(error,
                   QMError(QMBundleErrorDomain, 2,
                           {{QMLocalizedDescriptionKey,
                             u"Cannot read %1: %2"_s.arg(infoPath, reason)}}));
        return nullptr;
    }
    auto d = std::make_unique<Private>();
    d->path = directory;
    d->info = document.object().toVariantMap();
    return std::shared_ptr<QMBundle>(new QMBundle(std::move(d)));
}

QString QMBundle::bundlePath() const
{
    return d->path;
}

QVariantMap QMBundle::infoDictionary() const
{
    return d->path.isNull() ? applicationInfo() : d->info;
}

QVariant QMBundle::objectForInfoDictionaryKey(const QString &key) const
{
    return infoDictionary().value(key);
}

namespace {

QString textValue(const QVariant &value)
{
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace

QString QMBundle::bundleName() const
{
    return textValue(objectForInfoDictionaryKey(QMBundleNameKey));
}

QString QMBundle::bundleVersion() const
{
    return textValue(objectForInfoDictionaryKey(QMBundleVersionKey));
}

QString QMBundle::bundleShortVersion() const
{
    return textValue(objectForInfoDictionaryKey(QMBundleShortVersionKey));
}

QString QMBundle::bundleIdentifier() const
{
    return textValue(objectForInfoDictionaryKey(QMBundleIdentifierKey));
}

QStringList QMBundle::resourceDirectories() const
{
    if (!d->path.isNull())
        return {d->path};
    QStringList directories = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation);
    directories.append(u":"_s);
    return directories;
}

QString QMBundle::pathForResource(const QString &name, const QString &extension) const
{
    const QString fileName = extension.isEmpty() ? name : name + u'.' + extension;
    // A resource is found inside the bundle's directories, never beside them.
    if (fileName.isEmpty() || fileName.split(u'/').contains(u".."_s))
        return QString();
    for (const QString &directory : resourceDirectories()) {
        const QString path = directory + u'/' + fileName;
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

QUrl QMBundle::URLForResource(const QString &name, const QString &extension) const
{
    const QString path = pathForResource(name, extension);
    if (path.isNull())
        return QUrl();
    if (path.startsWith(u':')) {
        QUrl url;
        url.setScheme(u"qrc"_s);
        url.setPath(path.mid(1));
        return url;
    }
    return QUrl::fromLocalFile(path);
}
