#include "QMFoundation/options/QMOptionParser_p.h"
#include "QMFoundation/options/QMOption_p.h"
#include <QMFoundation/options/QMOptionParser.h>

#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/errors/QMObjectDescribing.h>

#include <QCoreApplication>
#include <QHash>
#include <QSet>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

const QString QMOptionParserErrorDomain = QStringLiteral("QMOptionParserErrorDomain");

using QMOptionParserSupport::appendUsageNames;
using QMOptionParserSupport::CommandKey;
using QMOptionParserSupport::OptionTable;

namespace {

// An option as a member of a hash set, by option equality. Only for sets that live within one
// call: an option changed while in the set would sit in the wrong bucket.
struct OptionKey
{
    const QMOption *option;

    friend bool operator==(const OptionKey &a, const OptionKey &b)
    {
        return a.option->isEqual(*b.option);
    }
};

size_t qHash(const OptionKey &key, size_t seed = 0)
{
    return key.option->hash() ^ seed;
}

bool containsOption(const QMOptionList &options, const QMOption &option)
{
    for (const QMOptionPtr &candidate : options) {
        if (candidate && candidate->isEqual(option))
            return true;
    }
    return false;
}

bool containsCommand(const QMOptionCommandList &commands, const QMOptionCommand &command)
{
    for (const QMOptionCommandPtr &candidate : commands) {
        if (candidate && candidate->isEqual(command))
            return true;
    }
    return false;
}

// The state of one walk down a command tree.
struct SubcommandWalk
{
    QSet<const QMOptionCommand *> path; // the commands being walked, outermost first
    QSet<const QMOptionCommand *> done; // commands whose sub-commands have all been collected
    QSet<CommandKey> seen;
    QMOptionCommandList result;
};

void collectSubcommands(const QMOptionCommand &command, SubcommandWalk &walk)
{
    const std::optional<QMOptionCommandList> subCommands = command.subCommands();
    if (!subCommands)
        return;
    walk.path.insert(&command);
    for (const QMOptionCommandPtr &subCommand : *subCommands) {
        if (!subCommand)
            continue;
        const CommandKey key {subCommand->name()};
        if (!walk.seen.contains(key)) {
            walk.seen.insert(key);
            walk.result.append(subCommand);
        }
    }
    for (const QMOptionCommandPtr &subCommand : *subCommands) {
        // A command shared by several parents is walked once: everything below it is collected
        // by then, so walking it again would add nothing and take time exponential in the
        // depth. Trees are meant to be acyclic; a command that contains itself is not followed
        // again so that a faulty configuration cannot recurse forever.
        if (subCommand && !walk.path.contains(subCommand.get())
            && !walk.done.contains(subCommand.get()))
            collectSubcommands(*subCommand, walk);
    }
    walk.path.remove(&command);
    walk.done.insert(&command);
}

// A key for looking `text` up in a table without copying it: the QString shares the characters
// (QString::fromRawData()), so it must not outlive them. A null text gives a null key.
QString lookupKey(QStringView text)
{
    return text.isNull() ? QString() : QString::fromRawData(text.data(), text.size());
}

// The error's user information holds only the localized description; the cause in plain words
// is the parser's failureReason().
QMError makeError(QMOptionParserErrorCode code, const QString &description)
{
    return QMError(QMOptionParserErrorDomain, code, {{QMLocalizedDescriptionKey, description}});
}

// An option the way a user would most likely have written it: "-f", else "--alias".
QString writtenName(const QMOption &option)
{
    if (!option.flag().isEmpty())
        return QLatin1Char('-') + option.flag();
    if (!option.alias().isEmpty())
        return QStringLiteral("--") + option.alias();
    return QCoreApplication::translate("QMOptionParser", "an option without a name");
}

QString notAnOptionOfCommand(const QString &option, const QMOptionCommand &command)
{
    return QCoreApplication::translate("QMOptionParser", "%1 is not an option of the command %2")
            .arg(option, command.name());
}

} // namespace

QMOptionParserPtr QMOptionParser::parserWithOptions(const QMOptionList &options,
                                                    const QMOptionCommandList &commands,
                                                    const QString &executableName,
                                                    const QStringList &argumentNames)
{
    return std::make_shared<QMOptionParser>(options, commands, executableName, argumentNames);
}

QMOptionParser::QMOptionParser(const QMOptionList &options, const QMOptionCommandList &commands,
                               const QString &executableName, const QStringList &argumentNames)
    : d(std::make_unique<Private>())
{
    QMAssert(validateOptions(options), QStringLiteral("Error. Invalid Options."));

    d->executableName = executableName;
    d->argumentNames = argumentNames;

    // Hash sets keep configuration linear: a generated definition may hold thousands of options.
    // An insertion that leaves the set's size alone met an equal option: one hash per option.
    // The sets are gone before the tables are built, which keeps the memory peak down.
    {
        // Without duplicates, the usual case, the configured options share the given list.
        QSet<OptionKey> seenOptions;
        seenOptions.reserve(options.size());
        bool dropped = false;
        for (qsizetype i = 0; i < options.size(); ++i) {
            const qsizetype seenBefore = seenOptions.size();
            seenOptions.insert(OptionKey {options.at(i).get()});
            const bool duplicate = seenOptions.size() == seenBefore;
            if (duplicate && !dropped)
                d->configuredOptions = options.first(i);
            else if (!duplicate && dropped)
                d->configuredOptions.append(options.at(i));
            dropped = dropped || duplicate;
        }
        if (!dropped)
            d->configuredOptions = options;
        QSet<CommandKey> seenCommands;
        for (const QMOptionCommandPtr &command : commands) {
            if (command && !seenCommands.contains(CommandKey {command->name()})) {
                seenCommands.insert(CommandKey {command->name()});
                d->configuredCommands.append(command);
            }
        }
    }

    // Configuration happens once: nothing rebuilds the tables afterwards.
    d->configure(*this);
}

QMOptionParser::~QMOptionParser() = default;

QMOptionList QMOptionParser::options() const
{
    return d->configuredOptions;
}

QMOptionList QMOptionParser::requiredOptions() const
{
    return d->configuredRequiredOptions;
}

QMOptionCommandList QMOptionParser::commands() const
{
    return d->configuredCommands;
}

QString QMOptionParser::executableName() const
{
    return d->executableName;
}

void QMOptionParser::setExecutableName(const QString &executableName)
{
    d->executableName = executableName;
}

QStringList QMOptionParser::argumentNames() const
{
    return d->argumentNames;
}

void QMOptionParser::setArgumentNames(const QStringList &argumentNames)
{
    d->argumentNames = argumentNames;
}

QString QMOptionParser::listSeparator() const
{
    return d->listSeparator.isNull() ? QStringLiteral(",") : d->listSeparator;
}

void QMOptionParser::setListSeparator(const QString &listSeparator)
{
    d->listSeparator = listSeparator;
}

QMOptionPtr QMOptionParser::helpOption() const
{
    if (!d->helpOption) {
        // The explanation is the empty text rather than none, so that the help option's
        // description still ends in its (empty) explanation line.
        d->helpOption = QMOption::optionWithFlag(QStringLiteral("h"), QStringLiteral("help"),
                                                 QString(QLatin1String("")), QString(),
                                                 QMOptionTypeNone, false);
    }
    return d->helpOption;
}

std::optional<QMOptionParserResultList> QMOptionParser::lastResults() const
{
    return d->lastResults;
}

QString QMOptionParser::failureReason() const
{
    return d->failureReason;
}

std::optional<QMOptionParserResultList> QMOptionParser::parseString(const QString &string,
                                                                    QMError *error)
{
    // No quoting and no escaping: every space separates, so two spaces leave an empty argument.
    return parseArguments(string.split(QLatin1Char(' '), Qt::KeepEmptyParts), error);
}

std::optional<QMOptionParserResultList> QMOptionParser::parseArguments(const QStringList &arguments,
                                                                       QMError *error)
{
    QMOptionParserResultList result;
    result.reserve(arguments.size());
    const QMOptionCommand *currentCommand = nullptr;
    const OptionTable *currentCommandOptions = nullptr;
    const QMOptionPtr *waitingOption = nullptr;

    qsizetype start = 0;
    if (!arguments.isEmpty() && QMEqualStrings(arguments.first(), d->executableName))
        start = 1;

    for (qsizetype i = start; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);

        if (const QMOptionCommandPtr *command = d->findCommand(argument)) {
            // A waiting option keeps waiting: its value may follow the command word.
            currentCommand = command->get();
            currentCommandOptions = d->optionTableFor(*currentCommand);
            result.append(QMOptionParserResultItem::resultWithCommand(*command));
        } else if (const QMOptionPtr *option = d->findOption(argument, currentCommandOptions)) {
            if (waitingOption && !(*waitingOption)->isEqual(**option))
                result.append(QMOptionParserResultItem::resultWithOption(*waitingOption));
            waitingOption = nullptr;
            if ((*option)->type() != QMOptionTypeNone)
                waitingOption = option;
            else
                result.append(QMOptionParserResultItem::resultWithOption(*option));
        } else if (argument.startsWith(QLatin1Char('-'))) {
            // A global option is not looked at after a command with options of its own; saying
            // so is what a user needs who finds the option in the usage text.
            d->failureReason = currentCommand && d->findOption(argument, nullptr)
                    ? notAnOptionOfCommand(argument, *currentCommand)
                    : QString();
            QMSetError(error,
                       makeError(QMOptionParserErrorUnknownOption,
                                 QCoreApplication::translate("QMOptionParser",
                                                             "Error. Unknown option: %1")
                                         .arg(argument)));
            return std::nullopt;
        } else if (waitingOption) {
            result.append(QMOptionParserResultItem::resultWithOption(
                    *waitingOption, valueForArgument(argument, **waitingOption)));
            waitingOption = nullptr;
        } else {
            result.append(QMOptionParserResultItem::resultWithArgument(argument));
        }
    }

    if (waitingOption)
        result.append(QMOptionParserResultItem::resultWithOption(*waitingOption));

    QString reason;
    if (!validateResult(result, &reason)) {
        d->failureReason = reason;
        if (error) {
            QStringList descriptions;
            for (const QMOptionPtr &option : std::as_const(d->configuredRequiredOptions))
                descriptions.append(option->description());
            const QString list
                    = QMObjectDescribing::prettyDescriptionForObject(QVariant(descriptions));
            // Whatever made validation fail, the message names the required options (the one
            // piece of advice that always applies); failureReason() says what actually failed.
            *error = makeError(QMOptionParserErrorInvalidResult,
                               QCoreApplication::translate("QMOptionParser",
                                                           "Error. Missing required options\n"
                                                           "\nRequired options are:\n%1")
                                       .arg(list));
        }
        return std::nullopt;
    }

    d->failureReason = QString();
    d->lastResults = result;
    return result;
}

QMOptionCommandPtr QMOptionParser::commandForArgument(const QString &argument) const
{
    const QMOptionCommandPtr *command = d->findCommand(argument);
    return command ? *command : nullptr;
}

QMOptionPtr QMOptionParser::optionForArgument(const QString &argument,
                                              const QMOptionCommandPtr &command) const
{
    const QMOptionPtr *option
            = d->findOption(argument, command ? d->optionTableFor(*command) : nullptr);
    return option ? *option : nullptr;
}

// The lookups hand out pointers into the tables and the lists the tables point into, which
// nothing changes after configuration, so that the parse loop copies no shared pointer it does
// not keep.

const QMOptionCommandPtr *QMOptionParser::Private::findCommand(const QString &argument) const
{
    const auto found = commandLookupTable.constFind(CommandKey {lookupKey(argument)});
    return found != commandLookupTable.cend() ? &found.value() : nullptr;
}

const OptionTable *QMOptionParser::Private::optionTableFor(const QMOptionCommand &command) const
{
    const auto found = commandOptionsLookupTable.constFind(CommandKey {command.name()});
    return found != commandOptionsLookupTable.cend() ? &found.value() : nullptr;
}

const QMOptionPtr *QMOptionParser::Private::findOption(const QString &argument,
                                                       const OptionTable *commandTable) const
{
    qsizetype dashes = 0;
    if (argument.startsWith(QLatin1String("--")))
        dashes = 2;
    else if (argument.startsWith(QLatin1Char('-')))
        dashes = 1;
    else
        return nullptr;
    const QString key = lookupKey(QStringView(argument).sliced(dashes));

    const QMOptionPtr *found = optionLookupTable.value(key);
    if (found && *found == helpOption)
        return found;

    // After a command with options of its own only those are looked at, never the globals.
    if (commandTable) {
        return commandTable->value(key);
    }
    return found;
}

bool QMOptionParser::validateResult(const QMOptionParserResultList &result) const
{
    return validateResult(result, nullptr);
}

bool QMOptionParser::validateResult(const QMOptionParserResultList &result, QString *reason) const
{
    const QMOption &help = *helpOption(); // owned by the parser
    // The items are read in place (QMOptionParser is a friend of the item class): the getters
    // return copies, and counting references is much of the cost of a short validation.
    const QMOptionCommand *currentCommand = nullptr;
    // The seen options serve only the check of the required ones.
    const bool checksRequired = !d->configuredRequiredOptions.isEmpty();
    QSet<OptionKey> seenOptions;
    if (checksRequired)
        seenOptions.reserve(result.size());

    for (const QMOptionParserResultItem &item : result) {
        if (const QMOptionCommand *command = item.m_command.get()) {
            if (currentCommand) {
                const std::optional<QMOptionCommandList> allowed = currentCommand->subCommands();
                if (allowed && !containsCommand(*allowed, *command)) {
                    if (reason) {
                        *reason = QCoreApplication::translate("QMOptionParser",
                                                              "%1 is not a sub-command of %2")
                                          .arg(command->name(), currentCommand->name());
                    }
                    return false;
                }
            }
            currentCommand = command;
        }
        if (const QMOption *option = item.m_option.get()) {
            if (currentCommand && !containsOption(currentCommand->options(), *option)
                && !option->isEqual(help)) {
                if (reason)
                    *reason = notAnOptionOfCommand(writtenName(*option), *currentCommand);
                return false;
            }
            if (checksRequired)
                seenOptions.insert(OptionKey {option});
        }
    }

    QStringList missing;
    for (const QMOptionPtr &required : std::as_const(d->configuredRequiredOptions)) {
        if (!seenOptions.contains(OptionKey {required.get()})) {
            if (!reason)
                return false;
            QString names;
            appendUsageNames(names, required->flag(), required->alias());
            missing.append(names);
        }
    }
    if (missing.isEmpty())
        return true;
    *reason = missing.size() == 1
            ? QCoreApplication::translate("QMOptionParser", "missing required option %1")
                      .arg(missing.first())
            : QCoreApplication::translate("QMOptionParser", "missing required options %1")
                      .arg(missing.join(QStringLiteral(", ")));
    return false;
}

bool QMOptionParser::validateOptions(const QMOptionList &options)
{
    for (const QMOptionPtr &option : options) {
        if (!option)
            return false;
        const QString &flag = QMOptionData::of(*option).flag;
        const QString &alias = QMOptionData::of(*option).alias;
        if (flag.isNull() && alias.isNull())
            return false;
        if (!flag.isNull() && flag.size() != 1)
            return false;
        if (!alias.isNull() && alias.size() < 2)
            return false;
    }
    return true;
}

QMOptionCommandList QMOptionParser::allCommandsIncludingSubcommands() const
{
    QMOptionCommandList result;
    QSet<CommandKey> seen;
    const auto add = [&](const QMOptionCommandPtr &command) {
        const CommandKey key {command->name()};
        if (!seen.contains(key)) {
            seen.insert(key);
            result.append(command);
        }
    };
    for (const QMOptionCommandPtr &command : std::as_const(d->configuredCommands)) {
        add(command);
        for (const QMOptionCommandPtr &subCommand : allSubcommandsForCommand(*command))
            add(subCommand);
    }
    return result;
}

QMOptionCommandList QMOptionParser::allSubcommandsForCommand(const QMOptionCommand &command)
{
    SubcommandWalk walk;
    collectSubcommands(command, walk);
    return walk.result;
}

void QMOptionParser::Private::configure(const QMOptionParser &q)
{
    configureLookupTables(q);
    configureRequiredOptions();
    configureUsageString();
}

void QMOptionParser::Private::configureLookupTables(const QMOptionParser &q)
{
    // Sized for exactly its names: growing a table of thousands of names rehashes it several
    // times, and one sized for more names than it gets is mostly empty storage.
    qsizetype names = 2; // the help option's
    for (const QMOptionPtr &option : std::as_const(configuredOptions)) {
        const QMOptionData &fields = QMOptionData::of(*option);
        names += qsizetype(!fields.flag.isNull()) + qsizetype(!fields.alias.isNull());
    }
    optionLookupTable.reserve(names);
    for (const QMOptionPtr &option : std::as_const(configuredOptions)) {
        const QMOptionData &fields = QMOptionData::of(*option);
        if (!fields.flag.isNull())
            optionLookupTable.insert(fields.flag, &option);
        if (!fields.alias.isNull())
            optionLookupTable.insert(fields.alias, &option);
    }
    // Entered last, so that "-h" and "--help" always mean help.
    const QMOptionData &help = QMOptionData::of(*q.helpOption());
    optionLookupTable.insert(help.flag, &helpOption);
    optionLookupTable.insert(help.alias, &helpOption);

    for (const QMOptionCommandPtr &command : q.allCommandsIncludingSubcommands()) {
        commandLookupTable.insert(CommandKey {command->name()}, command);
        const QMOptionList options = command->options();
        if (options.isEmpty())
            continue;
        // The table points into this copy, which shares the command's list and, unlike the
        // command's own, never changes.
        commandOptionLists.append(options);
        OptionTable table;
        for (const QMOptionPtr &option : std::as_const(commandOptionLists).last()) {
            if (!option)
                continue;
            const QMOptionData &fields = QMOptionData::of(*option);
            if (!fields.flag.isEmpty())
                table.insert(fields.flag, &option);
            if (!fields.alias.isEmpty())
                table.insert(fields.alias, &option);
        }
        commandOptionsLookupTable.insert(CommandKey {command->name()}, table);
    }
}

void QMOptionParser::Private::configureRequiredOptions()
{
    for (const QMOptionPtr &option : std::as_const(configuredOptions)) {
        if (option->isRequired())
            configuredRequiredOptions.append(option);
    }
}
