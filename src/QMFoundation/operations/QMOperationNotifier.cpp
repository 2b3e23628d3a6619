#include <QMFoundation/operations/QMOperationNotifier.h>

// Without a thread of their own, the notifiers may be emitted from and destroyed on whichever
// thread runs their operation or queue.
QMOperationNotifier::QMOperationNotifier()
{
    moveToThread(nullptr);
}

QMOperationNotifier::~QMOperationNotifier() = default;

QMOperationQueueNotifier::QMOperationQueueNotifier()
{
    moveToThread(nullptr);
}

QMOperationQueueNotifier::~QMOperationQueueNotifier() = default;
