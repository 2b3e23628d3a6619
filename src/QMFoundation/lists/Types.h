#pragma once

#include <QMFoundation/lists/QMListElementTraits.h>

#include <QList>
#include <QObject>

#include <type_traits>

/// Element types of lists of pointers.
namespace Types {

namespace Detail {

// True when `Class` itself carries Q_OBJECT: only then does its meta-object stand for it, and
// qobject_cast refuses to compile without one.
template<typename Class>
concept HasOwnMetaObject = std::is_base_of_v<QObject, Class> && std::is_same_v<
        decltype(&Class::qt_metacall), int (Class::*)(QMetaObject::Call, int, void **)>;

template<typename Class, typename U>
bool isInstance(U *object)
{
    if (!object)
        return false;
    using Plain = std::remove_cv_t<U>;
    if constexpr (std::is_base_of_v<Class, Plain>) {
        return true;
    } else if constexpr (std::is_base_of_v<QObject, Plain> && HasOwnMetaObject<Class>) {
        return qobject_cast<const Class *>(object) != nullptr;
    } else {
        static_assert(std::is_polymorphic_v<Plain>,
                      "Types::containsObjectsOfSingleType needs a polymorphic element type (or "
                      "one derived from the class) to tell an element's class");
        return dynamic_cast<const Class *>(object) != nullptr;
    }
}

} // namespace Detail

/// True when every element of `list` (of std::shared_ptr<U> or U *) points to an instance of
/// `Class` or of a class derived from it; true for an empty list. A null element is not an
/// instance. The scan stops at the first element that is not one.
///
/// Elements are tested with qobject_cast when both `U` and `Class` are QObjects and `Class` has
/// its own Q_OBJECT (so the answer does not depend on RTTI across library boundaries), with
/// dynamic_cast otherwise; when `U` derives from `Class` only null elements can fail. An element
/// type that is neither polymorphic nor derived from `Class` does not compile.
template<typename Class, typename T>
bool containsObjectsOfSingleType(const QList<T> &list)
{
    static_assert(QMListElementDetail::PointerLike<T>,
                  "Types::containsObjectsOfSingleType takes a list of std::shared_ptr or pointers");
    for (const T &element : list) {
        if (!Detail::isInstance<Class>(QMListElementDetail::targetOf(element)))
            return false;
    }
    return true;
}

} // namespace Types
