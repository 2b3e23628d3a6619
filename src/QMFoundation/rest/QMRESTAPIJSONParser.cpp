#include <QMFoundation/rest/QMRESTAPIJSONParser.h>

#include "QMFoundation/rest/QMRESTAPIModel_p.h"
#include "QMFoundation/text/JSONTranscoding_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>

#include <QCoreApplication>
#include <QJsonArray>

const QString QMRESTAPIJSONParserErrorDomain = QStringLiteral("QMRESTAPIJSONParserErrorDomain");

namespace {

QMError unexpectedContents()
{
    return QMError(
            QMRESTAPIJSONParserErrorDomain, QMRESTAPIJSONParserUnexpectedContentsError,
            {{QMLocalizedDescriptionKey,
              QCoreApplication::translate("QMRESTAPIJSONParser", "Unexpected JSON contents.")}});
}

std::optional<QJsonDocument> parse(const QByteArray &jsonData, const QMetaObject *modelClass,
                                   QMError *error)
{
    QMParameterAssert(!jsonData.isNull(), "jsonData");
    QMRESTAPIModelCheckClass(modelClass);
    return QMJSONDocumentFromData(jsonData, error);
}

} // namespace

std::shared_ptr<QMRESTAPIModel>
QMRESTAPIJSONParser::parseObjectFromJSONData(const QByteArray &jsonData,
                                             const QMetaObject *modelClass, QMError *error)
{
    const std::optional<QJsonDocument> document = parse(jsonData, modelClass, error);
    if (!document)
        return nullptr;
    if (!document->isObject()) {
        QMSetError(error, unexpectedContents());
        return nullptr;
    }
    return QMRESTAPIModel::objectWithJSONObject(modelClass, document->object());
}

std::optional<QList<std::shared_ptr<QMRESTAPIModel>>>
QMRESTAPIJSONParser::parseObjectsFromJSONData(const QByteArray &jsonData,
                                              const QMetaObject *modelClass, QMError *error)
{
    const std::optional<QJsonDocument> document = parse(jsonData, modelClass, error);
    if (!document)
        return std::nullopt;
    if (!document->isArray()) {
        QMSetError(error, unexpectedContents());
        return std::nullopt;
    }
    const QJsonArray array = document->array();
    QList<std::shared_ptr<QMRESTAPIModel>> models;
    models.reserve(array.size());
    for (const QJsonValue &element : array) {
        if (!element.isObject()) {
            QMSetError(error, unexpectedContents());
            return std::nullopt;
        }
        models.append(QMRESTAPIModel::objectWithJSONObject(modelClass, element.toObject()));
    }
    return models;
}
