#pragma once

// Internal: not installed. The transformers the library registers under their names before the
// registry is first used. The registry knows no transformer of its own; each area that brings
// transformers lists them in its definition of this function.

#include "values/QMValueTransformer.h"

#include <QList>

#include <utility>

QList<std::pair<QString, QMValueTransformer::Factory>> QMLibraryValueTransformerFactories();
