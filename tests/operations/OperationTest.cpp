#include "OperationsTestSupport.h"
#include "support/Failures.h"
#include "text/TextTestSupport.h"

#include <QMFoundation/operations/QMBlockOperation.h>
#include <QMFoundation/operations/QMOperation.h>
#include <QMFoundation/operations/QMOperationQueue.h>

#include <QScopeGuard>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace OperationsTestSupport;
using TestSupport::failureOf;
using namespace Qt::StringLiterals;

namespace {

// Records its hooks in a log; `atStep` may act on the operation when a hook runs. It leaves
// execute() to subclasses.
class HooksOnlyOperation : public QMOperation
{
public:
    explicit HooksOnlyOperation(std::shared_ptr<Log> sharedLog)
        : log(std::move(sharedLog))
    { }

    std::shared_ptr<Log> log;
    std::function<void(QMOperation &, const QString &step)> atStep;

protected:
    void operationDidStart() override { step(u"didStart"_s); }
    void operationWillExecute() override { step(u"willExecute"_s); }
    void operationDidExecute() override { step(u"didExecute"_s); }
    void operationDidFinish() override { step(u"didFinish"_s); }
    void step(const QString &name)
    {
        log->append(name);
        if (atStep)
            atStep(*this, name);
    }
};

class RecordingOperation : public HooksOnlyOperation
{
public:
    using HooksOnlyOperation::HooksOnlyOperation;

protected:
    void execute() override { step(u"execute"_s); }
};

const QMError TestError(u"TestDomain"_s, 7, {{u"detail"_s, u"disk full"_s}});

} // namespace

TEST(OperationTest, HookSequenceStopsWhereTheWorkIsCancelledOrFinished)
{
    enum Action { None, Cancel, Finish, FinishWithError };
    const struct
    {
        const char *name;
        QString atStep;
        Action action;
        const char *expected; // the log, separated by '|'
    } rows[] = {
            {"runs to the end", QString(), None,
             "didStart|willExecute|execute|didExecute|didFinish|completion"},
            // Cancelled before it starts: only the caller's completion block runs.
            {"cancel before start", u"beforeStart"_s, Cancel, "completion"},
            // Cancelled between the hooks: the remaining steps are skipped, the completion
            // wrapper still runs.
            {"cancel in didStart", u"didStart"_s, Cancel, "didStart|didFinish|completion"},
            {"cancel in willExecute", u"willExecute"_s, Cancel,
             "didStart|willExecute|didFinish|completion"},
            {"cancel in execute", u"execute"_s, Cancel,
             "didStart|willExecute|execute|didFinish|completion"},
            {"cancel in didExecute", u"didExecute"_s, Cancel,
             "didStart|willExecute|execute|didExecute|didFinish|completion"},
            // finish() stops the sequence the same way.
            {"finish in didStart", u"didStart"_s, Finish, "didStart|didFinish|completion"},
            {"finishWithError in execute", u"execute"_s, FinishWithError,
             "didStart|willExecute|execute|didFinish|completion"},
    };
    for (const auto &row : rows) {
        for (const bool onQueue : {false, true}) {
            SCOPED_TRACE(std::string(row.name) + (onQueue ? " (queue)" : " (start)"));
            const auto log = std::make_shared<Log>();
            const auto operation = std::make_shared<RecordingOperation>(log);
            operation->atStep = [&row](QMOperation &op, const QString &step) {
                if (step != row.atStep)
                    return;
                if (row.action == Cancel)
                    op.cancel();
                else if (row.action == Finish)
                    op.finish();
                else if (row.action == FinishWithError)
                    op.finishWithError(TestError);
            };
            Gate completed;
            operation->setCompletionBlock([&] {
                log->append(u"completion"_s);
                completed.open();
            });
            if (row.atStep == u"beforeStart")
                operation->cancel();
            if (onQueue) {
                QMOperationQueue::serialQueue()->addOperation(operation);
                completed.wait(); // the completion block has run
            } else {
                operation->start();
            }

            EXPECT_EQ(log->entries().join(u'|'), QString::fromUtf8(row.expected));
            EXPECT_TRUE(operation->isFinished());
            EXPECT_EQ(operation->isAborted(),
                      row.action == Finish || row.action == FinishWithError);
            EXPECT_EQ(operation->isCancelled(), row.action == Cancel);
            EXPECT_EQ(operation->error(),
                      row.action == FinishWithError ? std::optional(TestError) : std::nullopt);
        }
    }
}

TEST(OperationTest, ExecuteThatIsNotOverriddenFailsWhenTheSequenceReachesIt)
{
    const auto log = std::make_shared<Log>();
    const auto operation = std::make_shared<HooksOnlyOperation>(log);
    EXPECT_EQ(failureOf([&] { operation->start(); }),
              u"Abstract method 'execute' needs to be overridden by subclasses."_s);
    // Finished all the same, so that nobody waits for it forever.
    EXPECT_EQ(log->entries().join(u'|'), u"didStart|willExecute|didFinish"_s);
    EXPECT_TRUE(operation->isFinished());
    EXPECT_FALSE(operation->isExecuting());
}

TEST(OperationTest, CompletionWrapperCanBeReplacedAndHoldsTheOperationWeakly)
{
    // A block set after main began replaces the wrapper, and with it operationDidFinish.
    const auto log = std::make_shared<Log>();
    const auto replaced = std::make_shared<RecordingOperation>(log);
    replaced->setCompletionBlock([&] { log->append(u"first completion"_s); });
    replaced->atStep = [&](QMOperation &op, const QString &step) {
        if (step == u"execute")
            op.setCompletionBlock([&] { log->append(u"late completion"_s); });
    };
    replaced->start();
    EXPECT_EQ(log->entries().join(u'|'),
              u"didStart|willExecute|execute|didExecute|late completion"_s);

    const auto weakLog = std::make_shared<Log>();
    QMBaseOperation::CompletionBlock wrapper;
    std::weak_ptr<QMOperation> weakOperation;
    {
        auto operation = std::make_shared<RecordingOperation>(weakLog);
        weakOperation = operation;
        operation->setCompletionBlock([weakLog] { weakLog->append(u"completion"_s); });
        operation->atStep = [&](QMOperation &op, const QString &step) {
            if (step == u"execute")
                wrapper = op.completionBlock();
        };
        operation->start();
    }
    // The wrapper kept outside does not keep the operation alive; run once the operation is
    // gone, it skips operationDidFinish and still runs the previous block.
    EXPECT_TRUE(weakOperation.expired());
    ASSERT_TRUE(bool(wrapper));
    wrapper();
    EXPECT_EQ(weakLog->entries().join(u'|'),
              u"didStart|willExecute|execute|didExecute|didFinish|completion|completion"_s);
}

TEST(OperationTest, ErrorIsReadWholeWhileAnotherThreadWritesIt)
{
    const auto operation = std::make_shared<RecordingOperation>(std::make_shared<Log>());
    const QMError other(u"OtherDomain"_s, -1, {{u"a"_s, QVariantList {1, 2, 3}}});
    std::atomic<bool> done = false;
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i)
            operation->setError(i % 3 == 0 ? std::nullopt
                                           : std::optional(i % 2 ? TestError : other));
        done = true;
    });
    while (!done) {
        const std::optional<QMError> seen = operation->error();
        ASSERT_TRUE(!seen || *seen == TestError || *seen == other);
    }
    writer.join();
}

TEST(BaseOperationTest, StartRunsMainOnTheCallingThreadAndTellsTheObservers)
{
    const std::thread::id caller = std::this_thread::get_id();
    Log log;
    std::shared_ptr<QMBlockOperation> operation;
    operation = QMBlockOperation::blockOperationWithBlock([&] {
        log.append(u"main executing=%1 caller=%2"_s.arg(operation->isExecuting())
                           .arg(std::this_thread::get_id() == caller));
    });
    operation->addExecutingObserver([&](bool executing) {
        log.append(u"observer %1 executing=%2 finished=%3 caller=%4"_s.arg(executing)
                           .arg(operation->isExecuting())
                           .arg(operation->isFinished())
                           .arg(std::this_thread::get_id() == caller));
    });
    // Removed observers are not called, also one that removes itself while it is called.
    const quint64 removed
            = operation->addExecutingObserver([&](bool) { log.append(u"removed"_s); });
    quint64 self = 0;
    self = operation->addExecutingObserver([&](bool executing) {
        log.append(u"self %1"_s.arg(executing));
        operation->removeExecutingObserver(self);
    });
    operation->removeExecutingObserver(removed);
    operation->start();
    EXPECT_EQ(log.entries().join(u'|'),
              u"observer 1 executing=1 finished=0 caller=1|self 1|main executing=1 caller=1|"
              "observer 0 executing=0 finished=0 caller=1"_s);
    EXPECT_TRUE(operation->isFinished());
    EXPECT_FALSE(operation->isExecuting());
}

TEST(BaseOperationTest, ContractViolationsThrowTheirMessages)
{
    const auto make = [] {
        return QMBlockOperation::blockOperationWithBlock([] {});
    };
    const auto started = [&] {
        auto operation = make();
        operation->start();
        return operation;
    };
    const QString block = u"Invalid parameter not satisfying: block"_s;
    const QString operation = u"Invalid parameter not satisfying: operation"_s;
    const QString enqueued = u"Operation is already enqueued or has already been started"_s;
    struct Row
    {
        const char *name;
        std::function<void()> action;
        QString message;
    };
    const Row rows[] = {
            {"block operation without a block", [] { QMBlockOperation(QMBlockOperation::Block()); },
             block},
            {"null dependency", [&] { make()->addDependency(nullptr); }, operation},
            {"dependency on itself",
             [&] {
                 const auto itself = make();
                 itself->addDependency(itself);
             },
             u"Invalid parameter not satisfying: operation != this"_s},
            {"started twice", [&] { started()->start(); }, u"Operation has already been started"_s},
            {"started while enqueued",
             [&] {
                 const auto queue = QMOperationQueue::queueWithMaxConcurrentOperationCount(0);
                 const auto held = make();
                 queue->addOperation(held);
                 const auto restart
                         = qScopeGuard([&] { queue->setMaxConcurrentOperationCount(1); });
                 held->start();
             },
             u"Operation is enqueued on a queue and cannot be started directly"_s},
            {"started before its dependency finished",
             [&] {
                 const auto dependent = make();
                 dependent->addDependency(make());
                 dependent->start();
             },
             u"Operation is not ready: a dependency has not finished"_s},
            {"operation not owned by a shared pointer",
             [] { RecordingOperation(std::make_shared<Log>()).start(); },
             u"QMOperation must be owned by a std::shared_ptr"_s},
            // Queues.
            {"null operation", [] { QMOperationQueue::serialQueue()->addOperation(nullptr); },
             operation},
            {"operation added twice",
             [&] {
                 const auto queue = QMOperationQueue::serialQueue();
                 const auto twice = make();
                 queue->addOperation(twice);
                 twice->waitUntilFinished();
                 queue->addOperation(twice);
             },
             enqueued},
            {"operation started before",
             [&] { QMOperationQueue::serialQueue()->addOperation(started()); }, enqueued},
            {"addOperationWithBlock without a block",
             [] { QMOperationQueue::serialQueue()->addOperationWithBlock({}); }, block},
            {"performBlock without a block",
             [] { QMOperationQueue::serialQueue()->performBlock({}); }, block},
            {"performBlockAndWait without a block",
             [] { QMOperationQueue::serialQueue()->performBlockAndWait({}); }, block},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(failureOf(row.action), row.message);
    }
}

TEST(BaseOperationTest, DependenciesHoldAnOperationBackUntilTheyFinishOrAreCancelled)
{
    const auto first = QMBlockOperation::blockOperationWithBlock([] {});
    const auto second = QMBlockOperation::blockOperationWithBlock([] {});
    const auto dependent = QMBlockOperation::blockOperationWithBlock([] {});

    // A list with a null element is refused whole: nothing of it is added.
    EXPECT_EQ(failureOf([&] {
                  dependent->addDependencies({first, nullptr});
              }),
              u"Invalid parameter not satisfying: dependencies"_s);
    EXPECT_TRUE(dependent->dependencies().isEmpty());

    dependent->addDependencies({first, second});
    EXPECT_EQ(dependent->dependencies(), (QMBaseOperation::OperationList {first, second}));
    first->start();
    EXPECT_FALSE(dependent->isReady());
    // A dependency cancelled before it started no longer holds anything back.
    second->cancel();
    EXPECT_TRUE(dependent->isReady());
    EXPECT_FALSE(second->isFinished());

    // A dependency that has already finished holds nothing back.
    const auto late = QMBlockOperation::blockOperationWithBlock([] {});
    late->addDependency(first);
    EXPECT_TRUE(late->isReady());
}
