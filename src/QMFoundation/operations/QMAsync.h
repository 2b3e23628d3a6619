#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>

#include <QFuture>
#include <QPromise>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

class QMOperationQueue;

/// Futures for the library's slow calls, so that a GUI thread never waits on a keyring, a
/// store, a server, a name server or a child process.
///
/// Every asynchronous form returns a QFuture that resolves with what the synchronous form
/// returns or fails with the QMError the synchronous form would have filled in; nothing is
/// thrown into the event loop. Handle a failure with `onFailed()` taking a `const QMError &`:
///
///     keychain->findGenericPasswordItemForAccountAsync("joe", "mail")
///         .then(this, [this](QMGenericPasswordKeychainItem::Ptr item) { show(item); })
///         .onFailed(this, [this](const QMError &error) { report(error); });
///
/// A continuation given a context object runs on that object's thread and is dropped when the
/// object is destroyed first, as Qt's own continuations are. Cancelling a future (cancel())
/// stops the work behind it where the work can be stopped (requests, commands, keychain calls):
/// the future then reads as cancelled, and `onCanceled()` continuations run. A contract
/// violation that the synchronous form reports by throwing is thrown by the asynchronous form
/// before it returns, on the calling thread.
///
/// Cancellation reaches running work through a thread of the library that watches the futures
/// (QFutureWatcher needs an event loop; this one needs no QCoreApplication).
namespace QMAsync {

/// The work side of a future's cancellation: the work asks isCanceled() between steps, or
/// registers a handler that stops a blocking wait. Copies share one state; any thread.
class QMF_CORE_EXPORT Cancellation
{
public:
    /// A cancellation that was not cancelled.
    Cancellation();

    /// A cancellation that also reads `future`'s state: isCanceled() is true as soon as the
    /// future is cancelled, before the watcher has run the handler.
    explicit Cancellation(const QFuture<void> &future);

    /// True once the future was cancelled (and the work had not ended yet).
    bool isCanceled() const;
    /// Calls `handler` when the future is cancelled: at once, on this thread, when it already
    /// is; else on the thread that notices the cancellation. One handler at a time: a new one
    /// replaces the old, an empty function removes it. Never called after finish(), and never
    /// while a lock of this object is held, so the handler may call back into the work.
    void setHandler(std::function<void()> handler) const;

    /// Marks the cancellation and runs the handler, once; nothing after finish().
    void cancel() const;
    /// The work has ended: later cancels change nothing and the handler is dropped.
    void finish() const;

private:
    struct State;
    std::shared_ptr<State> d;
};

/// Calls `cancellation.cancel()` when `future` is cancelled before it finishes, from the
/// library's watcher thread.
QMF_CORE_EXPORT void cancelWhenCanceled(const QFuture<void> &future,
                                        const Cancellation &cancellation);

/// The queue run() puts its work on: eight threads, made on demand, so that a few calls waiting
/// on dead peers (up to their deadlines) do not hold up the others.
QMF_CORE_EXPORT std::shared_ptr<QMOperationQueue> queue();

/// Adds `job` to queue(); used by run().
QMF_CORE_EXPORT void addToQueue(std::function<void()> job);

/// Runs `block` on `context`'s thread, as a QObject::connect() with a context delivers: at once
/// when called on that thread, else through that thread's event loop; never once `context` is
/// destroyed (a pending delivery is dropped with it). An exception that leaves the block goes to
/// QMUncaughtExceptions as `where`. Any thread. Throws "Invalid parameter not satisfying:
/// context" without a context.
QMF_CORE_EXPORT void invokeOnContext(QObject *context, std::function<void()> block,
                                     const char *where);

/// As invokeOnContext(), but always through the event loop of the context's thread, also when
/// called on that thread: the block never runs inside this call.
QMF_CORE_EXPORT void postToContext(QObject *context, std::function<void()> block,
                                   const char *where);

/// The failure that `exception` stands for, as errorOf() describes it.
[[nodiscard]] QMF_CORE_EXPORT QMError errorOfException(const std::exception_ptr &exception);

/// The failure of a future as a QMError: the error it failed with, or, for another exception,
/// an error of domain "QMFoundation.Async" (code 1) whose description is the exception's
/// message. A null error for a future that did not fail.
template<typename T>
QMError errorOf(const QFuture<T> &future);

/// The write side of a library future, copyable so that completion blocks can hold it. The
/// first resolve(), fail() or cancel() settles it; later ones change nothing. A promise that is
/// destroyed unsettled (its work was dropped) leaves its future cancelled, never pending.
template<typename T>
class Promise
{
public:
    Promise()
        : d(std::make_shared<State>())
    {
        d->promise.start();
        d->cancellation = Cancellation(QFuture<void>(d->promise.future()));
        cancelWhenCanceled(QFuture<void>(d->promise.future()), d->cancellation);
    }

    /// The future this promise settles.
    QFuture<T> future() const { return d->promise.future(); }
    /// How the work learns that the future was cancelled.
    const Cancellation &cancellation() const { return d->cancellation; }
    /// True once settled.
    bool isSettled() const { return d->settled.load(std::memory_order_acquire); }

    /// Resolves the future with `value` (cancelled futures take no value).
    template<typename U = T, typename = std::enable_if_t<!std::is_void_v<U>>>
    void resolve(U value) const
    {
        if (claim()) {
            d->promise.addResult(std::move(value));
            d->promise.finish();
        }
    }
    /// Resolves a QFuture<void>.
    template<typename U = T, typename = std::enable_if_t<std::is_void_v<U>>>
    void resolve() const
    {
        if (claim())
            d->promise.finish();
    }
    /// Fails the future with `error`.
    void fail(const QMError &error) const { failWith(std::make_exception_ptr(error)); }
    /// Fails the future with an exception the work threw.
    void failWith(std::exception_ptr exception) const
    {
        if (claim()) {
            d->promise.setException(std::move(exception));
            d->promise.finish();
        }
    }
    /// Cancels the future: it ends with no value and no error.
    void cancel() const
    {
        if (claim()) {
            d->promise.future().cancel();
            d->promise.finish();
        }
    }

private:
    struct State
    {
        QPromise<T> promise;
        Cancellation cancellation;
        std::atomic<bool> settled {false};
        // QPromise's own destructor cancels and finishes an unsettled future.
        ~State() { cancellation.finish(); }
    };

    bool claim() const
    {
        if (d->settled.exchange(true, std::memory_order_acq_rel))
            return false;
        d->cancellation.finish();
        return true;
    }

    std::shared_ptr<State> d;
};

/// Runs `work` on queue() and returns its future. `work` is called as `work(&error)` or, when it
/// takes one, `work(&error, cancellation)`, in the manner of the library's synchronous calls:
/// the future fails with the error when the work filled it in, and resolves with the work's
/// result otherwise (a null result with no error, such as a lookup that found nothing, is a
/// result). An exception the work throws fails the future with that exception. Work whose
/// future was cancelled before it started never runs.
template<typename Work>
auto run(Work work)
{
    constexpr bool takesCancellation = std::is_invocable_v<Work &, QMError *, const Cancellation &>;
    using Result =
            typename std::conditional_t<takesCancellation,
                                        std::invoke_result<Work &, QMError *, const Cancellation &>,
                                        std::invoke_result<Work &, QMError *>>::type;
    Promise<Result> promise;
    QFuture<Result> future = promise.future();
    std::function<void()> job = [promise, work = std::move(work)]() mutable {
        if (promise.cancellation().isCanceled()) {
            promise.cancel();
            return;
        }
        try {
            QMError error;
            auto call = [&] {
                if constexpr (takesCancellation)
                    return work(&error, promise.cancellation());
                else
                    return work(&error);
            };
            if constexpr (std::is_void_v<Result>) {
                call();
                if (!error.isNull())
                    promise.fail(error);
                else if (promise.cancellation().isCanceled())
                    promise.cancel();
                else
                    promise.resolve();
            } else {
                Result value = call();
                if (!error.isNull())
                    promise.fail(error);
                else if (promise.cancellation().isCanceled())
                    promise.cancel();
                else
                    promise.resolve(std::move(value));
            }
        } catch (...) {
            promise.failWith(std::current_exception());
        }
    };
    addToQueue(std::move(job));
    return future;
}

template<typename T>
QMError errorOf(const QFuture<T> &future)
{
    // A failed future also reads as cancelled; only its exception tells the two apart.
    if (!future.isFinished())
        return QMError();
    try {
        QFuture<T>(future).waitForFinished(); // rethrows the failure; not a const member
    } catch (...) {
        return errorOfException(std::current_exception());
    }
    return QMError();
}

} // namespace QMAsync
