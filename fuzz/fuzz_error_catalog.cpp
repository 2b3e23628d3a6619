// Feeds arbitrary bytes to the error catalog loader and checks what must hold for any input:
//  - a catalog that does not load comes back as a content error (invalid JSON, not a catalog,
//    an invalid definition) naming the file and, for the last two, the offending entry, and
//    adds nothing;
//  - a catalog that loads adds exactly its definitions, in order, each found again by its own
//    code, and an error can be built for every code, with the values of all its keys given or
//    none: the description then is the catalog's text filled in or left as it is.

#include <QMFoundation/errors/QMErrorManager.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

const QString fileName = QStringLiteral("fuzz.json");

void checkRejected(const QMErrorManager &manager, const QMError &error)
{
    require(error.domain() == QMErrorCatalogErrorDomain);
    require(error.code() == QMErrorCatalogErrorInvalidJSON
            || error.code() == QMErrorCatalogErrorInvalidCatalog
            || error.code() == QMErrorCatalogErrorInvalidDefinition);
    require(error.userInfo().value(QMErrorCatalogFileKey).toString() == fileName);
    require(error.localizedDescription().contains(QStringLiteral("\"fuzz.json\"")));
    require(!error.localizedFailureReason().isEmpty());
    const QString entry = error.userInfo().value(QMErrorCatalogEntryKey).toString();
    if (error.code() == QMErrorCatalogErrorInvalidJSON)
        require(!error.userInfo().contains(QMErrorCatalogEntryKey));
    else
        require(entry.isEmpty() || entry.startsWith(u'/'));
    if (error.code() == QMErrorCatalogErrorInvalidDefinition)
        require(entry.startsWith(QStringLiteral("/errors/"))
                && error.localizedDescription().contains(entry.section(u'/', 0, 2)));
    require(manager.allErrorDefinitionsByDomain().isEmpty());
}

QVariantMap valuesFor(const QStringList &keys)
{
    QVariantMap values;
    for (const QString &key : keys)
        values.insert(key, QString(QStringLiteral("<") + key + u'>'));
    return values;
}

void checkLoaded(const QMErrorManager &manager, const QByteArray &json)
{
    const QJsonObject catalog = QJsonDocument::fromJson(json).object();
    const QString domain = catalog.value(kErrorDefinitionsDomainKey).toString();
    const QJsonArray entries = catalog.value(kErrorDefinitionsErrorsKey).toArray();
    const QMErrorManager::DefinitionsByDomain table = manager.allErrorDefinitionsByDomain();
    require(table.size() == (entries.isEmpty() ? 0 : 1));
    const QMErrorDefinitionList definitions = table.value(domain);
    require(definitions.size() == entries.size());

    for (qsizetype i = 0; i < definitions.size(); ++i) {
        const QMErrorDefinitionPtr &definition = definitions.at(i);
        require(definition->name() == entries.at(i)[kDefinitionName].toString());
        const qint64 code = definition->code();
        require(manager.errorDefinitionForDomain(domain, code) == definition);

        const QStringList keys = definition->descriptionKeys() + definition->failureReasonKeys();
        const QMError filled = manager.errorWithDomain(domain, code, valuesFor(keys));
        const QMError bare = manager.errorWithDomain(domain, code);
        for (const QMError &error : {filled, bare}) {
            require(error.domain() == domain && error.code() == code);
            require(error.localizedRecoverySuggestion() == error.localizedFailureReason());
        }
        const QString format = definition->descriptionFormat();
        require(bare.userInfo().contains(QMLocalizedDescriptionKey) == !format.isNull());
        require(format.isNull() || bare.userInfo().value(QMLocalizedDescriptionKey) == format);
        // Without placeholders or without keys the text is the catalog's as it stands.
        if (!format.contains(u'%') || definition->descriptionKeys().isEmpty())
            require(format.isNull()
                    || filled.userInfo().value(QMLocalizedDescriptionKey) == format);
        // Every key's value is used, in order, as long as there are placeholders for them.
        if (format.count(QStringLiteral("%@")) == definition->descriptionKeys().size()
            && !format.contains(QStringLiteral("%%"))) {
            const QString text = filled.localizedDescription();
            qsizetype from = 0;
            for (const QString &key : definition->descriptionKeys()) {
                from = text.indexOf(QStringLiteral("<") + key + u'>', from);
                require(from >= 0);
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json(reinterpret_cast<const char *>(data), qsizetype(size));
    QMErrorManager manager;
    QMError error;
    if (manager.addErrorDefinitionsFromJSONData(json, fileName, &error))
        checkLoaded(manager, json);
    else
        checkRejected(manager, error);
    return 0;
}
