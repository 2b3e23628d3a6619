#include "Qmf.h"

#include "CodecCommands.h"
#include "DateCommands.h"
#include "Definition.h"
#include "ErrorCommands.h"
#include "HttpCommand.h"
#include "KeychainCommand.h"
#include "ListCommands.h"
#include "ObserveCommand.h"
#include "OptionsCheck.h"
#include "ReachCommand.h"
#include "RunCommand.h"
#include "SearchCommands.h"
#include "StoreCommand.h"
#include "SysCommands.h"
#include "ToolCommand.h"
#include "Tour.h"
#include "TreeCommands.h"
#include "VersionCommands.h"

#include <QMFoundation/QMFoundationVersion.h>
#include <QMFoundation/options/QMOptionParser.h>

#include <QFile>
#include <QHash>
#include <QJsonDocument>

#include <algorithm>

namespace {

const QString toolName = QStringLiteral("qmf");

int usageError(QTextStream &err, const QString &message)
{
    err << toolName << ": " << message << Qt::endl;
    return 2;
}

int runCheck(Invocation &invocation)
{
    if (invocation.arguments().isEmpty())
        return invocation.usageError(QStringLiteral("options check needs a SPEC.json"));
    const QString specPath = invocation.arguments().first();
    const std::optional<QByteArray> json = invocation.readInput(specPath);
    if (!json)
        return 2;
    QString error;
    const std::optional<QMOptionParserPtr> parser = Definition::parserFromJson(*json, &error);
    if (!parser)
        return invocation.usageError(QStringLiteral("%1: %2").arg(specPath, error));
    const QJsonObject report = OptionsCheck::report(
            **parser, OptionsCheck::splitGroups(invocation.arguments().mid(1)));
    invocation.out << QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Indented));
    invocation.out.flush();
    return 0;
}

// Every command of the tool. A new command adds its entry here; its sub-commands come with it.
QList<ToolCommand> toolCommands()
{
    QList<ToolCommand> commands {
            ToolCommand::make(
                    QStringLiteral("tour"), {}, {},
                    QStringLiteral("Take a guided tour of the library on bundled sample data"),
                    [](Invocation &invocation) {
                        if (!invocation.arguments().isEmpty())
                            return invocation.usageError(QStringLiteral("tour takes no arguments"));
                        Tour::run(invocation.out);
                        return 0;
                    }),
            ToolCommand::make(
                    QStringLiteral("options"), {}, {},
                    QStringLiteral(
                            "Try out a command-line design: options check SPEC.json [ARG...]"),
                    {},
                    {ToolCommand::make(
                            QStringLiteral("check"), {},
                            {QStringLiteral("SPEC.json"), QStringLiteral("ARG...")},
                            QStringLiteral(
                                    "Usage: qmf options check SPEC.json [ARG...] [--next "
                                    "ARG...]...\n\n"
                                    "Builds an option parser from the JSON definition in "
                                    "SPEC.json and prints,\n"
                                    "as JSON, what it makes of each group of arguments. Groups "
                                    "are separated\n"
                                    "by --next and parsed one after another on the same parser. "
                                    "Everything\n"
                                    "after SPEC.json is handed to that parser untouched."),
                            runCheck)}),
            VersionCommands::command(),
    };
    commands += CodecCommands::commands();
    commands += SearchCommands::commands();
    commands += ListCommands::commands();
    commands.append(RunCommand::command());
    commands.append(DateCommands::command());
    commands.append(ErrorCommands::command());
    commands += TreeCommands::commands();
    commands.append(HttpCommand::command());
    commands.append(ObserveCommand::command());
    commands.append(SysCommands::command());
    commands.append(KeychainCommand::command());
    commands.append(ReachCommand::command());
    commands.append(StoreCommand::command());
    return commands;
}

void collectHandlers(const QList<ToolCommand> &commands,
                     QHash<const QMOptionCommand *, const ToolCommand *> &handlers)
{
    for (const ToolCommand &command : commands) {
        handlers.insert(command.command.get(), &command);
        collectHandlers(command.subCommands, handlers);
    }
}

} // namespace

Qmf::SplitArguments Qmf::splitArguments(const QStringList &arguments)
{
    SplitArguments split;
    bool sawCheck = false;
    bool sawRun = false;
    bool valueFollows = false; // the previous word is an option of run that takes a value
    QString previousWord; // the last word that is not an option
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            split.passedOn = arguments.mid(i + 1);
            break;
        }
        if (sawRun) {
            // run's PROGRAM and everything after it belong to the program.
            if (!valueFollows && !argument.startsWith(QLatin1Char('-'))) {
                split.passedOn = arguments.mid(i);
                break;
            }
            valueFollows = !valueFollows && RunCommand::takesValue(argument);
            split.parserArguments.append(argument);
            continue;
        }
        split.parserArguments.append(argument);
        if (argument.startsWith(QLatin1Char('-')))
            continue;
        if (sawCheck) { // SPEC.json: the rest belongs to the parser under test
            split.passedOn = arguments.mid(i + 1);
            break;
        }
        // "check" is the command only as the first word or after "options"; elsewhere it is
        // an argument of another command ("version compare check x").
        sawCheck = argument == QLatin1String("check")
                && (previousWord.isNull() || previousWord == QLatin1String("options"));
        sawRun = argument == QLatin1String("run") && previousWord.isNull();
        previousWord = argument;
    }
    return split;
}

int Qmf::run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    // Opened only when a command reads it (Invocation::readInput()), so that the error of a
    // closed standard input reaches the user from there.
    QFile input;
    return run(arguments, input, out, err);
}

namespace {

// The tool's usage: every command with the first line of its explanation. The rest of an
// explanation is the command's own help (qmf COMMAND --help), too long for a list of them all.
QString overview(const QMOptionPtr &version, const QList<ToolCommand> &commands)
{
    QMOptionCommandList summaries;
    for (const ToolCommand &command : commands) {
        const QString explanation = command.command->explanation();
        const QMOptionCommandPtr summary = QMOptionCommand::optionCommandWithName(
                command.command->name(), {}, {}, {}, explanation.left(explanation.indexOf(u'\n')));
        summary->setHidden(command.command->isHidden());
        summaries.append(summary);
    }
    return QMOptionParser::parserWithOptions({version}, summaries, toolName, {})->usage();
}

int runCommand(const QStringList &arguments, QIODevice &input, QTextStream &out, QTextStream &err)
{
    const QList<ToolCommand> commands = toolCommands();
    QHash<const QMOptionCommand *, const ToolCommand *> handlers;
    collectHandlers(commands, handlers);

    const QMOptionPtr version
            = QMOption::optionWithFlag(QStringLiteral("V"), QStringLiteral("version"),
                                       QStringLiteral("Print the library version and exit"),
                                       QString(), QMOptionTypeNone, false);
    QMOptionCommandList topLevel;
    for (const ToolCommand &command : commands)
        topLevel.append(command.command);
    const QMOptionParserPtr parser
            = QMOptionParser::parserWithOptions({version}, topLevel, toolName, {});

    const Qmf::SplitArguments split = Qmf::splitArguments(arguments);
    QMError error;
    const std::optional<QMOptionParserResultList> items
            = parser->parseArguments(split.parserArguments, &error);
    if (!items) {
        err << error.localizedDescription() << Qt::endl;
        // The description of a failed validation is the same whatever failed; the reason on
        // the next line says what actually did.
        if (const QString reason = parser->failureReason(); !reason.isNull())
            err << reason << Qt::endl;
        return 2;
    }
    const QString help = parser->help();
    if (!help.isNull()) {
        const bool forCommand = std::any_of(items->cbegin(), items->cend(),
                                            [](const auto &item) { return bool(item.command()); });
        out << (forCommand ? help : overview(version, commands)) << Qt::endl;
        return 0;
    }

    QMOptionCommandPtr command;
    QStringList positional;
    for (const QMOptionParserResultItem &item : *items) {
        if (item.command())
            command = item.command();
        else if (item.option() == version) {
            out << toolName << " (QMFoundation) " << QStringLiteral(QMFOUNDATION_VERSION_STRING)
                << Qt::endl;
            return 0;
        } else if (!item.argument().isNull())
            positional.append(item.argument());
    }

    if (!command) {
        if (!positional.isEmpty())
            return usageError(err,
                              QStringLiteral("unknown command \"%1\"\n%2")
                                      .arg(positional.first(), overview(version, commands)));
        out << overview(version, commands) << Qt::endl;
        return 0;
    }
    const ToolCommand *handler = handlers.value(command.get());
    if (!handler->run) {
        // A command that only groups others: show what it offers.
        err << command->description();
        err.flush();
        return 2;
    }
    Invocation invocation(*items, positional + split.passedOn, input, out, err);
    return handler->run(invocation);
}

} // namespace

int Qmf::run(const QStringList &arguments, QIODevice &input, QTextStream &out, QTextStream &err)
{
    const int status = runCommand(arguments, input, out, err);
    // Output that did not arrive is a failure whatever the command made of it: a full disk or
    // a closed descriptor must not pass for a result.
    QString reason;
    if (!Invocation::delivered(out, &reason)) {
        err << toolName << ": standard output: " << reason << Qt::endl;
        return 1;
    }
    err.flush();
    return status;
}
