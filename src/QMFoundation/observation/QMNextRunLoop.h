#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

/// Lets the calling thread's event loop run once: handles the events that are ready (posted
/// events, timers, sockets), waiting for one when none is, but at most 0.1 seconds. On a thread
/// without an event dispatcher it returns at once. Blocks the calling thread meanwhile.
QMF_CORE_EXPORT void QMNextRunLoop();
