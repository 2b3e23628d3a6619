#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QRegularExpression>
#include <QString>
#include <QVariantList>

#include <optional>

namespace QMRegularExpression {

// Both functions throw QMInternalInconsistencyException
// ("Invalid parameter not satisfying: regularExpression.isValid()") for an expression whose
// pattern does not compile.

/// True when the expression matches anywhere in the text.
QMF_CORE_EXPORT bool isMatchedByRegularExpression(const QString &string,
                                                  const QRegularExpression &regularExpression);

/// The first match: entry 0 the whole match, then one entry per capture group, holding the
/// captured text or QMNull() for a group that took no part. std::nullopt when nothing matches.
QMF_CORE_EXPORT std::optional<QVariantList>
componentsMatchedByRegularExpression(const QString &string,
                                     const QRegularExpression &regularExpression);

} // namespace QMRegularExpression
