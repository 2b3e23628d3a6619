#pragma once

// Internal: not installed. The "%@" formatting of QMFormat::stringWithFormat(), which error
// catalogs fill their texts with; it lives here because errors/ does not depend on text/.

#include <QString>
#include <QVariantList>

/// QMFormat::stringWithFormat(): the rules are documented there.
QString QMStringWithFormat(const QString &format, const QVariantList &arguments);
