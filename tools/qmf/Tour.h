#pragma once

#include <QTextStream>

/// `qmf tour`: a short guided run over the sample data bundled with the tool.
namespace Tour {

void run(QTextStream &out);

} // namespace Tour
