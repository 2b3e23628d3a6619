#pragma once

// What the SQL stores share: the thread every statement of a store runs on, and the store
// interface on top of it.
//
// A Qt SQL connection may only be used by the thread that opened it, and must be closed and
// removed there too. The coordinator, though, calls its store from whichever thread its contexts
// run on (one call at a time, under its mutex), and the thread that removes the store need not be
// the one that added it. So a store owns one thread that opens the connection, runs every
// statement and finally closes and removes the connection; each call of the store interface hands
// that thread a job and waits for it, and rows and errors come back by value. The hand-over is
// std::mutex and std::condition_variable, which ThreadSanitizer can follow (it cannot see inside
// the distribution's Qt).
//
// The caller, waiting anyway, is also the job's watchdog: a job about to wait for a peer on a
// socket names the socket and a deadline (watch()), and when the deadline passes before the job
// calls unwatch(), the caller shuts the socket down, which ends the job's blocking wait with an
// error. The socket is shut down under the mutex that unwatch() takes, so it is still the job's.

#include "QMFoundation/persistence/QMPredicateSQL_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QThread>

#include <openssl/crypto.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>

namespace QMStoreThreading {

using namespace Qt::StringLiterals;

// Runs jobs one at a time on a thread of its own. Any thread may call run(); it waits for the
// job, so a job may capture the caller's locals by reference.
class StoreThread
{
public:
    // A QThread rather than a std::thread: Qt SQL makes QObjects on the thread, and Qt adopts a
    // foreign thread that does so with bookkeeping it never frees (LeakSanitizer reports it).
    StoreThread()
        : m_thread(QThread::create([this] { loop(); }))
    {
        m_thread->start();
    }
    ~StoreThread() { stop(); }
    StoreThread(const StoreThread &) = delete;
    StoreThread &operator=(const StoreThread &) = delete;

    // Runs `job` on the thread and rethrows what it threw; false, without running it, once the
    // thread has stopped. Each time the job calls wakeCaller(), the caller runs `meanwhile`
    // (when set) on its own thread while the job goes on. The job is always waited for, since it
    // may use the caller's locals: what `meanwhile` throws is rethrown after it, and stops
    // further calls.
    bool run(const std::function<void()> &job, const std::function<void()> &meanwhile = {})
    {
        std::lock_guard caller(m_callers);
        std::unique_lock lock(m_mutex);
        if (m_stopping)
            return false;
        m_job = &job;
        m_done = false;
        m_called = false;
        m_wake.notify_all();
        std::exception_ptr meanwhileThrew;
        while (!m_done) {
            if (std::exchange(m_called, false) && meanwhile && !meanwhileThrew) {
                lock.unlock();
                try {
                    meanwhile();
                } catch (...) {
                    meanwhileThrew = std::current_exception();
                }
                lock.lock();
                continue;
            }
            if (m_watched < 0) {
                m_wake.wait(lock);
                continue;
            }
            // A deadline moved later is found on waking; one set anew wakes this wait.
            m_wake.wait_until(lock, m_deadline);
            if (!m_done && m_watched >= 0 && Clock::now() >= m_deadline) {
                ::shutdown(m_watched, SHUT_RDWR);
                m_watched = -1;
                m_expired = true;
            }
        }
        m_job = nullptr;
        if (std::exception_ptr thrown = std::exchange(m_thrown, nullptr))
            std::rethrow_exception(thrown);
        if (meanwhileThrew)
            std::rethrow_exception(meanwhileThrew);
        return true;
    }

    // Called by the job: the caller is to run its `meanwhile` (run()).
    void wakeCaller()
    {
        {
            std::lock_guard lock(m_mutex);
            m_called = true;
        }
        m_wake.notify_all();
    }

    using Clock = std::chrono::steady_clock;

    // Called by the job: `socket` is to be shut down if the job has not called unwatch() by
    // `deadline`. Called again, it moves the deadline.
    void watch(int socket, Clock::time_point deadline)
    {
        if (socket < 0)
            return;
        std::lock_guard lock(m_mutex);
        const bool sooner = m_watched < 0 || deadline < m_deadline;
        m_watched = socket;
        m_deadline = deadline;
        m_expired = false;
        if (sooner)
            m_wake.notify_all();
    }

    // Called by the job once its wait is over: whether the deadline had passed and the socket
    // was shut down.
    bool unwatch()
    {
        std::lock_guard lock(m_mutex);
        m_watched = -1;
        return std::exchange(m_expired, false);
    }

    // Ends the thread once its current job, if any, is done.
    void stop()
    {
        {
            std::lock_guard caller(m_callers);
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (!m_thread)
            return;
        {
            // The loop says it has left through the mutex, which ThreadSanitizer sees; it cannot
            // see inside QThread::wait().
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_exited; });
        }
        m_thread->wait();
        m_thread.reset();
    }

private:
    void loop()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return (m_job && !m_done) || m_stopping; });
            if (!m_job || m_done) {
                // The PostgreSQL client keeps OpenSSL state per thread (its random generator,
                // used to authenticate), which OpenSSL frees in a thread-exit hook. Qt's threads
                // are detached, so that hook may still be running when wait() has returned and
                // even when the process exits, and the state then looks leaked; it is freed
                // here instead, while the thread is still the store's.
                OPENSSL_thread_stop();
                m_exited = true;
                m_wake.notify_all();
                return;
            }
            const std::function<void()> *job = m_job;
            lock.unlock();
            std::exception_ptr thrown;
            try {
                (*job)();
            } catch (...) {
                // An exception must not end the thread: the caller gets it instead.
                thrown = std::current_exception();
            }
            lock.lock();
            m_thrown = thrown;
            m_done = true;
            m_wake.notify_all();
        }
    }

    std::mutex m_callers; // one job at a time, whatever the caller
    std::mutex m_mutex; // guards the fields below
    std::condition_variable m_wake;
    const std::function<void()> *m_job = nullptr;
    bool m_done = false;
    bool m_called = false; // wakeCaller() since the caller last looked
    bool m_stopping = false;
    std::exception_ptr m_thrown;
    bool m_exited = false;
    int m_watched = -1; // the socket of watch(), -1 when none
    Clock::time_point m_deadline;
    bool m_expired = false; // the socket was shut down at the deadline
    std::unique_ptr<QThread> m_thread; // last, so that it starts once the fields above exist
};

// A store whose connection (a `Connection`, made on the thread by open() and used there only)
// runs every statement on the store's thread. `Connection` has fetch() and count() taking a
// compiled condition, and readRow() and save() as the store interface has them.
template<class Connection>
class ThreadedStore : public QMStoreBackend
{
public:
    ~ThreadedStore() override { close(); }

    QString identifier() const override { return m_identifier; }

    bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *error, const QMRowBatches &batches) override
    {
        // Compiled here, so that a broken precondition throws on the caller's thread.
        const QMPredicateSQL::Condition condition
                = QMPredicateSQL::compile(bound, entity, m_dialect);
        bool ok = false;
        QList<QMStoreRow> found;
        QMError failure;
        // Rows the connection has handed over and the caller not yet taken, in order.
        std::mutex readLock;
        QList<QMStoreRow> read;
        const auto takeRead = [&] {
            QList<QMStoreRow> taken;
            {
                std::lock_guard lock(readLock);
                taken.swap(read);
            }
            if (!taken.isEmpty())
                batches(taken);
        };
        QMRowBatches handOver;
        if (batches) {
            handOver = [&](QList<QMStoreRow> &batch) {
                {
                    std::lock_guard lock(readLock);
                    if (read.isEmpty()) {
                        read.swap(batch);
                    } else {
                        read.reserve(read.size() + batch.size());
                        std::move(batch.begin(), batch.end(), std::back_inserter(read));
                        batch.clear();
                    }
                }
                m_thread.wakeCaller();
            };
        }
        perform(
                [&](Connection &c) {
                    ok = c.fetch(entity, condition, sort, limit, withValues, &found, &failure,
                                 handOver);
                },
                &failure, batches ? std::function<void()>(takeRead) : std::function<void()>());
        if (!ok)
            return report(failure, error);
        if (batches)
            takeRead();
        *rows = std::move(found);
        return true;
    }

    qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound,
                    QMError *error) override
    {
        const QMPredicateSQL::Condition condition
                = QMPredicateSQL::compile(bound, entity, m_dialect);
        qsizetype n = -1;
        QMError failure;
        perform([&](Connection &c) { n = c.count(entity, condition, &failure); }, &failure);
        if (n < 0)
            report(failure, error);
        return n;
    }

    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *error) override
    {
        bool found = false;
        QVariantList read;
        QMError failure;
        perform([&](Connection &c) { found = c.readRow(entity, number, &read, &failure); },
                &failure);
        if (found)
            *values = std::move(read);
        else if (!failure.isNull())
            report(failure, error);
        return found;
    }

    bool save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error) override
    {
        bool ok = false;
        QMError failure;
        if constexpr (requires(Connection & c, const QMNumbersGiven &given) {
                          c.save(changes, numbers, &failure, given);
                      }) {
            if (changes.numbered) {
                saveHandingOverNumbers(changes, numbers, &ok, &failure);
                return ok || report(failure, error);
            }
        }
        perform([&](Connection &c) { ok = c.save(changes, numbers, &failure); }, &failure);
        return ok || report(failure, error);
    }

    void close() override
    {
        m_thread.run([this] { m_connection.reset(); });
        m_thread.stop();
    }

protected:
    // `name` is how errors name the store (its path or URL).
    ThreadedStore(QUrl url, QString name, QMPredicateSQL::Dialect dialect)
        : m_url(std::move(url))
        , m_name(std::move(name))
        , m_dialect(dialect)
    { }

    // The store's thread, for jobs that watch their waits (StoreThread::watch()).
    StoreThread &thread() { return m_thread; }

    // Runs `open` on the store thread: the open connection and the store's identifier, or
    // nullptr with the error. `opened` then runs there too, with the connection.
    bool open(const std::function<std::unique_ptr<Connection>(QString *, QMError *)> &open,
              QMError *error, const std::function<void(Connection &)> &opened = {})
    {
        QMError failure;
        QString identifier;
        m_thread.run([&] {
            m_connection = open(&identifier, &failure);
            if (m_connection && opened)
                opened(*m_connection);
        });
        if (!m_connection)
            return report(failure, error);
        m_identifier = identifier;
        return true;
    }

private:
    // save() with changes.numbered: the connection hands the numbers over before it writes the
    // rows and goes on once the caller has them, so the caller's work with them overlaps the
    // writing and is always done before the save returns.
    void saveHandingOverNumbers(const QMStoreChanges &changes, QMStoreNumbers *numbers, bool *ok,
                                QMError *failure)
    {
        std::mutex handOverLock;
        std::condition_variable handedOver;
        std::optional<QMStoreNumbers> given;
        bool taken = false;
        const QMNumbersGiven handOver = [&](const QMStoreNumbers &n) {
            {
                std::lock_guard lock(handOverLock);
                given = n;
            }
            m_thread.wakeCaller();
            std::unique_lock lock(handOverLock);
            handedOver.wait(lock, [&] { return taken; });
        };
        const auto take = [&] {
            QMStoreNumbers n;
            {
                std::lock_guard lock(handOverLock);
                if (!given || taken)
                    return;
                n = std::move(*given);
                taken = true;
            }
            handedOver.notify_all();
            changes.numbered(n);
        };
        perform([&](Connection &c) { *ok = c.save(changes, numbers, failure, handOver); }, failure,
                take);
    }

    // Runs `job` on the store thread, and `meanwhile` on the caller's as StoreThread::run()
    // says; false with the error when the store is closed.
    bool perform(const std::function<void(Connection &)> &job, QMError *failure,
                 const std::function<void()> &meanwhile = {})
    {
        bool open = false;
        m_thread.run(
                [&] {
                    if (m_connection) {
                        open = true;
                        job(*m_connection);
                    }
                },
                meanwhile);
        if (!open)
            *failure = QMStoreBackends::makeError(QMPersistentStoreOperationError,
                                                  u"The store %1 is closed."_s.arg(m_name),
                                                  {{QMPersistentStoreURLErrorKey, m_url}});
        return open;
    }

    static bool report(const QMError &failure, QMError *error)
    {
        if (error)
            *error = failure;
        return false;
    }

    QUrl m_url;
    QString m_name;
    QMPredicateSQL::Dialect m_dialect;
    QString m_identifier; // set by open(), before any other call
    std::unique_ptr<Connection> m_connection; // used on the store thread only
    StoreThread m_thread; // last: it goes first, while the fields its jobs use still exist
};

} // namespace QMStoreThreading
