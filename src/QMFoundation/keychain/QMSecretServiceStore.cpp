// The default keychain: the user's keyring through the freedesktop Secret Service (libsecret).
// glib's headers come first: Qt's "signals" keyword would otherwise rewrite a field of gio.
#include <libsecret/secret.h>

#include "QMFoundation/keychain/QMKeychainStore_p.h"
#include <QMFoundation/text/QMStringDecoding.h>

#include <QHash>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

using namespace Qt::Literals::StringLiterals;
using Kind = QMKeychainAttributes::Kind;

namespace {

// One schema per item class, named after the class; each lists the attributes items of its class
// carry (schema attribute names are the attribute keys).
struct Schema
{
    QString itemClass;
    QByteArray name;
    QStringList attributes;
    QList<QByteArray> attributeNames;
    SecretSchema schema {};
};

Schema makeSchema(const QString &itemClass, const char *name, const QStringList &own)
{
    Schema schema;
    schema.itemClass = itemClass;
    schema.name = name;
    schema.attributes = QStringList {QMKeychainAttrAccount,     QMKeychainAttrDescription,
                                     QMKeychainAttrComment,     QMKeychainAttrCreator,
                                     QMKeychainAttrIsInvisible, QMKeychainAttrIsNegative}
            + own;
    for (const QString &attribute : std::as_const(schema.attributes))
        schema.attributeNames.append(attribute.toUtf8());
    schema.schema.name = schema.name.constData();
    schema.schema.flags = SECRET_SCHEMA_NONE;
    for (qsizetype i = 0; i < schema.attributes.size(); ++i) {
        const Kind kind = *QMKeychainAttributes::kindOf(schema.attributes[i]);
        schema.schema.attributes[i].name = schema.attributeNames[i].constData();
        schema.schema.attributes[i].type = kind == Kind::Integer ? SECRET_SCHEMA_ATTRIBUTE_INTEGER
                : kind == Kind::Boolean                          ? SECRET_SCHEMA_ATTRIBUTE_BOOLEAN
                                                                 : SECRET_SCHEMA_ATTRIBUTE_STRING;
    }
    return schema;
}

const QList<Schema> &schemas()
{
    static const QList<Schema> all {
            makeSchema(QMKeychainItemTypeGeneric, "org.qmfoundation.keychain.GenericPassword",
                       {QMKeychainAttrService, QMKeychainAttrGeneric}),
            makeSchema(QMKeychainItemTypeInternetPassword,
                       "org.qmfoundation.keychain.InternetPassword",
                       {QMKeychainAttrSecurityDomain, QMKeychainAttrServer, QMKeychainAttrProtocol,
                        QMKeychainAttrPort, QMKeychainAttrPath}),
    };
    return all;
}

const Schema *schemaFor(const QString &itemClass)
{
    for (const Schema &schema : schemas())
        if (schema.itemClass == itemClass)
            return &schema;
    return nullptr;
}

// Owners for glib objects, so every early return frees what it holds.
struct GObjectDeleter
{
    void operator()(gpointer object) const { g_object_unref(object); }
};
template<typename T>
using GObjectPtr = std::unique_ptr<T, GObjectDeleter>;
struct GErrorDeleter
{
    void operator()(GError *error) const { g_error_free(error); }
};
struct GHashTableDeleter
{
    void operator()(GHashTable *table) const { g_hash_table_unref(table); }
};
using HashTablePtr = std::unique_ptr<GHashTable, GHashTableDeleter>;
struct SecretValueDeleter
{
    void operator()(SecretValue *value) const { secret_value_unref(value); }
};

// The nearest status for a failure of the keyring or of the bus.
OSStatus statusFor(const GError *error)
{
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
        case SECRET_ERROR_IS_LOCKED:
            return errSecInteractionNotAllowed;
        case SECRET_ERROR_NO_SUCH_OBJECT:
            return errSecItemNotFound;
        case SECRET_ERROR_ALREADY_EXISTS:
            return errSecDuplicateItem;
        default:
            return errSecInternalComponent;
        }
    }
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_DISCONNECTED:
            return errSecNotAvailable;
        case G_DBUS_ERROR_ACCESS_DENIED:
        case G_DBUS_ERROR_AUTH_FAILED:
            return errSecAuthFailed;
        case G_DBUS_ERROR_INVALID_ARGS:
            return errSecParam;
        default:
            return errSecInternalComponent;
        }
    }
    // What remains comes from reaching the bus itself (no session bus address, a refused
    // connection, a time-out). A call cancelled at its deadline (see Deadline) timed out, and one
    // whose future was cancelled is told apart by the transaction; neither is a user's answer.
    return errSecNotAvailable;
}

QMKeychainResult resultFor(const GError *error)
{
    return {statusFor(error),
            u"The desktop keyring failed: %1"_s.arg(QString::fromUtf8(error->message))};
}

QMKeychainResult timedOut()
{
    return {errSecNotAvailable,
            u"The desktop keyring did not answer within %1 (timed out)."_s.arg(
                    QMKeychainStore::timeoutText(QMKeychainStore::timeout()))};
}

// Cancels a call's GCancellable once its deadline has passed. libsecret's synchronous calls run
// a main loop of their own until the answer comes, where no timer of ours could fire, so the
// wait is kept on a thread of its own; g_cancellable_cancel() may be called from any thread.
class Deadline
{
public:
    Deadline(GCancellable *cancellable, std::chrono::steady_clock::time_point at)
        : m_watch([this, cancellable, at] {
            std::unique_lock lock(m_mutex);
            if (!m_done.wait_until(lock, at, [this] { return m_finished; })) {
                m_expired = true;
                g_cancellable_cancel(cancellable);
            }
        })
    { }
    ~Deadline()
    {
        {
            std::lock_guard lock(m_mutex);
            m_finished = true;
        }
        m_done.notify_one();
        m_watch.join();
    }
    Deadline(const Deadline &) = delete;
    Deadline &operator=(const Deadline &) = delete;

    bool expired() const { return m_expired; }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::atomic<bool> m_expired = false;
    std::thread m_watch; // last: it uses the fields above
};

HashTablePtr attributeTable(const Schema &schema, const QVariantMap &attributes)
{
    HashTablePtr table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it) {
        const auto kind = QMKeychainAttributes::kindOf(it.key());
        if (!kind || !schema.attributes.contains(it.key()))
            continue;
        g_hash_table_insert(table.get(), g_strdup(it.key().toUtf8().constData()),
                            g_strdup(QMKeychainAttributes::text(*kind, *it).toUtf8().constData()));
    }
    return table;
}

QDateTime dateFrom(guint64 seconds)
{
    return seconds ? QDateTime::fromSecsSinceEpoch(qint64(seconds), Qt::UTC) : QDateTime();
}

QMKeychainResult recordFrom(const Schema &schema, SecretItem *item, QMKeychainRecord *record)
{
    if (secret_item_get_locked(item))
        return errSecInteractionNotAllowed;
    record->itemClass = schema.itemClass;
    record->identifier = QString::fromUtf8(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item)));
    gchar *label = secret_item_get_label(item);
    record->label = QMStringDecoding::stringByDecodingUTF8(label);
    g_free(label);
    record->created = dateFrom(secret_item_get_created(item));
    record->modified = dateFrom(secret_item_get_modified(item));
    HashTablePtr attributes(secret_item_get_attributes(item));
    GHashTableIter iter;
    gpointer key = nullptr;
    gpointer value = nullptr;
    g_hash_table_iter_init(&iter, attributes.get());
    while (g_hash_table_iter_next(&iter, &key, &value)) {
        const QString name = QString::fromUtf8(static_cast<const char *>(key));
        const auto kind = QMKeychainAttributes::kindOf(name);
        // Values another program wrote under our schema that do not read as their kind are
        // left out rather than guessed at.
        const QVariant typed = kind
                ? QMKeychainAttributes::fromText(
                        *kind,
                        QMStringDecoding::stringByDecodingUTF8(static_cast<const char *>(value)))
                : QVariant();
        if (typed.isValid())
            record->attributes.insert(name, typed);
    }
    std::unique_ptr<SecretValue, SecretValueDeleter> secret(secret_item_get_secret(item));
    if (secret) {
        gsize length = 0;
        const gchar *bytes = secret_value_get(secret.get(), &length);
        record->secret = QByteArray(bytes, qsizetype(length));
    }
    return errSecSuccess;
}

// D-Bus object paths of one collection end in increasing numbers: order by length, then text.
bool storeOrder(const QMKeychainRecord &a, const QMKeychainRecord &b)
{
    if (a.created != b.created)
        return a.created < b.created;
    if (a.identifier.size() != b.identifier.size())
        return a.identifier.size() < b.identifier.size();
    return a.identifier < b.identifier;
}

class SecretServiceBackend final : public QMKeychainBackend
{
public:
    QMKeychainResult transaction(Access, const std::function<QMKeychainResult()> &body) override
    {
        // The whole call, from waiting for another thread's call to the last reply, ends at the
        // deadline.
        const auto deadline = QMDeadlineAfter(QMKeychainStore::timeout());
        // One keyring operation at a time in this process, so that the duplicate check and the
        // write after it see the same keyring.
        std::unique_lock guard(m_mutex, std::defer_lock);
        switch (QMKeychainStore::waitUntil(
                deadline, [&guard](auto until) { return guard.try_lock_until(until); })) {
        case QMKeychainStore::Wait::Done:
            break;
        case QMKeychainStore::Wait::TimedOut:
            return timedOut();
        case QMKeychainStore::Wait::Canceled:
            return QMKeychainStore::canceled();
        }
        GObjectPtr<GCancellable> cancellable(g_cancellable_new());
        QMKeychainResult result;
        {
            Deadline watch(cancellable.get(), deadline);
            // The caller's cancel stops the call as the deadline does, through the same
            // cancellable. The handler holds a reference of its own: the watcher may run it
            // after it was removed, as the call ends.
            const QMAsync::Cancellation *cancellation = QMKeychainStore::currentCancellation();
            if (cancellation) {
                std::shared_ptr<GCancellable> held(G_CANCELLABLE(g_object_ref(cancellable.get())),
                                                   g_object_unref);
                cancellation->setHandler([held] { g_cancellable_cancel(held.get()); });
            }
            m_cancellable = cancellable.get();
            GError *error = nullptr;
            m_service.reset(
                    secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, m_cancellable, &error));
            result = m_service ? body() : failed(error);
            m_found.clear();
            m_service.reset();
            m_cancellable = nullptr;
            if (cancellation)
                cancellation->setHandler({});
            if (!result.ok() && watch.expired())
                result = timedOut();
            else if (!result.ok() && QMKeychainStore::isCanceled())
                result = QMKeychainStore::canceled();
        }
        return result;
    }

    QMKeychainResult search(const QVariantMap &match, QList<QMKeychainRecord> *records) override
    {
        const QString itemClass = match.value(QMKeychainAttrClass).toString();
        for (const Schema &schema : schemas()) {
            if (!itemClass.isEmpty() && itemClass != schema.itemClass)
                continue;
            // An attribute this class does not have matches none of its items.
            bool possible = true;
            for (auto it = match.cbegin(); it != match.cend(); ++it)
                possible = possible
                        && (it.key() == QMKeychainAttrClass
                            || schema.attributes.contains(it.key()));
            if (!possible)
                continue;
            HashTablePtr attributes = attributeTable(schema, match);
            GError *error = nullptr;
            GList *items = secret_service_search_sync(
                    m_service.get(), &schema.schema, attributes.get(),
                    SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
                    m_cancellable, &error);
            if (error)
                return failed(error);
            QMKeychainResult result;
            for (GList *node = items; node; node = node->next) {
                QMKeychainRecord record;
                if (result.ok())
                    result = recordFrom(schema, static_cast<SecretItem *>(node->data), &record);
                if (result.ok()) {
                    records->append(record);
                    m_found[record.identifier].reset(
                            static_cast<SecretItem *>(g_object_ref(node->data)));
                }
            }
            g_list_free_full(items, g_object_unref);
            if (!result.ok())
                return result;
        }
        std::stable_sort(records->begin(), records->end(), storeOrder);
        return errSecSuccess;
    }

    QMKeychainResult create(QMKeychainRecord *record) override
    {
        const Schema *schema = schemaFor(record->itemClass);
        if (!schema)
            return errSecParam;
        GError *error = nullptr;
        GObjectPtr<SecretCollection> collection(
                secret_collection_for_alias_sync(m_service.get(), SECRET_COLLECTION_DEFAULT,
                                                 SECRET_COLLECTION_NONE, m_cancellable, &error));
        if (error)
            return failed(error);
        if (!collection)
            return errSecNoDefaultKeychain;
        // Unlocking would ask the user through the keyring's own prompt; the library never
        // prompts, so a locked keyring is reported instead.
        if (secret_collection_get_locked(collection.get()))
            return errSecInteractionNotAllowed;
        HashTablePtr attributes = attributeTable(*schema, record->attributes);
        std::unique_ptr<SecretValue, SecretValueDeleter> value(
                secret_value_new(record->secret.constData(), record->secret.size(), "text/plain"));
        GObjectPtr<SecretItem> item(
                secret_item_create_sync(collection.get(), &schema->schema, attributes.get(),
                                        record->label.toUtf8().constData(), value.get(),
                                        SECRET_ITEM_CREATE_NONE, m_cancellable, &error));
        if (error)
            return failed(error);
        record->identifier
                = QString::fromUtf8(g_dbus_proxy_get_object_path(G_DBUS_PROXY(item.get())));
        record->created = dateFrom(secret_item_get_created(item.get()));
        record->modified = dateFrom(secret_item_get_modified(item.get()));
        return errSecSuccess;
    }

    QMKeychainResult replace(QMKeychainRecord *record) override
    {
        const Schema *schema = schemaFor(record->itemClass);
        if (!schema)
            return errSecParam;
        SecretItem *item = found(record->identifier);
        if (!item)
            return errSecItemNotFound;
        GError *error = nullptr;
        HashTablePtr attributes = attributeTable(*schema, record->attributes);
        std::unique_ptr<SecretValue, SecretValueDeleter> value(
                secret_value_new(record->secret.constData(), record->secret.size(), "text/plain"));
        if (!secret_item_set_attributes_sync(item, &schema->schema, attributes.get(), m_cancellable,
                                             &error)
            || !secret_item_set_label_sync(item, record->label.toUtf8().constData(), m_cancellable,
                                           &error)
            || !secret_item_set_secret_sync(item, value.get(), m_cancellable, &error))
            return failed(error);
        // The keyring's own modification time reaches the proxy later, through a signal; the
        // time of the write is the same to the second.
        record->modified
                = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC);
        return errSecSuccess;
    }

    QMKeychainResult erase(const QMKeychainRecord &record) override
    {
        SecretItem *item = found(record.identifier);
        if (!item)
            return errSecItemNotFound;
        GError *error = nullptr;
        if (!secret_item_delete_sync(item, m_cancellable, &error))
            return failed(error);
        m_found.erase(record.identifier);
        return errSecSuccess;
    }

    QMKeychainRef handle() const override { return nullptr; }

private:
    static QMKeychainResult failed(GError *error)
    {
        if (!error)
            return errSecInternalComponent;
        const QMKeychainResult result = resultFor(error);
        g_error_free(error);
        return result;
    }

    // An item the last search of this transaction returned (updates and deletions always follow
    // a search), or null.
    SecretItem *found(const QString &identifier) const
    {
        const auto it = m_found.find(identifier);
        return it == m_found.end() ? nullptr : it->second.get();
    }

    QMKeychainTimedMutex m_mutex;
    // Valid during a transaction only.
    GObjectPtr<SecretService> m_service;
    GCancellable *m_cancellable = nullptr;
    std::map<QString, GObjectPtr<SecretItem>> m_found;
};

} // namespace

QMKeychainBackend &QMKeychainStore::secretService()
{
    static SecretServiceBackend backend;
    return backend;
}
