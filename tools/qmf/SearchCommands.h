#pragma once

#include "ToolCommand.h"

#include <QByteArrayView>
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

/// One line of a ranking: the candidate, its similarity score and its position among the
/// candidates.
struct RankedLine
{
    QString line;
    double score;
    qsizetype position;
};

/// The candidate lines of `text`: split at "\n", a final "\r" of a line removed, and the empty
/// piece after a last "\n" (or of an empty text) left out.
QStringList candidateLines(const QString &text);
/// The same lines of the bytes that `text` was decoded from, as they came: `qmf fuzzy` prints
/// these, so that a line that is not UTF-8 keeps its bytes (it is ranked with U+FFFD in their
/// place). A byte "\n" or "\r" is never part of another UTF-8 character, so the lines match.
QList<QByteArrayView> candidateLines(QByteArrayView bytes);

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
