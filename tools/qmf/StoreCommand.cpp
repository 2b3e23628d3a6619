#include "StoreCommand.h"

#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QDir>
#include <QFileInfo>
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
            u"The store type: sqlite, xml or memory (default: xml for a .xml file, else sqlite)"_s,
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

std::optional<QString> storeType(Invocation &invocation, const QString &path)
{
    const QVariant given = invocation.value(options().type);
    if (!given.isValid())
        return path.endsWith(u".xml"_s, Qt::CaseInsensitive) ? QMXMLStoreType : QMSQLiteStoreType;
    const QString name = given.toString().toLower();
    if (name == u"sqlite"_s)
        return QMSQLiteStoreType;
    if (name == u"xml"_s)
        return QMXMLStoreType;
    if (name == u"memory"_s)
        return QMInMemoryStoreType;
    invocation.usageError(
            u"the store type \"%1\" is not one of sqlite, xml, memory"_s.arg(given.toString()));
    return std::nullopt;
}

// 0 on success, else the exit status.
int open(Invocation &invocation, const QStringList &arguments, OpenStore &store)
{
    const std::optional<QString> type = storeType(invocation, arguments.value(1));
    if (!type)
        return 2;
    store.type = *type;
    QMError error;
    store.model = QMManagedObjectModel::modelWithContentsOfURL(
            QUrl::fromLocalFile(QFileInfo(arguments.at(0)).absoluteFilePath()), &error);
    if (!store.model)
        return failure(invocation, error);
    store.coordinator
            = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(store.model);
    const QUrl url = QUrl::fromLocalFile(QFileInfo(arguments.at(1)).absoluteFilePath());
    if (!store.coordinator->addPersistentStoreWithType(*type, QString(), url, {}, &error))
        return failure(invocation, error);
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
    if (const int status = open(invocation, arguments, store))
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
    if (const int status = open(invocation, arguments, store))
        return status;
    QStringList names;
    for (const QMEntityDescription &entity : store.model->entities())
        names.append(entity.name());
    invocation.out << "created " << store.type << " store " << arguments.at(1) << " for the model "
                   << store.model->name() << " (" << names.join(u", "_s) << ")\n";
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
        for (const auto &object : objects)
            invocation.out << StoreCommand::objectLine(*object) << "\n";
        return 0;
    }
    for (const auto &object : objects)
        store.context->deleteObject(object);
    if (!store.context->save(&error))
        return failure(invocation, error);
    invocation.out << "deleted " << objects.size() << "\n";
    return 0;
}

int run(Invocation &invocation)
{
    // The action is an argument rather than a sub-command: sub-command names are recognised
    // anywhere on the command line, and "delete" is also an argument of other commands.
    const QStringList actions {u"create"_s, u"insert"_s, u"fetch"_s, u"count"_s, u"delete"_s};
    const QStringList &all = invocation.arguments();
    if (all.isEmpty() || !actions.contains(all.first()))
        return invocation.usageError(u"store needs one of create, insert, fetch, count, delete"_s);
    const QString action = all.first();
    const QStringList arguments = all.mid(1);
    const Options &o = options();
    const std::pair<QMOptionPtr, QStringList> only[] = {
            {o.where, {u"fetch"_s, u"count"_s, u"delete"_s}},
            {o.sort, {u"fetch"_s}},
            {o.descending, {u"fetch"_s}},
            {o.limit, {u"fetch"_s}},
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
    return runQuery(invocation, arguments, action);
}

} // namespace

QString StoreCommand::objectLine(const QMManagedObject &object)
{
    QString line = u"{\"objectID\":"_s + QString::number(object.objectID().number());
    if (const QMEntityDescription *entity = object.entity()) {
        for (const QMAttributeDescription &attribute : entity->attributes()) {
            line += u","_s + jsonText(attribute.name) + u":"_s
                    + jsonText(attribute.JSONValue(object.value(attribute.name)));
        }
    }
    return line + u"}"_s;
}

ToolCommand StoreCommand::command()
{
    const Options &o = options();
    return ToolCommand::make(
            u"store"_s, {o.type, o.where, o.sort, o.descending, o.limit},
            {u"ACTION"_s, u"MODEL"_s, u"STORE"_s, u"ARG..."_s},
            u"Keep objects of a model in a SQLite, XML or in-memory store.\n\n"
            "qmf store create MODEL STORE [--type sqlite|xml|memory]\n"
            "qmf store insert MODEL STORE ENTITY KEY=VALUE...\n"
            "qmf store fetch MODEL STORE ENTITY [--where PREDICATE [ARG...]] [--sort KEY]\n"
            "                [--descending] [--limit N]\n"
            "qmf store count MODEL STORE ENTITY [--where PREDICATE [ARG...]]\n"
            "qmf store delete MODEL STORE ENTITY [--where PREDICATE [ARG...]]\n\n"
            "MODEL is a compiled model (NAME.momd: a JSON file, or a directory holding\n"
            "model.json). fetch and insert print objects as JSON lines; binary values are\n"
            "Base64, dates ISO 8601. A predicate reads like: year >= %@ AND title\n"
            "BEGINSWITH[c] %@ (the arguments after ENTITY fill its %@ in order). The store\n"
            "type defaults to xml for a .xml file, else sqlite."_s,
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
}
