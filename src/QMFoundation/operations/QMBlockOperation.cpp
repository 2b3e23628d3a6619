#include <QMFoundation/operations/QMBlockOperation.h>

#include "QMFoundation/operations/QMRecycledMemory_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>

QMBlockOperation::QMBlockOperation(Block block)
    : m_block(std::move(block))
{
    QMParameterAssert(bool(m_block), "block");
}

QMBlockOperation::~QMBlockOperation() = default;

std::shared_ptr<QMBlockOperation> QMBlockOperation::blockOperationWithBlock(Block block)
{
    return std::allocate_shared<QMBlockOperation>(QMRecycledAllocator<QMBlockOperation>(),
                                                  std::move(block));
}

void QMBlockOperation::main()
{
    m_block();
}
