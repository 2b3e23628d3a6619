#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/errors/QMError.h>
#include <QMFoundation/options/QMOption.h>
#include <QMFoundation/options/QMOptionCommand.h>
#include <QMFoundation/options/QMOptionParserResultItem.h>

#include <QString>
#include <QStringList>
#include <QVariant>

#include <memory>
#include <optional>

/// Error domain of QMOptionParser, "QMOptionParserErrorDomain".
QMF_CORE_EXPORT extern const QString QMOptionParserErrorDomain;

/// Error codes in QMOptionParserErrorDomain.
///
/// The error's user information holds only its localized description, a fixed text for each
/// code (below). What actually went wrong is told, in plain words, by the parser's
/// failureReason() after the failed parse, so that a tool can print both.
enum QMOptionParserErrorCode : qint64 {
    /// The items failed validation: a required option is missing, an option does not belong to
    /// the current command, or a command is not a sub-command of the one before it.
    ///
    /// The description is always "Error. Missing required options\n\nRequired options are:\n"
    /// followed by the list of the required options' descriptions, whatever the cause. The
    /// failure reason is always present and names the first cause met, checking the items in
    /// order and the required options last (see validateResult()):
    /// - "clean is not a sub-command of build": a command that is not in the sub-command list
    ///   of the command before it;
    /// - "-v is not an option of the command build": an option that is not one of the current
    ///   command's options (nor help). The option is named by its flag ("-v") when it has one,
    ///   else by its alias ("--verbose"): the result items do not record which form was typed;
    /// - "missing required option -o | --output", or "missing required options -o | --output,
    ///   --level" when several are missing: every missing required option, in configuration
    ///   order, named as in the usage text ("-o | --output", "--level", "-x").
    QMOptionParserErrorInvalidResult = 1,
    /// An argument beginning with "-" matched no option.
    ///
    /// The description is "Error. Unknown option: " followed by the argument as typed. When the
    /// argument names a global option that is not looked at because the current command has
    /// options of its own, the failure reason says so, naming the argument as typed: "--verbose
    /// is not an option of the command build". Otherwise there is no failure reason.
    QMOptionParserErrorUnknownOption = 2,
};

class QMOptionParser;
/// A shared parser.
using QMOptionParserPtr = std::shared_ptr<QMOptionParser>;

/// Turns a command line into an ordered list of result items.
///
/// Configured once at construction with the global options, the commands (each with its own
/// options and optional sub-commands), the executable name and the positional argument names.
/// The configuration is captured then and never rebuilt: the lookup tables (options by flag and
/// alias, commands by name, each command's options), the required options and the usage text.
/// Changing an option or a command afterwards does not reach them, so configure everything
/// before constructing the parser. Validation does read each command's option and sub-command
/// lists as they are when parsing.
///
/// Parsing walks the arguments left to right, then validates the result against the command
/// structure and the required options. There is no end-of-options marker: every argument that
/// begins with "-" is taken as an option. A parser is used from one thread at a time.
class QMF_CORE_EXPORT QMOptionParser
{
public:
    /// Throws QMInternalInconsistencyException("Error. Invalid Options.") when a global option
    /// has neither flag nor alias, a flag that is not exactly one character, or an alias
    /// shorter than two characters.
    static QMOptionParserPtr parserWithOptions(const QMOptionList &options,
                                               const QMOptionCommandList &commands,
                                               const QString &executableName,
                                               const QStringList &argumentNames);

    /// A parser of the global `options` and the top-level `commands`; `executableName` and
    /// `argumentNames` go into the usage text. The configuration is captured here (see the class);
    /// invalid global options throw as with parserWithOptions().
    QMOptionParser(const QMOptionList &options, const QMOptionCommandList &commands,
                   const QString &executableName, const QStringList &argumentNames);
    QMOptionParser() = delete;
    QMOptionParser(const QMOptionParser &) = delete;
    QMOptionParser &operator=(const QMOptionParser &) = delete;
    ~QMOptionParser();

    /// The configured global options in order, later duplicates dropped.
    QMOptionList options() const;
    /// The required global options, in no particular order.
    QMOptionList requiredOptions() const;
    /// The configured top-level commands in order, later duplicates (same name) dropped.
    QMOptionCommandList commands() const;

    /// Read afresh by every parse; the usage text keeps the name it was built with.
    QString executableName() const;
    /// Sets the executable name for the next parse.
    void setExecutableName(const QString &executableName);
    /// The positional argument names given at construction or set since.
    QStringList argumentNames() const;
    /// Sets the positional argument names; the usage text keeps the ones it was built with.
    void setArgumentNames(const QStringList &argumentNames);

    /// Separator of list values; reads as "," whenever it is unset (null).
    QString listSeparator() const;
    /// Sets the list separator; a null QString restores ",".
    void setListSeparator(const QString &listSeparator);

    /// The built-in "-h" / "--help" option, recognised everywhere; made on first use.
    QMOptionPtr helpOption() const;
    /// The usage text built at construction.
    QString usage() const;
    /// After a successful parse that contained the help option: the description of the last
    /// command before it, or the usage text when there was none. Otherwise a null QString.
    QString help() const;
    /// The items of the last successful parse, or std::nullopt before the first one.
    std::optional<QMOptionParserResultList> lastResults() const;
    /// Why the most recent parse failed, in plain words ("-v is not an option of the command
    /// build"; every text is listed under QMOptionParserErrorCode). A null QString after a
    /// successful parse, before the first parse, and after an unknown option that needs no
    /// more words than the error's description.
    QString failureReason() const;

    /// Splits `string` at every single space and parses the pieces.
    std::optional<QMOptionParserResultList> parseString(const QString &string,
                                                        QMError *error = nullptr);
    /// Parses an argument vector. On failure returns std::nullopt, sets `*error` (when given;
    /// see QMOptionParserErrorCode for the descriptions), sets failureReason() and leaves
    /// lastResults() unchanged.
    ///
    /// The first argument is dropped only when it is exactly executableName(); the program path
    /// that QCoreApplication::arguments() starts with usually is not, so pass
    /// `QCoreApplication::arguments().mid(1)` (or set the executable name to that path).
    std::optional<QMOptionParserResultList> parseArguments(const QStringList &arguments,
                                                           QMError *error = nullptr);

    // The steps of configuration and parsing, public so that hosts and tests can use them.

    /// The usage entry of one option, " [-f | --flag <value>]", or a null QString.
    QString usageStringForOption(const QMOption &option) const;
    /// "name\t\texplanation", or the name alone.
    QString usageStringForCommand(const QMOptionCommand &command) const;
    /// The configured command (top level or sub-command) named `argument`, or null.
    QMOptionCommandPtr commandForArgument(const QString &argument) const;
    /// The option that `argument` ("-f", "--flag") names: after `command`, among that command's
    /// options when it has any, else among the global ones; the help option anywhere. Null when
    /// there is none.
    QMOptionPtr optionForArgument(const QString &argument, const QMOptionCommandPtr &command) const;
    /// `argument` converted as `option`'s type asks (see QMOptionType): a QString, a double, a
    /// QStringList or a QList<double>, or an invalid QVariant.
    QVariant valueForArgument(const QString &argument, const QMOption &option) const;
    /// Reads a leading decimal floating-point number ("1e3x" gives 1000); 0 when there is none.
    static double numberForArgument(const QString &argument);
    /// numberForArgument() when its integer part is 0 or 1, else an invalid QVariant.
    static QVariant booleanForArgument(const QString &argument);
    /// `string` without leading and trailing Unicode white space.
    static QString trimString(const QString &string);
    /// Whether `result` is acceptable: after a command, only its sub-commands (when it has a
    /// sub-command list) and only its options and help; and every required option present.
    bool validateResult(const QMOptionParserResultList &result) const;
    /// As validateResult(result); when the result is not acceptable and `reason` is not null,
    /// `*reason` receives the cause, as failureReason() gives it after a failed parse.
    /// `*reason` is left alone when the result is acceptable.
    bool validateResult(const QMOptionParserResultList &result, QString *reason) const;
    /// Whether every option has a flag or an alias, a flag of exactly one character and an alias of
    /// at least two; false for a null option.
    static bool validateOptions(const QMOptionList &options);
    /// Every configured command and, depth first, its sub-commands, each name once.
    QMOptionCommandList allCommandsIncludingSubcommands() const;
    /// Every sub-command below `command`, depth first, each once (cycles are followed once).
    static QMOptionCommandList allSubcommandsForCommand(const QMOptionCommand &command);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
