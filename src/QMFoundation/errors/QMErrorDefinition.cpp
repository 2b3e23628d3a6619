#include <QMFoundation/errors/QMErrorDefinition.h>

#include "QMFoundation/errors/QMStringFormat_p.h"

#include <cmath>
#include <limits>
#include <mutex>

const QString kDefinitionCode = QStringLiteral("code");
const QString kDefinitionName = QStringLiteral("name");
const QString kDefinitionDescription = QStringLiteral("description");
const QString kDefinitionFailureReason = QStringLiteral("failure_reason");
const QString kDefinitionDescriptionKeys = QStringLiteral("description_keys");
const QString kDefinitionFailureReasonKeys = QStringLiteral("failure_reason_keys");

class QMErrorDefinition::Private
{
public:
    explicit Private(const QVariantMap &initialDefinition)
        : definition(initialDefinition)
    { }

    // A copy taken under the lock: the map is implicitly shared, so this costs a reference
    // count, and readers never see a map that setDefinition() is replacing.
    QVariantMap snapshot() const
    {
        std::lock_guard lock(mutex);
        return definition;
    }

    mutable std::mutex mutex;
    QVariantMap definition;
};

QMErrorDefinition::QMErrorDefinition(const QVariantMap &errorDefinition)
    : d(std::make_unique<Private>(errorDefinition))
{ }

QMErrorDefinition::~QMErrorDefinition() = default;

QMErrorDefinitionPtr
QMErrorDefinition::errorDefinitionWithDefinition(const QVariantMap &errorDefinition)
{
    return std::make_shared<QMErrorDefinition>(errorDefinition);
}

QVariantMap QMErrorDefinition::definition() const
{
    return d->snapshot();
}

void QMErrorDefinition::setDefinition(const QVariantMap &errorDefinition)
{
    std::lock_guard lock(d->mutex);
    d->definition = errorDefinition;
}

qint64 QMErrorDefinition::code() const
{
    const QVariant value = d->snapshot().value(kDefinitionCode);
    switch (value.metaType().id()) {
    case QMetaType::QString: {
        bool ok = false;
        const qint64 code = value.toString().trimmed().toLongLong(&ok);
        return ok ? code : 0;
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        // Converting a double outside the 64-bit range is undefined, so such codes read 0.
        const double number = std::trunc(value.toDouble());
        return std::isfinite(number) && number >= -0x1p63 && number < 0x1p63 ? qint64(number) : 0;
    }
    case QMetaType::ULongLong:
    case QMetaType::ULong: {
        const quint64 number = value.toULongLong();
        return number <= quint64(std::numeric_limits<qint64>::max()) ? qint64(number) : 0;
    }
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Bool:
        return value.toLongLong();
    default:
        return 0;
    }
}

QString QMErrorDefinition::name() const
{
    return d->snapshot().value(kDefinitionName).toString();
}

QString QMErrorDefinition::descriptionFormat() const
{
    return d->snapshot().value(kDefinitionDescription).toString();
}

QString QMErrorDefinition::failureReasonFormat() const
{
    return d->snapshot().value(kDefinitionFailureReason).toString();
}

QStringList QMErrorDefinition::descriptionKeys() const
{
    return d->snapshot().value(kDefinitionDescriptionKeys).toStringList();
}

QStringList QMErrorDefinition::failureReasonKeys() const
{
    return d->snapshot().value(kDefinitionFailureReasonKeys).toStringList();
}

QString QMErrorDefinition::localizedDescription(const QVariantMap &userInfo) const
{
    const QVariantMap definition = d->snapshot();
    return localizeMessage(definition.value(kDefinitionDescription).toString(),
                           definition.value(kDefinitionDescriptionKeys).toStringList(), userInfo);
}

QString QMErrorDefinition::localizedFailureReason(const QVariantMap &userInfo) const
{
    const QVariantMap definition = d->snapshot();
    return localizeMessage(definition.value(kDefinitionFailureReason).toString(),
                           definition.value(kDefinitionFailureReasonKeys).toStringList(), userInfo);
}

QString QMErrorDefinition::localizeMessage(const QString &message, const QStringList &expectedKeys,
                                           const QVariantMap &userInfo)
{
    QVariantList arguments;
    arguments.reserve(expectedKeys.size());
    for (const QString &key : expectedKeys) {
        const auto it = userInfo.constFind(key);
        if (it == userInfo.cend())
            return message;
        arguments.append(it.value());
    }
    // Formatted even without a message, so that too many keys fail the same way either way; a
    // definition without a description still gives none.
    const QString formatted = QMStringWithFormat(message, arguments);
    return message.isNull() ? message : formatted;
}
