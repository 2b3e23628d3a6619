#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QMFoundation/errors/QMObjectDescribing.h>

#include <algorithm>
#include <cstdlib>
#include <typeinfo>

#if __has_include(<execinfo.h>) && __has_include(<cxxabi.h>)
#include <cxxabi.h>
#include <execinfo.h>
#define QMF_HAVE_BACKTRACE 1
#endif

namespace {

// Deep enough for any caller worth reading; a recursion that overflows is cut, not walked.
constexpr int MaximumFrames = 64;

#ifdef QMF_HAVE_BACKTRACE

// Everything above `caller` (the return address into the code that made the exception) is
// dropped: this function, the constructor and whatever a sanitizer's interceptor of
// backtrace() adds.
std::shared_ptr<const std::vector<void *>> captureReturnAddresses(void *caller)
{
    constexpr int ownFrames = 4;
    void *frames[MaximumFrames + ownFrames];
    // backtrace() only records addresses (the unwinder, no symbol tables), so every exception
    // can afford it; symbols are looked up when someone reads them.
    const int count = backtrace(frames, MaximumFrames + ownFrames);
    void **searched = frames + std::min(count, ownFrames + 1);
    void **first = std::find(frames, searched, caller);
    // Not among the first frames: a stack this code cannot read is better left out than shown
    // wrong.
    if (first == searched)
        return {};
    return std::make_shared<const std::vector<void *>>(first, frames + count);
}

QString demangled(const char *symbol)
{
    int status = -1;
    char *name = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    const QString text = QString::fromUtf8(status == 0 && name ? name : symbol);
    std::free(name);
    return text;
}

// "binary(mangled+0x1f) [0x...]" with the mangled name in readable form; other shapes as given.
QString readableFrame(const char *frame)
{
    const QString text = QString::fromUtf8(frame);
    const qsizetype open = text.indexOf(u'(');
    const qsizetype end = open < 0 ? -1 : text.indexOf(u'+', open);
    if (end <= open + 1)
        return text;
    const QByteArray symbol = text.mid(open + 1, end - open - 1).toUtf8();
    return text.left(open + 1) + demangled(symbol.constData()) + text.mid(end);
}

#else

std::shared_ptr<const std::vector<void *>> captureReturnAddresses(void *)
{
    return {};
}

#endif

QString typeName(const std::type_info &type)
{
#ifdef QMF_HAVE_BACKTRACE
    return demangled(type.name());
#else
    return QString::fromUtf8(type.name());
#endif
}

QString fullDescriptionOf(const QString &className, const void *object, const QString &name,
                          const QString &reason, const QString &userInfo,
                          const QStringList &callStack)
{
    QString text = className + QStringLiteral(" <") + QMObjectDescribing::identity(object)
            + QStringLiteral("> {\n\t\tname: ") + name + QStringLiteral("\n\t\treason: ") + reason
            + QStringLiteral("\n\t\tuserInfo: ") + userInfo + u'\n';
    if (!callStack.isEmpty())
        text += QStringLiteral("\t\tcallStack: ")
                + QMObjectDescribing::prettyDescriptionForObject(callStack) + u'\n';
    return text + QStringLiteral("\t}");
}

} // namespace

// Not inlined, so that its return address is that of the code making the exception.
[[gnu::noinline]] QMInternalInconsistencyException::QMInternalInconsistencyException(
        const QString &reason, const QVariantMap &userInfo)
    : m_reason(reason)
    , m_userInfo(userInfo)
    , m_what(reason.toStdString())
    , m_returnAddresses(captureReturnAddresses(__builtin_return_address(0)))
{ }

QMInternalInconsistencyException::~QMInternalInconsistencyException() = default;

QString QMInternalInconsistencyException::name() const
{
    return QStringLiteral("NSInternalInconsistencyException");
}

const char *QMInternalInconsistencyException::what() const noexcept
{
    return m_what.c_str();
}

QStringList QMInternalInconsistencyException::callStackSymbols() const
{
    QStringList symbols;
#ifdef QMF_HAVE_BACKTRACE
    if (!m_returnAddresses)
        return symbols;
    const int count = int(m_returnAddresses->size());
    char **frames = backtrace_symbols(m_returnAddresses->data(), count);
    if (!frames)
        return symbols;
    symbols.reserve(count);
    for (int i = 0; i < count; ++i)
        symbols.append(readableFrame(frames[i]));
    std::free(frames);
#endif
    return symbols;
}

QString QMInternalInconsistencyException::fullDescription() const
{
    return fullDescriptionOf(typeName(typeid(*this)), this, name(), m_reason,
                             QMObjectDescribing::prettyDescriptionForObject(m_userInfo),
                             callStackSymbols());
}

QString QMCommon::fullDescription(const std::exception &exception)
{
    if (const auto *own = dynamic_cast<const QMInternalInconsistencyException *>(&exception))
        return own->fullDescription();
    const QString className = typeName(typeid(exception));
    return fullDescriptionOf(className, &exception, className, QString::fromUtf8(exception.what()),
                             QStringLiteral("(null)"), {});
}

void QMParameterAssert(bool satisfied, const char *condition)
{
    if (!satisfied)
        throw QMInternalInconsistencyException(
                QStringLiteral("Invalid parameter not satisfying: %1")
                        .arg(QString::fromUtf8(condition)));
}

void QMAssert(bool satisfied, const QString &message)
{
    if (!satisfied)
        throw QMInternalInconsistencyException(message);
}
