// The asynchronous forms of QMManagedObjectContext: the store's work on the library's threads,
// what touches the context on the context's thread.

#include <QMFoundation/persistence/QMManagedObjectContext.h>

#include "QMFoundation/persistence/QMManagedObjectContext_p.h"
#include "QMFoundation/persistence/QMPersistentStoreAccess_p.h"
#include <QMFoundation/operations/QMAsyncContext.h>

#include <QMFoundation/operations/QMAsync.h>

#include <QElapsedTimer>
#include <QMetaObject>

#include <algorithm>

namespace {

using ObjectPtr = std::shared_ptr<QMManagedObject>;

// How long one turn of the context's event loop registers fetched objects before it lets the
// loop run again, and how many objects it registers between looks at the clock.
constexpr qint64 sliceMilliseconds = 8;
constexpr qsizetype rowsBetweenLooks = 256;

template<typename T>
QFuture<T> failedFuture(const QMError &error)
{
    QMAsync::Promise<T> promise;
    promise.fail(error);
    return promise.future();
}

// A fetch's rows on their way into the context, a slice per event-loop turn.
struct Materialising
{
    std::weak_ptr<QMManagedObjectContext> context;
    std::shared_ptr<QMFetchPlan> plan;
    QList<QMStoreRow> rows;
    QHash<qint64, qint64> landed;
    QList<ObjectPtr> objects;
    qsizetype next = 0;
    QMAsync::Promise<QList<ObjectPtr>> promise;
};

// Registers rows until the slice's time is up, then queues the rest behind the events that
// waited meanwhile; resolves the promise with the last row. Runs on the context's thread.
void materialise(const std::shared_ptr<Materialising> &m)
{
    const std::shared_ptr<QMManagedObjectContext> context = m->context.lock();
    if (!context)
        return; // the promise goes with `m`: the future ends cancelled
    if (m->promise.cancellation().isCanceled()) {
        m->promise.cancel();
        return;
    }
    QElapsedTimer slice;
    slice.start();
    while (m->next < m->rows.size()) {
        const qsizetype to = std::min(m->next + rowsBetweenLooks, m->rows.size());
        QMManagedObjectAccess::registerRows(*context, *m->plan, m->landed, m->rows, m->next, to,
                                            &m->objects);
        m->next = to;
        if (m->next < m->rows.size() && slice.elapsed() >= sliceMilliseconds) {
            // Queued even on this thread, so that the loop runs first; dropped with the notifier.
            QMetaObject::invokeMethod(
                    context->notifier(), [m] { materialise(m); }, Qt::QueuedConnection);
            return;
        }
    }
    m->promise.resolve(std::move(m->objects));
}

} // namespace

QFuture<QList<std::shared_ptr<QMManagedObject>>>
QMManagedObjectContext::executeFetchRequestAsync(const QMFetchRequest &request)
{
    const QMAsync::ContextBinding inbox = notifier()->inbox;
    auto plan = std::make_shared<QMFetchPlan>();
    QMError failure;
    if (!QMManagedObjectAccess::planFetch(*this, request, plan.get(), &failure))
        return failedFuture<QList<ObjectPtr>>(failure);
    auto m = std::make_shared<Materialising>();
    m->context = weak_from_this();
    m->plan = plan;
    QFuture<QList<ObjectPtr>> future = m->promise.future();
    QMAsync::addToQueue([m, inbox] {
        if (m->promise.cancellation().isCanceled()) {
            m->promise.cancel();
            return;
        }
        QMError error;
        bool fetched = false;
        try {
            fetched = m->plan->fetch(&m->rows, &m->landed, &error);
        } catch (...) {
            m->promise.failWith(std::current_exception());
            return;
        }
        if (!fetched) {
            m->promise.fail(error);
            return;
        }
        inbox.invoke([m] { materialise(m); }, "QMManagedObjectContext::executeFetchRequestAsync");
    });
    return future;
}

QFuture<qsizetype> QMManagedObjectContext::countForFetchRequestAsync(const QMFetchRequest &request)
{
    auto plan = std::make_shared<QMFetchPlan>();
    QMError failure;
    if (!QMManagedObjectAccess::planFetch(*this, request, plan.get(), &failure))
        return failedFuture<qsizetype>(failure);
    const qsizetype limit = request.fetchLimit();
    // Nothing of the count touches the context: it settles on the library's thread, and
    // continuations given a context run on that context's thread.
    return QMAsync::run([plan, limit](QMError *error) -> qsizetype {
        const qsizetype n = plan->count(error);
        if (n < 0)
            return -1;
        return limit > 0 ? std::min(n, limit) : n;
    });
}

QFuture<bool> QMManagedObjectContext::saveAsync()
{
    const QMAsync::ContextBinding inbox = notifier()->inbox;
    if (d->parent || d->changed.isEmpty() || d->flight) {
        // Nothing reaches the store: a child's save is in memory, an empty one has nothing to
        // do, and one while a save is in flight fails as save() does.
        QMError error;
        if (!save(&error))
            return failedFuture<bool>(error);
        QMAsync::Promise<bool> promise;
        promise.resolve(true);
        return promise.future();
    }
    auto flight = std::make_shared<QMSaveFlight>();
    QMStoreChanges changes;
    QMError failure;
    if (!QMManagedObjectAccess::collectChanges(QMManagedObjectAccess::sortedChanges(*this),
                                               &changes, flight.get(), &failure))
        return failedFuture<bool>(failure);
    d->flight = flight;

    QMAsync::Promise<bool> promise;
    QFuture<bool> future = promise.future();
    const std::weak_ptr<QMManagedObjectContext> self = weak_from_this();
    const std::shared_ptr<QMPersistentStoreCoordinator> coordinator = d->coordinator;
    // Once sent, a save is not stopped: cancelling the future leaves it to land, and the
    // context takes its result all the same.
    QMAsync::addToQueue([promise, flight, self, inbox, coordinator, policy = d->mergePolicy,
                         changes = std::move(changes)]() mutable {
        QMError error;
        bool saved = false;
        QList<QMSettledConflict> settled;
        try {
            QMStoreNumbers numbers;
            saved = QMPersistentStoreAccess::saveMerging(*coordinator, std::move(changes), policy,
                                                         &numbers, &settled, &error, [&] {
                                                             flight->numbers = std::move(numbers);
                                                             flight->landed = true;
                                                         });
        } catch (...) {
            error = QMAsync::errorOfException(std::current_exception());
        }
        inbox.invoke(
                [promise, flight, self, saved, error, settled] {
                    const std::shared_ptr<QMManagedObjectContext> context = self.lock();
                    if (!context)
                        return;
                    QMManagedObjectContext::Private &state = QMManagedObjectAccess::state(*context);
                    if (state.flight == flight)
                        state.flight.reset();
                    // The objects whose store values won were not saved: not announced.
                    const QSet<const QMManagedObject *> won
                            = QMManagedObjectAccess::storeWon(*context, settled);
                    QMManagedObjectAccess::finishFlight(*context, *flight, saved, settled);
                    if (!saved) {
                        promise.fail(error);
                        return;
                    }
                    if (state.notifier && state.notifier->announces()) {
                        QList<ObjectPtr> inserted, updated, deleted;
                        for (const QMSaveFlight::Sent &sent : flight->sent) {
                            if (won.contains(sent.object.get()))
                                continue;
                            QList<ObjectPtr> &list
                                    = sent.deleted ? deleted : (sent.inserted ? inserted : updated);
                            list.append(sent.object);
                        }
                        QMManagedObjectAccess::announceSave(*context, inserted, updated, deleted);
                    }
                    promise.resolve(true);
                },
                "QMManagedObjectContext::saveAsync");
    });
    return future;
}
