#pragma once

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/lists/QMListElementTraits.h>

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <typeinfo>
#include <utility>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#endif

/// filter, map, compactMap and reduce over ordered lists.
///
/// map and compactMap know which results of a function are "none": a std::optional without a
/// value, a null pointer or std::shared_ptr, and an invalid QVariant. Every other result is a
/// value (a null QString included: return std::optional<QString> to say "none" for texts).
/// Optional results are unwrapped, so a function returning std::optional<int> maps to QList<int>.
namespace Functional {

namespace Detail {

template<typename R>
struct Result
{
    using Type = R;
    static bool isNone(const R &) { return false; }
    static R unwrap(R &&result) { return std::move(result); }
};
template<typename V>
struct Result<std::optional<V>>
{
    using Type = V;
    static bool isNone(const std::optional<V> &result) { return !result.has_value(); }
    static V unwrap(std::optional<V> &&result) { return std::move(*result); }
};
template<typename U>
struct Result<U *>
{
    using Type = U *;
    static bool isNone(U *result) { return result == nullptr; }
    static U *unwrap(U *result) { return result; }
};
template<typename U>
struct Result<std::shared_ptr<U>>
{
    using Type = std::shared_ptr<U>;
    static bool isNone(const std::shared_ptr<U> &result) { return !result; }
    static std::shared_ptr<U> unwrap(std::shared_ptr<U> &&result) { return std::move(result); }
};
template<>
struct Result<QVariant>
{
    using Type = QVariant;
    static bool isNone(const QVariant &result) { return !result.isValid(); }
    static QVariant unwrap(QVariant &&result) { return std::move(result); }
};

template<typename T, typename F>
using ResultOf = Result<std::remove_cvref_t<std::invoke_result_t<F &, const T &>>>;

inline QString demangledName(const std::type_info &type)
{
#if __has_include(<cxxabi.h>)
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> name(
            abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    if (status == 0 && name)
        return QString::fromUtf8(name.get());
#endif
    return QString::fromUtf8(type.name());
}

/// The class name of an element in messages: the meta-object's class name for a QObject, the
/// dynamic type for another polymorphic target, the static type otherwise (a null pointer
/// included, which has no dynamic type).
template<typename T>
QString classNameOf(const T &element)
{
    if constexpr (QMListElementDetail::PointerLike<T>) {
        const auto *target = QMListElementDetail::targetOf(element);
        using U = std::remove_cv_t<std::remove_pointer_t<decltype(target)>>;
        if constexpr (std::is_base_of_v<QObject, U>) {
            if (target)
                return QString::fromLatin1(target->metaObject()->className());
        } else if constexpr (std::is_polymorphic_v<U>) {
            if (target)
                return demangledName(typeid(*target));
        }
        return demangledName(typeid(U));
    } else {
        return demangledName(typeid(T));
    }
}

} // namespace Detail

/// A new list of the elements for which `test(element)` is true, in order.
template<typename T, typename Test>
QList<T> filter(const QList<T> &list, Test &&test)
{
    QList<T> passed;
    for (const T &element : list) {
        if (std::invoke(test, element))
            passed.append(element);
    }
    return passed;
}

/// A new list of `function(element)` for every element, in order, as long as `list`.
///
/// Every result must be a value: when `function` gives "none" (see the namespace), map throws
/// QMInternalInconsistencyException with the reason "Error. Item of class 'Name' could not be
/// mapped.", Name being the element's class: the meta-object's class name for a QObject target,
/// the demangled dynamic type for another polymorphic target, the demangled static type for
/// everything else (a null pointer included).
template<typename T, typename F>
auto map(const QList<T> &list, F &&function)
{
    using R = Detail::ResultOf<T, F>;
    QList<typename R::Type> mapped;
    mapped.reserve(list.size());
    for (const T &element : list) {
        auto result = std::invoke(function, element);
        if (R::isNone(result)) {
            throw QMInternalInconsistencyException(
                    QStringLiteral("Error. Item of class '%1' could not be mapped.")
                            .arg(Detail::classNameOf(element)));
        }
        mapped.append(R::unwrap(std::move(result)));
    }
    return mapped;
}

/// A new list of the results of `function(element)` that are not "none" (see the namespace), in
/// order.
template<typename T, typename F>
auto compactMap(const QList<T> &list, F &&function)
{
    using R = Detail::ResultOf<T, F>;
    QList<typename R::Type> mapped;
    for (const T &element : list) {
        auto result = std::invoke(function, element);
        if (!R::isNone(result))
            mapped.append(R::unwrap(std::move(result)));
    }
    return mapped;
}

/// Feeds every element in order to `combine(accumulator, element)`, starting from `initial`, and
/// returns the last accumulator: `initial` itself for an empty list. The accumulator's type is
/// the type of `initial` (so pass QString(), not "", to build a text).
template<typename T, typename Accumulator, typename Combine>
Accumulator reduce(const QList<T> &list, Accumulator initial, Combine &&combine)
{
    for (const T &element : list)
        initial = std::invoke(combine, std::move(initial), element);
    return initial;
}

} // namespace Functional
