#include <QMFoundation/operations/QMOperation.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <atomic>
#include <exception>
#include <mutex>

class QMOperation::Private
{
public:
    mutable std::mutex errorMutex;
    std::optional<QMError> error;
    std::atomic<bool> aborted {false};
};

QMOperation::QMOperation()
    : d(std::make_unique<Private>())
{ }

QMOperation::~QMOperation() = default;

void QMOperation::main()
{
    const std::weak_ptr<QMBaseOperation> weakSelf = weak_from_this();
    QMAssert(!weakSelf.expired(), QStringLiteral("QMOperation must be owned by a std::shared_ptr"));

    operationDidStart();

    // The wrapper holds the operation weakly: an operation that is gone by the time its
    // completion block runs gets no operationDidFinish(), and the block keeps nothing alive.
    // A hook that throws does not cost the caller its completion block: the block runs, then the
    // hook's exception goes on (to the caller of start(), or to the handler on a queue).
    setCompletionBlock([weakSelf, previous = completionBlock()] {
        std::exception_ptr thrown;
        if (const std::shared_ptr<QMBaseOperation> self = weakSelf.lock()) {
            try {
                static_cast<QMOperation *>(self.get())->operationDidFinish();
            } catch (...) {
                thrown = std::current_exception();
            }
        }
        if (previous)
            previous();
        if (thrown)
            std::rethrow_exception(thrown);
    });

    const auto stopped = [this] {
        return isCancelled() || isAborted();
    };
    if (stopped())
        return;
    operationWillExecute();
    if (stopped())
        return;
    execute();
    if (stopped())
        return;
    operationDidExecute();
}

std::optional<QMError> QMOperation::error() const
{
    std::lock_guard lock(d->errorMutex);
    return d->error;
}

void QMOperation::setError(const std::optional<QMError> &error)
{
    std::lock_guard lock(d->errorMutex);
    d->error = error;
}

bool QMOperation::isAborted() const
{
    return d->aborted.load();
}

void QMOperation::setAborted(bool aborted)
{
    d->aborted.store(aborted);
}

void QMOperation::finish()
{
    setAborted(true);
}

void QMOperation::finishWithError(const std::optional<QMError> &error)
{
    setError(error);
    finish();
}

void QMOperation::execute()
{
    throw QMInternalInconsistencyException(
            QStringLiteral("Abstract method 'execute' needs to be overridden by subclasses."));
}

void QMOperation::operationDidStart() { }

void QMOperation::operationWillExecute() { }

void QMOperation::operationDidExecute() { }

void QMOperation::operationDidFinish() { }
