#include <QMFoundation/persistence/QMPredicate.h>

#include "QMFoundation/persistence/QMPredicate_p.h"

#include <QDateTime>
#include <QLocale>

using namespace Qt::StringLiterals;

using Node = QMPredicate::Node;
using Kind = QMPredicate::Node::Kind;
using Op = QMPredicateOperator;

namespace {

const QStringList &keywords()
{
    static const QStringList words {
            u"AND"_s,      u"OR"_s,   u"NOT"_s,  u"BEGINSWITH"_s,    u"CONTAINS"_s,
            u"ENDSWITH"_s, u"LIKE"_s, u"IN"_s,   u"TRUEPREDICATE"_s, u"FALSEPREDICATE"_s,
            u"YES"_s,      u"NO"_s,   u"TRUE"_s, u"FALSE"_s,         u"NIL"_s,
            u"NULL"_s,
    };
    return words;
}

bool isKeyword(QStringView word)
{
    for (const QString &k : keywords()) {
        if (word.compare(k, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QString quoted(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out += u'"';
    for (QChar c : text) {
        switch (c.unicode()) {
        case u'"':
            out += u"\\\""_s;
            break;
        case u'\\':
            out += u"\\\\"_s;
            break;
        case u'\n':
            out += u"\\n"_s;
            break;
        case u'\t':
            out += u"\\t"_s;
            break;
        case u'\r':
            out += u"\\r"_s;
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                out += u"\\u"_s + QString::number(c.unicode(), 16).rightJustified(4, u'0');
            else
                out += c;
        }
    }
    out += u'"';
    return out;
}

QString writtenValue(const QVariant &value)
{
    if (!value.isValid())
        return u"nil"_s;
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? u"YES"_s : u"NO"_s;
    case QMetaType::LongLong:
        return QString::number(value.toLongLong());
    case QMetaType::Double: {
        QString text = QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest);
        // Without a point or an exponent the text would read back as an integer.
        if (!text.contains(u'.') && !text.contains(u'e'))
            text += u".0"_s;
        return text;
    }
    case QMetaType::QString:
        return quoted(value.toString());
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        if (date.date().year() >= 1 && date.date().year() <= 9999)
            return u"DATE("_s + quoted(date.toString(u"yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"_s)) + u')';
        return u"DATE("_s + QString::number(date.toMSecsSinceEpoch()) + u')';
    }
    case QMetaType::QByteArray:
        return u"BINARY("_s + quoted(QString::fromLatin1(value.toByteArray().toBase64())) + u')';
    case QMetaType::QVariantList: {
        QStringList parts;
        for (const QVariant &element : value.toList())
            parts.append(writtenValue(element));
        return u'{' + parts.join(u", "_s) + u'}';
    }
    default:
        return u"nil"_s;
    }
}

QString writtenKey(const QString &key)
{
    return isKeyword(key) ? u'#' + key : key;
}

void write(const Node *node, QString &out)
{
    switch (node->kind) {
    case Kind::True:
        out += u"TRUEPREDICATE"_s;
        return;
    case Kind::False:
        out += u"FALSEPREDICATE"_s;
        return;
    case Kind::Comparison:
        out += writtenKey(node->key) + u' ' + QMPredicateRules::operatorName(node->op)
                + (node->caseInsensitive ? u"[c] "_s : u" "_s) + writtenValue(node->value);
        return;
    case Kind::Not:
    case Kind::And:
    case Kind::Or:
        break;
    }
    const auto child = [&out](const Node *c) {
        const bool group = c->kind == Kind::And || c->kind == Kind::Or;
        if (group)
            out += u'(';
        write(c, out);
        if (group)
            out += u')';
    };
    if (node->kind == Kind::Not) {
        out += u"NOT "_s;
        child(node->children.first().data());
        return;
    }
    const QString joint = node->kind == Kind::And ? u" AND "_s : u" OR "_s;
    for (qsizetype i = 0; i < node->children.size(); ++i) {
        if (i > 0)
            out += joint;
        child(node->children.at(i).data());
    }
}

} // namespace

QString QMPredicate::predicateFormat() const
{
    if (!m_root)
        return QString();
    QString out;
    write(m_root.data(), out);
    return out;
}
