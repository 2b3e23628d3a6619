#include "QMFoundation/keychain/QMKeychainStore_p.h"

#include "QMFoundation/keychain/QMKeychainFile_p.h"

#include <QMetaType>
#include <QUuid>

#include <atomic>

using namespace Qt::Literals::StringLiterals;

const QString QMKeychainAttrClass = u"class"_s;
const QString QMKeychainAttrLabel = u"label"_s;
const QString QMKeychainAttrCreationDate = u"creationDate"_s;
const QString QMKeychainAttrModificationDate = u"modificationDate"_s;
const QString QMKeychainAttrDescription = u"description"_s;
const QString QMKeychainAttrComment = u"comment"_s;
const QString QMKeychainAttrCreator = u"creator"_s;
const QString QMKeychainAttrIsInvisible = u"invisible"_s;
const QString QMKeychainAttrIsNegative = u"negative"_s;
const QString QMKeychainAttrAccount = u"account"_s;
const QString QMKeychainAttrService = u"service"_s;
const QString QMKeychainAttrGeneric = u"generic"_s;
const QString QMKeychainAttrSecurityDomain = u"securityDomain"_s;
const QString QMKeychainAttrServer = u"server"_s;
const QString QMKeychainAttrProtocol = u"protocol"_s;
const QString QMKeychainAttrPort = u"port"_s;
const QString QMKeychainAttrPath = u"path"_s;
const QString QMKeychainValueData = u"data"_s;
const QString QMKeychainValueRef = u"ref"_s;
const QString QMKeychainMatchLimit = u"matchLimit"_s;
const QString QMKeychainMatchLimitOne = u"one"_s;
const QString QMKeychainMatchLimitAll = u"all"_s;
const QString QMKeychainReturnData = u"returnData"_s;
const QString QMKeychainReturnAttributes = u"returnAttributes"_s;
const QString QMKeychainReturnRef = u"returnRef"_s;
const QString QMKeychainUseKeychain = u"useKeychain"_s;
const QString QMKeychainMatchSearchList = u"searchList"_s;
const QString QMKeychainItemTypeGeneric = u"QMKeychainItemTypeGeneric"_s;
const QString QMKeychainItemTypeInternetPassword = u"QMKeychainItemTypeInternetPassword"_s;

using Kind = QMKeychainAttributes::Kind;

const QList<std::pair<QString, Kind>> &QMKeychainAttributes::table()
{
    static const QList<std::pair<QString, Kind>> attributes {
            {QMKeychainAttrAccount, Kind::Text},       {QMKeychainAttrService, Kind::Text},
            {QMKeychainAttrGeneric, Kind::Data},       {QMKeychainAttrServer, Kind::Text},
            {QMKeychainAttrProtocol, Kind::Text},      {QMKeychainAttrPort, Kind::Integer},
            {QMKeychainAttrPath, Kind::Text},          {QMKeychainAttrSecurityDomain, Kind::Text},
            {QMKeychainAttrDescription, Kind::Text},   {QMKeychainAttrComment, Kind::Text},
            {QMKeychainAttrCreator, Kind::Text},       {QMKeychainAttrIsInvisible, Kind::Boolean},
            {QMKeychainAttrIsNegative, Kind::Boolean},
    };
    return attributes;
}

std::optional<Kind> QMKeychainAttributes::kindOf(const QString &key)
{
    for (const auto &[name, kind] : table())
        if (name == key)
            return kind;
    return std::nullopt;
}

QVariant QMKeychainAttributes::typedValue(Kind kind, const QVariant &value)
{
    const int type = value.metaType().id();
    switch (kind) {
    case Kind::Text:
        return type == QMetaType::QString ? value : QVariant();
    case Kind::Integer: {
        // Any integer type will do; ports fit in 32 bits, larger numbers are refused rather than
        // cut.
        bool ok = false;
        const qlonglong number = value.toLongLong(&ok);
        const bool integral = type == QMetaType::Int || type == QMetaType::UInt
                || type == QMetaType::LongLong || type == QMetaType::ULongLong
                || type == QMetaType::Long || type == QMetaType::ULong || type == QMetaType::Short
                || type == QMetaType::UShort;
        if (!integral || !ok || number < 0 || number > std::numeric_limits<qint32>::max())
            return QVariant();
        return QVariant(int(number));
    }
    case Kind::Boolean:
        return type == QMetaType::Bool ? value : QVariant();
    case Kind::Data:
        return type == QMetaType::QByteArray ? value : QVariant();
    }
    return QVariant();
}

QString QMKeychainAttributes::text(Kind kind, const QVariant &typed)
{
    switch (kind) {
    case Kind::Text:
        return typed.toString();
    case Kind::Integer:
        return QString::number(typed.toInt());
    case Kind::Boolean:
        return typed.toBool() ? u"true"_s : u"false"_s;
    case Kind::Data:
        return QString::fromLatin1(typed.toByteArray().toBase64());
    }
    return QString();
}

QVariant QMKeychainAttributes::fromText(Kind kind, const QString &text)
{
    switch (kind) {
    case Kind::Text:
        return text;
    case Kind::Integer: {
        bool ok = false;
        const int number = text.toInt(&ok);
        return ok && number >= 0 ? QVariant(number) : QVariant();
    }
    case Kind::Boolean:
        if (text == u"true"_s || text == u"false"_s)
            return text == u"true"_s;
        return QVariant();
    case Kind::Data: {
        auto decoded = QByteArray::fromBase64Encoding(text.toLatin1(),
                                                      QByteArray::AbortOnBase64DecodingErrors);
        return decoded ? QVariant(*decoded) : QVariant();
    }
    }
    return QVariant();
}

namespace {

bool isQueryKey(const QString &key)
{
    return key == QMKeychainMatchLimit || key == QMKeychainReturnData
            || key == QMKeychainReturnAttributes || key == QMKeychainReturnRef
            || key == QMKeychainUseKeychain || key == QMKeychainMatchSearchList
            || key == QMKeychainAttrCreationDate || key == QMKeychainAttrModificationDate
            || key == QMKeychainValueData;
}

// The match of a query in typed form, or errSecParam for a key or value the store does not
// know, so that a misspelt key never silently matches everything.
struct Match
{
    std::optional<QString> itemClass;
    std::optional<QString> label;
    std::optional<QString> identifier;
    QVariantMap attributes;
};

QMKeychainResult readMatch(const QVariantMap &query, Match *match)
{
    for (auto it = query.cbegin(); it != query.cend(); ++it) {
        const QString &key = it.key();
        if (isQueryKey(key))
            continue;
        if (key == QMKeychainAttrClass || key == QMKeychainAttrLabel) {
            if (it.value().metaType().id() != QMetaType::QString)
                return errSecParam;
            (key == QMKeychainAttrClass ? match->itemClass : match->label) = it.value().toString();
        } else if (key == QMKeychainValueRef) {
            if (!it.value().canConvert<QMKeychainItemRef>())
                return errSecParam;
            match->identifier = it.value().value<QMKeychainItemRef>().identifier;
        } else if (const auto kind = QMKeychainAttributes::kindOf(key)) {
            const QVariant typed = QMKeychainAttributes::typedValue(*kind, it.value());
            if (!typed.isValid())
                return errSecParam;
            match->attributes.insert(key, typed);
        } else {
            return {errSecParam, u"A keychain item has no attribute \"%1\"."_s.arg(key)};
        }
    }
    if (match->itemClass && *match->itemClass != QMKeychainItemTypeGeneric
        && *match->itemClass != QMKeychainItemTypeInternetPassword)
        return errSecParam;
    return errSecSuccess;
}

QVariantMap typedMatchQuery(const Match &match)
{
    QVariantMap query = match.attributes;
    if (match.itemClass)
        query.insert(QMKeychainAttrClass, *match.itemClass);
    return query;
}

bool matches(const QMKeychainRecord &record, const Match &match)
{
    if (match.itemClass && record.itemClass != *match.itemClass)
        return false;
    if (match.label && record.label != *match.label)
        return false;
    if (match.identifier && record.identifier != *match.identifier)
        return false;
    for (auto it = match.attributes.cbegin(); it != match.attributes.cend(); ++it) {
        const auto kind = *QMKeychainAttributes::kindOf(it.key());
        const QVariant stored = record.attributes.value(it.key());
        if (!stored.isValid()
            || QMKeychainAttributes::text(kind, stored) != QMKeychainAttributes::text(kind, *it))
            return false;
    }
    return true;
}

QMKeychainResult matchingRecords(QMKeychainBackend &backend, const Match &match,
                                 QList<QMKeychainRecord> *records)
{
    QList<QMKeychainRecord> candidates;
    const QMKeychainResult result = backend.search(typedMatchQuery(match), &candidates);
    if (!result.ok())
        return result;
    for (const QMKeychainRecord &record : std::as_const(candidates))
        if (matches(record, match))
            records->append(record);
    return errSecSuccess;
}

// The attributes that make an item unique in its keychain; an absent one counts as empty.
const QStringList &keyAttributes(const QString &itemClass)
{
    static const QStringList generic {QMKeychainAttrAccount, QMKeychainAttrService};
    static const QStringList internet {QMKeychainAttrAccount, QMKeychainAttrSecurityDomain,
                                       QMKeychainAttrServer,  QMKeychainAttrProtocol,
                                       QMKeychainAttrPort,    QMKeychainAttrPath};
    return itemClass == QMKeychainItemTypeGeneric ? generic : internet;
}

// A change or a deletion acts on every item its query matches. A query built from attributes
// that are missing (an item never stored, say) would be the class alone and match every item of
// it, in a file or in the desktop keyring (where other applications' items share the schema), so
// such a query is refused: it must name one item, by its reference or by its whole key.
QMKeychainResult checkNamesOneItem(const Match &match, const char *action)
{
    if (match.identifier)
        return errSecSuccess;
    if (match.itemClass) {
        const QStringList &key = keyAttributes(*match.itemClass);
        if (std::all_of(key.cbegin(), key.cend(),
                        [&](const QString &name) { return match.attributes.contains(name); }))
            return errSecSuccess;
    }
    const QString keyText = match.itemClass ? keyAttributes(*match.itemClass).join(u", "_s)
                                            : u"the item class and its key attributes"_s;
    return {errSecParam,
            u"A keychain %1 must name one item: its reference, or %2."_s.arg(
                    QString::fromLatin1(action), keyText)};
}

QStringList keyOf(const QMKeychainRecord &record)
{
    QStringList key {record.itemClass};
    for (const QString &name : keyAttributes(record.itemClass)) {
        const QVariant value = record.attributes.value(name);
        key.append(value.isValid()
                           ? QMKeychainAttributes::text(*QMKeychainAttributes::kindOf(name), value)
                           : QString());
    }
    return key;
}

QMKeychainResult checkUnique(QMKeychainBackend &backend, const QMKeychainRecord &record)
{
    Match match;
    match.itemClass = record.itemClass;
    QList<QMKeychainRecord> sameClass;
    const QMKeychainResult result = matchingRecords(backend, match, &sameClass);
    if (!result.ok())
        return result;
    const QStringList key = keyOf(record);
    for (const QMKeychainRecord &other : std::as_const(sameClass))
        if (other.identifier != record.identifier && keyOf(other) == key)
            return errSecDuplicateItem;
    return errSecSuccess;
}

// Applies attribute changes (an invalid value removes the attribute) to a record.
QMKeychainResult applyChanges(QMKeychainRecord *record, const QVariantMap &changes)
{
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        const QString &key = it.key();
        const bool removal = !it.value().isValid();
        if (key == QMKeychainAttrLabel) {
            if (!removal && it.value().metaType().id() != QMetaType::QString)
                return errSecParam;
            record->label = it.value().toString();
        } else if (key == QMKeychainValueData) {
            if (!removal && it.value().metaType().id() != QMetaType::QByteArray)
                return errSecParam;
            record->secret = it.value().toByteArray();
        } else if (key == QMKeychainAttrClass) {
            if (it.value().metaType().id() != QMetaType::QString)
                return errSecParam;
            record->itemClass = it.value().toString();
        } else if (const auto kind = QMKeychainAttributes::kindOf(key)) {
            if (removal) {
                record->attributes.remove(key);
                continue;
            }
            const QVariant typed = QMKeychainAttributes::typedValue(*kind, it.value());
            if (!typed.isValid())
                return errSecParam;
            record->attributes.insert(key, typed);
        } else if (!isQueryKey(key) && key != QMKeychainValueRef) {
            return errSecParam;
        }
    }
    return errSecSuccess;
}

QVariantMap resultFor(QMKeychainBackend &backend, const QMKeychainRecord &record, bool withData)
{
    QVariantMap result = record.attributes;
    result.insert(QMKeychainAttrClass, record.itemClass);
    result.insert(QMKeychainAttrLabel, record.label);
    result.insert(QMKeychainAttrCreationDate, record.created);
    result.insert(QMKeychainAttrModificationDate, record.modified);
    result.insert(QMKeychainValueRef,
                  QVariant::fromValue(QMKeychainItemRef {backend.handle(), record.identifier}));
    if (withData)
        result.insert(QMKeychainValueData, record.secret);
    return result;
}

std::atomic<qint64> &timeoutMs()
{
    static std::atomic<qint64> milliseconds = 5000;
    return milliseconds;
}

thread_local const QMAsync::Cancellation *currentCall = nullptr;

} // namespace

QMError QMKeychainResult::error() const
{
    return QMKeychainErrors::keychainError(status, reason, path);
}

std::chrono::milliseconds QMKeychainStore::timeout()
{
    return std::chrono::milliseconds(timeoutMs().load());
}

void QMKeychainStore::setTimeout(std::chrono::milliseconds timeout)
{
    timeoutMs() = std::max<qint64>(0, timeout.count());
}

QString QMKeychainStore::timeoutText(std::chrono::milliseconds timeout)
{
    const qint64 ms = timeout.count();
    if (ms < 1000)
        return u"%1 ms"_s.arg(ms);
    return u"%1 s"_s.arg(QString::number(double(ms) / 1000, 'g', 6));
}

const QMAsync::Cancellation *QMKeychainStore::currentCancellation()
{
    return currentCall;
}

bool QMKeychainStore::isCanceled()
{
    return currentCall && currentCall->isCanceled();
}

QMKeychainStore::CancellationScope::CancellationScope(const QMAsync::Cancellation &cancellation)
    : m_outer(currentCall)
{
    currentCall = &cancellation;
}

QMKeychainStore::CancellationScope::~CancellationScope()
{
    currentCall = m_outer;
}

QMKeychainResult QMKeychainStore::canceled()
{
    return {errSecUserCanceled, u"The call was cancelled before it ended."_s};
}

QMKeychainStore::Wait QMKeychainStore::waitUntil(
        std::chrono::steady_clock::time_point deadline,
        const std::function<bool(std::chrono::steady_clock::time_point until)> &attempt)
{
    constexpr auto slice = std::chrono::milliseconds(20);
    for (;;) {
        if (isCanceled())
            return Wait::Canceled;
        const auto until = currentCall
                ? std::min(deadline, std::chrono::steady_clock::now() + slice)
                : deadline;
        if (attempt(until))
            return Wait::Done;
        if (until >= deadline)
            return isCanceled() ? Wait::Canceled : Wait::TimedOut;
    }
}

QMKeychainBackend &QMKeychainStore::backendForQuery(const QVariantMap &query)
{
    const QMKeychainRef file = query.value(QMKeychainUseKeychain).value<QMKeychainRef>();
    if (file)
        return *file;
    return secretService();
}

QMKeychainResult QMKeychainStore::copyMatching(const QVariantMap &query,
                                               QList<QVariantMap> *results)
{
    return copyMatching(backendForQuery(query), query, results);
}

QMKeychainResult QMKeychainStore::add(const QVariantMap &query, QVariantMap *result)
{
    return add(backendForQuery(query), query, result);
}

QMKeychainResult QMKeychainStore::update(const QVariantMap &query, const QVariantMap &changes)
{
    return update(backendForQuery(query), query, changes);
}

QMKeychainResult QMKeychainStore::remove(const QVariantMap &query)
{
    return remove(backendForQuery(query), query);
}

QMKeychainResult QMKeychainStore::copyMatching(QMKeychainBackend &backend, const QVariantMap &query,
                                               QList<QVariantMap> *results)
{
    Match match;
    QMKeychainResult result = readMatch(query, &match);
    if (!result.ok())
        return result;
    const bool one = query.value(QMKeychainMatchLimit) != QMKeychainMatchLimitAll;
    const bool withData = query.value(QMKeychainReturnData).toBool();
    QList<QMKeychainRecord> records;
    result = backend.transaction(QMKeychainBackend::Access::Read,
                                 [&] { return matchingRecords(backend, match, &records); });
    if (!result.ok())
        return result;
    if (records.isEmpty())
        return errSecItemNotFound;
    if (one)
        records.resize(1);
    for (const QMKeychainRecord &record : std::as_const(records))
        results->append(resultFor(backend, record, withData));
    return errSecSuccess;
}

QMKeychainResult QMKeychainStore::add(QMKeychainBackend &backend, const QVariantMap &query,
                                      QVariantMap *result)
{
    QMKeychainRecord record;
    QMKeychainResult outcome = applyChanges(&record, query);
    if (!outcome.ok())
        return outcome;
    const bool internet = record.itemClass == QMKeychainItemTypeInternetPassword;
    if (!internet && record.itemClass != QMKeychainItemTypeGeneric)
        return errSecParam;
    // As in other keychain services, an internet password without a port is filed under port 0
    // (which reads back as "no port"), so that a lookup for a URL without a port finds it.
    if (internet && !record.attributes.contains(QMKeychainAttrPort))
        record.attributes.insert(QMKeychainAttrPort, 0);
    // Without a label the item is named after what it is for, as keyring browsers show it.
    if (!query.contains(QMKeychainAttrLabel)) {
        const QString &namedBy = internet ? QMKeychainAttrServer : QMKeychainAttrService;
        record.label = record.attributes.value(namedBy).toString();
    }
    outcome = backend.transaction(QMKeychainBackend::Access::Write, [&] {
        const QMKeychainResult unique = checkUnique(backend, record);
        return unique.ok() ? backend.create(&record) : unique;
    });
    if (outcome.ok() && result)
        *result = resultFor(backend, record, true);
    return outcome;
}

QMKeychainResult QMKeychainStore::update(QMKeychainBackend &backend, const QVariantMap &query,
                                         const QVariantMap &changes)
{
    Match match;
    QMKeychainResult result = readMatch(query, &match);
    if (result.ok())
        result = checkNamesOneItem(match, "update");
    if (!result.ok())
        return result;
    if (changes.contains(QMKeychainAttrClass))
        return errSecParam;
    return backend.transaction(QMKeychainBackend::Access::Write, [&] {
        QList<QMKeychainRecord> records;
        QMKeychainResult outcome = matchingRecords(backend, match, &records);
        if (outcome.ok() && records.isEmpty())
            outcome = errSecItemNotFound;
        for (QMKeychainRecord &record : records) {
            if (outcome.ok())
                outcome = applyChanges(&record, changes);
            if (outcome.ok())
                outcome = checkUnique(backend, record);
            if (outcome.ok())
                outcome = backend.replace(&record);
        }
        return outcome;
    });
}

QMKeychainResult QMKeychainStore::remove(QMKeychainBackend &backend, const QVariantMap &query)
{
    Match match;
    QMKeychainResult result = readMatch(query, &match);
    if (result.ok())
        result = checkNamesOneItem(match, "deletion");
    if (!result.ok())
        return result;
    return backend.transaction(QMKeychainBackend::Access::Write, [&] {
        QList<QMKeychainRecord> records;
        QMKeychainResult outcome = matchingRecords(backend, match, &records);
        if (outcome.ok() && records.isEmpty())
            outcome = errSecItemNotFound;
        for (const QMKeychainRecord &record : std::as_const(records))
            if (outcome.ok())
                outcome = backend.erase(record);
        return outcome;
    });
}
