#pragma once

#include <QMFoundation/tree/QMTreeNode.h>

#include <QString>
#include <QStringList>

#include <stdexcept>

// Trees in a compact notation: "a(b c=Title(d)) e" is the root list [a, e], a with the children
// b and c, c titled "Title" with the child d.
namespace TreeTestSupport {

inline QMTreeNodeList parseNodes(const QString &text, qsizetype &at)
{
    QMTreeNodeList nodes;
    while (at < text.size()) {
        while (at < text.size() && text[at] == u' ')
            ++at;
        if (at >= text.size() || text[at] == u')')
            break;
        qsizetype end = at;
        while (end < text.size() && text[end] != u' ' && text[end] != u'(' && text[end] != u')')
            ++end;
        const QString word = text.mid(at, end - at);
        at = end;
        const qsizetype equals = word.indexOf(u'=');
        auto node = std::make_shared<QMTreeNode>(equals < 0 ? word : word.left(equals));
        if (equals >= 0)
            node->setTitle(word.mid(equals + 1));
        if (at < text.size() && text[at] == u'(') {
            ++at;
            node->addChildrenFromArray(parseNodes(text, at));
            if (at >= text.size() || text[at] != u')')
                throw std::invalid_argument("unbalanced tree notation");
            ++at;
        }
        nodes.append(node);
    }
    return nodes;
}

inline QMTreeNodeList parse(const QString &text)
{
    qsizetype at = 0;
    return parseNodes(text, at);
}

// The notation of a list (identifiers only, so that it reads back the shape).
inline QString shape(const QMTreeNodeList &nodes)
{
    QStringList words;
    for (const QMTreeNodePointer &node : nodes) {
        QString word = node->identifier();
        if (!node->isLeaf())
            word += u'(' + shape(node->mutableChildNodes()) + u')';
        words.append(word);
    }
    return words.join(u' ');
}

} // namespace TreeTestSupport
