#include <QMFoundation/operations/QMBlockOperation.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

QMBlockOperation::QMBlockOperation(Block block)
    : m_block(std::move(block))
{
    QMParameterAssert(bool(m_block), "block");
}

QMBlockOperation::~QMBlockOperation() = default;

std::shared_ptr<QMBlockOperation> QMBlockOperation::blockOperationWithBlock(Block block)
{
    return std::make_shared<QMBlockOperation>(std::move(block));
}

void QMBlockOperation::main()
{
    m_block();
}
