#pragma once

#include <QMFoundation/errors/QMObjectDescribing.h>

#include <QHash>
#include <QObject>
#include <QString>
#include <QVariant>

#include <concepts>
#include <cstddef>
#include <memory>
#include <type_traits>
#include <typeinfo>

/// \struct QMListElementTraits
/// How the list facilities see the elements of a `QList<T>`.
///
/// - Identity decides whether an element of one list is "the same" as one of another: the target
///   for `std::shared_ptr<U>` and `U *`, the value itself (`==` with `qHash`) for value types,
///   which have no identity apart from their value.
/// - Value equality is `isEqual()` of the target when it has one (as `QMListItem` does), the
///   same identity otherwise for pointers, and `==` for values. `hash()` agrees with it.
/// - `identifier()` is the element's name in messages: the target's `identifier()` when it has
///   one, else its description.
///
/// Specialise QMListElementTraits for a type that needs something else.
namespace QMListElementDetail {

template<typename T>
struct IsSharedPointer : std::false_type
{ };
template<typename U>
struct IsSharedPointer<std::shared_ptr<U>> : std::true_type
{
    using Target = U;
};

template<typename T>
concept PointerLike = IsSharedPointer<T>::value || std::is_pointer_v<T>;

template<typename T>
auto *targetOf(const T &element)
{
    if constexpr (IsSharedPointer<T>::value)
        return element.get();
    else
        return element;
}

template<typename U>
concept HasIsEqual = requires(const U &a, const U &b)
{
    {
        a.isEqual(b)
        } -> std::convertible_to<bool>;
};
template<typename U>
concept HasHash = requires(const U &a)
{
    {
        a.hash()
        } -> std::convertible_to<size_t>;
};
template<typename U>
concept HasIdentifier = requires(const U &a)
{
    {
        a.identifier()
        } -> std::convertible_to<QString>;
};
template<typename U>
concept HasDescription = requires(const U &a)
{
    {
        a.description()
        } -> std::convertible_to<QString>;
};

} // namespace QMListElementDetail

template<typename T>
struct QMListElementTraits
{
    /// A key with `==` and `qHash` that is equal exactly for the same element.
    static auto identityKey(const T &element)
    {
        if constexpr (QMListElementDetail::PointerLike<T>)
            return static_cast<const void *>(QMListElementDetail::targetOf(element));
        else
            return element;
    }

    /// Value equality, as described above.
    static bool isEqual(const T &a, const T &b)
    {
        if constexpr (QMListElementDetail::PointerLike<T>) {
            const auto *x = QMListElementDetail::targetOf(a);
            const auto *y = QMListElementDetail::targetOf(b);
            using U = std::remove_cv_t<std::remove_pointer_t<decltype(x)>>;
            if constexpr (QMListElementDetail::HasIsEqual<U>) {
                if (!x || !y)
                    return x == y;
                return x->isEqual(*y);
            } else {
                return x == y;
            }
        } else {
            return a == b;
        }
    }

    /// A hash that agrees with isEqual().
    static size_t hash(const T &element)
    {
        if constexpr (QMListElementDetail::PointerLike<T>) {
            const auto *x = QMListElementDetail::targetOf(element);
            using U = std::remove_cv_t<std::remove_pointer_t<decltype(x)>>;
            if constexpr (QMListElementDetail::HasIsEqual<U> && QMListElementDetail::HasHash<U>)
                return x ? x->hash() : 0;
            else if constexpr (QMListElementDetail::HasIsEqual<U>)
                return 0; // isEqual() without hash(): one bucket keeps hashing consistent
            else
                return qHash(static_cast<const void *>(x));
        } else {
            return qHash(element);
        }
    }

    /// The element's name in messages, as described above; "(null)" for a null pointer.
    static QString identifier(const T &element)
    {
        if constexpr (QMListElementDetail::PointerLike<T>) {
            const auto *x = QMListElementDetail::targetOf(element);
            using U = std::remove_cv_t<std::remove_pointer_t<decltype(x)>>;
            if (!x)
                return QStringLiteral("(null)");
            if constexpr (QMListElementDetail::HasIdentifier<U>)
                return x->identifier();
            else if constexpr (QMListElementDetail::HasDescription<U>)
                return x->description();
            else if constexpr (std::is_base_of_v<QObject, U>)
                return QMObjectDescribing::defaultDescription(x);
            else
                return QMObjectDescribing::identity(x);
        } else if constexpr (std::is_convertible_v<T, QString>) {
            return QString(element);
        } else {
            return QMObjectDescribing::prettyDescriptionForObject(QVariant::fromValue(element));
        }
    }
};
