#include "QMFoundation/persistence/QMPredicateReader_p.h"
#include "QMFoundation/text/QMHexDigit_p.h"

#include <QMFoundation/persistence/QMPredicate.h>

#include <QDateTime>

using namespace Qt::StringLiterals;

using Op = QMPredicateOperator;
using QMPredicateReader::failAt;
using QMPredicateReader::Token;
using QMPredicateReader::TokenType;
using QMPredicateRules::tr;

namespace {

bool isIdentifierStart(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_';
}

bool isIdentifierChar(QChar c)
{
    return isIdentifierStart(c) || (c >= u'0' && c <= u'9');
}

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
                    const int digit = QMHexDigitValue(at(k).unicode());
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

} // namespace

bool QMPredicateReader::isIdentifier(QStringView text)
{
    if (text.isEmpty() || !isIdentifierStart(text.front()))
        return false;
    for (QChar c : text) {
        if (!isIdentifierChar(c))
            return false;
    }
    return true;
}

void QMPredicateReader::failAt(const char *message, qsizetype position, const QString &detail)
{
    const QString text = detail.isNull() ? tr(message).arg(position)
                                         : tr(message).arg(QString::number(position), detail);
    throw ParseFailure {text, position};
}

QList<QMPredicateReader::Token> QMPredicateReader::tokens(const QString &format)
{
    return Lexer(format).tokens();
}
