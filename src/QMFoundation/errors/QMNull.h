#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QVariant>

/// The null marker: a value that stands for "absent" inside collections, where an invalid
/// QVariant cannot be stored meaningfully (for example in a QVariantList of match groups).
QMF_CORE_EXPORT QVariant QMNull();

/// True when `value` is the null marker (a QVariant holding std::nullptr_t). Inline: values are
/// checked for it on every store and comparison.
inline bool QMIsNull(const QVariant &value)
{
    return value.metaType() == QMetaType::fromType<std::nullptr_t>();
}
