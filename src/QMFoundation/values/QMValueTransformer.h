#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QMetaType>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>

/// Turns values of one kind into another, and optionally back: text into dates, numbers into
/// booleans, dates into words. Subclasses are stateless; a JSON model mapping or a user interface
/// asks for one by its registered name, each time it converts.
///
/// Values are QVariants; an invalid QVariant is "none". A transformer decides by a value's type
/// whether it can take it and gives its own fallback (usually none) for anything else.
class QMF_CORE_EXPORT QMValueTransformer
{
public:
    /// Makes a new transformer of a registered kind, for the registry.
    using Factory = std::function<std::unique_ptr<QMValueTransformer>()>;

    virtual ~QMValueTransformer();

    /// The type of what transformedValue() returns.
    virtual QMetaType transformedValueClass() const = 0;
    /// Whether reverseTransformedValue() turns transformed values back. False unless a subclass
    /// says otherwise; callers then keep the value as it is.
    virtual bool allowsReverseTransformation() const;
    /// `value` transformed; what an unsuitable value gives is the subclass's to say.
    virtual QVariant transformedValue(const QVariant &value) const = 0;
    /// None unless a subclass that allows reverse transformation says otherwise.
    virtual QVariant reverseTransformedValue(const QVariant &value) const;

    /// Registers `factory` under `name`, replacing what was registered there before (the
    /// library's own transformers included); an empty factory removes the name. Callable from any
    /// thread at any time. Throws "Invalid parameter not satisfying: name != nil" for a null or
    /// empty name.
    static void setValueTransformerFactory(const QString &name, Factory factory);
    /// Registers the default-constructed `T` under `name`.
    template<class T>
    static void setValueTransformerClass(const QString &name)
    {
        setValueTransformerFactory(name, [] { return std::make_unique<T>(); });
    }
    /// A new transformer made by the factory registered under `name`, or nullptr when no factory
    /// is (names are case-sensitive). Callable from any thread; the factory runs on the caller's
    /// thread without the registry's lock held, so it may itself look transformers up.
    ///
    /// The library registers its own on first use of the registry (under a one-time guard, also
    /// when several threads make the first call at once): "NSStringToRFC3339DateTransformer",
    /// "NSStringToISO8601DateTransformer", "NSStringToNSURLTransformer",
    /// "NSNumberToBoolTransformer", "NSDateToRelativeDateStringTransformer",
    /// "NSDateToRelativeDateStringWithTimeTransformer" and "QMTimeagoTransformer" (see
    /// dates/QMValueTransformers.h).
    static std::unique_ptr<QMValueTransformer> valueTransformerForName(const QString &name);
    /// The registered names, sorted.
    static QStringList valueTransformerNames();
};
