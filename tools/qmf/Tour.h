#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

/// `qmf tour`: a short guided run over the sample data bundled with the tool, one numbered
/// section per area of the library.
namespace Tour {

void run(QTextStream &out);

// For the sections of the tour.

/// The text of a bundled sample file (":/tour/NAME"), or a null QString.
QString resource(const QString &name);
/// Its non-empty lines, without "#" comments; "## " lines (sub-headings) are kept.
QStringList resourceLines(const QString &name);
/// A value in JSON notation (strings quoted, lists in brackets); "none" for an invalid or null
/// one.
QString valueText(const QVariant &value);
/// `text` with every non-empty line indented.
QString indented(const QString &text, const QString &indent = QStringLiteral("    "));

} // namespace Tour
