#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>

namespace QMCommon {

/// True when the text has length 0.
QMF_CORE_EXPORT bool isEmpty(const QString &string);
/// True when the text has at least one character.
QMF_CORE_EXPORT bool isNotEmpty(const QString &string);

} // namespace QMCommon
