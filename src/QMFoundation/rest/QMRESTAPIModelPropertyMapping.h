#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

/// One line of a model class's JSON mapping: which JSON name feeds which Q_PROPERTY, through
/// which registered value transformer, and whether the property is sent back to a server.
///
/// The JSON name may be a path into nested objects whose steps are joined by separator() ("."
/// unless set): "user.login" reads the member "login" of the member "user". Reading also
/// descends at every "." when the separator is another text, while writing splits only at the
/// separator: with the separator "/" the name "a.b/c" reads a, then b, then c, but writes a
/// member "a.b" holding a member "c".
///
/// A small value record. It has no default constructor, since a mapping needs both names.
class QMF_CORE_EXPORT QMRESTAPIModelPropertyMapping
{
public:
    /// A mapping with the separator ".", no transformer, not writable. Throws
    /// QMInternalInconsistencyException "Invalid parameter not satisfying: jsonPropertyName" (or
    /// "... modelPropertyName") when a name is null or empty.
    QMRESTAPIModelPropertyMapping(const QString &jsonPropertyName,
                                  const QString &modelPropertyName);
    QMRESTAPIModelPropertyMapping() = delete;

    /// The factories. Each makes the mapping with the constructor, then sets the transformer
    /// name and the writable flag, and the separator only when the given one is not empty.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                        const QString &modelPropertyName);
    /// A factory (see above) with the writable flag.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                        const QString &modelPropertyName, bool writable);
    /// A factory (see above) with the writable flag and a separator.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                        const QString &modelPropertyName, bool writable,
                                        const QString &separator);
    /// A factory (see above) with a transformer name.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                        const QString &modelPropertyName,
                                        const QString &valueTransformer);
    /// A factory (see above) with a transformer name and a separator.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                        const QString &modelPropertyName,
                                        const QString &valueTransformer, const QString &separator);
    /// A factory (see above) with a transformer name and the writable flag.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                        const QString &modelPropertyName,
                                        const QString &valueTransformer, bool writable);
    /// A factory (see above) with every field.
    static QMRESTAPIModelPropertyMapping propertyMappingWithJSONPropertyName(
            const QString &jsonPropertyName, const QString &modelPropertyName,
            const QString &valueTransformer, bool writable, const QString &separator);
    /// The factory with a separator alone. It has a name of its own because its arguments read
    /// exactly like those of the factory with a transformer name alone.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithSeparator(const QString &jsonPropertyName, const QString &modelPropertyName,
                                 const QString &separator);
    // A string literal would otherwise pick the `bool writable` overloads.
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &, const QString &, const char *)
            = delete;
    static QMRESTAPIModelPropertyMapping
    propertyMappingWithJSONPropertyName(const QString &, const QString &, const char *,
                                        const QString &)
            = delete;

    /// The member name in the JSON object; "." (the separator) steps into nested objects.
    QString jsonPropertyName() const { return m_jsonPropertyName; }
    /// Throws as the constructor does for a null or empty name.
    void setJsonPropertyName(const QString &jsonPropertyName);
    /// The Q_PROPERTY of the model class that receives the value.
    QString modelPropertyName() const { return m_modelPropertyName; }
    /// Throws as the constructor does for a null or empty name.
    void setModelPropertyName(const QString &modelPropertyName);
    /// The text that splits jsonPropertyName() into a path of members; "." unless set.
    QString separator() const { return m_separator; }
    /// A null or empty separator sets "." again: a path cannot be split at nothing.
    void setSeparator(const QString &separator);
    /// The registered name of a value transformer (see QMValueTransformer), looked up at every
    /// conversion; a null QString for none.
    QString valueTransformer() const { return m_valueTransformer; }
    /// Sets the transformer name; a null QString removes it.
    void setValueTransformer(const QString &valueTransformer)
    {
        m_valueTransformer = valueTransformer;
    }
    /// Whether the property is part of QMRESTAPIModel::writableJSONProperties().
    bool isWritable() const { return m_writable; }
    /// Sets whether the property is written back to JSON.
    void setWritable(bool writable) { m_writable = writable; }
    void setWritable(const char *) = delete;

    friend bool operator==(const QMRESTAPIModelPropertyMapping &,
                           const QMRESTAPIModelPropertyMapping &)
            = default;

private:
    QString m_jsonPropertyName;
    QString m_modelPropertyName;
    QString m_separator;
    QString m_valueTransformer;
    bool m_writable = false;
};
