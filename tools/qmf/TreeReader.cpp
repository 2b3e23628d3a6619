#include "TreeReader.h"

#include "JsonReading.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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
            nodes.append(node(array.at(i), indexPath(QString(), i), 1));
        return nodes;
    }

    QMTreeNodePointer node(const QJsonValue &value, const QString &path, int level)
    {
        if (!value.isObject())
            fail(path, QStringLiteral("expected a node (an object)"));
        if (level > TreeReader::maximumDepth)
            fail(path,
                 QStringLiteral("nodes nested more than %1 levels deep")
                         .arg(TreeReader::maximumDepth));
        if (++m_count > TreeReader::maximumNodeCount)
            fail(path, QStringLiteral("more than %1 nodes").arg(TreeReader::maximumNodeCount));
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (it.key() != m_id && it.key() != m_title && it.key() != m_children)
                fail(path, QStringLiteral("unknown field %1").arg(quoted(it.key())));
        }

        const QJsonValue id = object.value(m_id);
        if (id.isUndefined() || id.isNull())
            fail(fieldPath(path, m_id), QStringLiteral("missing"));
        if (!id.isString())
            fail(fieldPath(path, m_id), QStringLiteral("expected a string"));
        const QString identifier = stringOf(id);
        if (const auto first = m_paths.constFind(identifier); first != m_paths.cend()) {
            fail(path,
                 QStringLiteral("duplicate id %1 (first at %2)")
                         .arg(quoted(identifier),
                              first->isEmpty() ? QStringLiteral("the top") : *first));
        }
        m_paths.insert(identifier, path);

        const QMTreeNodePointer result = QMTreeNode::nodeWithIdentifier(identifier);
        const QJsonValue title = object.value(m_title);
        if (!title.isUndefined() && !title.isNull()) {
            if (!title.isString())
                fail(fieldPath(path, m_title), QStringLiteral("expected a string"));
            result->setTitle(stringOf(title));
        }
        const QJsonValue children = object.value(m_children);
        if (!children.isUndefined() && !children.isNull()) {
            if (!children.isArray())
                fail(fieldPath(path, m_children), QStringLiteral("expected an array"));
            const QJsonArray array = children.toArray();
            const QString childrenPath = fieldPath(path, m_children);
            for (qsizetype i = 0; i < array.size(); ++i)
                result->addChild(node(array.at(i), indexPath(childrenPath, i), level + 1));
        }
        return result;
    }

private:
    const QString m_id = QStringLiteral("id");
    const QString m_title = QStringLiteral("title");
    const QString m_children = QStringLiteral("children");
    QHash<QString, QString> m_paths; // identifier -> path of its first node
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
        return QMTreeNodeList {reader.node(document.object(), QString(), 1)};
    } catch (const JsonReading::Fault &e) {
        if (error)
            *error = e.message;
        return std::nullopt;
    }
}
