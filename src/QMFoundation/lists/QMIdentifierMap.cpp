#include <QMFoundation/lists/QMIdentifierMap.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <array>
#include <atomic>
#include <mutex>
#include <shared_mutex>

namespace {

constexpr size_t ShardCount = 64;

// The map's own seed keeps the choice of shard independent of QHash's choice of bucket.
size_t shardOf(const QString &string)
{
    return qHash(string, size_t(0x9e3779b97f4a7c15ULL)) % ShardCount;
}

// One cache line (at least) per shard, so that threads working in different shards do not
// invalidate each other's lock words.
struct alignas(64) Shard
{
    mutable std::shared_mutex lock;
    QHash<QString, quint64> map;
};

} // namespace

class QMIdentifierMap::Private
{
public:
    std::array<Shard, ShardCount> shards;
    std::atomic<quint64> maxIndex {0};
};

QMIdentifierMap::QMIdentifierMap()
    : d(std::make_unique<Private>())
{ }

QMIdentifierMap::~QMIdentifierMap() = default;

std::shared_ptr<QMIdentifierMap> QMIdentifierMap::sharedIdentifierMap()
{
    // A function-local static is initialised once, also under concurrent first calls. It is
    // never destroyed, so nodes destroyed during static destruction still find their map.
    static const auto *const shared
            = new std::shared_ptr<QMIdentifierMap>(std::make_shared<QMIdentifierMap>());
    return *shared;
}

quint64 QMIdentifierMap::identifierForString(const QString &string)
{
    QMParameterAssert(!string.isNull(), "string");
    Shard &shard = d->shards[shardOf(string)];
    {
        std::shared_lock reading(shard.lock);
        const auto found = shard.map.constFind(string);
        if (found != shard.map.cend())
            return found.value();
    }
    std::unique_lock writing(shard.lock);
    // Another thread may have added the string between the two locks.
    auto found = shard.map.find(string);
    if (found != shard.map.end())
        return found.value();
    const quint64 number = d->maxIndex.fetch_add(1, std::memory_order_relaxed) + 1;
    shard.map.insert(string, number);
    return number;
}

QHash<QString, quint64> QMIdentifierMap::identifierMap() const
{
    QHash<QString, quint64> all;
    for (const Shard &shard : d->shards) {
        std::shared_lock reading(shard.lock);
        all.insert(shard.map);
    }
    return all;
}

void QMIdentifierMap::setIdentifierMap(const QHash<QString, quint64> &map)
{
    std::array<QHash<QString, quint64>, ShardCount> split;
    for (auto entry = map.cbegin(); entry != map.cend(); ++entry)
        split[shardOf(entry.key())].insert(entry.key(), entry.value());
    for (size_t i = 0; i < ShardCount; ++i) {
        std::unique_lock writing(d->shards[i].lock);
        d->shards[i].map = std::move(split[i]);
    }
}

quint64 QMIdentifierMap::maxIndex() const
{
    return d->maxIndex.load(std::memory_order_relaxed);
}

void QMIdentifierMap::setMaxIndex(quint64 maxIndex)
{
    d->maxIndex.store(maxIndex, std::memory_order_relaxed);
}
