// Reads arbitrary bytes as an XML store file of the qmf sample model and checks that
//  - nothing crashes: a file that does not open fails with a store error that says why;
//  - a file that opens can be read whole, saved with one more object, and opened again, and
//    then holds the same objects with the same values, and the new one.

#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

std::shared_ptr<const QMManagedObjectModel> model()
{
    static const auto m = QMManagedObjectModel::modelWithContentsOfURL(
            QUrl::fromLocalFile(QStringLiteral(QMF_SAMPLE_MODEL)));
    require(m != nullptr);
    return m;
}

std::shared_ptr<QMManagedObjectContext> open(const QUrl &url, QMError *error)
{
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model());
    if (!coordinator->addPersistentStoreWithType(QMXMLStoreType, {}, url, {}, error))
        return nullptr;
    return QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
}

// Every object of the entity: its number and its values, in number order.
QList<std::pair<qint64, QVariantMap>> contents(QMManagedObjectContext &context,
                                               const QString &entity)
{
    QList<std::pair<qint64, QVariantMap>> list;
    QMError error;
    const auto objects = context.executeFetchRequest(QMFetchRequest(entity), &error);
    require(error.isNull());
    for (const auto &o : objects)
        list.append({o->objectID().number(), o->values()});
    return list;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(u"store.xml"_s);
    {
        QFile file(path);
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        require(file.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size));
    }
    const QUrl url = QUrl::fromLocalFile(path);
    QMError error;
    auto context = open(url, &error);
    if (!context) {
        require(error.domain() == QMPersistenceErrorDomain);
        require(error.code() == QMFileReadCorruptFileError
                || error.code() == QMPersistentStoreIncompatibleSchemaError);
        require(!error.localizedDescription().isEmpty());
        return 0;
    }
    const auto authors = contents(*context, u"Author"_s);
    const auto books = contents(*context, u"Book"_s);
    auto added = context->insertNewObjectForEntityForName(u"Book"_s);
    added->setValue(u"title"_s, u"added"_s);
    require(context->save(&error));
    const qint64 number = added->objectID().number();
    context.reset();
    added.reset();

    auto again = open(url, &error);
    require(again != nullptr);
    require(contents(*again, u"Author"_s) == authors);
    auto reread = contents(*again, u"Book"_s);
    require(!reread.isEmpty() && reread.last().first == number);
    require(reread.takeLast().second.value(u"title"_s) == u"added"_s);
    require(reread == books);
    return 0;
}
