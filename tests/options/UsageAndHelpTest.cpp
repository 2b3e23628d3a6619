#include "OptionTestSupport.h"

#include <QMFoundation/errors/QMObjectDescribing.h>

#include <gtest/gtest.h>

using namespace OptionTestSupport;

namespace {

struct Example
{
    QMOptionPtr verbose = makeOption("v", "verbose");
    QMOptionPtr output = makeOption("o", "output", 1, true, "Output path", "file");
    QMOptionCommandPtr all = makeCommand("all");
    QMOptionCommandPtr build
            = makeCommand("build", {output, makeOption("q", "quiet", 0, false, "Less output")},
                          QMOptionCommandList {all}, "Build the project");
    QMOptionCommandPtr clean = makeCommand("clean");
    QMOptionCommandPtr debug = makeCommand("debug", {}, std::nullopt, "Debugging");

    Example() { debug->setHidden(true); }

    QMOptionParser parser(bool outputRequired = true)
    {
        output->setRequired(outputRequired);
        return QMOptionParser({verbose, output}, {build, clean, debug}, str("tool"),
                              {str("input")});
    }
};

} // namespace

TEST(QMOptionParserUsageTest, UsageTextAndItsEntries)
{
    Example example;
    QMOptionParser parser = example.parser();
    EXPECT_EQ(parser.usage(),
              str("Usage: tool [-v | --verbose] -o | --output <file> <input> <command> "
                  "[<arguments>]\n\nAvailable Commands\n\tbuild\t\tBuild the "
                  "project\n\tclean"));
    // Built once: later changes to the inputs do not show.
    parser.setExecutableName(str("other"));
    EXPECT_TRUE(parser.usage().startsWith(str("Usage: tool ")));

    const QMOptionParser noCommands({example.verbose}, {}, str("tool"), {str("a"), str("b")});
    EXPECT_EQ(noCommands.usage(), str("Usage: tool [-v | --verbose] <a> <b>"));
    const QMOptionParser onlyHidden({}, {example.debug}, str("tool"), {str("a")});
    EXPECT_EQ(onlyHidden.usage(), str("Usage: tool <a>"));

    example.verbose->setHidden(true);
    const QMOptionParser hiddenOption(
            {example.verbose}, {makeCommand("empty", {}, {}, ""), example.clean}, str("tool"), {});
    EXPECT_EQ(
            hiddenOption.usage(),
            str("Usage: tool <command> [<arguments>]\n\nAvailable Commands\n\tempty\t\t\n\tclean"));

    // Entries of single options and commands.
    const QMOptionParser bare({}, {}, str("tool"), {});
    const struct
    {
        QMOptionPtr option;
        const char *expected;
    } rows[] = {
            {makeOption(nullptr, "quiet"), " [--quiet]"},
            {makeOption("x", nullptr, 2, true, nullptr, "n"), " -x <n>"},
            // The entry shows the value description for any type, and no placeholder without one.
            {makeOption("v", nullptr, 0, false, nullptr, "lvl"), " [-v <lvl>]"},
            {makeOption("n", "num", 2), " [-n | --num]"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(bare.usageStringForOption(*row.option), str(row.expected));
    EXPECT_TRUE(bare.usageStringForOption(*makeOption(nullptr, nullptr, 1, true)).isNull());

    EXPECT_EQ(bare.usageStringForCommand(*example.build), str("build\t\tBuild the project"));
    EXPECT_EQ(bare.usageStringForCommand(*example.clean), str("clean"));
}

TEST(QMOptionParserUsageTest, MissingRequiredOptionsMessage)
{
    Example example;
    QMOptionParser parser({example.verbose, example.output, makeOption(nullptr, "level", 2, true)},
                          {example.build, example.clean}, str("tool"), {});
    const QString list = QMObjectDescribing::prettyDescriptionForObject(QVariant(
            QStringList {str("-o, --output <file>\n\t\tOutput path"), str("--level <VALUE>")}));
    const QString description
            = str("Error. Missing required options\n\nRequired options are:\n") + list;

    // Any failed validation gives the same description; the reason tells the causes apart.
    const struct
    {
        const char *arguments;
        const char *reason;
    } rows[] = {
            {"", "missing required options -o | --output, --level"},
            {"-o|x", "missing required option --level"},
            // A fault among the items is reported before the missing options.
            {"clean|-v", "-v is not an option of the command clean"},
            {"build|clean", "clean is not a sub-command of build"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments);
        QMError error;
        EXPECT_FALSE(parser.parseArguments(args(row.arguments), &error).has_value());
        EXPECT_EQ(error.domain(), str("QMOptionParserErrorDomain"));
        EXPECT_EQ(error.code(), 1);
        EXPECT_EQ(error.userInfo().keys(), QStringList {QMLocalizedDescriptionKey});
        EXPECT_EQ(error.localizedDescription(), description);
        EXPECT_EQ(parser.failureReason(), str(row.reason));
    }
    // The reason belongs to the most recent parse, and does not need an error out-parameter.
    EXPECT_TRUE(parser.parseArguments(args("--level|2|-o")).has_value());
    EXPECT_TRUE(parser.failureReason().isNull());
    EXPECT_FALSE(parser.parseArguments(args("-o|x")).has_value());
    EXPECT_EQ(parser.failureReason(), str("missing required option --level"));
}

TEST(QMOptionParserUsageTest, HelpAnswersFromLastSuccessfulParse)
{
    Example example;
    QMOptionParser parser = example.parser(false);
    EXPECT_TRUE(parser.help().isNull());

    const struct
    {
        const char *arguments;
        QString expected;
    } rows[] = {
            {"build|-h", example.build->description()},
            {"build|-q|--help|-q", example.build->description()},
            {"-h|build", parser.usage()},
            {"clean|all|--help", example.all->description()},
            {"build", QString()},
            {"", QString()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments);
        ASSERT_TRUE(parser.parseArguments(args(row.arguments)).has_value());
        EXPECT_EQ(parser.help(), row.expected);
        EXPECT_EQ(parser.help().isNull(), row.expected.isNull());
    }

    // A failed parse leaves help answering from the previous successful one.
    QMOptionParser strict = example.parser(true);
    ASSERT_TRUE(strict.parseArguments(args("build|-o|x|-h")).has_value());
    QMError error;
    EXPECT_FALSE(strict.parseArguments(args("-h"), &error).has_value());
    EXPECT_EQ(error.code(), 1);
    EXPECT_EQ(strict.help(), example.build->description());
}
