#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/options/QMOption.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QMOptionCommand;
/// A shared command, as parsers and result items hold them.
using QMOptionCommandPtr = std::shared_ptr<QMOptionCommand>;
/// A list of shared commands.
using QMOptionCommandList = QList<QMOptionCommandPtr>;

/// A command word with the options valid after it and, optionally, its sub-commands.
///
/// `subCommands()` distinguishes "no list" (std::nullopt: any command may follow) from an empty
/// list (no command may follow). Two commands are equal when their names are equal: the parser
/// treats commands of the same name as one command.
///
/// Configure a command tree completely before handing it to a QMOptionParser: the parser
/// captures it at construction (the lookup tables of commands and of each command's options,
/// the usage text) and never rebuilds that, so renaming a command, changing its options or
/// hiding it afterwards does not reach that parser's lookups or usage text.
class QMF_CORE_EXPORT QMOptionCommand
{
public:
    /// A new shared command; see the constructor.
    static QMOptionCommandPtr optionCommandWithName(
            const QString &name, const QMOptionList &options, const QStringList &argumentNames,
            const std::optional<QMOptionCommandList> &subCommands, const QString &explanation);

    /// A command named `name` with the options valid after it, its positional argument names, its
    /// sub-commands (std::nullopt: any command may follow) and the explanation for the usage text.
    QMOptionCommand(const QString &name, const QMOptionList &options,
                    const QStringList &argumentNames,
                    const std::optional<QMOptionCommandList> &subCommands,
                    const QString &explanation);
    QMOptionCommand() = delete;
    QMOptionCommand(const QMOptionCommand &) = delete;
    QMOptionCommand &operator=(const QMOptionCommand &) = delete;
    ~QMOptionCommand();

    /// The command word.
    QString name() const;
    /// Renames the command; see the class for when the parser sees it.
    void setName(const QString &name);
    /// The options valid after the command.
    QMOptionList options() const;
    /// Replaces the command's options; see the class for when the parser sees them.
    void setOptions(const QMOptionList &options);
    /// Names of the command's positional arguments, fixed at construction.
    QStringList argumentNames() const;
    /// The commands that may follow this one, or std::nullopt when any may (see the class).
    std::optional<QMOptionCommandList> subCommands() const;
    /// Replaces the sub-command list; the parser's validation reads it as it is when parsing.
    void setSubCommands(const std::optional<QMOptionCommandList> &subCommands);
    /// The explanation shown in the usage text.
    QString explanation() const;
    /// Sets the explanation.
    void setExplanation(const QString &explanation);
    /// Hidden commands are left out of the usage text's command list. False at construction.
    bool isHidden() const;
    /// Hides the command from the usage text's command list, or shows it again.
    void setHidden(bool hidden);

    /// True when the names are equal (see the class).
    bool isEqual(const QMOptionCommand &other) const;
    /// A hash of the name, equal for equal commands.
    size_t hash() const;
    /// A new command with the same name and explanation and new lists of the same elements;
    /// the copy is not hidden.
    QMOptionCommandPtr copy() const;

    /// "Command: name", the explanation, the options and the sub-commands (each described in
    /// full, recursively), ending in "\n". Command trees are meant to be free of cycles; where a
    /// command recurs inside its own description (it is its own sub-command, directly or
    /// further down), the recurrence is written as its "Command: name" line alone, so a cycle
    /// never makes the text endless.
    QString description() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

/// isEqual(): equal names.
inline bool operator==(const QMOptionCommand &a, const QMOptionCommand &b)
{
    return a.isEqual(b);
}

/// The command's hash() mixed with `seed`, for QHash and QSet.
inline size_t qHash(const QMOptionCommand &command, size_t seed = 0)
{
    return command.hash() ^ seed;
}

/// True when both pointers are null, or both commands are present and equal.
QMF_CORE_EXPORT bool QMEqualCommands(const QMOptionCommandPtr &a, const QMOptionCommandPtr &b);
