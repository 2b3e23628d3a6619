#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/rest/QMRESTAPIModelPropertyMapping.h>

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QVariantMap>

#include <memory>
#include <type_traits>

/// The base of model classes that are filled from JSON objects and written back to them.
///
/// A model class derives from QMRESTAPIModel, declares Q_OBJECT, its values as Q_PROPERTYs
/// (read through QObject::property(), written through QMetaProperty::write()), a Q_INVOKABLE
/// constructor that can be called without arguments (the library makes instances through
/// QMetaObject::newInstance()), and overrides declaredPropertyMappings():
///
///     class User : public QMRESTAPIModel
///     {
///         Q_OBJECT
///         Q_PROPERTY(QString login MEMBER m_login)
///     public:
///         Q_INVOKABLE explicit User(QObject *parent = nullptr) : QMRESTAPIModel(parent) {}
///     protected:
///         QList<QMRESTAPIModelPropertyMapping> declaredPropertyMappings() const override
///         {
///             return {QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(
///                     u"user.login"_s, u"login"_s, true)};
///         }
///     };
///
/// Classes are passed as their QMetaObject (`&User::staticMetaObject`); the templates taking
/// the class as a parameter return the derived type. A class counts as a model class when its
/// meta-object inherits QMRESTAPIModel's.
///
/// Ownership: every model the library makes is returned in a std::shared_ptr that owns it and
/// has no QObject parent; do not give it one (the parent would delete it a second time). It
/// belongs to the thread that made it (its QObject thread affinity), which matters only to
/// signals and slots a model class adds.
///
/// Threads: a model is used by one thread at a time. The class-level functions may run on any
/// thread: each class's mappings are asked for once (through an instance made for the purpose)
/// and kept, with their properties looked up, for the life of the process, behind a lock. A
/// class's declaredPropertyMappings() must therefore give the same list for every instance.
///
/// Reading (objectWithJSONObject()), for each mapping in order: the JSON name is a key path
/// (the separator replaced by "."; each step selects a member of the current object); a missing
/// member, a path through something that is not an object, and JSON null leave the property at
/// its initial value. A named transformer is made fresh from the registry
/// (QMValueTransformer::valueTransformerForName()) and its transformedValue() replaces the
/// value; when no transformer is registered under the name, or it gives none, the property is
/// left alone. JSON members no mapping names are ignored; nested objects and arrays arrive as
/// QVariantMap and QVariantList (JSON null inside them as QMNull()) unless a transformer turns
/// them into something else (see QMRESTAPIModelTransformer.h for nested models).
///
/// Storing a value never converts between kinds, so a JSON value of the wrong type leaves the
/// property alone rather than storing a guess:
/// - a property of type QVariant takes any value, and any property takes a value of its exact
///   type;
/// - a numeric property (bool, the integer types, float, double) takes a number (JSON numbers,
///   true and false): a bool property is true for any number but 0; an integer property takes
///   only whole values that it can hold (1.5, 3e10 into an int, -1 into an unsigned are left
///   out); float and double take any number;
/// - everything else is left out: a text into an int, a number into a QString, an object into
///   a QString, a text into a QDateTime (which needs a transformer), an int into an enumeration.
///
/// Programming errors in a model class throw QMInternalInconsistencyException when the class is
/// first used: no Q_INVOKABLE constructor without arguments ("Cannot create an instance of the
/// model class <Name>: it has no Q_INVOKABLE constructor that takes no arguments"), a mapping
/// to a property the class does not declare ("The model class <Name> has no property <name>"),
/// and, when reading, a mapping to a property without a WRITE accessor or MEMBER ("The property
/// <name> of the model class <Name> cannot be written").
class QMF_CORE_EXPORT QMRESTAPIModel : public QObject
{
    Q_OBJECT

public:
    /// Option of JSONRepresentationWithOptions(): only the writable mappings.
    static constexpr quint64 JSONRepresentationWritableOnly = 1;

    /// An empty model; model classes are made through the meta-object system with this constructor.
    Q_INVOKABLE explicit QMRESTAPIModel(QObject *parent = nullptr);
    ~QMRESTAPIModel() override;

    /// The mappings of `modelClass`, in its order. Throws "Invalid parameter not satisfying:
    /// modelClass" for nullptr and "... [modelClass isSubclassOfClass:[QMRESTAPIModel class]]"
    /// for a class that is no model class, as do all the class-level functions.
    static QList<QMRESTAPIModelPropertyMapping> propertyMappings(const QMetaObject *modelClass);
    /// The mappings by JSON name; of two with the same name the later one counts.
    static QMap<QString, QMRESTAPIModelPropertyMapping>
    propertyMappingsByJSONPropertyName(const QMetaObject *modelClass);
    /// The mappings by model property name; of two with the same name the later one counts.
    static QMap<QString, QMRESTAPIModelPropertyMapping>
    propertyMappingsByModelPropertyName(const QMetaObject *modelClass);

    /// A new instance of `modelClass` filled from `jsonObject` as the class comment describes.
    /// Never null.
    static std::shared_ptr<QMRESTAPIModel> objectWithJSONObject(const QMetaObject *modelClass,
                                                                const QVariantMap &jsonObject);
    /// The same from Qt's JSON object, read in place (the parser's path).
    static std::shared_ptr<QMRESTAPIModel> objectWithJSONObject(const QMetaObject *modelClass,
                                                                const QJsonObject &jsonObject);
    /// objectWithJSONObject() for the model class T.
    template<class T>
    static std::shared_ptr<T> objectWithJSONObject(const QVariantMap &jsonObject)
    {
        registerModelPointerType<T>();
        return std::static_pointer_cast<T>(objectWithJSONObject(&T::staticMetaObject, jsonObject));
    }

    /// The model as a dictionary of JSON values. For each mapping in order (with
    /// JSONRepresentationWritableOnly in `options` only the writable ones): a property that is
    /// none (see isNone()) is left out; a named transformer that allows reverse transformation
    /// turns the value back, otherwise (no such transformer included) the value is written as
    /// it is. A JSON name that contains its separator is split there into nested dictionaries
    /// (extending those that earlier mappings made; a member in the way that is not a
    /// dictionary is replaced). A reverse transformation that gives none removes the member.
    QVariantMap JSONRepresentationWithOptions(quint64 options) const;
    /// JSONRepresentationWithOptions(0).
    QVariantMap JSONRepresentation() const;
    /// JSONRepresentationWithOptions(JSONRepresentationWritableOnly): what to send to a server.
    QVariantMap writableJSONProperties() const;

    /// Property-wise equality: false for nullptr and for an object that is not of this model's
    /// class or a subclass of it, true for this very object. Otherwise every mapped model
    /// property that is not none here is compared with the other's: texts with
    /// QMEqualStrings(), dates with QMEqualDates(), numbers with QMEqualNumbers(), URLs with
    /// QMEqualURLs() and Qt's other value types and enumerations with QMEqualValues(). Lists,
    /// maps, pointers and types of the host (nested models among them) are not compared, nor are
    /// properties that are none here.
    bool isEqualToObject(const QObject *object) const;

    /// QMObjectDescribing::prettyDescriptionWithItems() over the mapped model property names,
    /// in name order.
    QString description() const;

    /// Whether a property value counts as none: an invalid QVariant, a null QString, QByteArray
    /// or QDateTime, an empty QUrl, a null pointer, or a null std::shared_ptr to a model whose
    /// type was registered with registerModelPointerType() (the model transformers and the
    /// functions that take the model class as a template parameter do that).
    static bool isNone(const QVariant &value);

    /// Makes null `std::shared_ptr<T>` values count as none and lets a QVariant holding one be
    /// read as `std::shared_ptr<QMRESTAPIModel>`. Any thread; repeated calls do nothing.
    template<class T>
    static void registerModelPointerType()
    {
        // Without Q_OBJECT, T::staticMetaObject would be its base class's, and the library would
        // make instances of the base where a T is expected.
        static_assert(
                std::is_base_of_v<QMRESTAPIModel, T> && QtPrivate::HasQ_OBJECT_Macro<T>::Value,
                "A model class derives from QMRESTAPIModel and declares Q_OBJECT");
        static const bool registered = [] {
            const QMetaType from = QMetaType::fromType<std::shared_ptr<T>>();
            const QMetaType to = QMetaType::fromType<std::shared_ptr<QMRESTAPIModel>>();
            if (from == to || QMetaType::hasRegisteredConverterFunction(from, to))
                return true;
            return QMetaType::registerConverter<std::shared_ptr<T>,
                                                std::shared_ptr<QMRESTAPIModel>>(
                    [](const std::shared_ptr<T> &model) {
                        return std::static_pointer_cast<QMRESTAPIModel>(model);
                    });
        }();
        Q_UNUSED(registered);
    }

protected:
    friend class QMRESTAPIModelClass;

    /// The class's mappings, in order. The base class has none. Called once per class, on an
    /// instance made for the purpose; see the class comment.
    virtual QList<QMRESTAPIModelPropertyMapping> declaredPropertyMappings() const;
};
