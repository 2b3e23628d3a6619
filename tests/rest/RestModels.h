#pragma once

// Model classes shared by the REST tests and the model-mapping fuzz target: a post with
// properties of every kind the mapping stores, a nested author and a list of authors.

#include <QMFoundation/rest/QMRESTAPIModel.h>
#include <QMFoundation/rest/QMRESTAPIModelTransformer.h>

#include <QDateTime>
#include <QUrl>

using namespace Qt::StringLiterals;

class Author : public QMRESTAPIModel
{
    Q_OBJECT
    Q_PROPERTY(QString login MEMBER login)
    Q_PROPERTY(qint64 identifier MEMBER identifier)

public:
    Q_INVOKABLE explicit Author(QObject *parent = nullptr)
        : QMRESTAPIModel(parent)
    { }

    QString login;
    qint64 identifier = 0;

protected:
    QList<QMRESTAPIModelPropertyMapping> declaredPropertyMappings() const override
    {
        using M = QMRESTAPIModelPropertyMapping;
        return {M::propertyMappingWithJSONPropertyName(u"login"_s, u"login"_s, true),
                M::propertyMappingWithJSONPropertyName(u"id"_s, u"identifier"_s, true)};
    }
};

class Post : public QMRESTAPIModel
{
    Q_OBJECT
    Q_PROPERTY(QString title MEMBER title)
    Q_PROPERTY(int count MEMBER count)
    Q_PROPERTY(qint64 views MEMBER views)
    Q_PROPERTY(quint16 port MEMBER port)
    Q_PROPERTY(double score MEMBER score)
    Q_PROPERTY(bool published MEMBER published)
    Q_PROPERTY(QDateTime created MEMBER created)
    Q_PROPERTY(QUrl link MEMBER link)
    Q_PROPERTY(QString login MEMBER login)
    Q_PROPERTY(qint64 userIdentifier MEMBER userIdentifier)
    Q_PROPERTY(QString dotted MEMBER dotted)
    Q_PROPERTY(QVariant extra MEMBER extra)
    Q_PROPERTY(QString unknown MEMBER unknown)
    Q_PROPERTY(std::shared_ptr<Author> author MEMBER author)
    Q_PROPERTY(QList<std::shared_ptr<Author>> comments MEMBER comments)

public:
    Q_INVOKABLE explicit Post(QObject *parent = nullptr)
        : QMRESTAPIModel(parent)
    { }

    // Registers the transformers the mappings name (the registry is process-wide).
    static void registerTransformers()
    {
        QMValueTransformer::setValueTransformerClass<QMRESTAPIModelTransformer<Author>>(
                u"AuthorTransformer"_s);
        QMValueTransformer::setValueTransformerClass<QMRESTAPIModelListTransformer<Author>>(
                u"AuthorsTransformer"_s);
    }

    // Initial values that differ from what the JSON of the tests holds.
    QString title = u"initial"_s;
    int count = 7;
    qint64 views = 7;
    quint16 port = 7;
    double score = 7;
    bool published = false;
    QDateTime created;
    QUrl link;
    QString login;
    qint64 userIdentifier = 7;
    QString dotted;
    QVariant extra;
    QString unknown;
    std::shared_ptr<Author> author;
    QList<std::shared_ptr<Author>> comments;

protected:
    QList<QMRESTAPIModelPropertyMapping> declaredPropertyMappings() const override
    {
        using M = QMRESTAPIModelPropertyMapping;
        return {M::propertyMappingWithJSONPropertyName(u"title"_s, u"title"_s, true),
                M::propertyMappingWithJSONPropertyName(u"count"_s, u"count"_s),
                M::propertyMappingWithJSONPropertyName(u"views"_s, u"views"_s),
                M::propertyMappingWithJSONPropertyName(u"port"_s, u"port"_s),
                M::propertyMappingWithJSONPropertyName(u"score"_s, u"score"_s),
                M::propertyMappingWithJSONPropertyName(u"published"_s, u"published"_s),
                M::propertyMappingWithJSONPropertyName(u"created_at"_s, u"created"_s,
                                                       u"NSStringToRFC3339DateTransformer"_s),
                M::propertyMappingWithJSONPropertyName(u"url"_s, u"link"_s,
                                                       u"NSStringToNSURLTransformer"_s),
                M::propertyMappingWithJSONPropertyName(u"user.login"_s, u"login"_s, true),
                M::propertyMappingWithJSONPropertyName(u"user/id"_s, u"userIdentifier"_s, true,
                                                       u"/"_s),
                M::propertyMappingWithSeparator(u"a.b/c"_s, u"dotted"_s, u"/"_s),
                M::propertyMappingWithJSONPropertyName(u"extra"_s, u"extra"_s),
                M::propertyMappingWithJSONPropertyName(u"unknown"_s, u"unknown"_s,
                                                       u"NoSuchTransformer"_s),
                M::propertyMappingWithJSONPropertyName(u"author"_s, u"author"_s,
                                                       u"AuthorTransformer"_s),
                M::propertyMappingWithJSONPropertyName(u"comments"_s, u"comments"_s,
                                                       u"AuthorsTransformer"_s)};
    }
};
