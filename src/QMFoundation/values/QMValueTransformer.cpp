#include <QMFoundation/values/QMValueTransformer.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QHash>

#include <algorithm>
#include <mutex>

namespace {

// The registry knows no transformer of its own: each area that brings transformers registers them
// when the library is loaded (the dates area's in dates/QMValueTransformers.cpp).
struct Registry
{
    std::mutex mutex;
    QHash<QString, QMValueTransformer::Factory> factories;
};

// Built under C++'s thread-safe static initialisation, on first use: also when an area registers
// its transformers while the library is being loaded.
Registry &registry()
{
    static Registry instance;
    return instance;
}

} // namespace

QMValueTransformer::~QMValueTransformer() = default;

bool QMValueTransformer::allowsReverseTransformation() const
{
    return false;
}

QVariant QMValueTransformer::reverseTransformedValue(const QVariant &) const
{
    return QVariant();
}

void QMValueTransformer::setValueTransformerFactory(const QString &name, Factory factory)
{
    QMParameterAssert(!name.isEmpty(), "name != nil");
    Registry &table = registry();
    const std::lock_guard lock(table.mutex);
    if (factory)
        table.factories.insert(name, std::move(factory));
    else
        table.factories.remove(name);
}

std::unique_ptr<QMValueTransformer> QMValueTransformer::valueTransformerForName(const QString &name)
{
    Registry &table = registry();
    Factory factory;
    {
        const std::lock_guard lock(table.mutex);
        factory = table.factories.value(name);
    }
    return factory ? factory() : nullptr;
}

QStringList QMValueTransformer::valueTransformerNames()
{
    Registry &table = registry();
    QStringList names;
    {
        const std::lock_guard lock(table.mutex);
        names = table.factories.keys();
    }
    std::sort(names.begin(), names.end());
    return names;
}
