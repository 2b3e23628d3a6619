#pragma once

// Internal: not installed. The shortest decimal text of a floating-point number that reads back
// as the same value. Object descriptions and QMStringRepresentations both write numbers this
// way; it lives here because errors/ does not depend on text/.

#include <QString>

namespace QMNumberText {

/// Positional notation up to 17 integer digits ("1000000", "1e+17"), "-0", "inf", "nan".
QString forDouble(double value);
/// As forDouble(), with positional notation up to 9 integer digits.
QString forFloat(float value);

} // namespace QMNumberText
