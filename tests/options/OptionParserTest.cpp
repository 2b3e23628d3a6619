#include "OptionTestSupport.h"

#include "support/Failures.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

using namespace OptionTestSupport;
using TestSupport::failureOf;

namespace {

// Global switches (one without a flag) and valued options of every type; "build" shares "-o" with
// the globals and allows only "all" after it; "clean" has no options and accepts any command after
// it; "deploy" has an option of its own and allows no command after it. "-o" may be required.
struct Fixture
{
    explicit Fixture(bool outputRequired = false)
        : output(makeOption("o", "output", 1, outputRequired))
    { }

    QMOptionPtr output;
    QMOptionCommandPtr build = makeCommand("build", {makeOption("q", "quiet"), output},
                                           QMOptionCommandList {makeCommand("all")});
    QMOptionParser parser {
            {makeOption("v", "verbose"), output, makeOption("s", "name", 1),
             makeOption("n", "number", 2), makeOption("b", nullptr, 3), makeOption("l", nullptr, 4),
             makeOption("m", nullptr, 5), makeOption("z", nullptr, 9),
             makeOption(nullptr, "dry-run")},
            {build, makeCommand("clean"),
             makeCommand("deploy", {makeOption("t", nullptr, 1)}, QMOptionCommandList {})},
            str("tool"),
            {str("input")}};
};

} // namespace

TEST(QMOptionParserTest, ParsesArgumentVectors)
{
    const struct
    {
        const char *arguments; // separated by '|'
        qint64 code; // 0 for success
        const char *expected; // the rendered items, or the error description
        const char *reason = nullptr; // the error's failure reason, if it has one
        bool outputRequired = false;
    } rows[] = {
            {"", 0, ""},
            {"tool|-v", 0, "opt:v"},
            {"/usr/bin/tool|-v", 0, "arg:/usr/bin/tool opt:v"},
            {"--verbose|--output| out dir\n|in", 0, "opt:v opt:o='out dir' arg:in"},
            // A waiting option keeps waiting across a command word, and must then belong to it.
            {"-o|build|x", 0, "cmd:build opt:o='x'"},
            {"-s|build|x", 1, "", "-s is not an option of the command build"},
            {"-o|-o|x", 0, "opt:o='x'"},
            {"-o|-s|x", 0, "opt:o opt:s='x'"},
            {"a|-o", 0, "arg:a opt:o"},
            {"-n|-5", 2, "Error. Unknown option: -5"},
            {"--verbose=yes", 2, "Error. Unknown option: --verbose=yes"},
            {"--", 2, "Error. Unknown option: --"},
            {"-q", 2, "Error. Unknown option: -q"}, // an option of a command only
            // After a command with options only its own options and help are found.
            {"build|-q|-o|x", 0, "cmd:build opt:q opt:o='x'"},
            // A global option there is unknown, and the reason says why, naming it as typed.
            {"build|-v", 2, "Error. Unknown option: -v",
             "-v is not an option of the command build"},
            {"build|--verbose", 2, "Error. Unknown option: --verbose",
             "--verbose is not an option of the command build"},
            {"build|--bogus", 2, "Error. Unknown option: --bogus"},
            {"build|-h", 0, "cmd:build opt:h"},
            // After a command without options the globals are found but do not belong there; the
            // reason names them by flag, else by alias, however they were typed.
            {"clean|--verbose", 1, "", "-v is not an option of the command clean"},
            {"clean|--dry-run", 1, "", "--dry-run is not an option of the command clean"},
            // Sub-commands are recognised anywhere; only a sub-command list restricts what follows.
            {"all", 0, "cmd:all"},
            {"build|all", 0, "cmd:build cmd:all"},
            {"clean|build", 0, "cmd:clean cmd:build"},
            {"build|clean", 1, "", "clean is not a sub-command of build"},
            {"deploy|all", 1, "", "all is not a sub-command of deploy"},
            // With several faults the first one in the order of the items is reported, and
            // missing required options only when the items have none.
            {"clean|-v|build|clean", 1, "", "-v is not an option of the command clean"},
            {"clean|-v", 1, "", "-v is not an option of the command clean", true},
            // A required option given after a command that has it.
            {"build|-o|x", 0, "cmd:build opt:o='x'", nullptr, true},
            // Values of every type.
            {"-l|a, b,,c", 0, "opt:l=['a','b','','c']"},
            {"-m|1, x,,2.5e1", 0, "opt:m=[1,0,0,25]"},
            {"-n|1e3x", 0, "opt:n=1000"},
            {"-b|2", 0, "opt:b=none"},
            {"-b|0.5", 0, "opt:b=0.5"},
            {"-z|value", 0, "opt:z=none"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.arguments) + (row.outputRequired ? " (-o required)" : ""));
        Fixture f(row.outputRequired);
        QMError error;
        const auto result = f.parser.parseArguments(args(row.arguments), &error);
        if (row.code == 0) {
            ASSERT_TRUE(result.has_value()) << error.localizedDescription().toStdString();
            EXPECT_EQ(render(*result), QString::fromUtf8(row.expected));
            EXPECT_TRUE(error.isNull());
            EXPECT_TRUE(f.parser.failureReason().isNull());
            continue;
        }
        EXPECT_FALSE(result.has_value());
        EXPECT_EQ(error.domain(), QStringLiteral("QMOptionParserErrorDomain"));
        EXPECT_EQ(error.code(), row.code);
        // The error holds only its description; the parser tells the cause.
        EXPECT_EQ(f.parser.failureReason(), str(row.reason));
        EXPECT_EQ(f.parser.failureReason().isNull(), row.reason == nullptr);
        EXPECT_EQ(error.userInfo().keys(), QStringList {QMLocalizedDescriptionKey});
        if (row.code == 2) {
            EXPECT_EQ(error.localizedDescription(), QString::fromUtf8(row.expected));
        } else {
            EXPECT_TRUE(error.localizedDescription().startsWith(
                    str("Error. Missing required options\n\nRequired options are:\n")));
        }
    }
}

TEST(QMOptionParserTest, ValidateResultTellsWhyAListFails)
{
    Fixture f;
    const auto command = [](const QMOptionCommandPtr &c) {
        return QMOptionParserResultItem::resultWithCommand(c);
    };
    const auto option = [](const QMOptionPtr &o) {
        return QMOptionParserResultItem::resultWithOption(o);
    };
    const QMOptionCommandPtr clean = f.parser.commandForArgument(str("clean"));
    const struct
    {
        const char *name;
        QMOptionParserResultList items;
        const char *reason; // nullptr: the list passes
    } rows[] = {
            {"build with its option", {command(f.build), option(f.output)}, nullptr},
            {"help after a command", {command(clean), option(f.parser.helpOption())}, nullptr},
            {"foreign alias-only option",
             {command(clean), option(makeOption(nullptr, "x-ray"))},
             "--x-ray is not an option of the command clean"},
            // Options of commands are not validated, so an item may carry one without a name.
            {"option without names",
             {command(clean), option(makeOption("", ""))},
             "an option without a name is not an option of the command clean"},
            {"unconfigured command",
             {command(f.build), command(makeCommand("elsewhere"))},
             "elsewhere is not a sub-command of build"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QString reason = str("untouched");
        EXPECT_EQ(f.parser.validateResult(row.items, &reason), row.reason == nullptr);
        EXPECT_EQ(f.parser.validateResult(row.items), row.reason == nullptr);
        EXPECT_EQ(reason, str(row.reason ? row.reason : "untouched"));
    }
}

TEST(QMOptionParserTest, ParseStringSplitsAtEverySpace)
{
    Fixture f;
    const auto result = f.parser.parseString(str("tool a  b -o x"));
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(render(*result), str("arg:a arg: arg:b opt:o='x'"));

    QMError error;
    EXPECT_FALSE(f.parser.parseString(str("a -y"), &error).has_value());
    EXPECT_EQ(error.code(), 2);
}

TEST(QMOptionParserTest, ListSeparator)
{
    Fixture f;
    EXPECT_EQ(f.parser.listSeparator(), str(","));
    f.parser.setListSeparator(str("::"));
    EXPECT_EQ(render(*f.parser.parseArguments(args("-l|a,b:: c::"))), str("opt:l=['a,b','c','']"));
    f.parser.setListSeparator(QString());
    EXPECT_EQ(f.parser.listSeparator(), str(","));
    // An empty separator occurs nowhere: the whole text is the one element.
    f.parser.setListSeparator(str(""));
    EXPECT_EQ(render(*f.parser.parseArguments(args("-l| a,b "))), str("opt:l=['a,b']"));
}

TEST(QMOptionParserTest, ReadsDecimalNumbersAndBooleans)
{
    const double inf = std::numeric_limits<double>::infinity();
    const QString zeros(400, QLatin1Char('0'));
    const struct
    {
        QString text;
        double expected;
    } rows[] = {
            {str("1e3x"), 1000},
            {str(""), 0},
            {str("1e"), 1},
            {str("1e+"), 1},
            {str("2E-1"), 0.2},
            {str(".5"), 0.5},
            {str("."), 0},
            {str("+3"), 3},
            {str("+-3"), 0},
            {str(" \t\n-2.5e-1"), -0.25},
            {str("1.5.6"), 1.5},
            {str("0x1p3"), 0},
            {str("\u0661"), 0}, // not an ASCII digit
            {str("\u00a01"), 0}, // not white space to a C reader
            {str("1e400"), inf},
            {str("1e-400"), 0},
            {str("1e99999999999999999999"), inf},
            {str("1") + zeros, inf},
            {str("0.") + zeros + str("1e99"), 1e-302},
    };
    for (const auto &row : rows)
        EXPECT_DOUBLE_EQ(QMOptionParser::numberForArgument(row.text), row.expected)
                << row.text.left(20).toStdString();

    // Booleans keep the numbers whose integer part is 0 or 1.
    for (const char *text : {"0", "1", "1.5", "-0.5", "yes", "1.999"}) {
        const QVariant value = QMOptionParser::booleanForArgument(str(text));
        ASSERT_TRUE(value.isValid()) << text;
        EXPECT_EQ(value.toDouble(), QMOptionParser::numberForArgument(str(text))) << text;
    }
    for (const char *text : {"2", "-1", "1e3"})
        EXPECT_FALSE(QMOptionParser::booleanForArgument(str(text)).isValid()) << text;
}

TEST(QMOptionParserTest, RejectsInvalidGlobalOptions)
{
    const QMOptionPtr invalid[] = {
            makeOption(nullptr, nullptr), makeOption("", "ok"), makeOption("vv", nullptr),
            makeOption(nullptr, "v"),     makeOption("v", ""),  nullptr,
    };
    for (const QMOptionPtr &option : invalid) {
        SCOPED_TRACE(option ? option->description().toStdString() : "null");
        EXPECT_FALSE(QMOptionParser::validateOptions({option}));
        EXPECT_EQ(failureOf([&] {
                      QMOptionParser({makeOption("a", nullptr), option}, {}, str("tool"), {});
                  }),
                  str("Error. Invalid Options."));
    }
    EXPECT_TRUE(QMOptionParser::validateOptions({}));
    EXPECT_TRUE(
            QMOptionParser::validateOptions({makeOption(nullptr, "ab"), makeOption("a", nullptr)}));

    // Options of commands are not checked.
    EXPECT_NO_THROW(QMOptionParser({}, {makeCommand("c", {makeOption(nullptr, nullptr)})},
                                   str("tool"), {}));
}

TEST(QMOptionParserTest, ConfigurationDropsDuplicatesAndHelpWins)
{
    const QMOptionPtr v1 = makeOption("v", nullptr);
    const QMOptionPtr v2 = makeOption("v", nullptr, 0, true);
    const QMOptionPtr vNumber = makeOption("v", nullptr, 2);
    const QMOptionPtr hFlag = makeOption("h", "host", 1, true);
    const QMOptionCommandPtr run1 = makeCommand("run");
    QMOptionParser parser({v1, v2, vNumber, hFlag}, {run1, makeCommand("run", {v1})}, str("tool"),
                          {});

    // Same names with another type make another option; v2 was dropped with its required flag.
    EXPECT_EQ(parser.options(), (QMOptionList {v1, vNumber, hFlag}));
    EXPECT_EQ(parser.requiredOptions(), QMOptionList {hFlag});
    EXPECT_EQ(parser.commands(), QMOptionCommandList {run1});

    // Later options take over shared names; "-h" is always help, "--host" still finds hFlag.
    EXPECT_EQ(parser.optionForArgument(str("-v"), nullptr), vNumber);
    EXPECT_EQ(parser.optionForArgument(str("-h"), nullptr), parser.helpOption());
    EXPECT_EQ(parser.optionForArgument(str("--host"), nullptr), hFlag);
    EXPECT_EQ(render(*parser.parseArguments(args("-h|x|--host|y"))), str("opt:h arg:x opt:h='y'"));
}

TEST(QMOptionParserTest, CommandsAreFoundByNameInTreeOrder)
{
    const QMOptionCommandPtr b
            = makeCommand("b", {makeOption("f", nullptr)}, QMOptionCommandList {makeCommand("d")});
    const QMOptionCommandPtr a = makeCommand("a", {}, QMOptionCommandList {b, makeCommand("c")});
    const QMOptionCommandPtr otherB = makeCommand("b", {makeOption("s", nullptr)});
    QMOptionParser parser({}, {a, makeCommand("e", {}, QMOptionCommandList {otherB})}, str("tool"),
                          {});

    QStringList names;
    for (const QMOptionCommandPtr &command : parser.allCommandsIncludingSubcommands())
        names.append(command->name());
    EXPECT_EQ(names.join(QLatin1Char(' ')), str("a b c d e"));
    EXPECT_EQ(QMOptionParser::allSubcommandsForCommand(*a).size(), 3);

    // The first "b" is found everywhere, also after "e", and only its options are accepted.
    EXPECT_EQ(parser.commandForArgument(str("b")), b);
    EXPECT_FALSE(parser.commandForArgument(str("B")));
    EXPECT_TRUE(parser.parseArguments(args("e|b|-f")).has_value());
    QMError error;
    EXPECT_FALSE(parser.parseArguments(args("e|b|-s"), &error).has_value());
    EXPECT_EQ(error.code(), 2);
}

TEST(QMOptionParserTest, SharedSubCommandsAreCollectedOnce)
{
    // Two commands per level, each listing both commands of the next level as sub-commands:
    // 2^60 paths lead down this tree, but it has only 120 commands.
    constexpr int levels = 60;
    QMOptionCommandList below;
    QStringList expected; // tree order: the next level's pair after each level's pair
    for (int level = levels - 1; level >= 0; --level) {
        const QString suffix = QString::number(level);
        const std::optional<QMOptionCommandList> subCommands
                = below.isEmpty() ? std::nullopt : std::optional(below);
        below = {
                QMOptionCommand::optionCommandWithName(str("a") + suffix, {}, {}, subCommands, {}),
                QMOptionCommand::optionCommandWithName(str("b") + suffix, {}, {}, subCommands, {})};
        if (level > 0)
            expected.prepend(str("a%1 b%1").arg(level));
    }

    QStringList names;
    for (const QMOptionCommandPtr &command : QMOptionParser::allSubcommandsForCommand(*below[0]))
        names.append(command->name());
    EXPECT_EQ(names.join(QLatin1Char(' ')), expected.join(QLatin1Char(' ')));

    const QMOptionParser parser({}, below, str("tool"), {});
    EXPECT_EQ(parser.allCommandsIncludingSubcommands().size(), 2 * levels);
    EXPECT_TRUE(parser.commandForArgument(str("b59")));
}
