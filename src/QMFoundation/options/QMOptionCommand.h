#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/options/QMOption.h>

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QMOptionCommand;
using QMOptionCommandPtr = std::shared_ptr<QMOptionCommand>;
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
    static QMOptionCommandPtr optionCommandWithName(
            const QString &name, const QMOptionList &options, const QStringList &argumentNames,
            const std::optional<QMOptionCommandList> &subCommands, const QString &explanation);

    QMOptionCommand(const QString &name, const QMOptionList &options,
                    const QStringList &argumentNames,
                    const std::optional<QMOptionCommandList> &subCommands,
                    const QString &explanation);
    QMOptionCommand() = delete;
    QMOptionCommand(const QMOptionCommand &) = delete;
    QMOptionCommand &operator=(const QMOptionCommand &) = delete;
    ~QMOptionCommand();

    QString name() const;
    void setName(const QString &name);
    QMOptionList options() const;
    void setOptions(const QMOptionList &options);
    /// Names of the command's positional arguments, fixed at construction.
    QStringList argumentNames() const;
    std::optional<QMOptionCommandList> subCommands() const;
    void setSubCommands(const std::optional<QMOptionCommandList> &subCommands);
    QString explanation() const;
    void setExplanation(const QString &explanation);
    /// Hidden commands are left out of the usage text's command list. False at construction.
    bool isHidden() const;
    void setHidden(bool hidden);

    bool isEqual(const QMOptionCommand &other) const;
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

inline bool operator==(const QMOptionCommand &a, const QMOptionCommand &b)
{
    return a.isEqual(b);
}

inline size_t qHash(const QMOptionCommand &command, size_t seed = 0)
{
    return command.hash() ^ seed;
}

/// True when both pointers are null, or both commands are present and equal.
QMF_CORE_EXPORT bool QMEqualCommands(const QMOptionCommandPtr &a, const QMOptionCommandPtr &b);
