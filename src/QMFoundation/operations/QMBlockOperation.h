#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/operations/QMBaseOperation.h>

#include <functional>
#include <memory>

/// An operation whose work is one block.
class QMF_CORE_EXPORT QMBlockOperation : public QMBaseOperation
{
public:
    /// The work of the operation.
    using Block = std::function<void()>;

    /// Throws "Invalid parameter not satisfying: block" without a block.
    explicit QMBlockOperation(Block block);
    ~QMBlockOperation() override;

    /// A new shared operation running `block`; throws as the constructor does.
    static std::shared_ptr<QMBlockOperation> blockOperationWithBlock(Block block);

    /// Runs the block.
    void main() override;

private:
    Block m_block;
};
