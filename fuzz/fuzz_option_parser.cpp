// Fuzzes QMOptionParser with arbitrary argument vectors over command trees of any shape.
//
// Input layout: the first two bytes shape the configuration (which global options are
// required or hidden, the value types of two options, the list separator, whether "build"
// restricts its sub-commands). The low three bits of the third byte give a number of link
// bytes that follow; each adds one command of a fixed pool as a sub-command of another, so
// trees share sub-commands and contain cycles (a contract violation that must still never
// crash or hang). The rest is the argument vector, split at every NUL or line feed and decoded
// as UTF-8. Every input is parsed twice (a prefix of the arguments, then all of them) so that
// lastResults() is checked across a success and a failure.

#include <QMFoundation/options/QMOptionParser.h>

#include <QSet>

#include <algorithm>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

QMOptionPtr makeOption(const char *flag, const char *alias, quint64 type, bool required)
{
    return QMOption::optionWithFlag(flag ? QString::fromLatin1(flag) : QString(),
                                    alias ? QString::fromLatin1(alias) : QString(),
                                    QStringLiteral("Explanation"), QString(), type, required);
}

QMOptionCommandPtr makeCommand(const char *name, const QMOptionList &options,
                               const std::optional<QMOptionCommandList> &subCommands)
{
    return QMOptionCommand::optionCommandWithName(QString::fromLatin1(name), options, {},
                                                  subCommands, QStringLiteral("Explanation"));
}

struct Configuration
{
    QMOptionList globals;
    QMOptionCommandList commands;
    QMOptionCommandList pool; // every command, for links and for checks
    QSet<const QMOption *> knownOptions;

    Configuration(uint8_t shape, uint8_t types, const uint8_t *links, size_t linkCount)
    {
        globals = {
                makeOption("v", "verbose", QMOptionTypeNone, shape & 0x01),
                makeOption("o", "output", QMOptionTypeString, shape & 0x02),
                makeOption("n", "number", QMOptionTypeNumber, false),
                makeOption("b", nullptr, QMOptionTypeBoolean, false),
                makeOption(nullptr, "list", QMOptionTypeStringList, false),
                makeOption("m", nullptr, QMOptionTypeNumberList, false),
                // Two options whose type, and so their behaviour, comes from the input.
                makeOption("x", "extra", types & 0x07, shape & 0x04),
                makeOption("y", nullptr, (types >> 3) & 0x0f, false),
                // Shadowed by the help option.
                makeOption("h", "host", QMOptionTypeString, false),
        };
        globals[1]->setHidden(shape & 0x08);

        const QMOptionCommandPtr leaf
                = makeCommand("leaf", {makeOption("l", nullptr, 5, false)}, QMOptionCommandList {});
        const QMOptionCommandPtr all = makeCommand("all", {}, std::nullopt);
        const QMOptionCommandList buildSubs {all, leaf};
        const QMOptionCommandPtr build = makeCommand(
                "build",
                {makeOption("q", "quiet", QMOptionTypeNone, false), globals[1],
                 makeOption("j", "jobs", QMOptionTypeNumber, false)},
                (shape & 0x10) ? std::optional<QMOptionCommandList>(buildSubs) : std::nullopt);
        const QMOptionCommandPtr clean = makeCommand("clean", {}, std::nullopt);
        // A second "all" under "deploy": it is found only when "build" lists no sub-commands,
        // since the first "all" in tree order wins everywhere.
        const QMOptionCommandPtr deployAll
                = makeCommand("all", {makeOption("f", nullptr, 0, false)}, std::nullopt);
        const QMOptionCommandPtr deploy
                = makeCommand("deploy", {makeOption("t", "target", QMOptionTypeStringList, false)},
                              QMOptionCommandList {deployAll});
        clean->setHidden(shape & 0x20);
        commands = {build, clean, deploy};
        pool = {build, clean, deploy, all, leaf, deployAll};

        for (size_t i = 0; i < linkCount; ++i) {
            const QMOptionCommandPtr &parent = pool[(links[i] & 0x0f) % pool.size()];
            const QMOptionCommandPtr &child = pool[(links[i] >> 4) % pool.size()];
            QMOptionCommandList subCommands
                    = parent->subCommands().value_or(QMOptionCommandList {});
            subCommands.append(child);
            parent->setSubCommands(subCommands);
        }

        for (const QMOptionPtr &option : std::as_const(globals))
            knownOptions.insert(option.get());
        for (const QMOptionCommandPtr &command : std::as_const(pool))
            for (const QMOptionPtr &option : command->options())
                knownOptions.insert(option.get());
    }

    // Links may have made cycles of shared pointers; break them so nothing leaks.
    ~Configuration()
    {
        for (const QMOptionCommandPtr &command : std::as_const(pool))
            command->setSubCommands(std::nullopt);
    }
};

// Every walk of a command tree finishes, however the tree is linked.
void checkTrees(const QMOptionParser &parser, const Configuration &configuration)
{
    QSet<QString> names;
    for (const QMOptionCommandPtr &command : parser.allCommandsIncludingSubcommands()) {
        check(!names.contains(command->name()));
        names.insert(command->name());
        check(parser.commandForArgument(command->name()) == command);
    }
    // Everything below a top-level command is among the parser's commands.
    for (const QMOptionCommandPtr &command : parser.commands()) {
        for (const QMOptionCommandPtr &subCommand :
             QMOptionParser::allSubcommandsForCommand(*command))
            check(names.contains(subCommand->name()));
    }
    for (const QMOptionCommandPtr &command : configuration.pool) {
        const QString description = command->description();
        check(description.startsWith(QStringLiteral("Command: ") + command->name()));
        check(description.endsWith(QLatin1Char('\n')));
    }
}

void checkValue(const QMOptionParserResultItem &item)
{
    const QVariant value = item.value();
    switch (item.option()->type()) {
    case QMOptionTypeString:
        check(value.metaType() == QMetaType::fromType<QString>());
        check(value.toString() == value.toString().trimmed());
        break;
    case QMOptionTypeNumber:
        check(value.metaType() == QMetaType::fromType<double>());
        break;
    case QMOptionTypeBoolean:
        check(!value.isValid() || value.metaType() == QMetaType::fromType<double>());
        break;
    case QMOptionTypeStringList:
        check(value.metaType() == QMetaType::fromType<QStringList>());
        break;
    case QMOptionTypeNumberList:
        check(value.metaType() == QMetaType::fromType<QList<double>>());
        break;
    default:
        check(!value.isValid());
        break;
    }
}

void checkResult(const QMOptionParser &parser, const Configuration &configuration,
                 const QMOptionParserResultList &result)
{
    for (const QMOptionParserResultItem &item : result) {
        switch (item.kind()) {
        case QMOptionParserResultItem::Kind::Command:
            check(parser.commandForArgument(item.command()->name()) == item.command());
            break;
        case QMOptionParserResultItem::Kind::Option:
            check(configuration.knownOptions.contains(item.option().get())
                  || item.option() == parser.helpOption());
            break;
        case QMOptionParserResultItem::Kind::OptionWithValue:
            check(configuration.knownOptions.contains(item.option().get()));
            check(item.option()->type() != QMOptionTypeNone);
            checkValue(item);
            break;
        case QMOptionParserResultItem::Kind::Argument:
            check(!item.argument().startsWith(QLatin1Char('-')));
            break;
        }
    }
    check(parser.validateResult(result));
}

bool sameItems(const QMOptionParserResultList &a, const QMOptionParserResultList &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (a[i].option() != b[i].option() || a[i].command() != b[i].command()
            || a[i].argument() != b[i].argument() || a[i].kind() != b[i].kind())
            return false;
    }
    return true;
}

void parseAndCheck(QMOptionParser &parser, const Configuration &configuration,
                   const QStringList &arguments)
{
    const std::optional<QMOptionParserResultList> before = parser.lastResults();
    const QString helpBefore = parser.help();

    QMError error;
    const std::optional<QMOptionParserResultList> result = parser.parseArguments(arguments, &error);
    if (result) {
        check(error.isNull());
        checkResult(parser, configuration, *result);
        check(parser.lastResults() && sameItems(*parser.lastResults(), *result));
    } else {
        check(error.domain() == QMOptionParserErrorDomain);
        check(error.code() == QMOptionParserErrorInvalidResult
              || error.code() == QMOptionParserErrorUnknownOption);
        // The error holds only its description; the parser says why. A failed validation
        // always has a reason, an unknown option only sometimes.
        check(error.userInfo().size() == 1);
        check(error.code() != QMOptionParserErrorInvalidResult
              || !parser.failureReason().isEmpty());
        if (error.code() == QMOptionParserErrorUnknownOption)
            check(error.localizedDescription().startsWith(
                    QStringLiteral("Error. Unknown option: -")));
        check(before.has_value() == parser.lastResults().has_value());
        if (before)
            check(sameItems(*before, *parser.lastResults()));
        check(parser.help() == helpBefore);
    }

    const QString help = parser.help();
    if (!help.isNull())
        check(help == parser.usage() || help.startsWith(QStringLiteral("Command: ")));

    for (const QString &argument : arguments) {
        (void)QMOptionParser::numberForArgument(argument);
        (void)QMOptionParser::booleanForArgument(argument);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    const uint8_t shape = data[0];
    const uint8_t types = data[1];
    const size_t linkCount = std::min<size_t>(data[2] & 0x07, size - 3);
    const uint8_t *links = data + 3;
    data += 3 + linkCount;
    size -= 3 + linkCount;

    QStringList arguments;
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == '\0' || data[i] == '\n') {
            arguments.append(QString::fromUtf8(reinterpret_cast<const char *>(data + start),
                                               qsizetype(i - start)));
            start = i + 1;
        }
    }

    const Configuration configuration(shape, types, links, linkCount);
    QMOptionParser parser(configuration.globals, configuration.commands, QStringLiteral("tool"),
                          {QStringLiteral("input")});
    if (shape & 0x40)
        parser.setListSeparator(QStringLiteral(";"));
    if (shape & 0x80)
        parser.setListSeparator(QString());

    checkTrees(parser, configuration);
    parseAndCheck(parser, configuration, arguments.mid(0, arguments.size() / 2));
    parseAndCheck(parser, configuration, arguments);

    // The same text through the space-splitting entry point.
    QMError error;
    const auto result = parser.parseString(arguments.join(QLatin1Char(' ')), &error);
    check(result.has_value() || error.code() == 1 || error.code() == 2);
    return 0;
}
