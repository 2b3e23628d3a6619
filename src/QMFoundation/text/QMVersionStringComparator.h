#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QAnyStringView>
#include <QString>
#include <QStringList>

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
/// namespace cannot share the class's name. All members are re-entrant. Versions are taken as
/// QAnyStringView: UTF-16 text (a QString, a QStringView, a u"" literal) is compared in place,
/// without a copy, as sorting many versions needs; UTF-8 and Latin-1 text is converted first.
class QMF_CORE_EXPORT QMVersionStringComparator
{
public:
    QMVersionStringComparator() = delete;

    /// The class of the first UTF-16 code unit of `character`: 0 for a decimal digit, 2 for a
    /// period ".", 1 for anything else. Throws QMInternalInconsistencyException ("Invalid
    /// parameter not satisfying: !character.isEmpty()") for an empty text.
    [[nodiscard]] static qint32 typeOfCharacter(QAnyStringView character);

    /// The parts of `version` in order: runs of digits, runs of other characters and single
    /// periods ("1..2b" gives "1", ".", ".", "2", "b"). An empty or null text has no parts.
    [[nodiscard]] static QStringList splitVersionString(QAnyStringView version);

    /// -1 when `a` is the lower version, 0 when they are equal, 1 when `a` is higher.
    [[nodiscard]] static qint64 compareVersion(QAnyStringView a, QAnyStringView b);

    // Comparisons on the version text `version` (the receiver).

    /// compareVersion(version, other).
    [[nodiscard]] static qint64 compareToVersion(QAnyStringView version, QAnyStringView other);
    /// compareVersion(version, other) == 1.
    [[nodiscard]] static bool isGreaterThanVersion(QAnyStringView version, QAnyStringView other);
    /// compareVersion(version, other) >= 0.
    [[nodiscard]] static bool isGreaterThanOrEqualToVersion(QAnyStringView version,
                                                            QAnyStringView other);
    /// compareVersion(version, other) == -1.
    [[nodiscard]] static bool isLessThanVersion(QAnyStringView version, QAnyStringView other);
    /// compareVersion(version, other) <= 0.
    [[nodiscard]] static bool isLessThanOrEqualToVersion(QAnyStringView version,
                                                         QAnyStringView other);
};
