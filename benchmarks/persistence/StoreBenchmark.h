#pragma once

// What the object store benchmarks share, whichever store they measure: the model and its
// objects, and the measured loops of the store and of its raw QSqlQuery peer. A store side
// gives a coordinator; a raw side gives a prepared QSqlQuery.

#include <QMFoundation/persistence/QMManagedObject.h>
#include <QMFoundation/persistence/QMManagedObjectContext.h>
#include <QMFoundation/persistence/QMManagedObjectModel.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace StoreBenchmark {

inline constexpr int objectCount = 100000;
inline constexpr int fetchedCount = 10000;

inline const QByteArray modelJSON = R"({"name": "Bench", "entities": [{"name": "Item",
    "attributes": [
    {"name": "name", "type": "string", "optional": false, "indexed": true},
    {"name": "number", "type": "integer"},
    {"name": "score", "type": "double"},
    {"name": "flag", "type": "boolean"},
    {"name": "stamp", "type": "date"},
    {"name": "data", "type": "binary"}]}]})";

inline std::shared_ptr<const QMManagedObjectModel> model()
{
    static const auto m = QMManagedObjectModel::modelWithJSON(modelJSON);
    return m;
}

/// The values of object i: "number" runs 0..99,999 and every other one is flagged, so
/// "number >= 80000 AND flag = YES" selects 10,000.
struct Values
{
    QString name;
    qint64 number;
    double score;
    bool flag;
    QDateTime stamp;
    QByteArray data;
};

inline Values valuesOf(int i)
{
    using namespace Qt::StringLiterals;
    return {u"item %1"_s.arg(i),
            i,
            double((i * 7919) % 100003) / 7.0,
            i % 2 == 0,
            QDateTime::fromMSecsSinceEpoch(1600000000000LL + i, Qt::UTC),
            QByteArray(16, char('a' + i % 26))};
}

/// `count` objects inserted into a new context on `coordinator`, their values set, and saved at
/// once unless `save` is false; the context is returned, so that a caller can leave its objects'
/// release out of a measurement.
inline std::shared_ptr<QMManagedObjectContext>
insertObjects(const std::shared_ptr<QMPersistentStoreCoordinator> &coordinator, int count,
              bool save = true)
{
    using namespace Qt::StringLiterals;
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    for (int i = 0; i < count; ++i) {
        const Values v = valuesOf(i);
        auto o = context->insertNewObjectForEntityForName(u"Item"_s);
        o->setValue(u"name"_s, v.name);
        o->setValue(u"number"_s, v.number);
        o->setValue(u"score"_s, v.score);
        o->setValue(u"flag"_s, v.flag);
        o->setValue(u"stamp"_s, v.stamp);
        o->setValue(u"data"_s, v.data);
    }
    QMError error;
    if (save && !context->save(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error.localizedDescription()));
        std::abort();
    }
    return context;
}

/// The raw peer of insertObjects(): `count` rows executed one by one with `insert`, prepared
/// with the seven placeholders (number, then the six values), in one transaction of `db`.
inline bool insertRows(QSqlDatabase &db, const QString &insert, int count)
{
    db.transaction();
    QSqlQuery q(db);
    q.prepare(insert);
    for (int i = 0; i < count; ++i) {
        const Values v = valuesOf(i);
        q.bindValue(0, qint64(i + 1));
        q.bindValue(1, v.name);
        q.bindValue(2, v.number);
        q.bindValue(3, v.score);
        q.bindValue(4, qint64(v.flag));
        q.bindValue(5, v.stamp.toMSecsSinceEpoch());
        q.bindValue(6, v.data);
        if (!q.exec())
            std::abort();
    }
    return db.commit();
}

/// The request of the fetch and count: "number >= 80000 AND flag = YES", by descending score
/// when `sorted`.
inline QMFetchRequest selection(bool sorted)
{
    using namespace Qt::StringLiterals;
    QMFetchRequest request(u"Item"_s);
    request.setPredicate(
            QMPredicate::predicateWithFormat(u"number >= %@ AND flag = YES"_s, {80000}));
    if (sorted)
        request.setSortDescriptors({{u"score"_s, false}});
    return request;
}

/// Measures inserting objectCount objects in one save into a new `Store` (made and destroyed
/// outside the measurement), whose fill(count) does the work and may return what it made, so
/// that its release stays outside too.
template<typename Store>
void measureInserts(benchmark::State &state)
{
    for (auto _ : state) {
        state.PauseTiming();
        auto store = std::make_unique<Store>();
        state.ResumeTiming();
        {
            [[maybe_unused]] const auto made = store->fill(objectCount);
            state.PauseTiming();
        } // what fill() made is released here, outside the measurement
        store.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * objectCount);
}

/// Measures the fetch of fetchedCount objects into a fresh context each time: every object is
/// made, none is found registered.
inline void measureFetch(benchmark::State &state,
                         const std::shared_ptr<QMPersistentStoreCoordinator> &coordinator)
{
    const QMFetchRequest request = selection(true);
    for (auto _ : state) {
        auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
        auto objects = context->executeFetchRequest(request);
        if (objects.size() != fetchedCount)
            state.SkipWithError("wrong number of objects");
        benchmark::DoNotOptimize(objects.data());
        // Releasing the results is not part of a fetch, on either side.
        state.PauseTiming();
        objects.clear();
        context.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * fetchedCount);
}

/// Measures `fetch`, which returns the fetchedCount selected rows in a list of its own kind;
/// releasing them is left out, as for the objects.
template<typename Fetch>
void measureRows(benchmark::State &state, Fetch fetch)
{
    for (auto _ : state) {
        auto rows = fetch();
        if (rows.size() != fetchedCount)
            state.SkipWithError("wrong number of rows");
        benchmark::DoNotOptimize(rows.data());
        state.PauseTiming();
        rows.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * fetchedCount);
}

/// The same with `q`, the prepared SELECT of the seven columns with the placeholders of number
/// and flag, its rows materialised as QVariant lists.
inline void measureRawFetch(benchmark::State &state, QSqlQuery &q)
{
    measureRows(state, [&] {
        q.bindValue(0, 80000);
        q.bindValue(1, 1);
        QList<QVariantList> rows;
        if (!q.exec())
            return rows;
        while (q.next()) {
            QVariantList row;
            row.reserve(7);
            for (int c = 0; c < 7; ++c)
                row.append(q.value(c));
            rows.append(std::move(row));
        }
        return rows;
    });
}

/// Measures counting the selected objects.
inline void measureCount(benchmark::State &state,
                         const std::shared_ptr<QMPersistentStoreCoordinator> &coordinator)
{
    auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    const QMFetchRequest request = selection(false);
    for (auto _ : state) {
        if (context->countForFetchRequest(request) != fetchedCount)
            state.SkipWithError("wrong count");
    }
}

/// The same with `q`, the prepared count with the placeholders of number and flag.
inline void measureRawCount(benchmark::State &state, QSqlQuery &q)
{
    for (auto _ : state) {
        q.bindValue(0, 80000);
        q.bindValue(1, 1);
        if (!q.exec() || !q.next() || q.value(0).toInt() != fetchedCount)
            state.SkipWithError("wrong count");
    }
}

} // namespace StoreBenchmark
