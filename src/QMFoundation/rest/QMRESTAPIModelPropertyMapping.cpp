#include <QMFoundation/rest/QMRESTAPIModelPropertyMapping.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>

namespace {

QString defaultSeparator()
{
    return QStringLiteral(".");
}

} // namespace

QMRESTAPIModelPropertyMapping::QMRESTAPIModelPropertyMapping(const QString &jsonPropertyName,
                                                             const QString &modelPropertyName)
    : m_separator(defaultSeparator())
{
    setJsonPropertyName(jsonPropertyName);
    setModelPropertyName(modelPropertyName);
}

void QMRESTAPIModelPropertyMapping::setJsonPropertyName(const QString &jsonPropertyName)
{
    QMParameterAssert(!jsonPropertyName.isEmpty(), "jsonPropertyName");
    m_jsonPropertyName = jsonPropertyName;
}

void QMRESTAPIModelPropertyMapping::setModelPropertyName(const QString &modelPropertyName)
{
    QMParameterAssert(!modelPropertyName.isEmpty(), "modelPropertyName");
    m_modelPropertyName = modelPropertyName;
}

void QMRESTAPIModelPropertyMapping::setSeparator(const QString &separator)
{
    m_separator = separator.isEmpty() ? defaultSeparator() : separator;
}

QMRESTAPIModelPropertyMapping QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(
        const QString &jsonPropertyName, const QString &modelPropertyName,
        const QString &valueTransformer, bool writable, const QString &separator)
{
    QMRESTAPIModelPropertyMapping mapping(jsonPropertyName, modelPropertyName);
    mapping.setValueTransformer(valueTransformer);
    mapping.setWritable(writable);
    if (!separator.isEmpty())
        mapping.setSeparator(separator);
    return mapping;
}

QMRESTAPIModelPropertyMapping
QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                                                   const QString &modelPropertyName)
{
    return propertyMappingWithJSONPropertyName(jsonPropertyName, modelPropertyName, QString(),
                                               false, QString());
}

QMRESTAPIModelPropertyMapping QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(
        const QString &jsonPropertyName, const QString &modelPropertyName, bool writable)
{
    return propertyMappingWithJSONPropertyName(jsonPropertyName, modelPropertyName, QString(),
                                               writable, QString());
}

QMRESTAPIModelPropertyMapping QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(
        const QString &jsonPropertyName, const QString &modelPropertyName, bool writable,
        const QString &separator)
{
    return propertyMappingWithJSONPropertyName(jsonPropertyName, modelPropertyName, QString(),
                                               writable, separator);
}

QMRESTAPIModelPropertyMapping
QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(const QString &jsonPropertyName,
                                                                   const QString &modelPropertyName,
                                                                   const QString &valueTransformer)
{
    return propertyMappingWithJSONPropertyName(jsonPropertyName, modelPropertyName,
                                               valueTransformer, false, QString());
}

QMRESTAPIModelPropertyMapping QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(
        const QString &jsonPropertyName, const QString &modelPropertyName,
        const QString &valueTransformer, const QString &separator)
{
    return propertyMappingWithJSONPropertyName(jsonPropertyName, modelPropertyName,
                                               valueTransformer, false, separator);
}

QMRESTAPIModelPropertyMapping QMRESTAPIModelPropertyMapping::propertyMappingWithJSONPropertyName(
        const QString &jsonPropertyName, const QString &modelPropertyName,
        const QString &valueTransformer, bool writable)
{
    return propertyMappingWithJSONPropertyName(jsonPropertyName, modelPropertyName,
                                               valueTransformer, writable, QString());
}

QMRESTAPIModelPropertyMapping QMRESTAPIModelPropertyMapping::propertyMappingWithSeparator(
        const QString &jsonPropertyName, const QString &modelPropertyName, const QString &separator)
{
    return propertyMappingWithJSONPropertyName(jsonPropertyName, modelPropertyName, QString(),
                                               false, separator);
}
