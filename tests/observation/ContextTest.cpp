// The context overloads of the observation area: blocks run on the context's thread, are
// dropped when the context is destroyed first, and registrations end with their context.

#include "ObservationTestSupport.h"
#include "support/Futures.h"
#include <QMFoundation/observation/Blocks.h>
#include <QMFoundation/observation/QMPerformBlock.h>
#include <QMFoundation/operations/QMAsync.h>

#include <condition_variable>

namespace {

/// A thread running its own event loop, with an anchor object living there.
class LoopThread
{
public:
    LoopThread()
    {
        m_thread.start();
        m_anchor->moveToThread(&m_thread);
    }
    ~LoopThread()
    {
        TestSupport::quitFromInside(m_thread);
        delete m_anchor; // with the contexts left, once their thread has ended
    }
    LoopThread(const LoopThread &) = delete;
    LoopThread &operator=(const LoopThread &) = delete;

    QThread *thread() { return &m_thread; }

    /// A new object living on the thread, destroyed with the anchor unless deleted before.
    QObject *makeContext()
    {
        QObject *context = nullptr;
        run([&] { context = new QObject(m_anchor); });
        return context;
    }

    /// Runs `work` on the thread and waits for it (at most 10 s: a fault fails, not hangs).
    void run(std::function<void()> work)
    {
        auto done = std::make_shared<Gate>();
        QMAsync::invokeOnContext(
                m_anchor,
                [work = std::move(work), done] {
                    work();
                    done->open();
                },
                "a test's work");
        ASSERT_TRUE(done->waitOpen());
    }

    /// Queues `work` on the thread without waiting.
    void post(std::function<void()> work)
    {
        QMAsync::invokeOnContext(m_anchor, std::move(work), "a test's work");
    }

    /// A latch that one thread opens and others wait for.
    struct Gate
    {
        void open()
        {
            std::lock_guard lock(mutex);
            opened = true;
            changed.notify_all();
        }
        bool waitOpen()
        {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, 10s, [&] { return opened; });
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool opened = false;
    };

    /// Holds the thread's event loop inside a task until the returned gate opens, so that what
    /// is posted meanwhile waits behind it; `then` runs on the thread once the gate opens.
    std::shared_ptr<Gate> hold(std::function<void()> then = {})
    {
        auto gate = std::make_shared<Gate>();
        auto holding = std::make_shared<Gate>();
        post([gate, holding, then = std::move(then)] {
            holding->open();
            gate->waitOpen();
            if (then)
                then();
        });
        EXPECT_TRUE(holding->waitOpen());
        return gate;
    }

private:
    QThread m_thread;
    QObject *m_anchor = new QObject;
};

/// Thread-safe calls of a block: where they ran and what they carried.
struct Calls
{
    void add(const QVariant &value = {})
    {
        std::lock_guard lock(mutex);
        threads.push_back(QThread::currentThread());
        values.append(value);
    }
    int count() const
    {
        std::lock_guard lock(mutex);
        return int(threads.size());
    }
    std::vector<QThread *> threadsSeen() const
    {
        std::lock_guard lock(mutex);
        return threads;
    }
    QVariantList valuesSeen() const
    {
        std::lock_guard lock(mutex);
        return values;
    }
    mutable std::mutex mutex;
    std::vector<QThread *> threads;
    QVariantList values;
};

} // namespace

// --- performBlockOnMainThread with a context ---------------------------------------------------

TEST(ContextPerformBlockTest, RunsOnTheContextsThreadNeverInsideTheCall)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    const std::tuple<const char *, double, bool> rows[] = {
            // what, delay, called on the context's thread
            {"no delay, from another thread", 0.0, false},
            {"a delay, from another thread", 0.005, false},
            {"no delay, on the context's thread", 0.0, true},
    };
    for (const auto &[what, delay, onContextThread] : rows) {
        SCOPED_TRACE(what);
        auto calls = std::make_shared<Calls>();
        auto ranInside = std::make_shared<std::atomic<bool>>(false);
        const auto schedule = [calls, ranInside, context, delay = delay] {
            QMPerformBlock::performBlockOnMainThread(
                    context, [calls] { calls->add(); }, delay);
            // Only the context's own thread could run it inside the call; from another thread
            // it may run meanwhile, which says nothing.
            *ranInside = calls->count() != 0;
        };
        if (onContextThread)
            loop.run(schedule);
        else
            schedule();
        ASSERT_TRUE(runEventsUntil([&] { return calls->count() == 1; }));
        if (onContextThread) {
            EXPECT_FALSE(ranInside->load());
        }
        EXPECT_EQ(calls->threadsSeen(), std::vector<QThread *> {loop.thread()});
    }
}

TEST(ContextPerformBlockTest, ABlockWhoseContextIsDestroyedFirstNeverRuns)
{
    // Due at once and due later: both are dropped with the context. A block on a living
    // context, due after them, tells when they would have run.
    for (const double delay : {0.0, 0.01}) {
        SCOPED_TRACE(delay);
        bool ran = false;
        bool sentinel = false;
        QObject living;
        auto *context = new QObject;
        QMPerformBlock::performBlockOnMainThread(
                context, [&] { ran = true; }, delay);
        if (delay > 0)
            QCoreApplication::processEvents(); // the timer is armed on the context by now
        delete context;
        QMPerformBlock::performBlockOnMainThread(
                &living, [&] { sentinel = true; }, 2 * delay);
        ASSERT_TRUE(runEventsUntil([&] { return sentinel; }));
        EXPECT_FALSE(ran);
    }
    EXPECT_EQ(failureOf([] {
                  QMPerformBlock::performBlockOnMainThread(
                          nullptr, [] {}, 0);
              }),
              u"Invalid parameter not satisfying: context"_s);
    QObject context;
    EXPECT_EQ(failureOf([&] { QMPerformBlock::performBlockOnMainThread(&context, {}, 0); }),
              u"Invalid parameter not satisfying: block"_s);
}

// --- block timers with a context --------------------------------------------------------------

TEST(ContextTimerTest, FiresOnTheContextsThreadAndGoesWithTheContext)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    auto calls = std::make_shared<Calls>();
    // Scheduled from this thread: started on the context's.
    const QPointer<QTimer> timer = Blocks::scheduleTimerWithTimeInterval(
            0.001, true, context, [calls](QTimer *) { calls->add(); });
    ASSERT_TRUE(runEventsUntil([&] { return calls->count() >= 2; }));
    for (QThread *thread : calls->threadsSeen())
        EXPECT_EQ(thread, loop.thread());
    loop.run([&] {
        EXPECT_EQ(timer->parent(), context);
        delete context;
        // A child of the context: gone with it, so it can never fire again.
        EXPECT_TRUE(timer.isNull());
    });
}

TEST(ContextTimerTest, AOneShotTimerDeletesItselfAfterFiring)
{
    QObject context;
    int fired = 0;
    const QPointer<QTimer> timer
            = Blocks::scheduleTimerWithTimeInterval(0.001, false, &context, [&](QTimer *t) {
                  ++fired;
                  EXPECT_EQ(t->parent(), &context);
              });
    ASSERT_TRUE(runEventsUntil([&] { return timer.isNull(); }));
    EXPECT_EQ(fired, 1);
}

TEST(ContextTimerTest, ATimerHandedToAContextDestroyedMeanwhileNeverStarts)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    std::atomic<int> fired = 0;
    // The loop is held while the timer's hand-over is queued behind the holding task, which
    // then destroys the context: the hand-over goes with it, and the timer too.
    const auto gate = loop.hold([context] { delete context; });
    const QPointer<QTimer> timer = Blocks::scheduleTimerWithTimeInterval(
            0.001, true, context, [&](QTimer *) { ++fired; });
    gate->open();
    loop.run([&] { EXPECT_TRUE(timer.isNull()); });
    EXPECT_EQ(fired.load(), 0);
}

TEST(ContextTimerTest, AnUnstartedTimerIsAChildMadeOnTheContextsThread)
{
    auto context = std::make_unique<QObject>();
    int fired = 0;
    const QPointer<QTimer> timer = Blocks::timerWithTimeInterval(0.001, false, context.get(),
                                                                 [&](QTimer *) { ++fired; });
    ASSERT_FALSE(timer.isNull());
    EXPECT_FALSE(timer->isActive());
    EXPECT_EQ(timer->parent(), context.get());
    timer->start();
    ASSERT_TRUE(runEventsUntil([&] { return fired == 1; }));
    context.reset();
    EXPECT_TRUE(timer.isNull());

    LoopThread loop;
    QObject *const elsewhere = loop.makeContext();
    EXPECT_EQ(
            failureOf([&] { Blocks::timerWithTimeInterval(1, false, elsewhere, [](QTimer *) {}); }),
            u"A timer with a context is made on the context's thread"_s);
    EXPECT_EQ(failureOf([] {
                  Blocks::scheduleTimerWithTimeInterval(1, false, nullptr, [](QTimer *) {});
              }),
              u"Invalid parameter not satisfying: context"_s);
}

// --- notification center with a context -------------------------------------------------------

TEST(ContextNotificationTest, DeliversOnTheContextsThread)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    QMNotificationCenter center;
    auto calls = std::make_shared<Calls>();
    const auto token = center.addObserverForName(
            u"Ping"_s, nullptr, context,
            [calls](const QMNotification &note) { calls->add(note.userInfo().value(u"n"_s)); });

    // From another thread: queued to the context's. On the context's thread: inside the post.
    center.postNotificationName(u"Ping"_s, nullptr, {{u"n"_s, 1}});
    int insideThePost = -1;
    loop.run([&] {
        center.postNotificationName(u"Ping"_s, nullptr, {{u"n"_s, 2}});
        insideThePost = calls->count();
    });
    EXPECT_EQ(insideThePost, 2); // the queued one ran first, the second inside the post
    EXPECT_EQ(calls->valuesSeen(), (QVariantList {1, 2}));
    EXPECT_EQ(calls->threadsSeen(), (std::vector<QThread *> {loop.thread(), loop.thread()}));
    center.removeObserver(token);
}

TEST(ContextNotificationTest, AQueuedDeliveryIsDroppedWithTheContext)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    QMNotificationCenter center;
    auto calls = std::make_shared<Calls>();
    std::weak_ptr<QMNotificationToken> weakToken = center.addObserverForName(
            u"Ping"_s, nullptr, context, [calls](const QMNotification &) { calls->add(); });
    // Posted while the context's loop is held; the context is destroyed before the delivery
    // can run.
    const auto gate = loop.hold([context] { delete context; });
    center.postNotificationName(u"Ping"_s);
    gate->open();
    loop.run([] {}); // everything queued before has been handled or dropped
    EXPECT_EQ(calls->count(), 0);

    // The registration ended with the context: the center let it go, and later posts from
    // either thread reach nothing.
    EXPECT_TRUE(weakToken.expired());
    center.postNotificationName(u"Ping"_s);
    loop.run([&] { center.postNotificationName(u"Ping"_s); });
    loop.run([] {});
    EXPECT_EQ(calls->count(), 0);
}

TEST(ContextNotificationTest, RemovingEndsTheRegistrationAndNullStaysSynchronous)
{
    QMNotificationCenter center;
    auto calls = std::make_shared<Calls>();
    {
        QObject context;
        const auto token = center.addObserverForName(
                u"Ping"_s, nullptr, &context, [calls](const QMNotification &) { calls->add(); });
        center.postNotificationName(u"Ping"_s); // same thread: inside the post
        EXPECT_EQ(calls->count(), 1);
        center.removeObserver(token);
        center.postNotificationName(u"Ping"_s);
        EXPECT_EQ(calls->count(), 1);
    } // the context goes after the removal: harmless

    // nullptr still picks the synchronous registration, not a context.
    const auto sync = center.addObserverForName(u"Sync"_s, nullptr, nullptr,
                                                [calls](const QMNotification &) { calls->add(); });
    center.postNotificationName(u"Sync"_s);
    EXPECT_EQ(calls->count(), 2);
    EXPECT_EQ(failureOf([&] {
                  center.addObserverForName(u"X"_s, nullptr, static_cast<QObject *>(nullptr),
                                            [](const QMNotification &) {});
              }),
              u"Invalid parameter not satisfying: context"_s);
}

// --- key-value observation with a context ------------------------------------------------------

TEST(ContextKeyValueTest, AChangeOnAnotherThreadIsQueuedWithTheRecordMadeThen)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    KVOPerson person;
    person.setName(u"a"_s);
    auto calls = std::make_shared<Calls>();
    const auto observation = QMKeyValueObserving::observe(
            &person, u"name"_s, NewAndOld, context,
            [calls](const QString &, QObject *, const QVariantMap &change) { calls->add(change); });

    // Two changes while the context's loop is held: each is delivered later with the values
    // read when it happened, in order.
    const auto gate = loop.hold();
    person.setName(u"b"_s);
    person.setName(u"c"_s);
    EXPECT_EQ(calls->count(), 0);
    gate->open();
    loop.run([] {});
    EXPECT_EQ(calls->valuesSeen(),
              (QVariantList {setting({{NewKey, u"b"_s}, {OldKey, u"a"_s}}),
                             setting({{NewKey, u"c"_s}, {OldKey, u"b"_s}})}));
    EXPECT_EQ(calls->threadsSeen(), (std::vector<QThread *> {loop.thread(), loop.thread()}));
}

TEST(ContextKeyValueTest, AChangeOnTheContextsThreadIsDeliveredAtOnce)
{
    KVOPerson person;
    QObject context;
    int calls = 0;
    const auto observation = QMKeyValueObserving::observe(
            &person, u"age"_s, QMKeyValueObservingOptionInitial, &context,
            [&](const QString &, QObject *object, const QVariantMap &) {
                EXPECT_EQ(object, &person);
                ++calls;
            });
    EXPECT_EQ(calls, 1); // the initial call, inside observe()
    person.setAge(3);
    EXPECT_EQ(calls, 2);
}

TEST(ContextKeyValueTest, TheContextsDestructionRemovesTheObservationAndDropsQueuedCalls)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    KVOPerson person;
    auto calls = std::make_shared<Calls>();
    const auto observation = QMKeyValueObserving::observe(
            &person, u"age"_s, 0, context,
            [calls](const QString &, QObject *, const QVariantMap &) { calls->add(); });
    const auto gate = loop.hold([context] { delete context; });
    person.setAge(1); // queued behind the holding task, which destroys the context
    gate->open();
    loop.run([] {});
    EXPECT_EQ(calls->count(), 0);
    EXPECT_TRUE(observation->isRemoved());
    person.setAge(2);
    loop.run([] {});
    EXPECT_EQ(calls->count(), 0);
}

TEST(ContextKeyValueTest, RemoveDropsQueuedCalls)
{
    LoopThread loop;
    QObject *const context = loop.makeContext();
    KVOPerson person;
    auto calls = std::make_shared<Calls>();
    const auto observation = QMKeyValueObserving::observe(
            &person, u"age"_s, 0, context,
            [calls](const QString &, QObject *, const QVariantMap &) { calls->add(); });
    const auto gate = loop.hold();
    person.setAge(1);
    observation->remove();
    gate->open();
    loop.run([] {});
    EXPECT_EQ(calls->count(), 0);
    EXPECT_EQ(failureOf([&] {
                  QMKeyValueObserving::observe(
                          &person, u"age"_s, 0, nullptr,
                          [](const QString &, QObject *, const QVariantMap &) {});
              }),
              u"Invalid parameter not satisfying: context"_s);
}
