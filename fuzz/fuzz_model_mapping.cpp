// Reads arbitrary bytes as JSON into a fixed model class (a post with texts, numbers, a date and
// a URL through transformers, nested paths, a nested model and a list of models; see
// tests/rest/RestModels.h), and checks that
//  - nothing crashes: bytes that are not JSON, and JSON of the wrong shape, fail with an error of
//    the documented domain and code; every other input gives models;
//  - reading Qt's JSON object in place and reading the same object as a QVariantMap give equal
//    models, and a list gives the models of its elements, read one by one;
//  - a model's JSON representation reads back into an equal model (the mapping that writes
//    "a.b/c" as a member "a.b" but reads a, b, c is the one that does not round-trip, so its
//    property is cleared first), and the other model functions run on it.

#include "RestModels.h"

#include <QMFoundation/rest/QMRESTAPIJSONParser.h>
#include <QMFoundation/text/JSONTranscoding.h>

#include <QByteArray>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

void check(const std::shared_ptr<Post> &post, const QVariantMap &object)
{
    require(post != nullptr);
    const auto fromMap = QMRESTAPIModel::objectWithJSONObject<Post>(object);
    require(post->isEqualToObject(fromMap.get()) && fromMap->isEqualToObject(post.get()));

    post->dotted = QString();
    const QVariantMap written = post->JSONRepresentation();
    const auto readBack = QMRESTAPIModel::objectWithJSONObject<Post>(written);
    require(post->isEqualToObject(readBack.get()));
    require(post->isEqualToObject(post.get()));
    // Writable properties are a subset of all of them.
    for (const QString &key : post->writableJSONProperties().keys())
        require(written.contains(key));
    require(!post->description().isEmpty());
}

bool isUnexpectedContents(const QMError &error)
{
    return error.domain() == QMRESTAPIJSONParserErrorDomain && error.code() == 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool registered = [] {
        Post::registerTransformers();
        return true;
    }();
    Q_UNUSED(registered);

    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QMError parseError;
    const QVariant parsed = JSONTranscoding::JSONObject(bytes, &parseError);

    QMError error;
    const auto post = QMRESTAPIJSONParser::parseObjectFromJSONData<Post>(bytes, &error);
    QMError listError;
    const auto posts = QMRESTAPIJSONParser::parseObjectsFromJSONData<Post>(bytes, &listError);

    if (!parsed.isValid()) {
        // Not JSON: both fail with the reader's error.
        require(!post && !posts && error == parseError && listError == parseError);
        return 0;
    }
    if (parsed.metaType() == QMetaType::fromType<QVariantMap>()) {
        require(isUnexpectedContents(listError) && !posts);
        check(post, parsed.toMap());
        return 0;
    }
    require(!post && isUnexpectedContents(error));
    const QVariantList elements = parsed.toList();
    bool allObjects = true;
    for (const QVariant &element : elements)
        allObjects = allObjects && element.metaType() == QMetaType::fromType<QVariantMap>();
    if (!allObjects) {
        require(!posts && isUnexpectedContents(listError));
        return 0;
    }
    require(posts && posts->size() == elements.size());
    for (qsizetype i = 0; i < elements.size(); ++i)
        check(posts->at(i), elements.at(i).toMap());
    return 0;
}
