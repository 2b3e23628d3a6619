#include <QMFoundation/persistence/QMPredicate.h>

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicate_p.h"
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QCoreApplication>
#include <QDateTime>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

using Node = QMPredicate::Node;
using Kind = QMPredicate::Node::Kind;
using Op = QMPredicateOperator;

namespace {

// Parentheses and NOTs the reader follows before it gives up: far more than a person writes,
// and few enough that the SQL of every predicate it reads fits SQLite's parser, whose stack holds
// only about a hundred open parentheses and pending operators.
constexpr int MaximumNesting = 32;

QString tr(const char *text)
{
    return QCoreApplication::translate("QMPredicate", text);
}

bool isIdentifierStart(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
}

bool isIdentifierChar(QChar c)
{
    return isIdentifierStart(c) || (c >= u'0' && c <= u'9');
}

bool isIdentifier(QStringView text)
{
    if (text.isEmpty() || !isIdentifierStart(text.front()))
        return false;
    for (QChar c : text) {
        if (!isIdentifierChar(c))
            return false;
    }
    return true;
}

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

bool isTextOperator(Op op)
{
    return op == Op::BeginsWith || op == Op::Contains || op == Op::EndsWith || op == Op::Like;
}

// The one form each value is kept in, so that equal predicates hold equal QVariants whatever
// integer or floating type a caller passed. Lists only where `allowList`.
std::optional<QVariant> normalizedValue(const QVariant &value, bool allowList)
{
    if (QMPersistenceValue::isAbsent(value))
        return QVariant();
    switch (value.typeId()) {
    case QMetaType::Bool:
        return QVariant(value.toBool());
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Short:
    case QMetaType::SChar:
    case QMetaType::Char:
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return QVariant(value.toLongLong());
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
            return QVariant(double(value.toULongLong()));
        return QVariant(qint64(value.toULongLong()));
    case QMetaType::Double:
    case QMetaType::Float: {
        // SQLite keeps no NaN, and an infinity has no literal to write it back as.
        const double d = value.toDouble();
        if (!std::isfinite(d))
            return std::nullopt;
        return QVariant(d);
    }
    case QMetaType::QString:
        return QVariant(value.toString());
    case QMetaType::QChar:
        return QVariant(QString(value.toChar()));
    case QMetaType::QByteArray:
        return QVariant(value.toByteArray());
    case QMetaType::QDateTime: {
        const QDateTime date = value.toDateTime();
        if (!date.isValid())
            return std::nullopt;
        return QVariant(QDateTime::fromMSecsSinceEpoch(date.toMSecsSinceEpoch(), Qt::UTC));
    }
    case QMetaType::QStringList:
    case QMetaType::QVariantList: {
        if (!allowList)
            return std::nullopt;
        QVariantList list;
        for (const QVariant &element : value.toList()) {
            const std::optional<QVariant> v = normalizedValue(element, false);
            if (!v)
                return std::nullopt;
            list.append(*v);
        }
        return QVariant(list);
    }
    default:
        return std::nullopt;
    }
}

// QVariant's own equality converts between types ("1" == 1); a predicate's values are equal
// only when they are the same value of the same type.
bool sameValue(const QVariant &a, const QVariant &b)
{
    if (!a.isValid() || !b.isValid())
        return a.isValid() == b.isValid();
    if (a.typeId() != b.typeId())
        return false;
    if (a.typeId() == QMetaType::QVariantList) {
        const QVariantList x = a.toList();
        const QVariantList y = b.toList();
        if (x.size() != y.size())
            return false;
        for (qsizetype i = 0; i < x.size(); ++i) {
            if (!sameValue(x.at(i), y.at(i)))
                return false;
        }
        return true;
    }
    return a == b;
}

bool sameNode(const Node *a, const Node *b)
{
    if (a == b)
        return true;
    if (!a || !b || a->kind != b->kind || a->children.size() != b->children.size())
        return false;
    if (a->kind == Kind::Comparison
        && (a->op != b->op || a->caseInsensitive != b->caseInsensitive || a->key != b->key
            || !sameValue(a->value, b->value)))
        return false;
    for (qsizetype i = 0; i < a->children.size(); ++i) {
        if (!sameNode(a->children.at(i).data(), b->children.at(i).data()))
            return false;
    }
    return true;
}

QMPredicateNodePtr makeLeaf(Kind kind)
{
    auto *node = new Node;
    node->kind = kind;
    return QMPredicateNodePtr(node);
}

QMPredicateNodePtr makeParent(Kind kind, QList<QMPredicateNodePtr> children)
{
    // AND and OR are associative: an AND inside an AND joins its parent's list, so that a
    // predicate grown one term at a time stays flat (and shallow enough for SQLite's parser), and
    // "(a AND b) AND c" is the same predicate as "a AND b AND c".
    if (kind == Kind::And || kind == Kind::Or) {
        QList<QMPredicateNodePtr> flat;
        flat.reserve(children.size());
        for (const QMPredicateNodePtr &child : children) {
            if (child->kind == kind)
                flat.append(child->children);
            else
                flat.append(child);
        }
        children = std::move(flat);
    }
    auto *node = new Node;
    node->kind = kind;
    int depth = 0;
    for (const QMPredicateNodePtr &child : children)
        depth = std::max(depth, child->depth);
    node->depth = depth + 1;
    node->children = std::move(children);
    return QMPredicateNodePtr(node);
}

// ---- Writing ----------------------------------------------------------------------------

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

// ---- Reading ----------------------------------------------------------------------------

struct ParseFailure
{
    QString message;
    qsizetype position;
};

// Messages take the position as %1 and an optional detail (what was written) as %2.
[[noreturn]] void failAt(const char *message, qsizetype position, const QString &detail = {})
{
    const QString text = detail.isNull() ? tr(message).arg(position)
                                         : tr(message).arg(QString::number(position), detail);
    throw ParseFailure {text, position};
}

enum class TokenType {
    End,
    OpenParen,
    CloseParen,
    OpenBrace,
    CloseBrace,
    Comma,
    Operator,
    And,
    Or,
    Not,
    TruePredicate,
    FalsePredicate,
    Identifier, // a name, or DATE/BINARY before "("
    EscapedIdentifier, // #name
    Value, // a literal: number, text, YES/NO/TRUE/FALSE, nil/NULL
    ValueArgument, // %@ %d %i %f %s
    KeyArgument, // %K
    Option, // [c]
};

struct Token
{
    TokenType type = TokenType::End;
    qsizetype position = 0;
    QString text; // as written
    QVariant value;
    Op op = Op::Equal;
};

class Lexer
{
public:
    explicit Lexer(const QString &format)
        : m_s(format)
    { }

    QList<Token> tokens()
    {
        QList<Token> out;
        for (;;) {
            Token token = next();
            out.append(token);
            if (token.type == TokenType::End)
                return out;
        }
    }

private:
    [[noreturn]] static void fail(const char *message, qsizetype position)
    {
        failAt(message, position);
    }

    QChar at(qsizetype i) const { return i < m_s.size() ? m_s.at(i) : QChar(); }

    static int hexDigit(QChar c)
    {
        if (c >= u'0' && c <= u'9')
            return c.unicode() - u'0';
        if (c >= u'a' && c <= u'f')
            return c.unicode() - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c.unicode() - u'A' + 10;
        return -1;
    }

    Token make(TokenType type, qsizetype start, qsizetype end)
    {
        Token token;
        token.type = type;
        token.position = start;
        token.text = m_s.mid(start, end - start);
        m_i = end;
        return token;
    }

    Token op(Op op, qsizetype start, qsizetype length)
    {
        Token token = make(TokenType::Operator, start, start + length);
        token.op = op;
        return token;
    }

    Token next()
    {
        while (m_i < m_s.size() && m_s.at(m_i).isSpace())
            ++m_i;
        const qsizetype start = m_i;
        if (m_i >= m_s.size())
            return make(TokenType::End, start, start);
        const QChar c = m_s.at(m_i);
        const QChar n = at(m_i + 1);
        switch (c.unicode()) {
        case u'(':
            return make(TokenType::OpenParen, start, start + 1);
        case u')':
            return make(TokenType::CloseParen, start, start + 1);
        case u'{':
            return make(TokenType::OpenBrace, start, start + 1);
        case u'}':
            return make(TokenType::CloseBrace, start, start + 1);
        case u',':
            return make(TokenType::Comma, start, start + 1);
        case u'=':
            if (n == u'=')
                return op(Op::Equal, start, 2);
            if (n == u'<')
                return op(Op::LessOrEqual, start, 2);
            if (n == u'>')
                return op(Op::GreaterOrEqual, start, 2);
            return op(Op::Equal, start, 1);
        case u'!':
            if (n == u'=')
                return op(Op::NotEqual, start, 2);
            return make(TokenType::Not, start, start + 1);
        case u'<':
            if (n == u'=')
                return op(Op::LessOrEqual, start, 2);
            if (n == u'>')
                return op(Op::NotEqual, start, 2);
            return op(Op::Less, start, 1);
        case u'>':
            if (n == u'=')
                return op(Op::GreaterOrEqual, start, 2);
            return op(Op::Greater, start, 1);
        case u'&':
            if (n == u'&')
                return make(TokenType::And, start, start + 2);
            break;
        case u'|':
            if (n == u'|')
                return make(TokenType::Or, start, start + 2);
            break;
        case u'[': {
            qsizetype end = start + 1;
            while (end < m_s.size() && isIdentifierChar(m_s.at(end)))
                ++end;
            if (at(end) != u']')
                fail("Expected \"]\" at position %1", end);
            Token token = make(TokenType::Option, start, end + 1);
            token.value = m_s.mid(start + 1, end - start - 1);
            return token;
        }
        case u'%':
            if (n == u'@' || n == u'd' || n == u'i' || n == u'f' || n == u's')
                return make(TokenType::ValueArgument, start, start + 2);
            if (n == u'K')
                return make(TokenType::KeyArgument, start, start + 2);
            fail("Unknown substitution at position %1", start);
        case u'\'':
        case u'"':
            return text(start);
        case u'#':
            if (isIdentifierStart(n)) {
                qsizetype end = start + 1;
                while (end < m_s.size() && isIdentifierChar(m_s.at(end)))
                    ++end;
                Token token = make(TokenType::EscapedIdentifier, start, end);
                token.value = m_s.mid(start + 1, end - start - 1);
                return token;
            }
            break;
        default:
            break;
        }
        if (c.isDigit() || (c == u'-' && n.isDigit()))
            return number(start);
        if (isIdentifierStart(c))
            return word(start);
        fail("Unexpected character at position %1", start);
    }

    Token number(qsizetype start)
    {
        qsizetype end = start + 1;
        const auto digits = [&]() {
            const qsizetype from = end;
            while (end < m_s.size() && m_s.at(end) >= u'0' && m_s.at(end) <= u'9')
                ++end;
            return end > from;
        };
        digits();
        bool floating = false;
        if (at(end) == u'.') {
            ++end;
            if (!digits())
                fail("Expected a digit at position %1", end);
            floating = true;
        }
        if (at(end) == u'e' || at(end) == u'E') {
            ++end;
            if (at(end) == u'+' || at(end) == u'-')
                ++end;
            if (!digits())
                fail("Expected a digit at position %1", end);
            floating = true;
        }
        if (isIdentifierChar(at(end)) || at(end) == u'.')
            fail("Unexpected character at position %1", end);
        Token token = make(TokenType::Value, start, end);
        bool ok = false;
        if (!floating) {
            const qint64 i = token.text.toLongLong(&ok);
            if (ok) {
                token.value = QVariant(i);
                return token;
            }
        }
        // Integers beyond 64 bits read as doubles, like any number with a point.
        const double d = token.text.toDouble(&ok);
        if (!ok || !std::isfinite(d))
            fail("Number out of range at position %1", start);
        token.value = QVariant(d);
        return token;
    }

    Token text(qsizetype start)
    {
        const QChar quote = m_s.at(start);
        QString value;
        qsizetype i = start + 1;
        for (;;) {
            if (i >= m_s.size())
                fail("Unterminated text at position %1", start);
            const QChar c = m_s.at(i);
            if (c == quote)
                break;
            if (c != u'\\') {
                value += c;
                ++i;
                continue;
            }
            const QChar e = at(i + 1);
            switch (e.unicode()) {
            case u'n':
                value += u'\n';
                break;
            case u't':
                value += u'\t';
                break;
            case u'r':
                value += u'\r';
                break;
            case u'\\':
            case u'\'':
            case u'"':
                value += e;
                break;
            case u'u': {
                char16_t code = 0;
                for (qsizetype k = i + 2; k < i + 6; ++k) {
                    const int digit = hexDigit(at(k));
                    if (digit < 0)
                        fail("Expected four hexadecimal digits at position %1", k);
                    code = char16_t(code * 16 + digit);
                }
                value += QChar(code);
                i += 6;
                continue;
            }
            default:
                if (i + 1 >= m_s.size())
                    fail("Unterminated text at position %1", start);
                // Other escapes stay as written: a LIKE pattern's \* and \? pass through.
                value += c;
                value += e;
                break;
            }
            i += 2;
        }
        Token token = make(TokenType::Value, start, i + 1);
        token.value = QVariant(value);
        return token;
    }

    Token word(qsizetype start)
    {
        qsizetype end = start;
        while (end < m_s.size() && isIdentifierChar(m_s.at(end)))
            ++end;
        Token token = make(TokenType::Identifier, start, end);
        const QString upper = token.text.toUpper();
        static const struct
        {
            const char16_t *word;
            TokenType type;
        } words[] = {
                {u"AND", TokenType::And},
                {u"OR", TokenType::Or},
                {u"NOT", TokenType::Not},
                {u"TRUEPREDICATE", TokenType::TruePredicate},
                {u"FALSEPREDICATE", TokenType::FalsePredicate},
        };
        for (const auto &w : words) {
            if (upper == QStringView(w.word)) {
                token.type = w.type;
                return token;
            }
        }
        static const struct
        {
            const char16_t *word;
            Op op;
        } operators[] = {{u"BEGINSWITH", Op::BeginsWith},
                         {u"CONTAINS", Op::Contains},
                         {u"ENDSWITH", Op::EndsWith},
                         {u"LIKE", Op::Like},
                         {u"IN", Op::In}};
        for (const auto &o : operators) {
            if (upper == QStringView(o.word)) {
                token.type = TokenType::Operator;
                token.op = o.op;
                return token;
            }
        }
        if (upper == u"YES"_s || upper == u"TRUE"_s || upper == u"NO"_s || upper == u"FALSE"_s) {
            token.type = TokenType::Value;
            token.value = QVariant(upper == u"YES"_s || upper == u"TRUE"_s);
        } else if (upper == u"NIL"_s || upper == u"NULL"_s) {
            token.type = TokenType::Value;
        }
        return token;
    }

    const QString &m_s;
    qsizetype m_i = 0;
};

// One side of a comparison.
struct Operand
{
    bool isKey = false;
    QString key;
    QVariant value;
    qsizetype position = 0;
};

class Parser
{
public:
    Parser(const QString &format, const QVariantList &arguments)
        : m_format(format)
        , m_arguments(arguments)
        , m_tokens(Lexer(format).tokens())
    { }

    QMPredicateNodePtr parse()
    {
        QMPredicateNodePtr root = orExpression();
        if (peek().type != TokenType::End)
            fail("Unexpected \"%2\" at position %1", peek().position, peek().text);
        if (m_argument < m_arguments.size())
            fail("Too many arguments (the format takes %2) at position %1", m_format.size(),
                 QString::number(m_argument));
        return root;
    }

private:
    [[noreturn]] static void fail(const char *message, qsizetype position,
                                  const QString &detail = {})
    {
        failAt(message, position, detail);
    }

    const Token &peek() const { return m_tokens.at(m_next); }
    const Token &take() { return m_tokens.at(m_next++); }

    void enter(qsizetype position)
    {
        if (++m_nesting > MaximumNesting)
            fail("Too deeply nested at position %1", position);
    }

    QMPredicateNodePtr chain(Kind kind, TokenType joint, QMPredicateNodePtr (Parser::*part)())
    {
        QList<QMPredicateNodePtr> parts {(this->*part)()};
        while (peek().type == joint) {
            take();
            parts.append((this->*part)());
        }
        return parts.size() == 1 ? parts.first() : makeParent(kind, std::move(parts));
    }

    QMPredicateNodePtr orExpression()
    {
        return chain(Kind::Or, TokenType::Or, &Parser::andExpression);
    }
    QMPredicateNodePtr andExpression()
    {
        return chain(Kind::And, TokenType::And, &Parser::notExpression);
    }

    QMPredicateNodePtr notExpression()
    {
        if (peek().type != TokenType::Not)
            return primary();
        enter(take().position);
        QMPredicateNodePtr child = notExpression();
        --m_nesting;
        return makeParent(Kind::Not, {child});
    }

    QMPredicateNodePtr primary()
    {
        const Token &token = peek();
        switch (token.type) {
        case TokenType::OpenParen: {
            enter(take().position);
            QMPredicateNodePtr inner = orExpression();
            if (peek().type != TokenType::CloseParen)
                fail("Expected \")\" at position %1", peek().position);
            take();
            --m_nesting;
            return inner;
        }
        case TokenType::TruePredicate:
            take();
            return makeLeaf(Kind::True);
        case TokenType::FalsePredicate:
            take();
            return makeLeaf(Kind::False);
        default:
            return comparison();
        }
    }

    QVariant argument(const Token &token, bool allowList)
    {
        if (m_argument >= m_arguments.size())
            fail("Missing an argument for \"%2\" at position %1", token.position, token.text);
        const std::optional<QVariant> value
                = normalizedValue(m_arguments.at(m_argument++), allowList);
        if (!value)
            fail("The argument for \"%2\" is not a value a predicate can hold at position %1",
                 token.position, token.text);
        return *value;
    }

    bool startsValue() const
    {
        switch (peek().type) {
        case TokenType::Value:
        case TokenType::ValueArgument:
        case TokenType::OpenBrace:
            return true;
        case TokenType::Identifier:
            return isFunction();
        default:
            return false;
        }
    }

    bool isFunction() const
    {
        const QString upper = peek().text.toUpper();
        return (upper == u"DATE"_s || upper == u"BINARY"_s)
                && m_tokens.at(m_next + 1).type == TokenType::OpenParen;
    }

    QVariant function()
    {
        const Token &name = take();
        take(); // (
        const bool date = name.text.toUpper() == u"DATE"_s;
        const Token &inner = take();
        QVariant value;
        if (inner.type == TokenType::Value && inner.value.typeId() == QMetaType::QString) {
            if (date) {
                QMAttributeDescription attribute;
                attribute.type = QMAttributeType::Date;
                value = attribute.convertedValue(inner.value);
            } else {
                // Characters beyond Latin-1 become "?", which Base64 refuses.
                const auto decoded = QByteArray::fromBase64Encoding(
                        inner.value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
                if (decoded)
                    value = QVariant(*decoded);
            }
        } else if (date && inner.type == TokenType::Value
                   && inner.value.typeId() == QMetaType::LongLong) {
            const QDateTime d = QDateTime::fromMSecsSinceEpoch(inner.value.toLongLong(), Qt::UTC);
            if (d.isValid())
                value = QVariant(d);
        }
        if (!value.isValid())
            fail(date ? "Expected a date in DATE() at position %1"
                      : "Expected Base64 text in BINARY() at position %1",
                 inner.position);
        if (peek().type != TokenType::CloseParen)
            fail("Expected \")\" at position %1", peek().position);
        take();
        return value;
    }

    QVariant list()
    {
        take(); // {
        QVariantList values;
        if (peek().type == TokenType::CloseBrace) {
            take();
            return QVariant(values);
        }
        for (;;) {
            if (peek().type == TokenType::ValueArgument)
                values.append(argument(take(), false));
            else if (peek().type == TokenType::Value)
                values.append(take().value);
            else if (peek().type == TokenType::Identifier && isFunction())
                values.append(function());
            else
                fail("Expected a value at position %1", peek().position);
            if (peek().type == TokenType::CloseBrace) {
                take();
                return QVariant(values);
            }
            if (peek().type != TokenType::Comma)
                fail("Expected \",\" or \"}\" at position %1", peek().position);
            take();
        }
    }

    // A value, or std::nullopt when the next token is none.
    std::optional<Operand> value()
    {
        if (!startsValue())
            return std::nullopt;
        Operand operand;
        operand.position = peek().position;
        switch (peek().type) {
        case TokenType::Value:
            operand.value = take().value;
            break;
        case TokenType::ValueArgument:
            operand.value = argument(take(), true);
            break;
        case TokenType::OpenBrace:
            operand.value = list();
            break;
        default:
            operand.value = function();
            break;
        }
        return operand;
    }

    std::optional<Operand> key()
    {
        Operand operand;
        operand.isKey = true;
        operand.position = peek().position;
        switch (peek().type) {
        case TokenType::Identifier:
            if (isFunction())
                return std::nullopt;
            operand.key = take().text;
            return operand;
        case TokenType::EscapedIdentifier:
            operand.key = take().value.toString();
            return operand;
        case TokenType::KeyArgument: {
            const Token &token = take();
            if (m_argument >= m_arguments.size())
                fail("Missing an argument for \"%2\" at position %1", token.position, token.text);
            const QVariant name = m_arguments.at(m_argument++);
            if (name.typeId() != QMetaType::QString || !isIdentifier(name.toString()))
                fail("The argument for \"%K\" is not an attribute name at position %1",
                     token.position);
            operand.key = name.toString();
            return operand;
        }
        default:
            return std::nullopt;
        }
    }

    QMPredicateNodePtr comparison()
    {
        std::optional<Operand> left = key();
        if (!left)
            left = value();
        if (!left)
            fail("Expected an attribute name or a value at position %1", peek().position);
        if (peek().type != TokenType::Operator)
            fail("Expected an operator at position %1", peek().position);
        const Token &opToken = take();
        Op op = opToken.op;
        bool caseInsensitive = false;
        if (peek().type == TokenType::Option) {
            const Token &option = take();
            if (option.value.toString().compare(u"c"_s, Qt::CaseInsensitive) != 0)
                fail("Unknown option \"%2\" at position %1", option.position, option.text);
            if (!isTextOperator(op) && op != Op::Equal && op != Op::NotEqual)
                fail("The option [c] does not apply to \"%2\" at position %1", option.position,
                     opToken.text);
            caseInsensitive = true;
        }
        Operand keySide;
        Operand valueSide;
        if (left->isKey) {
            keySide = *left;
            const std::optional<Operand> right = value();
            if (!right)
                fail("Expected a value after \"%2\" at position %1", peek().position, opToken.text);
            valueSide = *right;
        } else {
            const std::optional<Operand> right = key();
            if (!right)
                fail("Expected an attribute name after \"%2\" at position %1", peek().position,
                     opToken.text);
            if (isTextOperator(op) || op == Op::In)
                fail("Expected an attribute name before \"%2\" at position %1", left->position,
                     opToken.text);
            keySide = *right;
            valueSide = *left;
            // The attribute goes on the left, so the order turns round.
            switch (op) {
            case Op::Less:
                op = Op::Greater;
                break;
            case Op::LessOrEqual:
                op = Op::GreaterOrEqual;
                break;
            case Op::Greater:
                op = Op::Less;
                break;
            case Op::GreaterOrEqual:
                op = Op::LessOrEqual;
                break;
            default:
                break;
            }
        }
        const QVariant &v = valueSide.value;
        const bool isList = v.typeId() == QMetaType::QVariantList;
        if (op == Op::In && !isList)
            fail("Expected a list after \"%2\" at position %1", valueSide.position, opToken.text);
        if (op != Op::In && isList)
            fail("A list goes only after IN, not after \"%2\" at position %1", valueSide.position,
                 opToken.text);
        if (!v.isValid() && op != Op::Equal && op != Op::NotEqual)
            fail("Only \"=\" and \"!=\" compare with nil, not \"%2\" at position %1",
                 valueSide.position, opToken.text);
        if (isTextOperator(op) && v.typeId() != QMetaType::QString)
            fail("Expected a text after \"%2\" at position %1", valueSide.position, opToken.text);

        auto *node = new Node;
        node->kind = Kind::Comparison;
        node->op = op;
        node->caseInsensitive = caseInsensitive;
        node->key = keySide.key;
        node->value = v;
        return QMPredicateNodePtr(node);
    }

    const QString &m_format;
    const QVariantList &m_arguments;
    QList<Token> m_tokens;
    qsizetype m_next = 0;
    qsizetype m_argument = 0;
    int m_nesting = 0;
};

// ---- Evaluation --------------------------------------------------------------------------

std::optional<QMAttributeType> typeOfValue(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::QString:
        return QMAttributeType::String;
    case QMetaType::LongLong:
        return QMAttributeType::Integer;
    case QMetaType::Double:
        return QMAttributeType::Double;
    case QMetaType::Bool:
        return QMAttributeType::Boolean;
    case QMetaType::QDateTime:
        return QMAttributeType::Date;
    case QMetaType::QByteArray:
        return QMAttributeType::Binary;
    default:
        return std::nullopt;
    }
}

QVariant converted(const QVariant &value, QMAttributeType type)
{
    QMAttributeDescription attribute;
    attribute.type = type;
    return attribute.convertedValue(value);
}

// The comparison of a present attribute value with one literal. std::nullopt when the two
// cannot be compared: only an unbound predicate meets values of another type.
std::optional<int> compared(const Node &node, const QVariant &actual, const QVariant &literal)
{
    std::optional<QMAttributeType> type = node.type;
    if (!type) {
        type = typeOfValue(literal);
        // An integer literal against a fractional value compares as numbers, not by rounding.
        if (type == QMAttributeType::Integer
            && (actual.typeId() == QMetaType::Double || actual.typeId() == QMetaType::Float))
            type = QMAttributeType::Double;
        if (!type)
            return std::nullopt;
    }
    const QVariant a = converted(actual, *type);
    const QVariant b = node.type ? literal : converted(literal, *type);
    if (QMPersistenceValue::isAbsent(a) || QMPersistenceValue::isAbsent(b))
        return std::nullopt;
    if (node.caseInsensitive) {
        if (*type != QMAttributeType::String)
            return std::nullopt;
        return QMPersistenceValue::compareCodePoints(QMPersistenceValue::folded(a.toString()),
                                                     QMPersistenceValue::folded(b.toString()));
    }
    return QMPersistenceValue::compare(a, b, *type);
}

bool matchesText(const Node &node, const QVariant &actual)
{
    if (actual.typeId() != QMetaType::QString)
        return false;
    if (node.op == Op::Like)
        return QMPredicateRules::likeMatches(actual.toString(), node.value.toString(),
                                             node.caseInsensitive);
    QString text = actual.toString();
    QString needle = node.value.toString();
    if (node.caseInsensitive) {
        text = QMPersistenceValue::folded(text);
        needle = QMPersistenceValue::folded(needle);
    }
    // Every text starts with, holds and ends with the empty text; Qt says otherwise for a null
    // QString, which is no less a text here.
    if (needle.isEmpty())
        return true;
    switch (node.op) {
    case Op::BeginsWith:
        return text.startsWith(needle);
    case Op::Contains:
        return text.contains(needle);
    default:
        return text.endsWith(needle);
    }
}

bool evaluateComparison(const Node &node, const QVariant &actual)
{
    const bool absent = QMPersistenceValue::isAbsent(actual);
    if (!node.value.isValid())
        return (node.op == Op::Equal) == absent;
    if (absent)
        return false;
    switch (node.op) {
    case Op::Equal:
    case Op::NotEqual: {
        const std::optional<int> c = compared(node, actual, node.value);
        return (c && *c == 0) == (node.op == Op::Equal);
    }
    case Op::Less:
    case Op::LessOrEqual:
    case Op::Greater:
    case Op::GreaterOrEqual: {
        const std::optional<int> c = compared(node, actual, node.value);
        if (!c)
            return false;
        return node.op == Op::Less           ? *c < 0
                : node.op == Op::LessOrEqual ? *c <= 0
                : node.op == Op::Greater     ? *c > 0
                                             : *c >= 0;
    }
    case Op::In:
        for (const QVariant &element : node.value.toList()) {
            if (!element.isValid())
                continue;
            const std::optional<int> c = compared(node, actual, element);
            if (c && *c == 0)
                return true;
        }
        return false;
    default:
        return matchesText(node, actual);
    }
}

bool evaluate(const Node &node, const std::function<QVariant(const QString &)> &valueForKey)
{
    switch (node.kind) {
    case Kind::True:
        return true;
    case Kind::False:
        return false;
    case Kind::Not:
        return !evaluate(*node.children.first(), valueForKey);
    case Kind::And:
        for (const QMPredicateNodePtr &child : node.children) {
            if (!evaluate(*child, valueForKey))
                return false;
        }
        return true;
    case Kind::Or:
        for (const QMPredicateNodePtr &child : node.children) {
            if (evaluate(*child, valueForKey))
                return true;
        }
        return false;
    case Kind::Comparison:
        return evaluateComparison(node, valueForKey(node.key));
    }
    return false;
}

// ---- Binding -----------------------------------------------------------------------------

struct BindFailure
{
    QString message;
};

QMPredicateNodePtr bound(const QMPredicateNodePtr &node, const QMEntityDescription &entity)
{
    if (node->kind != Kind::Comparison) {
        if (node->children.isEmpty())
            return node;
        QList<QMPredicateNodePtr> children;
        children.reserve(node->children.size());
        for (const QMPredicateNodePtr &child : node->children)
            children.append(bound(child, entity));
        return makeParent(node->kind, std::move(children));
    }
    const QMAttributeDescription *attribute = entity.attributeNamed(node->key);
    if (!attribute)
        throw BindFailure {
                tr("The entity %1 has no attribute \"%2\".").arg(entity.name(), node->key)};
    if ((isTextOperator(node->op) || node->caseInsensitive)
        && attribute->type != QMAttributeType::String)
        throw BindFailure {tr("The operator %1 needs a string attribute; \"%2\" is of type %3.")
                                   .arg(QMPredicateRules::operatorName(node->op)
                                                + (node->caseInsensitive ? u"[c]"_s : QString()),
                                        node->key, QMAttributeTypeName(attribute->type))};
    const auto convert = [attribute](const QVariant &value) {
        QMError error;
        const QVariant v = attribute->convertedValue(value, &error);
        if (!QMPersistenceValue::isAbsent(value) && !v.isValid())
            throw BindFailure {error.localizedDescription()};
        return v;
    };
    QVariant value;
    if (node->op == Op::In) {
        QVariantList list;
        for (const QVariant &element : node->value.toList())
            list.append(convert(element));
        value = QVariant(list);
    } else {
        value = convert(node->value);
    }
    // Made only now that nothing can throw; QSharedData's copy starts with no references.
    auto *copy = new Node(*node);
    copy->type = attribute->type;
    copy->value = value;
    return QMPredicateNodePtr(copy);
}

} // namespace

// ---- Shared rules ------------------------------------------------------------------------

bool QMPredicateRules::likeMatches(QStringView text, QStringView pattern, bool caseInsensitive)
{
    QString foldedText;
    QString foldedPattern;
    if (caseInsensitive) {
        // Folding leaves "*", "?" and "\" alone, so the pattern can be folded whole.
        foldedText = QMPersistenceValue::folded(text.toString());
        foldedPattern = QMPersistenceValue::folded(pattern.toString());
        text = foldedText;
        pattern = foldedPattern;
    }
    // "?" is one character, so both sides go by code point, as SQLite's texts do.
    const QList<uint> t = text.toUcs4();
    const QList<uint> raw = pattern.toUcs4();
    enum : uint { Any = 0xFFFFFFFFu, One = 0xFFFFFFFEu };
    QList<uint> p;
    p.reserve(raw.size());
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw.at(i) == u'\\' && i + 1 < raw.size())
            p.append(raw.at(++i));
        else if (raw.at(i) == u'*')
            p.append(Any);
        else if (raw.at(i) == u'?')
            p.append(One);
        else
            p.append(raw.at(i));
    }
    // Greedy matching that returns to the last "*": linear in the text for each "*", never
    // exponential.
    qsizetype ti = 0;
    qsizetype pi = 0;
    qsizetype starP = -1;
    qsizetype starT = 0;
    while (ti < t.size()) {
        if (pi < p.size() && p.at(pi) == Any) {
            starP = pi++;
            starT = ti;
        } else if (pi < p.size() && (p.at(pi) == One || p.at(pi) == t.at(ti))) {
            ++pi;
            ++ti;
        } else if (starP >= 0) {
            pi = starP + 1;
            ti = ++starT;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p.at(pi) == Any)
        ++pi;
    return pi == p.size();
}

QString QMPredicateRules::operatorName(QMPredicateOperator op)
{
    switch (op) {
    case Op::Equal:
        return u"="_s;
    case Op::NotEqual:
        return u"!="_s;
    case Op::Less:
        return u"<"_s;
    case Op::LessOrEqual:
        return u"<="_s;
    case Op::Greater:
        return u">"_s;
    case Op::GreaterOrEqual:
        return u">="_s;
    case Op::BeginsWith:
        return u"BEGINSWITH"_s;
    case Op::Contains:
        return u"CONTAINS"_s;
    case Op::EndsWith:
        return u"ENDSWITH"_s;
    case Op::Like:
        return u"LIKE"_s;
    case Op::In:
        return u"IN"_s;
    }
    return QString();
}

// ---- QMPredicate -------------------------------------------------------------------------

const QString QMPredicateErrorPositionKey = u"QMPredicateErrorPosition"_s;

QMPredicate::QMPredicate() = default;
QMPredicate::~QMPredicate() = default;
QMPredicate::QMPredicate(const QMPredicate &) = default;
QMPredicate &QMPredicate::operator=(const QMPredicate &) = default;

QMPredicate::QMPredicate(QExplicitlySharedDataPointer<const Node> root)
    : m_root(std::move(root))
{ }

QMPredicate QMPredicate::predicateWithFormat(const QString &format, const QVariantList &arguments,
                                             QMError *error)
{
    try {
        return QMPredicate(Parser(format, arguments).parse());
    } catch (const ParseFailure &failure) {
        if (error) {
            *error = QMError(
                    QMPersistenceErrorDomain, QMPredicateFormatError,
                    {{QMLocalizedDescriptionKey,
                      QString(failure.message).replace(u"%1"_s, QString::number(failure.position))},
                     {QMPredicateErrorPositionKey, int(failure.position)}});
        }
        return QMPredicate();
    }
}

QMPredicate QMPredicate::predicateWithKeyValue(const QString &key, const QVariant &value)
{
    return predicateWithFormat(u"%K = %@"_s, {key, value});
}

namespace {

QMPredicateNodePtr nodeOf(const QMPredicate &predicate)
{
    // The null predicate matches everything, so among others it stands for TRUEPREDICATE.
    const Node *root = QMPredicateAccess::root(predicate);
    return root ? QMPredicateNodePtr(root) : makeLeaf(Kind::True);
}

QMPredicate combined(Kind kind, const QList<QMPredicate> &subpredicates)
{
    if (subpredicates.isEmpty())
        return QMPredicateAccess::make(makeLeaf(kind == Kind::And ? Kind::True : Kind::False));
    if (subpredicates.size() == 1)
        return subpredicates.first();
    QList<QMPredicateNodePtr> children;
    for (const QMPredicate &p : subpredicates)
        children.append(nodeOf(p));
    QMPredicateNodePtr node = makeParent(kind, std::move(children));
    if (node->depth > QMPredicateRules::MaximumDepth)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: depth <= 1000"_s);
    return QMPredicateAccess::make(node);
}

} // namespace

QMPredicate QMPredicate::andPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates)
{
    return combined(Kind::And, subpredicates);
}

QMPredicate QMPredicate::orPredicateWithSubpredicates(const QList<QMPredicate> &subpredicates)
{
    return combined(Kind::Or, subpredicates);
}

QMPredicate QMPredicate::notPredicateWithSubpredicate(const QMPredicate &subpredicate)
{
    QMPredicateNodePtr node = makeParent(Kind::Not, {nodeOf(subpredicate)});
    if (node->depth > QMPredicateRules::MaximumDepth)
        throw QMInternalInconsistencyException(
                u"Invalid parameter not satisfying: depth <= 1000"_s);
    return QMPredicate(node);
}

bool QMPredicate::isNull() const
{
    return !m_root;
}

QString QMPredicate::predicateFormat() const
{
    if (!m_root)
        return QString();
    QString out;
    write(m_root.data(), out);
    return out;
}

QStringList QMPredicate::keys() const
{
    QStringList keys;
    const std::function<void(const Node *)> collect = [&](const Node *node) {
        if (node->kind == Kind::Comparison && !keys.contains(node->key))
            keys.append(node->key);
        for (const QMPredicateNodePtr &child : node->children)
            collect(child.data());
    };
    if (m_root)
        collect(m_root.data());
    return keys;
}

QMPredicate QMPredicate::boundToEntity(const QMEntityDescription &entity, QMError *error) const
{
    if (!m_root)
        return QMPredicate();
    try {
        return QMPredicate(bound(m_root, entity));
    } catch (const BindFailure &failure) {
        if (error)
            *error = QMError(QMPersistenceErrorDomain, QMPredicateInvalidKeyError,
                             {{QMLocalizedDescriptionKey, failure.message}});
        return QMPredicate();
    }
}

bool QMPredicate::evaluateWithValues(
        const std::function<QVariant(const QString &key)> &valueForKey) const
{
    return !m_root || evaluate(*m_root, valueForKey);
}

bool operator==(const QMPredicate &a, const QMPredicate &b)
{
    return sameNode(a.m_root.data(), b.m_root.data());
}
