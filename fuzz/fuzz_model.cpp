// Reads arbitrary bytes as a compiled object model and checks that
//  - nothing crashes: bytes that are not a model fail with QMManagedObjectModelInvalidError;
//  - an accepted model writes JSON (toJSON()) that reads back to a model with the same version
//    hash, the same entities and attributes (names, types, flags, defaults), and the same JSON.

#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

bool sameAttributes(const QMEntityDescription &a, const QMEntityDescription &b)
{
    if (a.name() != b.name() || a.attributes().size() != b.attributes().size())
        return false;
    for (qsizetype i = 0; i < a.attributes().size(); ++i) {
        const QMAttributeDescription &x = a.attributes().at(i);
        const QMAttributeDescription &y = b.attributes().at(i);
        if (x.name != y.name || x.type != y.type || x.optional != y.optional
            || x.indexed != y.indexed || x.defaultValue != y.defaultValue)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QMError error;
    const auto model = QMManagedObjectModel::modelWithJSON(bytes, &error);
    if (!model) {
        require(error.domain() == QMPersistenceErrorDomain);
        require(error.code() == QMManagedObjectModelInvalidError);
        require(!error.localizedDescription().isEmpty());
        return 0;
    }
    const QByteArray json = model->toJSON();
    QMError again;
    const auto reread = QMManagedObjectModel::modelWithJSON(json, &again);
    require(reread != nullptr);
    require(reread->versionHash() == model->versionHash());
    require(reread->name() == model->name() && reread->version() == model->version());
    require(reread->entities().size() == model->entities().size());
    for (qsizetype i = 0; i < model->entities().size(); ++i) {
        require(sameAttributes(model->entities().at(i), reread->entities().at(i)));
        require(reread->entityForName(model->entities().at(i).name()) != nullptr);
    }
    require(reread->toJSON() == json);
    return 0;
}
