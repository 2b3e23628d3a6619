#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>

#include <QList>
#include <QString>

#include <memory>

/// The kind of value an option takes. Stored as a plain quint64: any other value is allowed and
/// makes the option wait for a value that converts to nothing.
enum QMOptionType : quint64 {
    QMOptionTypeNone = 0, ///< a switch; consumes no argument
    QMOptionTypeString = 1, ///< the next argument, trimmed
    QMOptionTypeNumber = 2, ///< the next argument as a double
    QMOptionTypeBoolean = 3, ///< the next argument as a number whose integer part is 0 or 1
    QMOptionTypeStringList = 4, ///< the next argument split at the list separator, trimmed
    QMOptionTypeNumberList = 5, ///< the next argument split at the list separator, as numbers
};

class QMOption;
/// A shared option, as commands, parsers and result items hold them.
using QMOptionPtr = std::shared_ptr<QMOption>;
/// A list of shared options.
using QMOptionList = QList<QMOptionPtr>;

/// One command-line option: a one-letter flag ("-v"), a long alias ("--verbose"), or both.
///
/// Options are shared objects: the host's lists, commands and the parser hold the same
/// instances, and result items point back at them. Two options are equal when flag, alias and
/// type are equal (null texts equal only null texts); explanation, value description, required
/// and hidden take no part.
///
/// Configure an option completely before handing it to a QMOptionParser: the parser captures
/// its configuration at construction (lookup tables by flag and alias, the required options,
/// the usage text) and never rebuilds it, so changing a flag, alias, type, required or hidden
/// afterwards does not reach that parser's lookups, required options or usage text.
class QMF_CORE_EXPORT QMOption
{
public:
    /// A new shared option; see the constructor.
    static QMOptionPtr optionWithFlag(const QString &flag, const QString &alias,
                                      const QString &explanation, const QString &valueDescription,
                                      quint64 type, bool required);

    /// An option with the flag `flag` (one character, without "-") and the alias `alias` (without
    /// "--"), either of which may be null; `explanation` and `valueDescription` are for the usage
    /// text, `type` is a QMOptionType and `required` makes the parse fail without it.
    QMOption(const QString &flag, const QString &alias, const QString &explanation,
             const QString &valueDescription, quint64 type, bool required);
    QMOption() = delete;
    QMOption(const QMOption &) = delete;
    QMOption &operator=(const QMOption &) = delete;
    ~QMOption();

    /// The one-letter flag, without "-", or a null QString.
    QString flag() const;
    /// Sets the flag; see the class for when the parser sees it.
    void setFlag(const QString &flag);
    /// The long alias, without "--", or a null QString.
    QString alias() const;
    /// Sets the alias; see the class for when the parser sees it.
    void setAlias(const QString &alias);
    /// The explanation shown in the usage text and in description().
    QString explanation() const;
    /// Sets the explanation.
    void setExplanation(const QString &explanation);
    /// The name of the value in the usage text ("<VALUE>").
    QString valueDescription() const;
    /// Sets the value description.
    void setValueDescription(const QString &valueDescription);
    /// The kind of value the option takes, a QMOptionType.
    quint64 type() const;
    /// Sets the kind of value.
    void setType(quint64 type);
    /// Whether a parse without this option fails.
    bool isRequired() const;
    /// Sets whether the option is required.
    void setRequired(bool required);
    /// Hidden options are left out of the parser's usage text. False at construction.
    bool isHidden() const;
    /// Hides the option from the usage text, or shows it again.
    void setHidden(bool hidden);
    /// True exactly for QMOptionTypeStringList and QMOptionTypeNumberList.
    bool hasListValue() const;

    /// True when flag, alias and type are equal (see the class).
    bool isEqual(const QMOption &other) const;
    /// A hash of flag, alias and type, equal for equal options.
    size_t hash() const;
    /// A new option with the same flag, alias, explanation, value description, type and
    /// required flag; the copy is not hidden.
    QMOptionPtr copy() const;

    /// "-f, --flag <VALUE>\n\t\tExplanation", or a null QString for an option without names.
    QString description() const;

private:
    friend struct QMOptionData; // the library's own read access to the fields (QMOption_p.h)
    struct Private;
    std::unique_ptr<Private> d;
};

/// isEqual(): equal flag, alias and type.
inline bool operator==(const QMOption &a, const QMOption &b)
{
    return a.isEqual(b);
}

/// The option's hash() mixed with `seed`, for QHash and QSet.
inline size_t qHash(const QMOption &option, size_t seed = 0)
{
    return option.hash() ^ seed;
}

/// True when both pointers are null, or both options are present and equal.
QMF_CORE_EXPORT bool QMEqualOptions(const QMOptionPtr &a, const QMOptionPtr &b);
