#pragma once

#include "ToolCommand.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <limits>

/// `qmf fuzzy` and `qmf distance`: the search functions of QMSearching on the command line.
namespace SearchCommands {

QList<ToolCommand> commands();

/// The tour's "Fuzzy matching" section.
void tourSection(QTextStream &out);

/// One line of a ranking: the candidate and its similarity score.
struct RankedLine
{
    QString line;
    double score;
};

/// The candidate lines of `text`: split at "\n", a final "\r" of a line removed, and the empty
/// piece after a last "\n" (or of an empty text) left out.
QStringList candidateLines(const QString &text);

/// The `candidates` that fuzzy-match `query`, highest similarity score first (maximum 1000,
/// penalty 200), ties in input order; only the first `limit` of them. Every match is scored, but
/// only the best `limit` are kept and sorted, so `qmf fuzzy --limit N` holds N lines, not every
/// match.
QList<RankedLine> rank(const QStringList &candidates, const QString &query, bool caseSensitive,
                       bool allowsMismatch,
                       qsizetype limit = std::numeric_limits<qsizetype>::max());

/// A score as `qmf fuzzy --scores` prints it: an integer when it is whole, else the shortest
/// decimal that reads back as the same double.
QString scoreText(double score);

} // namespace SearchCommands
