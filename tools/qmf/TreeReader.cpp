#include "TreeReader.h"

#include "JsonReading.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <vector>

namespace {

using JsonReading::fail;
using JsonReading::fieldPath;
using JsonReading::indexPath;
using JsonReading::stringOf;

// Texts from the file appear in messages as JSON strings, so that a line break or a quote in an
// identifier cannot break the one-line error or pass for its syntax.
QString quoted(const QString &text)
{
    const QByteArray array = QJsonDocument(QJsonArray {text}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

class Reader
{
public:
    QMTreeNodeList roots(const QJsonArray &array)
    {
        QMTreeNodeList nodes;
        nodes.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i)
            nodes.append(node(array.at(i), noPlace, i, 1));
        return nodes;
    }

    // `parent` is the place of the parent node (noPlace for a root), `index` the position in the
    // parent's children or in the root array (noPlace for the node of a one-node document).
    QMTreeNodePointer node(const QJsonValue &value, qsizetype parent, qsizetype index, int level)
    {
        const qsizetype place = qsizetype(m_places.size());
        m_places.push_back({parent, index});
        if (!value.isObject())
            fail(pathOf(place), QStringLiteral("expected a node (an object)"));
        if (level > TreeReader::maximumDepth)
            fail(pathOf(place),
                 QStringLiteral("nodes nested more than %1 levels deep")
                         .arg(TreeReader::maximumDepth));
        if (++m_count > TreeReader::maximumNodeCount)
            fail(pathOf(place),
                 QStringLiteral("more than %1 nodes").arg(TreeReader::maximumNodeCount));
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it.key() != m_id && it.key() != m_title && it.key() != m_children)
                fail(pathOf(place), QStringLiteral("unknown field %1").arg(quoted(it.key())));
        }

        const QJsonValue id = object.value(m_id);
        if (id.isUndefined() || id.isNull())
            fail(fieldPath(pathOf(place), m_id), QStringLiteral("missing"));
        if (!id.isString())
            fail(fieldPath(pathOf(place), m_id), QStringLiteral("expected a string"));
        const QString identifier = stringOf(id);
        if (const auto first = m_first.constFind(identifier); first != m_first.cend()) {
            const QString firstPath = pathOf(*first);
            fail(pathOf(place),
                 QStringLiteral("duplicate id %1 (first at %2)")
                         .arg(quoted(identifier),
                              firstPath.isEmpty() ? QStringLiteral("the top") : firstPath));
        }
        m_first.insert(identifier, place);

        const QMTreeNodePointer result = QMTreeNode::nodeWithIdentifier(identifier);
        const QJsonValue title = object.value(m_title);
        if (!title.isUndefined() && !title.isNull()) {
            if (!title.isString())
                fail(fieldPath(pathOf(place), m_title), QStringLiteral("expected a string"));
            result->setTitle(stringOf(title));
        }
        const QJsonValue children = object.value(m_children);
        if (!children.isUndefined() && !children.isNull()) {
            if (!children.isArray())
                fail(fieldPath(pathOf(place), m_children), QStringLiteral("expected an array"));
            const QJsonArray array = children.toArray();
            for (qsizetype i = 0; i < array.size(); ++i)
                result->addChild(node(array.at(i), place, i, level + 1));
        }
        return result;
    }

private:
    static constexpr qsizetype noPlace = -1;

    // Where a node stands. Its JSON path is made from these only for a message: keeping the path
    // of every node (for the message of a later duplicate) would cost the number of nodes times
    // their depth.
    struct Place
    {
        qsizetype parent;
        qsizetype index;
    };

    QString pathOf(qsizetype place) const
    {
        QList<qsizetype> indexes;
        for (qsizetype p = place; p != noPlace; p = m_places[size_t(p)].parent)
            indexes.prepend(m_places[size_t(p)].index);
        QString path;
        for (qsizetype k = 0; k < indexes.size(); ++k) {
            if (indexes[k] == noPlace)
                continue; // the node of a one-node document: the top, an empty path
            path = indexPath(k == 0 ? path : fieldPath(path, m_children), indexes[k]);
        }
        return path;
    }

    const QString m_id = QStringLiteral("id");
    const QString m_title = QStringLiteral("title");
    const QString m_children = QStringLiteral("children");
    std::vector<Place> m_places; // in reading order
    QHash<QString, qsizetype> m_first; // identifier -> place of its first node
    qsizetype m_count = 0;
};

} // namespace

std::optional<QMTreeNodeList> TreeReader::nodesFromJson(const QByteArray &json, QString *error)
{
    const std::optional<QJsonDocument> parsed = JsonReading::parse(json, error);
    if (!parsed)
        return std::nullopt;
    const QJsonDocument &document = *parsed;
    try {
        // Qt's reader takes nothing but an array or an object at the top.
        Reader reader;
        if (document.isArray())
            return reader.roots(document.array());
        return QMTreeNodeList {reader.node(document.object(), -1, -1, 1)};
    } catch (const JsonReading::Fault &e) {
        if (error)
            *error = e.message;
        return std::nullopt;
    }
}
