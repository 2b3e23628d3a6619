#include <QMFoundation/observation/QMNextRunLoop.h>

#include <QAbstractEventDispatcher>
#include <QTimer>

void QMNextRunLoop()
{
    QAbstractEventDispatcher *const dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return;
    // A timer event is an event like any other: it ends the wait after 0.1 s when nothing else
    // arrives first. Destroying it unregisters it, so a pass that ended early leaves nothing.
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    bound.start(100);
    dispatcher->processEvents(QEventLoop::WaitForMoreEvents);
}
