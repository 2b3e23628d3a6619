#include <QMFoundation/errors/QMErrorManager.h>

#include <QMFoundation/errors/QMFileStatus_p.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <shared_mutex>

const QString kErrorDefinitionsErrorsKey = QStringLiteral("errors");
const QString kErrorDefinitionsPrefixKey = QStringLiteral("prefix");
const QString kErrorDefinitionsDomainKey = QStringLiteral("domain");
const QString kErrorDefinitionsDomainSuffix = QStringLiteral("ErrorDomain");
const QString kErrorDefinitionsClassSuffix = QStringLiteral("Errors");
const QString kDefinitionKeySuffix = QStringLiteral("ErrorKey");

const QString QMErrorCatalogErrorDomain = QStringLiteral("QMErrorCatalogErrorDomain");
const QString QMErrorCatalogFileKey = QStringLiteral("QMErrorCatalogFileKey");
const QString QMErrorCatalogEntryKey = QStringLiteral("QMErrorCatalogEntryKey");

namespace {

// The longest stretch of a catalog's own text that a message quotes.
constexpr qsizetype QuotedTextLength = 40;
// QMFormat's limit: a definition with more keys could not be formatted.
constexpr qsizetype MaximumKeyCount = 10;

struct Catalog
{
    QString domain;
    QList<QVariantMap> definitions;
};

// What is wrong with a catalog's content, and where.
struct Problem
{
    QMErrorCatalogErrorCode code;
    QString entry;
    QString reason;
};

QString found(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
        return QStringLiteral("null");
    case QJsonValue::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double:
        return QStringLiteral("the number ")
                + QString::fromUtf8(
                          QJsonDocument(QJsonArray {value}).toJson(QJsonDocument::Compact))
                          .chopped(1)
                          .mid(1);
    case QJsonValue::String: {
        const QString text = value.toString();
        return u'"'
                + (text.size() > QuotedTextLength
                           ? text.left(QuotedTextLength) + QStringLiteral("...")
                           : text)
                + u'"';
    }
    case QJsonValue::Array:
        return QStringLiteral("an array");
    case QJsonValue::Object:
        return QStringLiteral("an object");
    case QJsonValue::Undefined:
        break;
    }
    return QStringLiteral("nothing");
}

Problem problem(QMErrorCatalogErrorCode code, const QString &entry, const QString &expected,
                const QJsonValue &value)
{
    return {code, entry,
            entry + QStringLiteral(": expected ") + expected + QStringLiteral(", found ")
                    + found(value)};
}

Problem missing(QMErrorCatalogErrorCode code, const QString &entry, const QString &key)
{
    return {code, entry,
            (entry.isEmpty() ? QStringLiteral("the catalog") : entry) + QStringLiteral(" has no \"")
                    + key + u'"'};
}

// A code as QMErrorDefinition::code() reads it back exactly: a whole number in the 64-bit
// range, or a text of decimal digits with an optional minus sign in that range.
std::optional<qint64> integerCode(const QJsonValue &value)
{
    if (value.isDouble()) {
        // toInteger() gives its default unless the number is whole and fits; two defaults tell.
        const qint64 code = value.toInteger(0);
        if (code != value.toInteger(1))
            return std::nullopt;
        return code;
    }
    if (!value.isString())
        return std::nullopt;
    const QString text = value.toString();
    const qsizetype start = text.startsWith(u'-') ? 1 : 0;
    if (text.size() == start)
        return std::nullopt;
    for (qsizetype i = start; i < text.size(); ++i) {
        if (text.at(i) < u'0' || text.at(i) > u'9')
            return std::nullopt;
    }
    bool ok = false;
    const qint64 code = text.toLongLong(&ok);
    return ok ? std::optional<qint64>(code) : std::nullopt;
}

std::optional<Problem> checkKeyList(const QJsonObject &definition, const QString &key,
                                    const QString &entry)
{
    const QJsonValue value = definition.value(key);
    const QString pointer = entry + u'/' + key;
    if (value.isUndefined())
        return std::nullopt;
    if (!value.isArray())
        return problem(QMErrorCatalogErrorInvalidDefinition, pointer,
                       QStringLiteral("a list of texts"), value);
    const QJsonArray keys = value.toArray();
    if (keys.size() > MaximumKeyCount)
        return Problem {QMErrorCatalogErrorInvalidDefinition, pointer,
                        pointer
                                + QStringLiteral(": %1 keys, but a text takes at most %2 values")
                                          .arg(keys.size())
                                          .arg(MaximumKeyCount)};
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (!keys.at(i).isString())
            return problem(QMErrorCatalogErrorInvalidDefinition,
                           pointer + u'/' + QString::number(i), QStringLiteral("a text"),
                           keys.at(i));
    }
    return std::nullopt;
}

// The definition at `entry` as it is to be added, or what is wrong with it. `codes` maps the
// codes seen so far to their entries.
std::optional<Problem> checkDefinition(const QJsonValue &value, const QString &entry,
                                       QHash<qint64, QString> &codes, QVariantMap &definition)
{
    if (!value.isObject())
        return problem(QMErrorCatalogErrorInvalidDefinition, entry, QStringLiteral("an object"),
                       value);
    const QJsonObject object = value.toObject();
    const QJsonValue codeValue = object.value(kDefinitionCode);
    if (codeValue.isUndefined())
        return missing(QMErrorCatalogErrorInvalidDefinition, entry, kDefinitionCode);
    const QString codeEntry = entry + u'/' + kDefinitionCode;
    const std::optional<qint64> code = integerCode(codeValue);
    if (!code)
        return problem(QMErrorCatalogErrorInvalidDefinition, codeEntry,
                       QStringLiteral("an integer (a number, or a text of decimal digits)"),
                       codeValue);
    if (const auto earlier = codes.constFind(*code); earlier != codes.cend())
        return Problem {QMErrorCatalogErrorInvalidDefinition, codeEntry,
                        codeEntry
                                + QStringLiteral(": code %1 is already defined at %2")
                                          .arg(QString::number(*code), earlier.value())};
    for (const QString &key : {kDefinitionName, kDefinitionDescription, kDefinitionFailureReason}) {
        const QJsonValue text = object.value(key);
        if (!text.isUndefined() && !text.isString())
            return problem(QMErrorCatalogErrorInvalidDefinition, entry + u'/' + key,
                           QStringLiteral("a text"), text);
    }
    for (const QString &key : {kDefinitionDescriptionKeys, kDefinitionFailureReasonKeys}) {
        if (std::optional<Problem> wrong = checkKeyList(object, key, entry))
            return wrong;
    }
    codes.insert(*code, entry);
    definition = object.toVariantMap();
    // A number keeps its exact integer value (a JSON "1e3" would otherwise stay a double).
    if (codeValue.isDouble())
        definition.insert(kDefinitionCode, *code);
    return std::nullopt;
}

std::optional<Catalog> readCatalog(const QByteArray &json, Problem &wrong)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        wrong = {QMErrorCatalogErrorInvalidJSON, QString(),
                 parseError.errorString() + QStringLiteral(" at offset ")
                         + QString::number(parseError.offset)};
        return std::nullopt;
    }
    if (!document.isObject()) {
        wrong = problem(QMErrorCatalogErrorInvalidCatalog, QStringLiteral(""),
                        QStringLiteral("an object"), QJsonValue(document.array()));
        return std::nullopt;
    }
    const QJsonObject object = document.object();
    Catalog catalog;
    const QJsonValue domain = object.value(kErrorDefinitionsDomainKey);
    const QString domainEntry = u'/' + kErrorDefinitionsDomainKey;
    if (domain.isUndefined()) {
        wrong = missing(QMErrorCatalogErrorInvalidCatalog, QStringLiteral(""),
                        kErrorDefinitionsDomainKey);
        return std::nullopt;
    }
    if (!domain.isString() || domain.toString().isEmpty()) {
        wrong = problem(QMErrorCatalogErrorInvalidCatalog, domainEntry,
                        QStringLiteral("a non-empty text"), domain);
        return std::nullopt;
    }
    catalog.domain = domain.toString();
    const QJsonValue prefix = object.value(kErrorDefinitionsPrefixKey);
    if (!prefix.isUndefined() && !prefix.isString()) {
        wrong = problem(QMErrorCatalogErrorInvalidCatalog, u'/' + kErrorDefinitionsPrefixKey,
                        QStringLiteral("a text"), prefix);
        return std::nullopt;
    }
    const QJsonValue errors = object.value(kErrorDefinitionsErrorsKey);
    if (errors.isUndefined()) {
        wrong = missing(QMErrorCatalogErrorInvalidCatalog, QStringLiteral(""),
                        kErrorDefinitionsErrorsKey);
        return std::nullopt;
    }
    if (!errors.isArray()) {
        wrong = problem(QMErrorCatalogErrorInvalidCatalog, u'/' + kErrorDefinitionsErrorsKey,
                        QStringLiteral("an array"), errors);
        return std::nullopt;
    }
    const QJsonArray entries = errors.toArray();
    QHash<qint64, QString> codes;
    catalog.definitions.reserve(entries.size());
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QVariantMap definition;
        const QString entry = u'/' + kErrorDefinitionsErrorsKey + u'/' + QString::number(i);
        if (std::optional<Problem> found
            = checkDefinition(entries.at(i), entry, codes, definition)) {
            wrong = *found;
            return std::nullopt;
        }
        catalog.definitions.append(definition);
    }
    return catalog;
}

// Reads a catalog file whole: a Qt resource, or a regular file (a FIFO must not hold the caller
// until a writer comes, a device must not fill memory) of at most QMErrorCatalogMaximumFileSize.
std::optional<Problem> readCatalogFile(const QString &fileName, QByteArray *bytes)
{
    const Problem tooLarge {QMErrorCatalogErrorFileUnreadable, QString(),
                            QStringLiteral("Larger than %1 MiB, the most an error catalog may hold")
                                    .arg(QMErrorCatalogMaximumFileSize / (1024 * 1024))};
    if (fileName.startsWith(u':')) {
        QFile resource(fileName);
        if (!resource.open(QIODevice::ReadOnly))
            return Problem {QMErrorCatalogErrorFileNotFound, QString(), resource.errorString()};
        if (resource.size() > QMErrorCatalogMaximumFileSize)
            return tooLarge;
        *bytes = resource.readAll();
        return std::nullopt;
    }
    const QMFileStatus status
            = QMFileIO::readRegularFile(fileName, QMErrorCatalogMaximumFileSize, bytes);
    const auto system = [](int number) {
        return QString::fromLocal8Bit(std::strerror(number));
    };
    switch (status.kind) {
    case QMFileStatus::Ok:
        return std::nullopt;
    case QMFileStatus::Missing:
        return Problem {QMErrorCatalogErrorFileNotFound, QString(), system(ENOENT)};
    case QMFileStatus::TooLarge:
        return tooLarge;
    case QMFileStatus::NotRegular:
        // A directory in the system's words, as opening one for reading words it.
        return Problem {QMErrorCatalogErrorFileUnreadable, QString(),
                        status.systemError == EISDIR ? system(EISDIR)
                                                     : QStringLiteral("Not a regular file")};
    default:
        return Problem {QMErrorCatalogErrorFileUnreadable, QString(), system(status.systemError)};
    }
}

QMError catalogError(const QString &fileName, const Problem &wrong)
{
    QString description;
    switch (wrong.code) {
    case QMErrorCatalogErrorFileNotFound:
        description = QStringLiteral("The error catalog \"%1\" does not exist.").arg(fileName);
        break;
    case QMErrorCatalogErrorFileUnreadable:
        description = QStringLiteral("The error catalog \"%1\" could not be read.").arg(fileName);
        break;
    case QMErrorCatalogErrorInvalidJSON:
        description = QStringLiteral("The error catalog \"%1\" is not valid JSON.").arg(fileName);
        break;
    case QMErrorCatalogErrorInvalidCatalog:
        description = QStringLiteral("The file \"%1\" is not an error catalog.").arg(fileName);
        break;
    case QMErrorCatalogErrorInvalidDefinition: {
        // The definition itself: the first two steps of a pointer such as /errors/3/code.
        const QString definition = wrong.entry.section(u'/', 0, 2);
        description = QStringLiteral("The error catalog \"%1\" has an invalid definition at %2.")
                              .arg(fileName, definition);
        break;
    }
    }
    QVariantMap userInfo {{QMLocalizedDescriptionKey, description},
                          {QMLocalizedFailureReasonErrorKey, wrong.reason},
                          {QMErrorCatalogFileKey, fileName}};
    if (!wrong.entry.isNull())
        userInfo.insert(QMErrorCatalogEntryKey, wrong.entry);
    return QMError(QMErrorCatalogErrorDomain, wrong.code, userInfo);
}

} // namespace

class QMErrorManager::Private
{
public:
    // Readers share the lock; additions take it alone. Never held while a definition formats;
    // a definition's own lock may be taken under it, never the reverse.
    mutable std::shared_mutex mutex;
    DefinitionsByDomain definitionsByDomain;

    void append(const QList<QVariantMap> &definitions, const QString &domain)
    {
        if (definitions.isEmpty())
            return;
        QMErrorDefinitionList made;
        made.reserve(definitions.size());
        for (const QVariantMap &definition : definitions)
            made.append(QMErrorDefinition::errorDefinitionWithDefinition(definition));
        std::unique_lock lock(mutex);
        definitionsByDomain[domain] += made;
    }
};

QMErrorManager::QMErrorManager()
    : d(std::make_unique<Private>())
{ }

QMErrorManager::~QMErrorManager() = default;

QMErrorManager &QMErrorManager::sharedManager()
{
    // C++'s thread-safe static initialisation makes it once, also under concurrent first calls.
    static QMErrorManager manager;
    return manager;
}

void QMErrorManager::addErrorDefinition(const QVariantMap &errorDefinition,
                                        const QString &errorDomain)
{
    QMParameterAssert(!errorDomain.isNull(), "errorDomain");
    d->append({errorDefinition}, errorDomain);
}

void QMErrorManager::addErrorDefinitions(const QList<QVariantMap> &errorDefinitions,
                                         const QString &errorDomain)
{
    QMParameterAssert(!errorDomain.isNull(), "errorDomain");
    d->append(errorDefinitions, errorDomain);
}

bool QMErrorManager::addErrorDefinitionsFromJSON(const QString &fileName, QMError *error)
{
    QByteArray json;
    if (const std::optional<Problem> wrong = readCatalogFile(fileName, &json)) {
        QMSetError(error, catalogError(fileName, *wrong));
        return false;
    }
    return addErrorDefinitionsFromJSONData(json, fileName, error);
}

bool QMErrorManager::addErrorDefinitionsFromJSONData(const QByteArray &json,
                                                     const QString &fileName, QMError *error)
{
    Problem wrong {};
    const std::optional<Catalog> catalog = readCatalog(json, wrong);
    if (!catalog) {
        QMSetError(error, catalogError(fileName, wrong));
        return false;
    }
    d->append(catalog->definitions, catalog->domain);
    return true;
}

QMErrorDefinitionPtr QMErrorManager::errorDefinitionForDomain(const QString &domain,
                                                              qint64 code) const
{
    // Scanned under the lock rather than through a copy: an implicitly shared copy would be
    // released with a reference count that Qt reads relaxed before it appends in place, which
    // orders nothing between this thread's reads and the next addition.
    std::shared_lock lock(d->mutex);
    const auto list = d->definitionsByDomain.constFind(domain);
    if (list == d->definitionsByDomain.cend())
        return nullptr;
    for (const QMErrorDefinitionPtr &definition : list.value()) {
        if (definition->code() == code)
            return definition;
    }
    return nullptr;
}

QMErrorManager::DefinitionsByDomain QMErrorManager::allErrorDefinitionsByDomain() const
{
    // A deep copy, for the same reason: nothing of it is shared with the table.
    std::shared_lock lock(d->mutex);
    DefinitionsByDomain table;
    table.reserve(d->definitionsByDomain.size());
    for (auto it = d->definitionsByDomain.cbegin(); it != d->definitionsByDomain.cend(); ++it)
        table.insert(it.key(), QMErrorDefinitionList(it.value().cbegin(), it.value().cend()));
    return table;
}

QMError QMErrorManager::errorWithDomain(const QString &domain, qint64 code,
                                        const QVariantMap &userInfo) const
{
    QVariantMap info;
    if (const QMErrorDefinitionPtr definition = errorDefinitionForDomain(domain, code)) {
        if (const QString description = definition->localizedDescription(userInfo);
            !description.isNull())
            info.insert(QMLocalizedDescriptionKey, description);
        if (const QString reason = definition->localizedFailureReason(userInfo); !reason.isNull())
            info.insert(QMLocalizedFailureReasonErrorKey, reason);
    }
    for (auto it = userInfo.cbegin(); it != userInfo.cend(); ++it)
        info.insert(it.key(), it.value());
    if (!info.contains(QMLocalizedRecoverySuggestionErrorKey)
        && info.contains(QMLocalizedFailureReasonErrorKey))
        info.insert(QMLocalizedRecoverySuggestionErrorKey,
                    info.value(QMLocalizedFailureReasonErrorKey));
    return QMError(domain, code, info);
}
