#pragma once

#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/rest/QMRESTAPIModel.h>
#include <QMFoundation/values/QMValueTransformer.h>

#include <QList>
#include <QVariant>

#include <memory>

// Value transformers that turn nested JSON objects and arrays of objects into models, for
// mappings whose property holds a model (`std::shared_ptr<T>`) or a list of them
// (`QList<std::shared_ptr<T>>`). Register one under a name of the host's choice:
//
//     QMValueTransformer::setValueTransformerClass<QMRESTAPIModelTransformer<User>>(
//             u"UserTransformer"_s);
//
// and name it in the mapping. Both reverse into JSON representations, so a nested model is
// written back as a nested dictionary.

/// A JSON object (QVariantMap) to a new `std::shared_ptr<T>` read from it; anything else to
/// none. Back: a model to its JSONRepresentation(), anything else (a null model included) to
/// none.
template<class T>
class QMRESTAPIModelTransformer : public QMValueTransformer
{
public:
    QMRESTAPIModelTransformer() { QMRESTAPIModel::registerModelPointerType<T>(); }

    QMetaType transformedValueClass() const override
    {
        return QMetaType::fromType<std::shared_ptr<T>>();
    }
    bool allowsReverseTransformation() const override { return true; }
    QVariant transformedValue(const QVariant &value) const override
    {
        if (value.metaType() != QMetaType::fromType<QVariantMap>())
            return QVariant();
        return QVariant::fromValue(QMRESTAPIModel::objectWithJSONObject<T>(value.toMap()));
    }
    QVariant reverseTransformedValue(const QVariant &value) const override
    {
        if (value.metaType() != QMetaType::fromType<std::shared_ptr<T>>())
            return QVariant();
        const auto model = value.value<std::shared_ptr<T>>();
        return model ? QVariant(model->JSONRepresentation()) : QVariant();
    }
};

/// A JSON array of objects (QVariantList of QVariantMap) to a `QList<std::shared_ptr<T>>` of new
/// models in the same order; an array with any other element, and anything else, to none, so
/// the property keeps its value. Back: the list to a QVariantList of the models' JSON
/// representations (a null model as QMNull()), anything else to none.
template<class T>
class QMRESTAPIModelListTransformer : public QMValueTransformer
{
public:
    QMRESTAPIModelListTransformer() { QMRESTAPIModel::registerModelPointerType<T>(); }

    QMetaType transformedValueClass() const override
    {
        return QMetaType::fromType<QList<std::shared_ptr<T>>>();
    }
    bool allowsReverseTransformation() const override { return true; }
    QVariant transformedValue(const QVariant &value) const override
    {
        if (value.metaType() != QMetaType::fromType<QVariantList>())
            return QVariant();
        const QVariantList elements = value.toList();
        QList<std::shared_ptr<T>> models;
        models.reserve(elements.size());
        for (const QVariant &element : elements) {
            if (element.metaType() != QMetaType::fromType<QVariantMap>())
                return QVariant();
            models.append(QMRESTAPIModel::objectWithJSONObject<T>(element.toMap()));
        }
        return QVariant::fromValue(models);
    }
    QVariant reverseTransformedValue(const QVariant &value) const override
    {
        if (value.metaType() != QMetaType::fromType<QList<std::shared_ptr<T>>>())
            return QVariant();
        QVariantList elements;
        for (const std::shared_ptr<T> &model : value.value<QList<std::shared_ptr<T>>>())
            elements.append(model ? QVariant(model->JSONRepresentation()) : QMNull());
        return elements;
    }
};
