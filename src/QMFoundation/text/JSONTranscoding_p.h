#pragma once

// Internal: not installed. The reading of JSONTranscoding for other areas of the library that
// walk Qt's JSON values in place rather than as QVariant maps and lists.

#include <QMFoundation/errors/QMError.h>

#include <QByteArray>
#include <QJsonDocument>

#include <optional>

/// `data` parsed as JSON by the rules of JSONTranscoding (a byte-order mark inside texts kept),
/// or std::nullopt and a QMJSONTranscodingErrorInvalidData error.
std::optional<QJsonDocument> QMJSONDocumentFromData(const QByteArray &data, QMError *error);
