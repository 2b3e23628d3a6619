#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QString>
#include <QStringList>
#include <QStringView>

/// Orders free-form version texts ("1.10", "2.0b3", "3.1.4.1") the way people read them:
/// numbers compare as numbers, letters as text, and a missing trailing part counts for less
/// than a trailing number or period but for more than a trailing pre-release label.
///
/// A version text is split into parts, each a run of code units of one class (see
/// typeOfCharacter()); every period is a part of its own. Two versions compare part by part:
///  - parts of different classes: a number beats a period, and both beat a text part;
///  - two text parts: by UTF-16 code units, case-sensitively and without locale rules, so
///    "B" < "b" and "é" (U+00E9) > "z";
///  - two numbers: by value, read as a signed 32-bit integer that saturates, so leading zeros
///    do not matter ("01" equals "1") and every number from 2147483647 up is the same number;
///  - two periods: equal.
/// When one version runs out of parts first, the first extra part of the other decides: a text
/// part makes the longer version lower ("1.0b" < "1.0"), a number or period makes it higher
/// ("1.0.1" > "1.0", "1.0." > "1.0"). The empty version is lower than "1" and higher than "a".
///
/// Digits are the code units of Unicode's decimal-digit category (QChar::isDigit()), not only
/// ASCII: "١٢" (Arabic-Indic) reads as the number 12 and equals "12". A digit outside the Basic
/// Multilingual Plane is a surrogate pair, and surrogates are text.
///
/// The order is total and consistent: compareVersion(a, b) == -compareVersion(b, a), and it is
/// transitive, so it can drive std::sort and std::stable_sort (through isLessThanVersion()).
///
/// The class has only static members. The comparisons on a version text, which other types
/// would get as free functions in a namespace of their own, are static members here too
/// (compareToVersion() and the is...Version() tests), taking the receiver first, because a
/// namespace cannot share the class's name. All members are re-entrant.
class QMF_CORE_EXPORT QMVersionStringComparator
{
public:
    QMVersionStringComparator() = delete;

    /// The class of the first UTF-16 code unit of `character`: 0 for a decimal digit, 2 for a
    /// period ".", 1 for anything else. Throws QMInternalInconsistencyException ("Invalid
    /// parameter not satisfying: !character.isEmpty()") for an empty text.
    [[nodiscard]] static qint32 typeOfCharacter(QStringView character);

    /// The parts of `version` in order: runs of digits, runs of other characters and single
    /// periods ("1..2b" gives "1", ".", ".", "2", "b"). An empty or null text has no parts.
    [[nodiscard]] static QStringList splitVersionString(QStringView version);

    /// -1 when `a` is the lower version, 0 when they are equal, 1 when `a` is higher.
    [[nodiscard]] static qint64 compareVersion(QStringView a, QStringView b);

    // Comparisons on the version text `version` (the receiver).

    /// compareVersion(version, other).
    [[nodiscard]] static qint64 compareToVersion(QStringView version, QStringView other);
    /// compareVersion(version, other) == 1.
    [[nodiscard]] static bool isGreaterThanVersion(QStringView version, QStringView other);
    /// compareVersion(version, other) >= 0.
    [[nodiscard]] static bool isGreaterThanOrEqualToVersion(QStringView version, QStringView other);
    /// compareVersion(version, other) == -1.
    [[nodiscard]] static bool isLessThanVersion(QStringView version, QStringView other);
    /// compareVersion(version, other) <= 0.
    [[nodiscard]] static bool isLessThanOrEqualToVersion(QStringView version, QStringView other);
};
