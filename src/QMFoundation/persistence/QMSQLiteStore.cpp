// The SQLite store, on a Qt SQL connection, with a thread of its own (QMStoreThread_p.h).

#include "QMFoundation/persistence/QMSQLiteConnection_p.h"

#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include "QMFoundation/persistence/QMStoreThread_p.h"

#include <memory>

using namespace Qt::StringLiterals;
using QMSQLite::Connection;

namespace {

class SQLiteStore final : public QMStoreThreading::ThreadedStore<Connection>
{
public:
    SQLiteStore(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url,
                const QVariantMap &options)
        : ThreadedStore(url, url.toLocalFile(), QMPredicateSQL::Dialect::SQLite)
        , m_model(std::move(model))
        , m_url(url)
        , m_timeout(QMStoreBackends::timeoutOf(options))
        , m_settings(QMMigration::settingsOf(options))
    { }

    QMStoreMigration migration() const override { return m_migration; }

    bool open(QMError *error)
    {
        return ThreadedStore::open(
                [this](QString *identifier, QMError *failure) {
                    auto c = std::make_unique<Connection>(m_model, m_url, m_timeout, m_settings);
                    return c->open(identifier, failure) ? std::move(c) : nullptr;
                },
                error, [this](Connection &c) { m_migration = c.migration(); });
    }

private:
    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    int m_timeout;
    QMMigration::Settings m_settings;
    QMStoreMigration m_migration; // set by open()
};

} // namespace

std::unique_ptr<QMStoreBackend>
QMStoreBackends::openSQLite(const std::shared_ptr<const QMManagedObjectModel> &model,
                            const QUrl &url, const QVariantMap &options, QMError *error)
{
    auto store = std::make_unique<SQLiteStore>(model, url, options);
    if (!store->open(error))
        return nullptr;
    return store;
}
