#include <QMFoundation/platform/QMInvocation.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QMetaMethod>
#include <QPointer>

#include <array>
#include <vector>

using namespace Qt::StringLiterals;

const QString QMInvocationErrorDomain = u"QMInvocationErrorDomain"_s;

class QMInvocation::Private
{
public:
    QPointer<QObject> target;
    QByteArray selector;
    QVariantList arguments;
};

namespace {

// QMetaMethod::invoke() takes at most ten arguments.
constexpr qsizetype maximumArguments = 10;

QMError invocationError(QMInvocationErrorCode code, const QString &description)
{
    return QMError(QMInvocationErrorDomain, code,
                   {{QMLocalizedDescriptionKey, QString(u"QMInvocation: "_s + description)}});
}

QString typeText(const QVariant &value)
{
    return value.isValid() ? QString::fromLatin1(value.typeName()) : u"invalid value"_s;
}

} // namespace

QMInvocation::QMInvocation(std::unique_ptr<Private> dd)
    : d(std::move(dd))
{ }

QMInvocation::~QMInvocation() = default;

std::shared_ptr<QMInvocation> QMInvocation::invocationWithTarget(QObject *target,
                                                                 const QByteArray &selector)
{
    return invocationWithTarget(target, selector, QVariantList());
}

std::shared_ptr<QMInvocation> QMInvocation::invocationWithTarget(QObject *target,
                                                                 const QByteArray &selector,
                                                                 const QVariant &argument)
{
    return invocationWithTarget(target, selector, QVariantList {argument});
}

std::shared_ptr<QMInvocation> QMInvocation::invocationWithTarget(QObject *target,
                                                                 const QByteArray &selector,
                                                                 const QVariantList &arguments)
{
    QMParameterAssert(target != nullptr, "target != nil");
    QMParameterAssert(!selector.isEmpty(), "selector != nil");
    auto d = std::make_unique<Private>();
    d->target = target;
    d->selector = selector;
    d->arguments = arguments;
    return std::shared_ptr<QMInvocation>(new QMInvocation(std::move(d)));
}

QObject *QMInvocation::target() const
{
    return d->target.data();
}

QByteArray QMInvocation::selector() const
{
    return d->selector;
}

QVariantList QMInvocation::arguments() const
{
    return d->arguments;
}

bool QMInvocation::invoke(QVariant *returnValue, QMError *error) const
{
    QObject *target = d->target.data();
    const QString selector = QString::fromLatin1(d->selector);
    if (!target) {
        QMSetError(error,
                   invocationError(QMInvocationErrorTargetGone,
                                   u"the target of %1 has been destroyed"_s.arg(selector)));
        return false;
    }
    const QMetaObject *meta = target->metaObject();
    const QString className = QString::fromLatin1(meta->className());
    const qsizetype count = d->arguments.size();
    QString mismatch; // the first type mismatch, reported when no method fits
    for (int index = 0; count <= maximumArguments && index < meta->methodCount(); ++index) {
        const QMetaMethod method = meta->method(index);
        if (method.name() != d->selector || method.parameterCount() != count)
            continue;
        // Converted copies, kept alive for the call; a QVariant parameter takes the argument.
        std::vector<QVariant> values(d->arguments.cbegin(), d->arguments.cend());
        bool fits = true;
        for (int i = 0; fits && i < count; ++i) {
            const QMetaType type = method.parameterMetaType(i);
            if (type.id() == QMetaType::QVariant)
                continue;
            if (!type.isValid() || !values[i].convert(type)) {
                if (mismatch.isNull())
                    mismatch = u"argument %1 of %2::%3 is a %4 that does not convert to %5"_s.arg(
                            QString::number(i + 1), className,
                            QString::fromLatin1(method.methodSignature()),
                            typeText(d->arguments.at(i)),
                            QString::fromLatin1(method.parameterTypeName(i)));
                fits = false;
            }
        }
        if (!fits)
            continue;
        std::array<QByteArray, maximumArguments> typeNames;
        std::array<QGenericArgument, maximumArguments> arguments;
        for (int i = 0; i < count; ++i) {
            typeNames[i] = method.parameterTypeName(i);
            const bool isVariant = method.parameterMetaType(i).id() == QMetaType::QVariant;
            arguments[i] = QGenericArgument(typeNames[i].constData(),
                                            isVariant ? static_cast<const void *>(&values[i])
                                                      : values[i].constData());
        }
        const QMetaType returnType = method.returnMetaType();
        QVariant result;
        QGenericReturnArgument returnArgument;
        if (returnType.id() == QMetaType::QVariant)
            returnArgument = QGenericReturnArgument(method.typeName(), &result);
        else if (returnType.isValid() && returnType.id() != QMetaType::Void) {
            result = QVariant(returnType);
            returnArgument = QGenericReturnArgument(method.typeName(), result.data());
        }
        const bool invoked = method.invoke(target, Qt::DirectConnection, returnArgument,
                                           arguments[0], arguments[1], arguments[2], arguments[3],
                                           arguments[4], arguments[5], arguments[6], arguments[7],
                                           arguments[8], arguments[9]);
        if (!invoked) {
            QMSetError(error,
                       invocationError(
                               QMInvocationErrorInvokeFailed,
                               u"Qt refused to call %1::%2"_s.arg(
                                       className, QString::fromLatin1(method.methodSignature()))));
            return false;
        }
        if (returnValue)
            *returnValue = result;
        return true;
    }
    if (!mismatch.isNull()) {
        QMSetError(error, invocationError(QMInvocationErrorArgumentType, mismatch));
        return false;
    }
    QMSetError(error,
               invocationError(QMInvocationErrorNoSuchMethod,
                               u"%1 has no method or slot %2 taking %3 argument%4"_s.arg(
                                       className, selector, QString::number(count),
                                       count == 1 ? QString() : u"s"_s)));
    return false;
}
