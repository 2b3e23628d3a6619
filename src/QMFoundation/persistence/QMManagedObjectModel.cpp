#include <QMFoundation/persistence/QMManagedObjectModel.h>

#include "QMFoundation/persistence/QMEntityBuilder_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMCoreDataStore.h>
#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/platform/QMBundle.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QMetaObject>
#include <QSet>

#include <algorithm>
#include <mutex>

using namespace Qt::StringLiterals;

// One version of a model file, immutable once read.
struct QMManagedObjectModel::Version
{
    QString versionName;
    qint64 version = 0;
    QList<QMEntityDescription> entities;
    QHash<QString, qsizetype> entityIndex;
    QByteArray hash;
};

// Every version of one model file; the models of a file share it.
struct QMManagedObjectModel::Family
{
    QString name;
    QList<Version> versions;
    qsizetype current = 0;
};

class QMManagedObjectModel::Private
{
public:
    std::shared_ptr<const Family> family;
    qsizetype index = 0;
    const Version &version() const { return family->versions.at(index); }
};

namespace {

QMError invalid(const QString &message)
{
    return QMError(QMPersistenceErrorDomain, QMManagedObjectModelInvalidError,
                   {{QMLocalizedDescriptionKey, u"The model is invalid: %1."_s.arg(message)}});
}

// Names become table and column names, so they are plain ASCII identifiers and never one of the
// store's own names.
QString nameProblem(const QString &name)
{
    if (name.isEmpty())
        return u"the name is empty"_s;
    if (name.size() > 64)
        return u"the name is longer than 64 characters"_s;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name.at(i).unicode();
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        const bool digitOrUnderscore = (c >= u'0' && c <= u'9') || c == u'_';
        if (!letter && (i == 0 || !digitOrUnderscore))
            return u"the name is not an identifier"_s;
    }
    if (name.startsWith(u"qm_"_s, Qt::CaseInsensitive) || name == u"objectID"_s)
        return u"the name is reserved"_s;
    return QString();
}

bool typeFromName(const QString &name, QMAttributeType *type)
{
    static const QMAttributeType all[]
            = {QMAttributeType::String,  QMAttributeType::Integer, QMAttributeType::Double,
               QMAttributeType::Boolean, QMAttributeType::Date,    QMAttributeType::Binary};
    for (QMAttributeType t : all) {
        if (QMAttributeTypeName(t) == name) {
            *type = t;
            return true;
        }
    }
    return false;
}

bool defaultFromJSON(const QJsonValue &json, const QMAttributeDescription &attribute,
                     QVariant *value)
{
    if (json.isNull() || json.isUndefined())
        return true;
    switch (attribute.type) {
    case QMAttributeType::String:
    case QMAttributeType::Date:
        if (!json.isString())
            return false;
        break;
    case QMAttributeType::Integer:
    case QMAttributeType::Double:
        if (!json.isDouble())
            return false;
        break;
    case QMAttributeType::Boolean:
        if (!json.isBool())
            return false;
        break;
    case QMAttributeType::Binary: {
        if (!json.isString())
            return false;
        const auto decoded = QByteArray::fromBase64Encoding(
                json.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return false;
        *value = decoded.decoded;
        return true;
    }
    }
    QMError error;
    *value = attribute.convertedValue(json.toVariant(), &error);
    return error.isNull();
}

} // namespace

QMManagedObjectModel::QMManagedObjectModel()
    : d(std::make_unique<Private>())
{ }

QMManagedObjectModel::~QMManagedObjectModel() = default;

std::shared_ptr<const QMManagedObjectModel>
QMManagedObjectModel::modelWithContentsOfURL(const QUrl &url, QMError *error)
{
    QString path;
    if (url.isLocalFile())
        path = url.toLocalFile();
    else if (url.scheme() == u"qrc"_s)
        path = u":"_s + url.path();
    if (!path.isEmpty() && QFileInfo(path).isDir())
        path += u"/model.json"_s;
    const auto fail = [&](const QMFileStatus &status) {
        if (error)
            *error = QMStoreBackends::fileError(QMFileReadUnknownError,
                                                u"The model could not be read at"_s,
                                                path.isEmpty() ? url.toString() : path, status,
                                                QMManagedObjectModelMaximumFileSize);
        return nullptr;
    };
    if (path.isEmpty())
        return fail({QMFileStatus::Missing, 0});
    QByteArray json;
    if (path.startsWith(u':')) {
        // A resource is compiled into the program, so its size is known and bounded.
        QFile resource(path);
        if (!resource.open(QIODevice::ReadOnly))
            return fail({QMFileStatus::Missing, 0});
        if (resource.size() > QMManagedObjectModelMaximumFileSize)
            return fail({QMFileStatus::TooLarge, 0});
        json = resource.readAll();
    } else {
        // A regular file of bounded size only: a FIFO or a device must neither hang nor fill
        // memory.
        const QMFileStatus status
                = QMFileIO::readRegularFile(path, QMManagedObjectModelMaximumFileSize, &json);
        if (!status.ok())
            return fail(status);
    }
    return modelWithJSON(json, error);
}

namespace {

// The largest number of versions one model file holds.
constexpr qsizetype maximumVersions = 1000;

QByteArray digest(const QStringList &lines)
{
    return QCryptographicHash::hash(lines.join(u'\n').toUtf8(), QCryptographicHash::Sha256);
}

QString attributeLine(const QMAttributeDescription &a)
{
    return u"%1 %2 %3"_s.arg(a.name, QMAttributeTypeName(a.type),
                             a.optional ? u"optional"_s : u"required"_s);
}

} // namespace

QByteArray QMAttributeDescription::versionHash() const
{
    return digest({attributeLine(*this)});
}

// Reads one version: the entities of `object` ("version" and "versionName" included). Returns
// the problem, or an empty text.
QString QMManagedObjectModel::readVersion(const QJsonObject &root, Version *out)
{
    const QJsonValue version = root.value(u"version"_s);
    if (!version.isUndefined()) {
        const double v = version.toDouble(-1);
        // The range test comes first: converting a double out of qint64's range is undefined.
        if (!version.isDouble() || !(v >= 0 && v <= 9.0e15) || v != double(qint64(v)))
            return u"the version is not a whole number"_s;
        out->version = qint64(v);
    }
    const QJsonValue versionName = root.value(u"versionName"_s);
    if (!versionName.isUndefined() && !versionName.isString())
        return u"the version name is not a text"_s;
    out->versionName = versionName.toString();
    if (!root.value(u"entities"_s).isArray())
        return u"the model has no list of entities"_s;

    QSet<QString> entityNames;
    const QJsonArray entities = root.value(u"entities"_s).toArray();
    for (qsizetype e = 0; e < entities.size(); ++e) {
        if (!entities.at(e).isObject())
            return u"entity %1 is not an object"_s.arg(e);
        const QJsonObject object = entities.at(e).toObject();
        const QString entityName = object.value(u"name"_s).toString();
        if (!object.value(u"name"_s).isString())
            return u"entity %1 has no name"_s.arg(e);
        if (const QString problem = nameProblem(entityName); !problem.isEmpty())
            return u"entity \"%1\": %2"_s.arg(entityName, problem);
        // SQLite's table names ignore case, so entities may not differ by case alone.
        if (entityNames.contains(entityName.toLower()))
            return u"entity \"%1\" is defined twice"_s.arg(entityName);
        entityNames.insert(entityName.toLower());
        const QJsonValue attributesValue = object.value(u"attributes"_s);
        if (!attributesValue.isUndefined() && !attributesValue.isArray())
            return u"entity \"%1\": the attributes are not a list"_s.arg(entityName);

        QList<QMAttributeDescription> attributes;
        QSet<QString> attributeNames;
        QSet<QString> previousNames;
        const QJsonArray list = attributesValue.toArray();
        for (qsizetype a = 0; a < list.size(); ++a) {
            if (!list.at(a).isObject())
                return u"entity \"%1\": attribute %2 is not an object"_s.arg(entityName).arg(a);
            const QJsonObject item = list.at(a).toObject();
            QMAttributeDescription attribute;
            attribute.name = item.value(u"name"_s).toString();
            if (!item.value(u"name"_s).isString())
                return u"entity \"%1\": attribute %2 has no name"_s.arg(entityName).arg(a);
            const QString where
                    = u"entity \"%1\", attribute \"%2\""_s.arg(entityName, attribute.name);
            if (const QString problem = nameProblem(attribute.name); !problem.isEmpty())
                return where + u": "_s + problem;
            if (attributeNames.contains(attribute.name.toLower()))
                return where + u": defined twice"_s;
            attributeNames.insert(attribute.name.toLower());
            if (!typeFromName(item.value(u"type"_s).toString(), &attribute.type))
                return where
                        + u": unknown type \"%1\""_s.arg(
                                item.value(u"type"_s).toVariant().toString());
            for (const auto &[key, field] : {std::pair {u"optional"_s, &attribute.optional},
                                             std::pair {u"indexed"_s, &attribute.indexed}}) {
                const QJsonValue flag = item.value(key);
                if (flag.isUndefined())
                    continue;
                if (!flag.isBool())
                    return where + u": \"%1\" is not true or false"_s.arg(key);
                *field = flag.toBool();
            }
            if (!defaultFromJSON(item.value(u"default"_s), attribute, &attribute.defaultValue))
                return where
                        + u": the default does not fit the type %1"_s.arg(
                                QMAttributeTypeName(attribute.type));
            const QJsonValue renaming = item.value(u"renamingIdentifier"_s);
            if (!renaming.isUndefined()) {
                attribute.renamingIdentifier = renaming.toString();
                if (!renaming.isString() || !nameProblem(attribute.renamingIdentifier).isEmpty())
                    return where + u": the renaming identifier is not an attribute name"_s;
                if (previousNames.contains(attribute.renamingIdentifier.toLower()))
                    return where + u": another attribute has the same renaming identifier"_s;
                previousNames.insert(attribute.renamingIdentifier.toLower());
            }
            attributes.append(attribute);
        }
        out->entityIndex.insert(entityName, out->entities.size());
        out->entities.append(QMMakeEntityDescription(entityName, attributes));
    }

    // The schema does not depend on the order of entities and attributes, nor on defaults and
    // indexes, so neither does the hash.
    QStringList lines;
    for (const QMEntityDescription &entity : std::as_const(out->entities)) {
        for (const QMAttributeDescription &a : entity.attributes())
            lines.append(entity.name() + u"."_s + attributeLine(a));
        lines.append(entity.name());
    }
    lines.sort();
    out->hash = digest(lines);
    return QString();
}

std::shared_ptr<const QMManagedObjectModel>
QMManagedObjectModel::modelWithJSON(const QByteArray &json, QMError *error)
{
    const auto fail = [&](const QString &message) -> std::shared_ptr<const QMManagedObjectModel> {
        if (error)
            *error = invalid(message);
        return nullptr;
    };
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(u"not JSON (%1 at offset %2)"_s.arg(parseError.errorString())
                            .arg(parseError.offset));
    if (!document.isObject())
        return fail(u"the model is not a JSON object"_s);
    const QJsonObject root = document.object();

    auto family = std::make_shared<Family>();
    if (!root.value(u"name"_s).isString() || root.value(u"name"_s).toString().isEmpty())
        return fail(u"the model has no name"_s);
    family->name = root.value(u"name"_s).toString();
    if (!root.contains(u"versions"_s)) {
        Version version;
        if (const QString problem = readVersion(root, &version); !problem.isEmpty())
            return fail(problem);
        family->versions.append(std::move(version));
    } else {
        if (!root.value(u"versions"_s).isArray() || root.value(u"versions"_s).toArray().isEmpty())
            return fail(u"the versions are not a list of models"_s);
        const QJsonArray versions = root.value(u"versions"_s).toArray();
        if (versions.size() > maximumVersions)
            return fail(u"the model has more than %1 versions"_s.arg(maximumVersions));
        QSet<QString> names;
        for (qsizetype i = 0; i < versions.size(); ++i) {
            if (!versions.at(i).isObject())
                return fail(u"version %1 is not an object"_s.arg(i));
            const QJsonObject object = versions.at(i).toObject();
            Version version;
            if (!object.value(u"versionName"_s).isString()
                || object.value(u"versionName"_s).toString().isEmpty())
                return fail(u"version %1 has no version name"_s.arg(i));
            if (object.contains(u"name"_s) && object.value(u"name"_s) != family->name)
                return fail(u"version %1 has another model name"_s.arg(i));
            if (const QString problem = readVersion(object, &version); !problem.isEmpty())
                return fail(u"version \"%1\": %2"_s.arg(version.versionName, problem));
            if (names.contains(version.versionName))
                return fail(u"version \"%1\" is defined twice"_s.arg(version.versionName));
            names.insert(version.versionName);
            family->versions.append(std::move(version));
        }
        family->current = family->versions.size() - 1;
        const QJsonValue current = root.value(u"currentVersion"_s);
        if (!current.isUndefined()) {
            family->current = -1;
            for (qsizetype i = 0; i < family->versions.size(); ++i) {
                if (current.isString() && family->versions.at(i).versionName == current.toString())
                    family->current = i;
            }
            if (family->current < 0)
                return fail(u"the current version \"%1\" is not one of the versions"_s.arg(
                        current.toVariant().toString()));
        }
    }
    std::shared_ptr<QMManagedObjectModel> model(new QMManagedObjectModel);
    model->d->index = family->current;
    model->d->family = std::move(family);
    return model;
}

QString QMManagedObjectModel::name() const
{
    return d->family->name;
}

qint64 QMManagedObjectModel::version() const
{
    return d->version().version;
}

QString QMManagedObjectModel::versionName() const
{
    return d->version().versionName;
}

QStringList QMManagedObjectModel::versionNames() const
{
    QStringList names;
    for (const Version &version : d->family->versions)
        names.append(version.versionName);
    return names;
}

QString QMManagedObjectModel::currentVersionName() const
{
    return d->family->versions.at(d->family->current).versionName;
}

std::shared_ptr<const QMManagedObjectModel>
QMManagedObjectModel::modelForVersionName(const QString &name) const
{
    for (qsizetype i = 0; i < d->family->versions.size(); ++i) {
        if (d->family->versions.at(i).versionName == name) {
            std::shared_ptr<QMManagedObjectModel> model(new QMManagedObjectModel);
            model->d->family = d->family;
            model->d->index = i;
            return model;
        }
    }
    return nullptr;
}

qsizetype QMManagedObjectModel::versionIndex() const
{
    return d->index;
}

const QList<QMEntityDescription> &QMManagedObjectModel::entities() const
{
    return d->version().entities;
}

const QMEntityDescription *QMManagedObjectModel::entityForName(const QString &name) const
{
    const Version &v = d->version();
    const auto found = v.entityIndex.constFind(name);
    return found == v.entityIndex.cend() ? nullptr : &v.entities.at(found.value());
}

QByteArray QMManagedObjectModel::versionHash() const
{
    return d->version().hash;
}

QHash<QString, QByteArray> QMManagedObjectModel::entityVersionHashes() const
{
    QHash<QString, QByteArray> hashes;
    for (const QMEntityDescription &entity : d->version().entities)
        hashes.insert(entity.name(), entity.versionHash());
    return hashes;
}

QByteArray QMManagedObjectModel::toJSON() const
{
    QJsonArray entities;
    for (const QMEntityDescription &entity : d->version().entities) {
        QJsonArray attributes;
        for (const QMAttributeDescription &a : entity.attributes()) {
            QJsonObject item {{u"name"_s, a.name},
                              {u"type"_s, QMAttributeTypeName(a.type)},
                              {u"optional"_s, a.optional},
                              {u"indexed"_s, a.indexed}};
            if (a.defaultValue.isValid())
                item.insert(u"default"_s, a.JSONValue(a.defaultValue));
            if (!a.renamingIdentifier.isEmpty())
                item.insert(u"renamingIdentifier"_s, a.renamingIdentifier);
            attributes.append(item);
        }
        entities.append(QJsonObject {{u"name"_s, entity.name()}, {u"attributes"_s, attributes}});
    }
    QJsonObject root {{u"name"_s, d->family->name},
                      {u"version"_s, d->version().version},
                      {u"entities"_s, entities}};
    if (!d->version().versionName.isEmpty())
        root.insert(u"versionName"_s, d->version().versionName);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

// The class registry: entity name to meta-object, shared by every model and thread.
namespace {

struct ClassRegistry
{
    std::mutex mutex;
    QHash<QString, const QMetaObject *> classes;
};

ClassRegistry &registry()
{
    static ClassRegistry instance;
    return instance;
}

} // namespace

void QMRegisterManagedObjectClass(const QMetaObject *metaObject)
{
    if (!metaObject)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: metaObject != nil"_s);
    const QString name = QString::fromLatin1(metaObject->className());
    if (!metaObject->inherits(&QMManagedObject::staticMetaObject))
        throw QMInternalInconsistencyException(
                u"The class %1 is not a QMManagedObject subclass"_s.arg(name));
    bool constructible = false;
    for (int i = 0; i < metaObject->constructorCount(); ++i) {
        const QMetaMethod constructor = metaObject->constructor(i);
        if (constructor.parameterCount() == 0
            || (constructor.parameterCount() == 1
                && constructor.parameterType(0) == QMetaType::QObjectStar))
            constructible = true;
    }
    if (!constructible)
        throw QMInternalInconsistencyException(
                u"The class %1 has no Q_INVOKABLE constructor without arguments"_s.arg(name));
    ClassRegistry &r = registry();
    std::lock_guard lock(r.mutex);
    r.classes.insert(name, metaObject);
}

const QMetaObject *QMManagedObjectClassForEntityName(const QString &name)
{
    ClassRegistry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.classes.value(name);
}

QUrl QMManagedObjectID::URIRepresentation() const
{
    if (isNull())
        return QUrl();
    QUrl url;
    url.setScheme(u"x-qmstore"_s);
    url.setHost(m_storeIdentifier);
    url.setPath(u"/"_s + m_entityName + (m_number < 0 ? u"/t"_s : u"/p"_s)
                + QString::number(m_number < 0 ? -m_number : m_number));
    return url;
}

QMManagedObjectID QMManagedObjectID::fromURIRepresentation(const QUrl &url)
{
    if (url.scheme() != u"x-qmstore"_s || url.host().isEmpty() || url.hasQuery()
        || url.hasFragment())
        return QMManagedObjectID();
    const QStringList parts = url.path().split(u'/');
    if (parts.size() != 3 || !parts.at(0).isEmpty() || parts.at(1).isEmpty()
        || !(parts.at(2).startsWith(u'p') || parts.at(2).startsWith(u't')))
        return QMManagedObjectID();
    bool ok = false;
    const qint64 number = parts.at(2).mid(1).toLongLong(&ok);
    // "p01" or "p+1" would name the same object as "p1"; only the canonical text is ours.
    if (!ok || number <= 0 || parts.at(2).at(0) + QString::number(number) != parts.at(2))
        return QMManagedObjectID();
    const bool temporary = parts.at(2).startsWith(u't');
    return QMManagedObjectID(url.host().toUpper(), parts.at(1), temporary ? -number : number);
}

// Models found in bundles.

std::shared_ptr<const QMManagedObjectModel>
QMManagedObjectModel::managedObjectModelWithName(const QString &name, const QMBundle &bundle,
                                                 QMError *error)
{
    const QUrl url = bundle.URLForResource(name, u"momd"_s);
    if (url.isEmpty()) {
        QMSetError(error,
                   QMError(QMPersistenceErrorDomain, QMFileReadUnknownError,
                           {{QMLocalizedDescriptionKey,
                             u"The bundle has no model resource %1.momd."_s.arg(name)}}));
        return nullptr;
    }
    QMError loadError;
    std::shared_ptr<const QMManagedObjectModel> model = modelWithContentsOfURL(url, &loadError);
    if (!model) {
        throw QMInternalInconsistencyException(
                u"Core Data object model not found at URL %1"_s.arg(url.toString()),
                {{QMUnderlyingErrorKey, QVariant::fromValue(loadError)}});
    }
    return model;
}
