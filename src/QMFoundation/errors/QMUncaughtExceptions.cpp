#include "QMUncaughtExceptions.h"

#include "QMInternalInconsistencyException.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

std::mutex handlerMutex;
// Shared so that a handler being replaced while another thread calls it stays alive until that
// call returns. Not a static-initialisation-order hazard: shared_ptr's default constructor is
// constexpr, so it is initialised before any code runs, and only its destructor runs at exit.
using SharedHandler = std::shared_ptr<const QMUncaughtExceptions::Handler>;
SharedHandler installedHandler; // clazy:exclude=non-pod-global-static

[[noreturn]] void abortWith(const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    std::abort();
}

} // namespace

namespace QMUncaughtExceptions {

void setHandler(Handler handler)
{
    std::shared_ptr<const Handler> installed;
    if (handler)
        installed = std::make_shared<const Handler>(std::move(handler));
    std::lock_guard lock(handlerMutex);
    installedHandler.swap(installed);
    // The old handler (if this was its last reference) is destroyed after the lock is released.
}

QString describe(std::exception_ptr exception)
{
    try {
        std::rethrow_exception(exception);
    } catch (const std::exception &caught) {
        return QMCommon::fullDescription(caught);
    } catch (...) {
        return QStringLiteral("an exception that is not a std::exception");
    }
}

void handleCurrentException(const char *where) noexcept
{
    handleCurrentException(QString::fromUtf8(where));
}

void handleCurrentException(const QString &place) noexcept
{
    const std::exception_ptr exception = std::current_exception();
    std::shared_ptr<const Handler> handler;
    {
        std::lock_guard lock(handlerMutex);
        handler = installedHandler;
    }
    if (!handler) {
        QString description;
        try {
            description = describe(exception);
        } catch (...) {
            description = QStringLiteral("(no description)");
        }
        abortWith(QStringLiteral("Terminating app due to uncaught exception (caught in %1):\n%2\n")
                          .arg(place, description));
    }
    try {
        (*handler)(exception, place);
    } catch (...) {
        abortWith(QStringLiteral("Terminating app due to an exception thrown by the uncaught-"
                                 "exception handler (caught in %1)\n")
                          .arg(place));
    }
}

} // namespace QMUncaughtExceptions
