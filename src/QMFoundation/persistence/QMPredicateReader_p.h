#pragma once

// What the predicate format's lexer and parser share: the tokens and the failure both throw.

#include "QMFoundation/persistence/QMPredicate_p.h"

#include <QList>
#include <QString>
#include <QStringView>
#include <QVariant>

namespace QMPredicateReader {

struct ParseFailure
{
    QString message;
    qsizetype position;
};

/// Throws a ParseFailure. Messages take the position as %1 and an optional detail (what was
/// written) as %2.
[[noreturn]] void failAt(const char *message, qsizetype position, const QString &detail = {});

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
    QMPredicateOperator op = QMPredicateOperator::Equal;
};

/// True when `text` is an attribute name: a letter or "_", then letters, digits and "_".
bool isIdentifier(QStringView text);

/// The tokens of `format`, ending with one of type End; throws ParseFailure.
QList<Token> tokens(const QString &format);

} // namespace QMPredicateReader
