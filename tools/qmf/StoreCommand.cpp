#include "StoreCommand.h"

#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMMigrationPlan.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

namespace {

struct Options
{
    QMOptionPtr type = QMOption::optionWithFlag(
            QString(), u"type"_s,
            u"The store type: sqlite, xml, memory or postgresql (default: postgresql for a "
            "postgresql:// URL, xml for a .xml file, else sqlite)"_s,
            u"TYPE"_s, QMOptionTypeString, false);
    QMOptionPtr where = QMOption::optionWithFlag(
            QString(), u"where"_s,
            u"Only the objects that match PREDICATE; its %@ and %K take the arguments after "
            "ENTITY"_s,
            u"PREDICATE"_s, QMOptionTypeString, false);
    QMOptionPtr sort = QMOption::optionWithFlag(QString(), u"sort"_s,
                                                u"Order by the attribute KEY (repeatable)"_s,
                                                u"KEY"_s, QMOptionTypeString, false);
    QMOptionPtr descending
            = QMOption::optionWithFlag(QString(), u"descending"_s, u"Sort in descending order"_s,
                                       QString(), QMOptionTypeNone, false);
    QMOptionPtr limit
            = QMOption::optionWithFlag(QString(), u"limit"_s, u"At most N objects (0: all)"_s,
                                       u"N"_s, QMOptionTypeString, false);
    QMOptionPtr modelVersion = QMOption::optionWithFlag(
            QString(), u"model-version"_s,
            u"Use the version NAME of a model with several versions (default: its current one)"_s,
            u"NAME"_s, QMOptionTypeString, false);
    QMOptionPtr dryRun = QMOption::optionWithFlag(QString(), u"dry-run"_s,
                                                  u"Show the migration's plan and change nothing"_s,
                                                  QString(), QMOptionTypeNone, false);
    QMOptionPtr noBackup = QMOption::optionWithFlag(
            QString(), u"no-backup"_s,
            u"Keep no copy of the store from before the migration (STORE.pre-migration)"_s,
            QString(), QMOptionTypeNone, false);
};

const Options &options()
{
    static const Options shared;
    return shared;
}

int failure(Invocation &invocation, const QMError &error)
{
    invocation.err << "qmf: " << error.localizedDescription() << Qt::endl;
    return 1;
}

// The model, the store and a context on it, as the arguments MODEL STORE name them.
struct OpenStore
{
    std::shared_ptr<const QMManagedObjectModel> model;
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<QMManagedObjectContext> context;
    QString type;
};

// The environment variable that gives the password of a PostgreSQL store's server.
constexpr char passwordVariable[] = "QMF_STORE_PASSWORD";

// A STORE argument that names a database server rather than a file.
bool isServerURL(const QString &store)
{
    return store.startsWith(u"postgresql://"_s, Qt::CaseInsensitive)
            || store.startsWith(u"postgres://"_s, Qt::CaseInsensitive);
}

std::optional<QString> storeType(Invocation &invocation, const QString &path)
{
    const bool server = isServerURL(path);
    const QVariant given = invocation.value(options().type);
    if (!given.isValid()) {
        if (server)
            return QMPostgreSQLStoreType;
        return path.endsWith(u".xml"_s, Qt::CaseInsensitive) ? QMXMLStoreType : QMSQLiteStoreType;
    }
    const QString name = given.toString().toLower();
    const std::pair<QString, QString> types[] = {{u"sqlite"_s, QMSQLiteStoreType},
                                                 {u"xml"_s, QMXMLStoreType},
                                                 {u"memory"_s, QMInMemoryStoreType},
                                                 {u"postgresql"_s, QMPostgreSQLStoreType}};
    for (const auto &[option, type] : types) {
        if (name != option)
            continue;
        // A URL is not a file name, nor a file name a server's address.
        if (server && type != QMPostgreSQLStoreType) {
            invocation.usageError(
                    u"a postgresql:// URL names a PostgreSQL store, not a %1 one"_s.arg(name));
            return std::nullopt;
        }
        if (!server && type == QMPostgreSQLStoreType) {
            invocation.usageError(u"a PostgreSQL store is named by a URL "
                                  "postgresql://USER@HOST:PORT/DATABASE?schema=NAME"_s);
            return std::nullopt;
        }
        return type;
    }
    invocation.usageError(
            u"the store type \"%1\" is not one of sqlite, xml, memory, postgresql"_s.arg(
                    given.toString()));
    return std::nullopt;
}

QUrl fileURL(const QString &path)
{
    return QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath());
}

// The URL of the store the STORE argument names: a server's URL as given, else a file's.
QUrl storeURL(const QString &store)
{
    return isServerURL(store) ? QUrl(store, QUrl::StrictMode) : fileURL(store);
}

// The store as the commands print it: a file as given, a server's URL without any password
// (the store refuses one, but its refusal is no reason to echo it).
QString storeText(const QString &store)
{
    return isServerURL(store) ? storeURL(store).toDisplayString(QUrl::RemovePassword) : store;
}

// `options` for a store of `type`, with a password provider for a server when
// QMF_STORE_PASSWORD is set: the password never appears on the command line or in the URL.
QVariantMap storeOptions(const QString &type, QVariantMap options)
{
    if (type == QMPostgreSQLStoreType && qEnvironmentVariableIsSet(passwordVariable)) {
        const QString password = qEnvironmentVariable(passwordVariable);
        options.insert(QMPostgreSQLPasswordProviderOption,
                       QVariant::fromValue(QMPostgreSQLPasswordProvider(
                               [password](const QUrl &) { return password; })));
    }
    return options;
}

// A version as the commands name it: "version 2", or "the model's version" for a model whose
// only version has no name.
QString versionText(const QString &name)
{
    return name.isEmpty() ? u"the model's version"_s : u"version "_s + name;
}

// The model at `path`, in the version --model-version names (else its current one); nullptr
// after printing the error, with the exit status in `*status`.
std::shared_ptr<const QMManagedObjectModel> loadModel(Invocation &invocation, const QString &path,
                                                      int *status)
{
    QMError error;
    auto model = QMManagedObjectModel::modelWithContentsOfURL(fileURL(path), &error);
    if (!model) {
        *status = failure(invocation, error);
        return nullptr;
    }
    const QVariant given = invocation.value(options().modelVersion);
    if (!given.isValid())
        return model;
    if (auto version = model->modelForVersionName(given.toString()))
        return version;
    QStringList names = model->versionNames();
    names.removeAll(QString());
    *status = invocation.usageError(u"the model %1 has no version \"%2\" (%3)"_s.arg(
            model->name(), given.toString(),
            names.isEmpty() ? u"its only version has no name"_s
                            : u"it has "_s + names.join(u", "_s)));
    return nullptr;
}

// After a store refused to open: when it was written under an earlier version of the model, the
// command that migrates it.
void suggestMigration(Invocation &invocation, const QStringList &arguments, const OpenStore &store)
{
    QMError ignored;
    const std::optional<QMMigrationPlan> plan
            = QMMigrationPlan::planForStore(store.type, storeURL(arguments.at(1)), store.model,
                                            storeOptions(store.type, {}), &ignored);
    if (plan && plan->sourceModel()->versionIndex() < store.model->versionIndex()) {
        invocation.err << "qmf: the store is at " << versionText(plan->sourceModel()->versionName())
                       << "; qmf store migrate brings it to "
                       << versionText(store.model->versionName()) << " (--dry-run shows how)"
                       << Qt::endl;
    }
}

// Whether the command is `store create`, which makes a store, or one that uses a store.
enum class Purpose { Create, Use };

// 0 on success, else the exit status. The object commands never migrate a store: a store
// written under an earlier version of the model is refused, with a word on qmf store migrate.
// Nor do they make a store file: the store would open a missing file as a new, empty store, so
// a mistyped path would pass for a store without objects. `store create` in turn makes a new
// file only, and says so when one is there.
int open(Invocation &invocation, const QStringList &arguments, OpenStore &store, Purpose purpose)
{
    const std::optional<QString> type = storeType(invocation, arguments.value(1));
    if (!type)
        return 2;
    const QString &path = arguments.at(1);
    if (*type == QMSQLiteStoreType || *type == QMXMLStoreType) {
        const bool exists = QFileInfo::exists(path);
        if (purpose == Purpose::Use && !exists) {
            invocation.err << "qmf: there is no store at " << path << "; qmf store create makes one"
                           << Qt::endl;
            return 1;
        }
        if (purpose == Purpose::Create && exists) {
            invocation.err << "qmf: " << path
                           << " already exists; qmf store create makes a new store only"
                           << Qt::endl;
            return 1;
        }
    }
    store.type = *type;
    int status = 0;
    store.model = loadModel(invocation, arguments.at(0), &status);
    if (!store.model)
        return status;
    store.coordinator
            = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(store.model);
    QMError error;
    if (!store.coordinator->addPersistentStoreWithType(
                *type, QString(), storeURL(arguments.at(1)),
                storeOptions(*type, {{QMMigratePersistentStoresAutomaticallyOption, false}}),
                &error)) {
        status = failure(invocation, error);
        if (error.domain() == QMPersistenceErrorDomain
            && error.code() == QMPersistentStoreIncompatibleSchemaError)
            suggestMigration(invocation, arguments, store);
        return status;
    }
    store.context
            = QMManagedObjectContext::contextWithPersistentStoreCoordinator(store.coordinator);
    return 0;
}

// "MODEL STORE" and, for the object commands, "ENTITY" are required.
int checkArguments(Invocation &invocation, const QStringList &arguments, const QString &command,
                   qsizetype required)
{
    if (arguments.size() < required) {
        return invocation.usageError(
                required == 2 ? u"store %1 needs MODEL and STORE"_s.arg(command)
                              : u"store %1 needs MODEL, STORE and ENTITY"_s.arg(command));
    }
    return 0;
}

QString jsonText(const QJsonValue &value)
{
    // QJsonDocument writes only arrays and objects, so a value goes through a one-element array.
    const QByteArray array = QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

// An attribute name as a JSON string. Every object of a fetch repeats the same few names, so
// their texts are kept rather than written through a QJsonDocument each time.
const QString &nameText(const QString &name)
{
    thread_local QHash<QString, QString> texts;
    if (const auto found = texts.constFind(name); found != texts.cend())
        return *found;
    if (texts.size() >= 1024)
        texts.clear();
    return *texts.insert(name, jsonText(name));
}

// The entity named on the command line, or a usage error.
const QMEntityDescription *entityArgument(Invocation &invocation, const QStringList &arguments,
                                          const OpenStore &store)
{
    const QString name = arguments.at(2);
    const QMEntityDescription *entity = store.model->entityForName(name);
    if (!entity) {
        QStringList names;
        for (const QMEntityDescription &e : store.model->entities())
            names.append(e.name());
        invocation.usageError(
                u"the model has no entity \"%1\" (it has %2)"_s.arg(name, names.join(u", "_s)));
    }
    return entity;
}

// MODEL STORE ENTITY of the object commands: the store opened and the entity found, or the exit
// status.
int openWithEntity(Invocation &invocation, const QStringList &arguments, const QString &command,
                   OpenStore &store, const QMEntityDescription **entity)
{
    if (const int status = checkArguments(invocation, arguments, command, 3))
        return status;
    if (const int status = open(invocation, arguments, store, Purpose::Use))
        return status;
    *entity = entityArgument(invocation, arguments, store);
    return *entity ? 0 : 2;
}

// The fetch request of fetch, count and delete: the entity, --where with the arguments after
// ENTITY, --sort, --descending and --limit.
std::optional<QMFetchRequest> fetchRequest(Invocation &invocation, const QStringList &values,
                                           const QString &entity, QMError *error)
{
    const Options &o = options();
    QMFetchRequest request(entity);
    const QStringList arguments = values.mid(3);
    if (invocation.has(o.where)) {
        QVariantList formatArguments;
        for (const QString &argument : arguments)
            formatArguments.append(argument);
        const QMPredicate predicate = QMPredicate::predicateWithFormat(
                invocation.value(o.where).toString(), formatArguments, error);
        if (predicate.isNull())
            return std::nullopt;
        request.setPredicate(predicate);
    } else if (!arguments.isEmpty()) {
        invocation.usageError(u"arguments after ENTITY go with --where"_s);
        return std::nullopt;
    }
    QList<QMFetchSortDescriptor> sorts;
    for (const QVariant &key : invocation.values(o.sort))
        sorts.append({key.toString(), !invocation.has(o.descending)});
    request.setSortDescriptors(sorts);
    qint64 limit = 0;
    if (!invocation.countValue(o.limit, &limit)) {
        invocation.usageError(u"--limit needs a number of objects (0 or more)"_s);
        return std::nullopt;
    }
    request.setFetchLimit(qsizetype(limit));
    return request;
}

int runCreate(Invocation &invocation, const QStringList &arguments)
{
    if (const int status = checkArguments(invocation, arguments, u"create"_s, 2))
        return status;
    if (arguments.size() > 2)
        return invocation.usageError(u"store create takes MODEL and STORE only"_s);
    OpenStore store;
    if (const int status = open(invocation, arguments, store, Purpose::Create))
        return status;
    QStringList names;
    for (const QMEntityDescription &entity : store.model->entities())
        names.append(entity.name());
    invocation.out << "created " << store.type << " store " << storeText(arguments.at(1))
                   << " for the model " << store.model->name() << " (" << names.join(u", "_s)
                   << ")\n";
    return 0;
}

int runInsert(Invocation &invocation, const QStringList &arguments)
{
    OpenStore store;
    const QMEntityDescription *entity = nullptr;
    if (const int status = openWithEntity(invocation, arguments, u"insert"_s, store, &entity))
        return status;
    QVariantMap values;
    for (const QString &argument : arguments.mid(3)) {
        const auto assignment = splitAssignment(argument);
        if (!assignment)
            return invocation.usageError(u"\"%1\" is not KEY=VALUE"_s.arg(argument));
        const QMAttributeDescription *attribute = entity->attributeNamed(assignment->first);
        if (!attribute) {
            return invocation.usageError(u"the entity %1 has no attribute \"%2\""_s.arg(
                    entity->name(), assignment->first));
        }
        QVariant given = assignment->second;
        // Binary values are given in Base64, as fetch prints them.
        if (attribute->type == QMAttributeType::Binary) {
            const auto decoded = QByteArray::fromBase64Encoding(
                    assignment->second.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
            if (!decoded) {
                invocation.err << "qmf: The value of the binary attribute \"" << attribute->name
                               << "\" is not Base64.\n";
                return 1;
            }
            given = decoded.decoded;
        }
        QMError error;
        const QVariant value = attribute->convertedValue(given, &error);
        if (!error.isNull())
            return failure(invocation, error);
        values.insert(assignment->first, value);
    }
    const auto object = store.context->insertNewObjectForEntityForName(entity->name());
    object->setValues(values);
    QMError error;
    if (!store.context->save(&error))
        return failure(invocation, error);
    invocation.out << StoreCommand::objectLine(*object) << "\n";
    return 0;
}

// fetch, count and delete share their arguments.
int runQuery(Invocation &invocation, const QStringList &arguments, const QString &command)
{
    OpenStore store;
    const QMEntityDescription *entity = nullptr;
    if (const int status = openWithEntity(invocation, arguments, command, store, &entity))
        return status;
    QMError error;
    const std::optional<QMFetchRequest> request
            = fetchRequest(invocation, arguments, entity->name(), &error);
    if (!request)
        return error.isNull() ? 2 : failure(invocation, error);
    if (command == u"count"_s) {
        const qsizetype count = store.context->countForFetchRequest(*request, &error);
        if (count < 0)
            return failure(invocation, error);
        invocation.out << count << "\n";
        return 0;
    }
    const auto objects = store.context->executeFetchRequest(*request, &error);
    if (!error.isNull())
        return failure(invocation, error);
    if (command == u"fetch"_s) {
        for (const auto &object : objects) {
            // Lines with nowhere to go are not made: the stream would keep them all.
            if (invocation.out.status() != QTextStream::Ok)
                break;
            invocation.out << StoreCommand::objectLine(*object) << "\n";
        }
        return 0;
    }
    for (const auto &object : objects)
        store.context->deleteObject(object);
    if (!store.context->save(&error))
        return failure(invocation, error);
    invocation.out << "deleted " << objects.size() << "\n";
    return 0;
}

// migrate: the plan, one change a line, then (unless --dry-run) the store opened with the model,
// which migrates it, and the outcome.
int runMigrate(Invocation &invocation, const QStringList &arguments)
{
    if (const int status = checkArguments(invocation, arguments, u"migrate"_s, 2))
        return status;
    if (arguments.size() > 2)
        return invocation.usageError(u"store migrate takes MODEL and STORE only"_s);
    const std::optional<QString> type = storeType(invocation, arguments.at(1));
    if (!type)
        return 2;
    int status = 0;
    const auto model = loadModel(invocation, arguments.at(0), &status);
    if (!model)
        return status;
    const QUrl url = storeURL(arguments.at(1));
    QMError error;
    const std::optional<QMMigrationPlan> plan
            = QMMigrationPlan::planForStore(*type, url, model, storeOptions(*type, {}), &error);
    if (!plan)
        return failure(invocation, error);
    const QString to = versionText(model->versionName());
    if (plan->sourceModel()->versionIndex() == model->versionIndex()) {
        invocation.out << "the store is at " << to << "; nothing to migrate\n";
        return 0;
    }
    for (const QString &line : plan->descriptions())
        invocation.out << line << "\n";
    const QString from = versionText(plan->sourceModel()->versionName());
    if (invocation.has(options().dryRun)) {
        invocation.out << "would migrate from " << from << " to " << model->versionName()
                       << "; the store is unchanged (--dry-run)\n";
        return 0;
    }
    const auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    const auto store = coordinator->addPersistentStoreWithType(
            *type, QString(), url,
            storeOptions(*type, {{QMMigrationBackupOption, !invocation.has(options().noBackup)}}),
            &error);
    if (!store)
        return failure(invocation, error);
    // A file store's copy is a file; a server's, if it keeps one, is named by a URL.
    const QUrl backup = store->migrationBackupURL();
    invocation.out << StoreCommand::migrationOutcome(
            *store, model->versionName(),
            backup.isLocalFile() ? backup.toLocalFile()
                                 : backup.toDisplayString(QUrl::RemovePassword))
                   << "\n";
    return 0;
}

int run(Invocation &invocation)
{
    // The action is an argument rather than a sub-command: sub-command names are recognised
    // anywhere on the command line, and "delete" is also an argument of other commands.
    const QStringList actions {u"create"_s, u"insert"_s, u"fetch"_s,
                               u"count"_s,  u"delete"_s, u"migrate"_s};
    const QStringList &all = invocation.arguments();
    if (all.isEmpty() || !actions.contains(all.first()))
        return invocation.usageError(
                u"store needs one of create, insert, fetch, count, delete, migrate"_s);
    const QString action = all.first();
    const QStringList arguments = all.mid(1);
    const Options &o = options();
    const std::pair<QMOptionPtr, QStringList> only[] = {
            {o.where, {u"fetch"_s, u"count"_s, u"delete"_s}},
            {o.sort, {u"fetch"_s}},
            {o.descending, {u"fetch"_s}},
            {o.limit, {u"fetch"_s}},
            {o.dryRun, {u"migrate"_s}},
            {o.noBackup, {u"migrate"_s}},
    };
    for (const auto &[option, allowed] : only) {
        if (invocation.has(option) && !allowed.contains(action))
            return invocation.usageError(
                    u"--%1 is not an option of store %2"_s.arg(option->alias(), action));
    }
    if (action == u"create"_s)
        return runCreate(invocation, arguments);
    if (action == u"insert"_s)
        return runInsert(invocation, arguments);
    if (action == u"migrate"_s)
        return runMigrate(invocation, arguments);
    return runQuery(invocation, arguments, action);
}

} // namespace

QString StoreCommand::objectLine(const QMManagedObject &object)
{
    QString line = u"{\"objectID\":"_s + QString::number(object.objectID().number());
    if (const QMEntityDescription *entity = object.entity()) {
        for (const QMAttributeDescription &attribute : entity->attributes()) {
            line += u","_s + nameText(attribute.name) + u":"_s
                    + jsonText(attribute.JSONValue(object.value(attribute.name)));
        }
    }
    return line + u"}"_s;
}

QString StoreCommand::migrationOutcome(const QMPersistentStore &store, const QString &versionName,
                                       const QString &backup)
{
    // Another process may have migrated the store since the plan was made.
    if (store.migratedFromVersionName().isEmpty())
        return u"the store is at "_s + versionText(versionName) + u"; nothing to migrate"_s;
    QString text = u"migrated from "_s + versionText(store.migratedFromVersionName()) + u" to "_s
            + versionName;
    if (!backup.isEmpty())
        text += u"; the store as it was is kept at "_s + backup;
    return text;
}

ToolCommand StoreCommand::command()
{
    const Options &o = options();
    return ToolCommand::make(
            u"store"_s,
            {o.type, o.where, o.sort, o.descending, o.limit, o.modelVersion, o.dryRun, o.noBackup},
            {u"ACTION"_s, u"MODEL"_s, u"STORE"_s, u"ARG..."_s},
            u"Keep objects of a model in a SQLite, XML, in-memory or PostgreSQL store.\n\n"
            "qmf store create MODEL STORE [--type sqlite|xml|memory|postgresql]\n"
            "                [--model-version NAME]\n"
            "qmf store insert MODEL STORE ENTITY KEY=VALUE... [--model-version NAME]\n"
            "qmf store fetch MODEL STORE ENTITY [--where PREDICATE [ARG...]] [--sort KEY]\n"
            "                [--descending] [--limit N]\n"
            "qmf store count MODEL STORE ENTITY [--where PREDICATE [ARG...]]\n"
            "qmf store delete MODEL STORE ENTITY [--where PREDICATE [ARG...]]\n"
            "qmf store migrate MODEL STORE [--dry-run] [--no-backup]\n\n"
            "MODEL is a compiled model (NAME.momd: a JSON file, or a directory holding\n"
            "model.json). fetch and insert print objects as JSON lines; binary values are\n"
            "Base64, dates ISO 8601. A predicate reads like: year >= %@ AND title\n"
            "BEGINSWITH[c] %@ (the arguments after ENTITY fill its %@ in order). The store\n"
            "type defaults to xml for a .xml file, else sqlite. Only create makes a store\n"
            "file, and only where there is none; the other commands need one.\n\n"
            "STORE may also be a PostgreSQL server's URL,\n"
            "postgresql://USER@HOST:PORT/DATABASE?schema=NAME (or ?host=SOCKET_DIRECTORY\n"
            "for a Unix socket); the URL holds no password: the server's password, if it\n"
            "asks for one, is read from the environment variable QMF_STORE_PASSWORD.\n\n"
            "A model file may hold several versions: the commands use its current one, or\n"
            "the one --model-version names. A store written under an earlier version is\n"
            "refused until migrate brings it to the model's version: it prints the plan,\n"
            "one change a line, then migrates the store (SQLite in one transaction, XML by\n"
            "replacing the file), keeping a copy of it at STORE.pre-migration unless\n"
            "--no-backup is given. Changes that cannot be inferred (a narrowing type, a\n"
            "required attribute without a default) need a program's own migration."_s,
            run);
}

namespace {

struct SampleBook
{
    const char *title;
    const char *author;
    int year;
    double rating;
    bool available;
};

const SampleBook sampleBooks[] = {
        {"The Left Hand of Darkness", "Ursula K. Le Guin", 1969, 4.5, true},
        {"Dune", "Frank Herbert", 1965, 4.3, false},
        {"The Dispossessed", "Ursula K. Le Guin", 1974, 4.4, true},
        {"Foundation", "Isaac Asimov", 1951, 4.2, true},
        {"Solaris", "Stanisław Lem", 1961, 4.0, true},
};

// A coordinator with a fresh store of `type` in `dir` (none for memory) and a context on it.
std::shared_ptr<QMManagedObjectContext>
tourContext(const std::shared_ptr<const QMManagedObjectModel> &model, const QString &type,
            const QString &path, QMError *error)
{
    const auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    if (!coordinator->addPersistentStoreWithType(type, QString(), QUrl::fromLocalFile(path), {},
                                                 error))
        return nullptr;
    return QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
}

bool insertSampleBooks(QMManagedObjectContext &context, QMError *error)
{
    for (const SampleBook &book : sampleBooks) {
        const auto object = context.insertNewObjectForEntityForName(u"Book"_s);
        object->setValues({{u"title"_s, QString::fromUtf8(book.title)},
                           {u"author"_s, QString::fromUtf8(book.author)},
                           {u"year"_s, book.year},
                           {u"rating"_s, book.rating},
                           {u"available"_s, book.available}});
    }
    return context.save(error);
}

// A store written under version 1 of the bundled two-version model, opened by version 2.
void migrationTour(QTextStream &out, const QTemporaryDir &dir)
{
    QMError error;
    const auto model = QMManagedObjectModel::modelWithContentsOfURL(
            QUrl(u"qrc:/tour/LibraryV2.momd"_s), &error);
    const QString path = dir.filePath(u"shelf.sqlite3"_s);
    {
        const auto first = model ? model->modelForVersionName(u"1"_s) : nullptr;
        const auto old = first ? tourContext(first, QMSQLiteStoreType, path, &error) : nullptr;
        if (!old || !insertSampleBooks(*old, &error)) {
            out << "    qmf: " << error.localizedDescription() << "\n";
            return;
        }
    }
    out << "\nLibraryV2.momd holds two versions of the model Library: the second renames the\n"
           "books' rating to stars, gives every book a language and adds loans. A store\n"
           "written under the first version is migrated when the second opens it:\n\n"
        << "  $ qmf store create LibraryV2.momd shelf.sqlite3 --model-version 1\n"
        << "  (and the same five books, inserted with --model-version 1)\n"
        << "  $ qmf store migrate LibraryV2.momd shelf.sqlite3\n";
    const QUrl url = QUrl::fromLocalFile(path);
    const std::optional<QMMigrationPlan> plan
            = QMMigrationPlan::planForStore(QMSQLiteStoreType, url, model, {}, &error);
    const auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    const auto store = plan
            ? coordinator->addPersistentStoreWithType(QMSQLiteStoreType, QString(), url, {}, &error)
            : nullptr;
    if (!store) {
        out << "    qmf: " << error.localizedDescription() << "\n";
        return;
    }
    for (const QString &line : plan->descriptions())
        out << "    " << line << "\n";
    out << "    "
        << StoreCommand::migrationOutcome(
                   *store, model->versionName(),
                   QFileInfo(store->migrationBackupURL().toLocalFile()).fileName())
        << "\n";
    const auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    QMFetchRequest request(u"Book"_s);
    request.setSortDescriptors({QMFetchSortDescriptor::sortDescriptorWithKey(u"year"_s)});
    request.setFetchLimit(2);
    out << "  $ qmf store fetch LibraryV2.momd shelf.sqlite3 Book --sort year --limit 2\n";
    for (const auto &object : context->executeFetchRequest(request, &error))
        out << "    " << StoreCommand::objectLine(*object) << "\n";
}

} // namespace

void StoreCommand::tourSection(QTextStream &out)
{
    QMError error;
    const auto model = QMManagedObjectModel::modelWithContentsOfURL(
            QUrl(u"qrc:/tour/Library.momd"_s), &error);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"library.sqlite3"_s);
    const auto context = model ? tourContext(model, QMSQLiteStoreType, path, &error) : nullptr;
    if (!context || !insertSampleBooks(*context, &error)) {
        out << "    qmf: " << error.localizedDescription() << "\n";
        return;
    }
    out << "Objects of the bundled model Library (qmf store ... Library.momd library.sqlite3), "
           "saved\nin one transaction to a SQLite store:\n\n";
    const QString format = u"year >= %@ AND author BEGINSWITH[c] %@"_s;
    const QVariantList arguments {1960, u"ursula"_s};
    QMFetchRequest request(u"Book"_s);
    request.setPredicate(QMPredicate::predicateWithFormat(format, arguments));
    request.setSortDescriptors({QMFetchSortDescriptor::sortDescriptorWithKey(u"year"_s, false)});
    out << "  $ qmf store fetch Library.momd library.sqlite3 Book --where \"" << format
        << "\" 1960 ursula --sort year --descending\n";
    for (const auto &object : context->executeFetchRequest(request, &error))
        out << "    " << objectLine(*object) << "\n";

    QMFetchRequest unavailable(u"Book"_s);
    unavailable.setPredicate(QMPredicate::predicateWithFormat(u"available = NO"_s));
    out << "  $ qmf store count Library.momd library.sqlite3 Book --where \"available = NO\"\n"
        << "    " << context->countForFetchRequest(unavailable, &error) << "\n";

    // The same question to the other store types.
    out << "\nThe same predicate selects the same books in every store type:\n";
    for (const QString &type : {QMSQLiteStoreType, QMXMLStoreType, QMInMemoryStoreType}) {
        const auto other
                = tourContext(model, type, dir.filePath(u"library."_s + type.toLower()), &error);
        QStringList titles;
        if (other && insertSampleBooks(*other, &error)) {
            for (const auto &object : other->executeFetchRequest(request, &error))
                titles.append(object->value(u"title"_s).toString());
        }
        out << "    " << type.leftJustified(9) << titles.join(u", "_s) << "\n";
    }

    // A save that breaks a rule changes nothing, and the context keeps what it had.
    const auto untitled = context->insertNewObjectForEntityForName(u"Book"_s);
    untitled->setValue(u"author"_s, u"Anonymous"_s);
    const bool saved = context->save(&error);
    out << "\nSaving a book without its title (a required attribute) fails, and the store keeps\n"
           "what it had:\n    "
        << (saved ? u"saved"_s : error.localizedDescription()) << "\n";
    context->rollback();
    const auto reopened = tourContext(model, QMSQLiteStoreType, path, &error);
    out << "Reopened, the store holds "
        << (reopened ? reopened->countForFetchRequest(QMFetchRequest(u"Book"_s), &error) : -1)
        << " books.\n";

    migrationTour(out, dir);
}
