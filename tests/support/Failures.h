#pragma once

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QString>

#include <functional>

namespace TestSupport {

/// The reason of the QMInternalInconsistencyException that `action` throws, or "(no exception)".
inline QString failureOf(const std::function<void()> &action)
{
    try {
        action();
    } catch (const QMInternalInconsistencyException &exception) {
        return exception.reason();
    }
    return QStringLiteral("(no exception)");
}

} // namespace TestSupport
