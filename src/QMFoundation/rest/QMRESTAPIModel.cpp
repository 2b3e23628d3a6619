#include <QMFoundation/rest/QMRESTAPIModel.h>

#include "QMFoundation/errors/QMNumberKind_p.h"
#include "QMFoundation/rest/QMRESTAPIModel_p.h"
#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/errors/QMObjectDescribing.h>
#include <QMFoundation/values/QMValueTransformer.h>

#include <QAssociativeIterable>
#include <QDateTime>
#include <QJsonValue>
#include <QMetaProperty>
#include <QSequentialIterable>
#include <QUrl>

#include <cmath>
#include <limits>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace {

// A number as the widest type of its kind, or nothing for a value that is not a number.
struct Number
{
    QMNumberKind kind = QMNumberKind::NotANumber;
    qint64 signedValue = 0;
    quint64 unsignedValue = 0;
    double floatingValue = 0;
};

Number numberOf(const QVariant &value)
{
    Number number;
    number.kind = QMNumberKindOf(value);
    switch (number.kind) {
    case QMNumberKind::Boolean:
        number.kind = QMNumberKind::Signed;
        number.signedValue = value.toBool() ? 1 : 0;
        break;
    case QMNumberKind::Signed:
        number.signedValue = value.toLongLong();
        break;
    case QMNumberKind::Unsigned:
        number.unsignedValue = value.toULongLong();
        break;
    case QMNumberKind::Floating:
        number.floatingValue = value.toDouble();
        break;
    case QMNumberKind::NotANumber:
        break;
    }
    return number;
}

// `number` as a T when T holds it exactly; floating-point targets take every number, a bool
// every number (true unless it is 0).
template<class T>
std::optional<T> exactly(const Number &number)
{
    if constexpr (std::is_same_v<T, bool>) {
        switch (number.kind) {
        case QMNumberKind::Signed:
            return number.signedValue != 0;
        case QMNumberKind::Unsigned:
            return number.unsignedValue != 0;
        default:
            // NaN is not 0, as with the library's number-to-boolean transformer.
            return number.floatingValue != 0;
        }
    } else if constexpr (std::is_floating_point_v<T>) {
        switch (number.kind) {
        case QMNumberKind::Signed:
            return T(number.signedValue);
        case QMNumberKind::Unsigned:
            return T(number.unsignedValue);
        default:
            return T(number.floatingValue);
        }
    } else {
        switch (number.kind) {
        case QMNumberKind::Signed:
            if (!std::in_range<T>(number.signedValue))
                return std::nullopt;
            return T(number.signedValue);
        case QMNumberKind::Unsigned:
            if (!std::in_range<T>(number.unsignedValue))
                return std::nullopt;
            return T(number.unsignedValue);
        default: {
            const double value = number.floatingValue;
            // Both bounds are powers of two, so the doubles hold them exactly; NaN and the
            // infinities fail the comparisons or the whole-number test.
            const double lower = double(std::numeric_limits<T>::min());
            const double upper = std::ldexp(1.0, std::numeric_limits<T>::digits);
            if (!(value >= lower && value < upper) || value != std::trunc(value))
                return std::nullopt;
            return T(value);
        }
        }
    }
}

template<class T>
QVariant numberAs(const QVariant &value)
{
    const Number number = numberOf(value);
    if (number.kind == QMNumberKind::NotANumber)
        return QVariant();
    const std::optional<T> converted = exactly<T>(number);
    return converted ? QVariant::fromValue(*converted) : QVariant();
}

using Conversion = QVariant (*)(const QVariant &);

// How a value of another type reaches a property of `type`; nullptr when none does.
Conversion conversionTo(QMetaType type)
{
    switch (type.id()) {
    case QMetaType::Bool:
        return numberAs<bool>;
    case QMetaType::SChar:
        return numberAs<signed char>;
    case QMetaType::UChar:
        return numberAs<unsigned char>;
    case QMetaType::Short:
        return numberAs<short>;
    case QMetaType::UShort:
        return numberAs<unsigned short>;
    case QMetaType::Int:
        return numberAs<int>;
    case QMetaType::UInt:
        return numberAs<unsigned int>;
    case QMetaType::Long:
        return numberAs<long>;
    case QMetaType::ULong:
        return numberAs<unsigned long>;
    case QMetaType::LongLong:
        return numberAs<qlonglong>;
    case QMetaType::ULongLong:
        return numberAs<qulonglong>;
    case QMetaType::Float:
        return numberAs<float>;
    case QMetaType::Double:
        return numberAs<double>;
    default:
        return nullptr;
    }
}

// The value at `steps` in a JSON object read in place, as the QVariant the model gets; none for
// a missing member, a step through something that is not an object, and null.
QVariant valueAt(const QJsonObject &object, const QStringList &steps)
{
    QJsonValue value = object.value(steps.first());
    for (qsizetype i = 1; i < steps.size(); ++i) {
        if (!value.isObject())
            return QVariant();
        value = value.toObject().value(steps.at(i));
    }
    if (value.isNull() || value.isUndefined())
        return QVariant();
    // Qt gives whole numbers that fit as qlonglong and others as double, and JSON null inside
    // arrays and objects as QMNull(), as JSONTranscoding does.
    return value.toVariant();
}

QVariant valueAt(const QVariantMap &object, const QStringList &steps)
{
    QVariant value = object.value(steps.first());
    for (qsizetype i = 1; i < steps.size(); ++i) {
        if (value.metaType() != QMetaType::fromType<QVariantMap>())
            return QVariant();
        value = value.toMap().value(steps.at(i));
    }
    if (QMIsNull(value))
        return QVariant();
    return value;
}

// Puts `value` at `steps` below `map`, making or extending nested dictionaries on the way; an
// invalid value removes the last step's member.
void put(QVariantMap &map, const QStringList &steps, qsizetype at, const QVariant &value)
{
    const QString &step = steps.at(at);
    if (at + 1 == steps.size()) {
        if (value.isValid())
            map.insert(step, value);
        else
            map.remove(step);
        return;
    }
    QVariantMap nested;
    const auto existing = map.constFind(step);
    if (existing != map.constEnd() && existing->metaType() == QMetaType::fromType<QVariantMap>())
        nested = existing->toMap();
    put(nested, steps, at + 1, value);
    map.insert(step, nested);
}

// Whether values of `type` take part in model equality as plain values: Qt's own value types
// and enumerations, but no containers, pointers or types of the host (nested models among them).
bool isPlainValue(QMetaType type)
{
    if (type.flags() & QMetaType::IsEnumeration)
        return true;
    if (type.id() >= QMetaType::User
        || (type.flags() & (QMetaType::IsPointer | QMetaType::PointerToQObject)))
        return false;
    return !QMetaType::canConvert(type, QMetaType::fromType<QSequentialIterable>())
            && !QMetaType::canConvert(type, QMetaType::fromType<QAssociativeIterable>());
}

// One property's equality as the models compare them; `a` is not none.
bool equalProperty(const QVariant &a, const QVariant &b)
{
    if (QMRESTAPIModel::isNone(b))
        return false;
    const QMetaType type = a.metaType();
    if (type == QMetaType::fromType<QString>())
        return b.metaType() == type && QMEqualStrings(a.toString(), b.toString());
    if (type == QMetaType::fromType<QDateTime>())
        return b.metaType() == type && QMEqualDates(a.toDateTime(), b.toDateTime());
    if (type == QMetaType::fromType<QUrl>())
        return b.metaType() == type && QMEqualURLs(a.toUrl(), b.toUrl());
    if (QMNumberKindOf(a) != QMNumberKind::NotANumber)
        return QMEqualNumbers(a, b);
    return !isPlainValue(type) || QMEqualValues(a, b);
}

} // namespace

// What the library knows of one model class: its mappings, and for each the key paths split
// once and the property looked up once, so that reading an object costs no name lookups.
class QMRESTAPIModelClass
{
public:
    struct Plan
    {
        QMRESTAPIModelPropertyMapping mapping;
        QStringList readSteps;
        QStringList writeSteps;
        QMetaProperty property;
        QMetaType type;
        Conversion conversion = nullptr;
        bool acceptsAnything = false;
        bool writable = false;
    };

    static const QMRESTAPIModelClass &of(const QMetaObject *modelClass)
    {
        QMRESTAPIModelCheckClass(modelClass);
        static std::mutex mutex;
        static std::unordered_map<const QMetaObject *, std::unique_ptr<QMRESTAPIModelClass>>
                classes;
        {
            const std::lock_guard lock(mutex);
            const auto found = classes.find(modelClass);
            if (found != classes.end())
                return *found->second;
        }
        // Built without the lock: the class's constructor and mappings may themselves use model
        // classes. Of two threads that build the same class at once, the first to finish wins.
        auto built = std::make_unique<QMRESTAPIModelClass>(modelClass);
        const std::lock_guard lock(mutex);
        return *classes.try_emplace(modelClass, std::move(built)).first->second;
    }

    explicit QMRESTAPIModelClass(const QMetaObject *modelClass)
        : metaObject(modelClass)
    {
        mappings = newInstance()->declaredPropertyMappings();
        plans.reserve(mappings.size());
        for (const QMRESTAPIModelPropertyMapping &mapping : std::as_const(mappings)) {
            byJSONPropertyName.insert(mapping.jsonPropertyName(), mapping);
            byModelPropertyName.insert(mapping.modelPropertyName(), mapping);
            plans.push_back(plan(mapping));
        }
        for (auto name = byModelPropertyName.keyBegin(); name != byModelPropertyName.keyEnd();
             ++name)
            comparedProperties.append(property(*name));
    }

    std::shared_ptr<QMRESTAPIModel> newInstance() const
    {
        QObject *object = metaObject->newInstance();
        // The message is built only on failure: this runs once per object read.
        if (!object)
            throw QMInternalInconsistencyException(
                    QStringLiteral("Cannot create an instance of the model class %1: it has no "
                                   "Q_INVOKABLE constructor that takes no arguments")
                            .arg(QLatin1StringView(metaObject->className())));
        // The meta-object inherits the model's, so the object is a model.
        return std::shared_ptr<QMRESTAPIModel>(static_cast<QMRESTAPIModel *>(object));
    }

    template<class JSONObject>
    std::shared_ptr<QMRESTAPIModel> read(const JSONObject &object) const
    {
        std::shared_ptr<QMRESTAPIModel> model = newInstance();
        for (const Plan &plan : plans) {
            QVariant value = valueAt(object, plan.readSteps);
            if (!value.isValid())
                continue;
            if (!plan.mapping.valueTransformer().isEmpty()) {
                const std::unique_ptr<QMValueTransformer> transformer
                        = QMValueTransformer::valueTransformerForName(
                                plan.mapping.valueTransformer());
                if (!transformer)
                    continue;
                value = transformer->transformedValue(value);
                if (!value.isValid())
                    continue;
            }
            store(model.get(), plan, value);
        }
        return model;
    }

    const QMetaObject *metaObject;
    QList<QMRESTAPIModelPropertyMapping> mappings;
    QMap<QString, QMRESTAPIModelPropertyMapping> byJSONPropertyName;
    QMap<QString, QMRESTAPIModelPropertyMapping> byModelPropertyName;
    std::vector<Plan> plans;
    // The properties of byModelPropertyName, in its order.
    QList<QMetaProperty> comparedProperties;

private:
    QMetaProperty property(const QString &name) const
    {
        const int index = metaObject->indexOfProperty(name.toUtf8().constData());
        QMAssert(index >= 0,
                 QStringLiteral("The model class %1 has no property %2")
                         .arg(QLatin1StringView(metaObject->className()), name));
        return metaObject->property(index);
    }

    Plan plan(const QMRESTAPIModelPropertyMapping &mapping) const
    {
        const QString name = mapping.jsonPropertyName();
        const QString separator = mapping.separator();
        const QChar dot = u'.';
        Plan plan {mapping,
                   separator == QStringView(&dot, 1)
                           ? name.split(dot)
                           : QString(name).replace(separator, dot).split(dot),
                   name.split(separator),
                   property(mapping.modelPropertyName()),
                   QMetaType(),
                   nullptr,
                   false};
        plan.type = plan.property.metaType();
        plan.conversion = conversionTo(plan.type);
        plan.acceptsAnything = plan.type == QMetaType::fromType<QVariant>();
        plan.writable = plan.property.isWritable();
        return plan;
    }

    void store(QMRESTAPIModel *model, const Plan &plan, const QVariant &value) const
    {
        if (!plan.writable)
            throw QMInternalInconsistencyException(
                    QStringLiteral("The property %1 of the model class %2 cannot be written")
                            .arg(plan.mapping.modelPropertyName(),
                                 QLatin1StringView(metaObject->className())));
        if (plan.acceptsAnything || value.metaType() == plan.type) {
            plan.property.write(model, value);
            return;
        }
        if (!plan.conversion)
            return;
        const QVariant converted = plan.conversion(value);
        if (converted.isValid())
            plan.property.write(model, converted);
    }
};

void QMRESTAPIModelCheckClass(const QMetaObject *modelClass)
{
    QMParameterAssert(modelClass != nullptr, "modelClass");
    QMParameterAssert(modelClass->inherits(&QMRESTAPIModel::staticMetaObject),
                      "[modelClass isSubclassOfClass:[QMRESTAPIModel class]]");
}

QMRESTAPIModel::QMRESTAPIModel(QObject *parent)
    : QObject(parent)
{ }

QMRESTAPIModel::~QMRESTAPIModel() = default;

QList<QMRESTAPIModelPropertyMapping> QMRESTAPIModel::declaredPropertyMappings() const
{
    return {};
}

QList<QMRESTAPIModelPropertyMapping> QMRESTAPIModel::propertyMappings(const QMetaObject *modelClass)
{
    return QMRESTAPIModelClass::of(modelClass).mappings;
}

QMap<QString, QMRESTAPIModelPropertyMapping>
QMRESTAPIModel::propertyMappingsByJSONPropertyName(const QMetaObject *modelClass)
{
    return QMRESTAPIModelClass::of(modelClass).byJSONPropertyName;
}

QMap<QString, QMRESTAPIModelPropertyMapping>
QMRESTAPIModel::propertyMappingsByModelPropertyName(const QMetaObject *modelClass)
{
    return QMRESTAPIModelClass::of(modelClass).byModelPropertyName;
}

std::shared_ptr<QMRESTAPIModel> QMRESTAPIModel::objectWithJSONObject(const QMetaObject *modelClass,
                                                                     const QVariantMap &jsonObject)
{
    return QMRESTAPIModelClass::of(modelClass).read(jsonObject);
}

std::shared_ptr<QMRESTAPIModel> QMRESTAPIModel::objectWithJSONObject(const QMetaObject *modelClass,
                                                                     const QJsonObject &jsonObject)
{
    return QMRESTAPIModelClass::of(modelClass).read(jsonObject);
}

QVariantMap QMRESTAPIModel::JSONRepresentationWithOptions(quint64 options) const
{
    const QMRESTAPIModelClass &modelClass = QMRESTAPIModelClass::of(metaObject());
    QVariantMap result;
    for (const QMRESTAPIModelClass::Plan &plan : modelClass.plans) {
        if ((options & JSONRepresentationWritableOnly) && !plan.mapping.isWritable())
            continue;
        QVariant value = plan.property.read(this);
        if (isNone(value))
            continue;
        if (!plan.mapping.valueTransformer().isEmpty()) {
            const std::unique_ptr<QMValueTransformer> transformer
                    = QMValueTransformer::valueTransformerForName(plan.mapping.valueTransformer());
            if (transformer && transformer->allowsReverseTransformation())
                value = transformer->reverseTransformedValue(value);
        }
        put(result, plan.writeSteps, 0, value);
    }
    return result;
}

QVariantMap QMRESTAPIModel::JSONRepresentation() const
{
    return JSONRepresentationWithOptions(0);
}

QVariantMap QMRESTAPIModel::writableJSONProperties() const
{
    return JSONRepresentationWithOptions(JSONRepresentationWritableOnly);
}

bool QMRESTAPIModel::isEqualToObject(const QObject *object) const
{
    if (!object || !object->metaObject()->inherits(metaObject()))
        return false;
    if (object == this)
        return true;
    for (const QMetaProperty &property : QMRESTAPIModelClass::of(metaObject()).comparedProperties) {
        const QVariant a = property.read(this);
        if (!isNone(a) && !equalProperty(a, property.read(object)))
            return false;
    }
    return true;
}

QString QMRESTAPIModel::description() const
{
    QVariantList items;
    const auto &byName = QMRESTAPIModelClass::of(metaObject()).byModelPropertyName;
    for (auto name = byName.keyBegin(); name != byName.keyEnd(); ++name)
        items.append(*name);
    return QMObjectDescribing::prettyDescriptionWithItems(this, items);
}

bool QMRESTAPIModel::isNone(const QVariant &value)
{
    if (!value.isValid())
        return true;
    const QMetaType type = value.metaType();
    switch (type.id()) {
    case QMetaType::QString:
        return value.toString().isNull();
    case QMetaType::QByteArray:
        return value.toByteArray().isNull();
    case QMetaType::QDateTime:
        return value.toDateTime().isNull();
    case QMetaType::QUrl:
        return value.toUrl().isEmpty();
    default:
        break;
    }
    if (type.flags() & (QMetaType::IsPointer | QMetaType::PointerToQObject))
        return *static_cast<void *const *>(value.constData()) == nullptr;
    const QMetaType modelPointer = QMetaType::fromType<std::shared_ptr<QMRESTAPIModel>>();
    if (type == modelPointer
        || (type.id() >= QMetaType::User
            && QMetaType::hasRegisteredConverterFunction(type, modelPointer)))
        return !value.value<std::shared_ptr<QMRESTAPIModel>>();
    return false;
}
