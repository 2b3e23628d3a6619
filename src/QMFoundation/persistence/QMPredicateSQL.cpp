#include "QMFoundation/persistence/QMPredicateSQL_p.h"

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicate_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include <QByteArray>

#include <algorithm>

using namespace Qt::StringLiterals;

using Node = QMPredicate::Node;
using Kind = QMPredicate::Node::Kind;
using Op = QMPredicateOperator;

namespace {

class Compiler
{
public:
    explicit Compiler(const QMEntityDescription &entity)
        : m_entity(entity)
    { }

    // NOT goes down to the comparisons (De Morgan's laws hold, as every comparison is 0 or 1),
    // so that NOTs never nest: SQLite's parser keeps every open parenthesis and pending operator
    // on a stack of about a hundred entries.
    void node(const Node &n, bool negated = false)
    {
        switch (n.kind) {
        case Kind::True:
        case Kind::False:
            m_sql += (n.kind == Kind::True) != negated ? u'1' : u'0';
            return;
        case Kind::Not:
            node(*n.children.first(), !negated);
            return;
        case Kind::And:
        case Kind::Or: {
            // The deepest child first: the parser holds less while it is inside it.
            QList<const Node *> children;
            for (const QMPredicateNodePtr &child : n.children)
                children.append(child.data());
            std::stable_sort(children.begin(), children.end(),
                             [](const Node *a, const Node *b) { return a->depth > b->depth; });
            joined(children, 0, children.size(), (n.kind == Kind::And) != negated, negated);
            return;
        }
        case Kind::Comparison:
            if (negated)
                m_sql += u"NOT "_s;
            m_negated = negated;
            comparison(n);
            return;
        }
    }

    QMPredicateSQL::Condition condition() const { return {m_sql, m_bindings}; }

private:
    // SQLite parses "a AND b AND c" into a chain as deep as it is long, and refuses expressions
    // deeper than 1000; halving keeps a list of any length a few levels deep.
    void joined(const QList<const Node *> &children, qsizetype from, qsizetype to, bool conjunction,
                bool negated)
    {
        if (to - from == 1) {
            node(*children.at(from), negated);
            return;
        }
        const qsizetype middle = from + (to - from) / 2;
        m_sql += u'(';
        joined(children, from, middle, conjunction, negated);
        m_sql += conjunction ? u" AND "_s : u" OR "_s;
        joined(children, middle, to, conjunction, negated);
        m_sql += u')';
    }

    QString parameter(const QVariant &value)
    {
        m_bindings.append(QMPersistenceValue::toStorage(value, *m_type));
        return u"?"_s;
    }

    // SQL's NULL (a comparison with an absent value) counts as false, as in memory. Only a
    // negated comparison needs saying so: NOTs reach no further down than comparisons, and above
    // them AND and OR give a row whose comparisons are NULL the same verdict as if they were
    // false, which leaves it out. A bare comparison keeps the column's index usable.
    void twoValued(const QString &expression)
    {
        if (m_negated)
            m_sql += u"COALESCE("_s + expression + u", 0)"_s;
        else
            m_sql += u'(' + expression + u')';
    }

    void comparison(const Node &n)
    {
        const QMAttributeDescription *attribute = m_entity.attributeNamed(n.key);
        if (!n.type || !attribute || attribute->type != *n.type)
            throw QMInternalInconsistencyException(
                    u"Invalid parameter not satisfying: bound to the entity"_s);
        m_type = n.type;
        // Keys are identifiers, so quoting cannot be escaped from; doubling quotes is the rule
        // all the same.
        const QString column = u'"' + QString(n.key).replace(u'"', u"\"\""_s) + u'"';
        if (!n.value.isValid()) {
            m_sql += u'(' + column + (n.op == Op::Equal ? u" IS NULL)"_s : u" IS NOT NULL)"_s);
            return;
        }
        const auto folded = [&n](const QString &expression) {
            return n.caseInsensitive ? u"qm_fold("_s + expression + u')' : expression;
        };
        switch (n.op) {
        case Op::Equal:
        case Op::NotEqual:
        case Op::Less:
        case Op::LessOrEqual:
        case Op::Greater:
        case Op::GreaterOrEqual: {
            static const char16_t *const symbols[]
                    = {u" = ", u" <> ", u" < ", u" <= ", u" > ", u" >= "};
            twoValued(folded(column) + QStringView(symbols[int(n.op)])
                      + folded(parameter(n.value)));
            return;
        }
        case Op::In: {
            QStringList parameters;
            for (const QVariant &element : n.value.toList()) {
                if (element.isValid())
                    parameters.append(parameter(element));
            }
            if (parameters.isEmpty())
                m_sql += u'0';
            else
                twoValued(column + u" IN ("_s + parameters.join(u", "_s) + u')');
            return;
        }
        case Op::Like:
            twoValued(u"qm_like("_s + column + u", "_s + parameter(n.value)
                      + (n.caseInsensitive ? u", 1)"_s : u", 0)"_s));
            return;
        default:
            break;
        }
        // Every text has the empty text at its start, inside and at its end; SQLite's substr()
        // does not say so for the end.
        if (n.value.toString().isEmpty()) {
            m_sql += u'(' + column + u" IS NOT NULL)"_s;
            return;
        }
        // instr() finds texts by character and sees past a NUL, where length() and substr() on
        // texts stop; ENDSWITH compares the UTF-8 bytes at the end instead, which for whole
        // characters is the same.
        const QString text = folded(column);
        switch (n.op) {
        case Op::BeginsWith:
            twoValued(u"instr("_s + text + u", "_s + folded(parameter(n.value)) + u") = 1"_s);
            return;
        case Op::Contains:
            twoValued(u"instr("_s + text + u", "_s + folded(parameter(n.value)) + u") > 0"_s);
            return;
        default: {
            const QString suffixLength
                    = u"length(CAST("_s + folded(parameter(n.value)) + u" AS BLOB))"_s;
            const QString suffix = u"CAST("_s + folded(parameter(n.value)) + u" AS BLOB)"_s;
            twoValued(u"substr(CAST("_s + text + u" AS BLOB), -"_s + suffixLength + u") = "_s
                      + suffix);
            return;
        }
        }
    }

    const QMEntityDescription &m_entity;
    std::optional<QMAttributeType> m_type;
    bool m_negated = false; // of the comparison being written
    QString m_sql;
    QVariantList m_bindings;
};

QString textArgument(sqlite3_value *value)
{
    return QMStringDecoding::stringByDecodingUTF8(QByteArrayView(
            reinterpret_cast<const char *>(sqlite3_value_text(value)), sqlite3_value_bytes(value)));
}

void resultText(sqlite3_context *context, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_result_text(context, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

// qm_fold(text): the folded text, as QMPersistenceValue::folded() gives it in memory.
void foldFunction(sqlite3_context *context, int, sqlite3_value **arguments)
{
    if (sqlite3_value_type(arguments[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    resultText(context, QMPersistenceValue::folded(textArgument(arguments[0])));
}

// qm_like(text, pattern, caseInsensitive): the in-memory LIKE itself.
void likeFunction(sqlite3_context *context, int, sqlite3_value **arguments)
{
    if (sqlite3_value_type(arguments[0]) == SQLITE_NULL
        || sqlite3_value_type(arguments[1]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    sqlite3_result_int(context,
                       QMPredicateRules::likeMatches(textArgument(arguments[0]),
                                                     textArgument(arguments[1]),
                                                     sqlite3_value_int(arguments[2]) != 0));
}

} // namespace

QMPredicateSQL::Condition QMPredicateSQL::compile(const QMPredicate &bound,
                                                  const QMEntityDescription &entity)
{
    const Node *root = QMPredicateAccess::root(bound);
    if (!root)
        return {u"1"_s, {}};
    Compiler compiler(entity);
    compiler.node(*root);
    return compiler.condition();
}

bool QMPredicateSQL::registerFunctions(sqlite3 *db, QMError *error)
{
    const struct
    {
        const char *name;
        int arguments;
        void (*function)(sqlite3_context *, int, sqlite3_value **);
    } functions[] = {{"qm_fold", 1, foldFunction}, {"qm_like", 3, likeFunction}};
    for (const auto &f : functions) {
        const int rc = sqlite3_create_function_v2(db, f.name, f.arguments,
                                                  SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                                  f.function, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            if (error)
                *error = QMError(QMPersistenceErrorDomain, QMPersistentStoreOperationError,
                                 {{QMLocalizedDescriptionKey,
                                   u"The store could not add the function %1: %2"_s.arg(
                                           QString::fromLatin1(f.name),
                                           QString::fromUtf8(sqlite3_errstr(rc)))}});
            return false;
        }
    }
    return true;
}
