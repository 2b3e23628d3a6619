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
using QMPredicateSQL::Dialect;

namespace {

QString quoted(const QString &identifier)
{
    // Keys are identifiers, so quoting cannot be escaped from; doubling quotes is the rule all
    // the same.
    return u'"' + QString(identifier).replace(u'"', u"\"\""_s) + u'"';
}

// A PostgreSQL LIKE pattern that matches what `pattern` matches in
// QMPredicateRules::likeMatches(): "*" and "?" become "%" and "_" (one character, which in a
// UTF-8 database is one code point, as "?" is), and every other character is taken literally,
// "%", "_" and "\" (PostgreSQL's escape character) escaped.
QString likePattern(QStringView pattern)
{
    QString out;
    out.reserve(pattern.size() + 8);
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        QChar c = pattern[i];
        if (c == u'\\' && i + 1 < pattern.size()) {
            c = pattern[++i];
        } else if (c == u'*') {
            out += u'%';
            continue;
        } else if (c == u'?') {
            out += u'_';
            continue;
        }
        if (c == u'%' || c == u'_' || c == u'\\')
            out += u'\\';
        out += c;
    }
    return out;
}

class Compiler
{
public:
    Compiler(const QMEntityDescription &entity, Dialect dialect)
        : m_entity(entity)
        , m_dialect(dialect)
    { }

    // NOT goes down to the comparisons (De Morgan's laws hold, as every comparison is 0 or 1),
    // so that NOTs never nest: SQLite's parser keeps every open parenthesis and pending operator
    // on a stack of about a hundred entries.
    void node(const Node &n, bool negated = false)
    {
        switch (n.kind) {
        case Kind::True:
        case Kind::False:
            m_sql += constant((n.kind == Kind::True) != negated);
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

    // SQLite's truth values are numbers; PostgreSQL wants booleans in a WHERE.
    QString constant(bool value) const
    {
        if (m_dialect == Dialect::PostgreSQL)
            return value ? u"TRUE"_s : u"FALSE"_s;
        return value ? u"1"_s : u"0"_s;
    }

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
            m_sql += u"COALESCE("_s + expression + u", "_s + constant(false) + u')';
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
        const QString column = quoted(n.key);
        if (!n.value.isValid()) {
            m_sql += u'(' + column + (n.op == Op::Equal ? u" IS NULL)"_s : u" IS NOT NULL)"_s);
            return;
        }
        if (m_dialect == Dialect::PostgreSQL) {
            postgreSQLComparison(n, column);
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
            twoValued(folded(column) + symbol(n.op) + folded(parameter(n.value)));
            return;
        }
        case Op::In: {
            QStringList parameters;
            for (const QVariant &element : n.value.toList()) {
                if (element.isValid())
                    parameters.append(parameter(element));
            }
            if (parameters.isEmpty())
                m_sql += constant(false);
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

    static QString symbol(Op op)
    {
        static const char16_t *const symbols[]
                = {u" = ", u" <> ", u" < ", u" <= ", u" > ", u" >= "};
        return QString::fromUtf16(symbols[int(op)]);
    }

    // PostgreSQL has no functions of ours: [c] reads the folded column that the store keeps
    // beside each text column, with the value folded here, and LIKE is PostgreSQL's own with the
    // pattern translated. Texts compare in the "C" collation, which orders UTF-8 bytes and so
    // code points, as memory does. Stored texts never hold U+0000, which PostgreSQL cannot keep.
    void postgreSQLComparison(const Node &n, const QString &column)
    {
        const bool isText = *n.type == QMAttributeType::String;
        const QString target
                = n.caseInsensitive ? quoted(QMPredicateSQL::foldedColumn(n.key)) : column;
        const QString collated = isText ? target + u" COLLATE \"C\""_s : target;
        const auto operand = [&n](const QVariant &value) {
            return n.caseInsensitive ? QVariant(QMPersistenceValue::folded(value.toString()))
                                     : value;
        };
        const auto holdsNul = [isText](const QVariant &value) {
            return isText && value.toString().contains(QChar(u'\0'));
        };
        switch (n.op) {
        case Op::Equal:
        case Op::NotEqual:
        case Op::Less:
        case Op::LessOrEqual:
        case Op::Greater:
        case Op::GreaterOrEqual: {
            Op op = n.op;
            QVariant value = operand(n.value);
            if (holdsNul(value)) {
                // No stored text equals it. One below it is at most its part before the U+0000
                // (that part itself is shorter, so smaller); one above it is above that part.
                if (op == Op::Equal || op == Op::NotEqual) {
                    m_sql += op == Op::Equal ? constant(false) : u'(' + column + u" IS NOT NULL)"_s;
                    return;
                }
                op = op == Op::Less || op == Op::LessOrEqual ? Op::LessOrEqual : Op::Greater;
                const QString text = value.toString();
                value = QVariant(text.left(text.indexOf(QChar(u'\0'))));
            }
            twoValued(collated + symbol(op) + parameter(value));
            return;
        }
        case Op::In: {
            QStringList parameters;
            for (const QVariant &element : n.value.toList()) {
                if (element.isValid() && !holdsNul(element))
                    parameters.append(parameter(element));
            }
            if (parameters.isEmpty())
                m_sql += constant(false);
            else
                twoValued(collated + u" IN ("_s + parameters.join(u", "_s) + u')');
            return;
        }
        default:
            break;
        }
        const QString needle = operand(n.value).toString();
        // No stored text holds the U+0000 (a pattern's too is a character to match).
        if (needle.contains(QChar(u'\0'))) {
            m_sql += constant(false);
            return;
        }
        if (n.op == Op::Like) {
            twoValued(collated + u" LIKE "_s + parameter(QVariant(likePattern(needle))));
            return;
        }
        // Every text has the empty text at its start, inside and at its end.
        if (needle.isEmpty()) {
            m_sql += u'(' + column + u" IS NOT NULL)"_s;
            return;
        }
        // By character, which for texts of whole code points is the same as by UTF-16 unit.
        const QString value = u"CAST("_s + parameter(QVariant(needle)) + u" AS text)"_s;
        switch (n.op) {
        case Op::BeginsWith:
            twoValued(u"starts_with("_s + target + u", "_s + value + u')');
            return;
        case Op::Contains:
            twoValued(u"strpos("_s + target + u", "_s + value + u") > 0"_s);
            return;
        default:
            twoValued(u"right("_s + target + u", char_length("_s + value + u")) = "_s + u"CAST("_s
                      + parameter(QVariant(needle)) + u" AS text)"_s);
            return;
        }
    }

    const QMEntityDescription &m_entity;
    Dialect m_dialect;
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
                                                  const QMEntityDescription &entity,
                                                  Dialect dialect)
{
    Compiler compiler(entity, dialect);
    const Node *root = QMPredicateAccess::root(bound);
    if (!root)
        return {compiler.constant(true), {}};
    compiler.node(*root);
    return compiler.condition();
}

QString QMPredicateSQL::foldedColumn(const QString &attribute)
{
    return attribute + u"#folded"_s;
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
