#include <QMFoundation/persistence/QMPredicate.h>

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicateReader_p.h"
#include "QMFoundation/persistence/QMPredicate_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <QDateTime>

#include <cmath>
#include <limits>

using namespace Qt::StringLiterals;

using Node = QMPredicate::Node;
using Kind = QMPredicate::Node::Kind;
using Op = QMPredicateOperator;
using QMPredicateReader::failAt;
using QMPredicateReader::isIdentifier;
using QMPredicateReader::ParseFailure;
using QMPredicateReader::Token;
using QMPredicateReader::TokenType;
using QMPredicateRules::isTextOperator;
using QMPredicateRules::makeLeaf;
using QMPredicateRules::makeParent;
using QMPredicateRules::tr;

namespace {

// Parentheses and NOTs the reader follows before it gives up: far more than a person writes,
// and few enough that the SQL of every predicate it reads fits SQLite's parser, whose stack holds
// only about a hundred open parentheses and pending operators.
constexpr int MaximumNesting = 32;

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
        , m_tokens(QMPredicateReader::tokens(format))
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

} // namespace

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
