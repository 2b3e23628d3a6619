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
using QMOptionPtr = std::shared_ptr<QMOption>;
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
    static QMOptionPtr optionWithFlag(const QString &flag, const QString &alias,
                                      const QString &explanation, const QString &valueDescription,
                                      quint64 type, bool required);

    QMOption(const QString &flag, const QString &alias, const QString &explanation,
             const QString &valueDescription, quint64 type, bool required);
    QMOption() = delete;
    QMOption(const QMOption &) = delete;
    QMOption &operator=(const QMOption &) = delete;
    ~QMOption();

    QString flag() const;
    void setFlag(const QString &flag);
    QString alias() const;
    void setAlias(const QString &alias);
    QString explanation() const;
    void setExplanation(const QString &explanation);
    QString valueDescription() const;
    void setValueDescription(const QString &valueDescription);
    quint64 type() const;
    void setType(quint64 type);
    bool isRequired() const;
    void setRequired(bool required);
    /// Hidden options are left out of the parser's usage text. False at construction.
    bool isHidden() const;
    void setHidden(bool hidden);
    /// True exactly for QMOptionTypeStringList and QMOptionTypeNumberList.
    bool hasListValue() const;

    bool isEqual(const QMOption &other) const;
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

inline bool operator==(const QMOption &a, const QMOption &b)
{
    return a.isEqual(b);
}

inline size_t qHash(const QMOption &option, size_t seed = 0)
{
    return option.hash() ^ seed;
}

/// True when both pointers are null, or both options are present and equal.
QMF_CORE_EXPORT bool QMEqualOptions(const QMOptionPtr &a, const QMOptionPtr &b);
