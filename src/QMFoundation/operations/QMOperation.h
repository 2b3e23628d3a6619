#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/operations/QMBaseOperation.h>

#include <memory>
#include <optional>

/// An abstract operation: main() runs one execute() step inside a fixed sequence of hooks, and
/// the work can stop the sequence early (finish(), finishWithError()) and leave an error.
///
/// main():
/// 1. operationDidStart().
/// 2. The completion block is replaced by a wrapper that holds the operation weakly and the
///    previous block (if any) strongly; once the operation has finished, the wrapper calls
///    operationDidFinish() (when the operation still exists), then the previous block.
/// 3. If cancelled or aborted, stop. 4. operationWillExecute(). 5. If cancelled or aborted,
///    stop. 6. execute(). 7. If cancelled or aborted, stop. 8. operationDidExecute().
///
/// So for an operation that runs to its end: operationDidStart, operationWillExecute, execute,
/// operationDidExecute, the transition to finished, operationDidFinish, then the caller's
/// completion block. An operation cancelled before it starts never enters main(): no hook runs
/// and its completion block is not wrapped. A completion block set after main() has begun
/// replaces the wrapper, so operationDidFinish() does not run. An exception from
/// operationDidFinish() does not keep the previous block from running; it goes on afterwards.
///
/// Errors of the work are not thrown: the subclass records them with finishWithError() (or
/// setError()), and the caller reads error() once the operation has finished.
///
/// Instances must be owned by a `std::shared_ptr` (make them with `std::make_shared`): main()
/// throws "QMOperation must be owned by a std::shared_ptr" otherwise, since the wrapper could
/// not reach the operation.
class QMF_CORE_EXPORT QMOperation : public QMBaseOperation
{
public:
    QMOperation();
    ~QMOperation() override;

    /// The hook sequence described above.
    void main() override;

    /// The error the work recorded; std::nullopt when none. Read and written under a lock, so
    /// another thread sees either the old or the new record whole.
    std::optional<QMError> error() const;
    /// Records `error`, or clears the record with std::nullopt.
    void setError(const std::optional<QMError> &error);

    /// Set by finish(), never cleared; while true, main() runs no further step.
    bool isAborted() const;
    /// Sets or clears the aborted flag directly; finish() is the usual way to set it.
    void setAborted(bool aborted);

    /// Sets isAborted(). Does not interrupt execute(): it only stops the steps of main() that
    /// come after the current one.
    virtual void finish();
    /// Sets error() first, then calls finish(), so whoever sees isAborted() also finds the error.
    virtual void finishWithError(const std::optional<QMError> &error);

protected:
    /// The work. Subclasses must override it: the base throws QMInternalInconsistencyException
    /// with "Abstract method 'execute' needs to be overridden by subclasses.".
    virtual void execute();
    /// Hook, the first thing in main(). Does nothing here.
    virtual void operationDidStart();
    /// Hook, just before execute(). Does nothing here.
    virtual void operationWillExecute();
    /// Hook, just after execute() unless the operation was cancelled or aborted meanwhile. Does
    /// nothing here.
    virtual void operationDidExecute();
    /// Hook, run from the completion block after the operation has finished, on the thread that
    /// runs completion blocks (see QMBaseOperation::completionBlock()). Does nothing here.
    virtual void operationDidFinish();

private:
    class Private;
    std::unique_ptr<Private> d;
};
