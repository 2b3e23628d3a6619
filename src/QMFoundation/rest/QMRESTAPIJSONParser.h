#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/rest/QMRESTAPIModel.h>

#include <QByteArray>
#include <QList>

#include <memory>
#include <optional>

/// The error domain of the JSON parser, "QMRESTAPIJSONParserErrorDomain".
QMF_CORE_EXPORT extern const QString QMRESTAPIJSONParserErrorDomain;
/// The JSON has an unexpected shape; the description reads "Unexpected JSON contents."
/// (translated in the context "QMRESTAPIJSONParser").
inline constexpr qint64 QMRESTAPIJSONParserUnexpectedContentsError = 1;

/// Parses JSON bytes into models (see QMRESTAPIModel for how an object fills a model). It has
/// no state; call from any thread.
///
/// Bytes that are not JSON (Qt's parser, with the rules of JSONTranscoding: the top level must
/// be an array or an object) give null and a QMJSONTranscodingErrorInvalidData error. Errors
/// are stored only when `error` is given; success leaves it untouched. A null `jsonData`, a
/// null `modelClass` or a class that is no model class throw QMInternalInconsistencyException
/// "Invalid parameter not satisfying: jsonData" ("... modelClass", "...
/// [modelClass isSubclassOfClass:[QMRESTAPIModel class]]").
class QMF_CORE_EXPORT QMRESTAPIJSONParser
{
public:
    QMRESTAPIJSONParser() = delete;

    /// The model read from the JSON object in `jsonData`. A top-level array is the unexpected
    /// contents error: it holds no object to read.
    [[nodiscard]] static std::shared_ptr<QMRESTAPIModel>
    parseObjectFromJSONData(const QByteArray &jsonData, const QMetaObject *modelClass,
                            QMError *error = nullptr);
    /// parseObjectFromJSONData() for the model class T.
    template<class T>
    [[nodiscard]] static std::shared_ptr<T> parseObjectFromJSONData(const QByteArray &jsonData,
                                                                    QMError *error = nullptr)
    {
        QMRESTAPIModel::registerModelPointerType<T>();
        return std::static_pointer_cast<T>(
                parseObjectFromJSONData(jsonData, &T::staticMetaObject, error));
    }

    /// One model per element of the JSON array in `jsonData`, in order; an empty array gives an
    /// empty list. A top level that is not an array, or any element that is not an object, is
    /// the unexpected contents error for the whole call (std::nullopt).
    static std::optional<QList<std::shared_ptr<QMRESTAPIModel>>>
    parseObjectsFromJSONData(const QByteArray &jsonData, const QMetaObject *modelClass,
                             QMError *error = nullptr);
    template<class T>
    /// parseObjectsFromJSONData() for the model class T.
    static std::optional<QList<std::shared_ptr<T>>>
    parseObjectsFromJSONData(const QByteArray &jsonData, QMError *error = nullptr)
    {
        QMRESTAPIModel::registerModelPointerType<T>();
        const std::optional<QList<std::shared_ptr<QMRESTAPIModel>>> models
                = parseObjectsFromJSONData(jsonData, &T::staticMetaObject, error);
        if (!models)
            return std::nullopt;
        QList<std::shared_ptr<T>> result;
        result.reserve(models->size());
        for (const std::shared_ptr<QMRESTAPIModel> &model : *models)
            result.append(std::static_pointer_cast<T>(model));
        return result;
    }
};
