#pragma once

// Internal: not installed. Sorts the QVariant number types once for every place that treats
// numbers alike (equality, descriptions, JSON checks).

#include <QVariant>

enum class QMNumberKind { NotANumber, Boolean, Signed, Unsigned, Floating };

inline QMNumberKind QMNumberKindOf(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Bool:
        return QMNumberKind::Boolean;
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return QMNumberKind::Signed;
    case QMetaType::UChar:
    case QMetaType::UShort:
    case QMetaType::UInt:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return QMNumberKind::Unsigned;
    case QMetaType::Float:
    case QMetaType::Double:
        return QMNumberKind::Floating;
    default:
        return QMNumberKind::NotANumber;
    }
}
