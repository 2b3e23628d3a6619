#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMFoundation/errors/QMError.h>

#include <QByteArray>
#include <QObject>
#include <QVariant>
#include <QVariantList>

#include <memory>

/// The error domain of QMInvocation::invoke().
QMF_CORE_EXPORT extern const QString QMInvocationErrorDomain;

/// Codes of QMInvocationErrorDomain.
enum QMInvocationErrorCode : qint64 {
    /// The target has been destroyed.
    QMInvocationErrorTargetGone = 1,
    /// The target has no method or slot of that name taking that many arguments.
    QMInvocationErrorNoSuchMethod = 2,
    /// An argument cannot be converted to the type of its parameter.
    QMInvocationErrorArgumentType = 3,
    /// Qt refused the call.
    QMInvocationErrorInvokeFailed = 4,
};

/// A message ready to be sent to a QObject by name: a `Q_INVOKABLE` method, slot or signal
/// `selector` called through the meta-object system with the arguments in order.
///
/// The method is chosen at each invoke() among the target's methods named `selector` with as
/// many parameters as there are arguments: the first whose every parameter the matching
/// argument converts to (QVariant::convert(); a QVariant parameter takes the argument as it is).
/// The target is held weakly (a QPointer), the arguments are copied. The call is direct, on the
/// calling thread, which must be one the target may be used from.
class QMF_CORE_EXPORT QMInvocation
{
public:
    /// Throw "Invalid parameter not satisfying: target != nil" or "... selector != nil" for a
    /// null target or an empty selector.
    static std::shared_ptr<QMInvocation> invocationWithTarget(QObject *target,
                                                              const QByteArray &selector);
    /// As above, with one argument.
    static std::shared_ptr<QMInvocation>
    invocationWithTarget(QObject *target, const QByteArray &selector, const QVariant &argument);
    /// As above, with the arguments in order.
    static std::shared_ptr<QMInvocation> invocationWithTarget(QObject *target,
                                                              const QByteArray &selector,
                                                              const QVariantList &arguments);

    ~QMInvocation();
    QMInvocation(const QMInvocation &) = delete;
    QMInvocation &operator=(const QMInvocation &) = delete;

    /// The target, or nullptr once it has been destroyed.
    QObject *target() const;
    /// The name of the method to call.
    QByteArray selector() const;
    /// The arguments, in order.
    QVariantList arguments() const;

    /// Calls the method. Returns true and stores its result in `*returnValue` (an invalid
    /// QVariant for a void method) when it ran; false with an error in QMInvocationErrorDomain
    /// whose description names the class, the method and, for a type mismatch, the argument and
    /// both types ("QMInvocation: argument 1 of Counter::add(int) is a QString that does not
    /// convert to int").
    bool invoke(QVariant *returnValue = nullptr, QMError *error = nullptr) const;

private:
    class Private;
    explicit QMInvocation(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};
