#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>
#include <QVariantList>

namespace QMFormat {

/// Fills each "%@" of `format`, in order, with the description of the next value.
/// With no values the format is returned untouched (so "100%" stays "100%"). More than ten
/// values throw QMInternalInconsistencyException("Only 10 string format arguments supported.").
/// A "%@" without a value left is replaced by "(null)"; "%%" is written as "%". Any other
/// "%" sequence is copied unchanged.
QMF_CORE_EXPORT QString stringWithFormat(const QString &format, const QVariantList &arguments);

} // namespace QMFormat
