#include "OptionTestSupport.h"

#include <gtest/gtest.h>

using namespace OptionTestSupport;

TEST(QMOptionTest, EqualityAndHashUseNamesAndTypeOnly)
{
    const QMOptionPtr v = makeOption("v", nullptr, 0, true, "one", "x");
    const QMOptionPtr sameNames = makeOption("v", nullptr);
    sameNames->setHidden(true);
    EXPECT_TRUE(v->isEqual(*sameNames));
    EXPECT_EQ(qHash(*v), qHash(*sameNames));
    EXPECT_TRUE(QMEqualOptions(v, sameNames));
    EXPECT_TRUE(QMEqualOptions(nullptr, nullptr));
    EXPECT_FALSE(QMEqualOptions(v, nullptr));
    EXPECT_FALSE(QMEqualOptions(nullptr, v));

    const QMOptionPtr unequal[] = {
            makeOption("v", nullptr, 1), // other type
            makeOption("v", ""), // an empty alias is not no alias
            makeOption("v", "verbose"),  makeOption("w", nullptr), makeOption(nullptr, "v"),
    };
    for (const QMOptionPtr &other : unequal) {
        EXPECT_FALSE(v->isEqual(*other)) << other->description().toStdString();
        EXPECT_FALSE(other->isEqual(*v)) << other->description().toStdString();
    }

    // Commands are equal by name alone.
    const QMOptionCommandPtr bare = makeCommand("run");
    const QMOptionCommandPtr closed
            = makeCommand("run", {makeOption("x", nullptr)}, QMOptionCommandList {}, "other");

    // Same name, different options and explanation: one command.
    EXPECT_TRUE(bare->isEqual(*closed));
    EXPECT_EQ(qHash(*bare), qHash(*closed));
    EXPECT_TRUE(QMEqualCommands(bare, closed));
    EXPECT_FALSE(QMEqualCommands(bare, nullptr));

    const QMOptionCommandPtr unnamed = makeCommand(nullptr);
    EXPECT_TRUE(unnamed->isEqual(*unnamed->copy()));
    EXPECT_FALSE(unnamed->isEqual(*makeCommand("")));
    EXPECT_FALSE(makeCommand("")->isEqual(*unnamed));
}

TEST(QMOptionTest, CopiesShareElementsAndAreNotHidden)
{
    const QMOptionPtr original = makeOption("o", "output", 1, true, "Output path", "file");
    original->setHidden(true);
    const QMOptionPtr copy = original->copy();
    EXPECT_NE(copy.get(), original.get());
    EXPECT_TRUE(copy->isEqual(*original));
    EXPECT_EQ(copy->description(), original->description());
    EXPECT_TRUE(copy->isRequired());
    EXPECT_FALSE(copy->isHidden());

    const QMOptionCommandPtr sub = makeCommand("all");
    const QMOptionCommandPtr command = QMOptionCommand::optionCommandWithName(
            str("build"), {original}, {str("target")}, QMOptionCommandList {sub}, str("Build it"));
    command->setHidden(true);
    const QMOptionCommandPtr commandCopy = command->copy();
    EXPECT_NE(commandCopy.get(), command.get());
    EXPECT_FALSE(commandCopy->isHidden());
    EXPECT_EQ(commandCopy->description(), command->description());
    EXPECT_EQ(commandCopy->argumentNames(), QStringList {str("target")});
    EXPECT_EQ(commandCopy->options().first().get(), original.get());
    EXPECT_EQ(commandCopy->subCommands()->first().get(), sub.get());
    EXPECT_FALSE(sub->copy()->subCommands().has_value()); // a missing list stays missing
}

TEST(QMOptionTest, Descriptions)
{
    const struct
    {
        QMOptionPtr option;
        const char *expected;
    } rows[] = {
            {makeOption("o", "output", 1, false, "Output path", "file"),
             "-o, --output <file>\n\t\tOutput path"},
            {makeOption("x", nullptr, 1), "-x <VALUE>"},
            {makeOption("x", nullptr, 7, false, nullptr, "n"), "-x <n>"},
            // A switch never shows a value, even with a value description.
            {makeOption("v", nullptr, 0, false, nullptr, "n"), "-v"},
            {makeOption("v", "verbose", 0, false, ""), "-v, --verbose\n\t\t"},
            {makeOption(nullptr, "quiet"), "--quiet"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.option->description(), str(row.expected));
    EXPECT_TRUE(makeOption(nullptr, nullptr, 1, false, "x")->description().isNull());

    const QMOptionParser parser({}, {}, str("tool"), {});
    EXPECT_EQ(parser.helpOption()->description(), str("-h, --help\n\t\t"));

    const QMOptionPtr output = makeOption("o", "output", 1, true, "Output path", "file");
    const QMOptionPtr quiet = makeOption("q", "quiet", 0, false, "Less output");
    quiet->setHidden(true); // hidden options are still described
    const QMOptionCommandPtr all = makeCommand("all");
    const QMOptionCommandPtr build
            = makeCommand("build", {output, quiet}, QMOptionCommandList {all}, "Build the project");
    EXPECT_EQ(build->description(),
              str("Command: build\n\nBuild the project\n\nOptions\n\n\t-o, --output <file>\n\t\t"
                  "Output path\n\n\t-q, --quiet\n\t\tLess output\n\nSub Commands\n\n\tCommand: "
                  "all\n\n"));

    // Empty explanation, option list and sub-command list leave no section behind.
    EXPECT_EQ(makeCommand("plain", {}, QMOptionCommandList {}, "")->description(),
              str("Command: plain\n"));

    // Nested descriptions are written one after the other, not re-indented.
    const QMOptionCommandPtr leaf = makeCommand("leaf", {quiet});
    EXPECT_EQ(makeCommand("mid", {}, QMOptionCommandList {leaf, all}, "Middle")->description(),
              str("Command: mid\n\nMiddle\nSub Commands\n\n\tCommand: leaf\n\nOptions\n\n"
                  "\t-q, --quiet\n\t\tLess output\n\n\n\tCommand: all\n\n"));
}

// Command trees are meant to be acyclic; a cycle must still give a finite description and help.
TEST(QMOptionCommandTest, CyclesEndTheDescriptionWhereTheyRecur)
{
    const QMOptionCommandPtr loop = makeCommand("loop");
    loop->setSubCommands(QMOptionCommandList {loop});
    const QMOptionCommandPtr a = makeCommand("a", {}, std::nullopt, "A");
    const QMOptionCommandPtr b = makeCommand("b", {}, QMOptionCommandList {a});
    a->setSubCommands(QMOptionCommandList {b});
    // Shared commands are not cycles: "leaf" is described in full under both parents.
    const QMOptionCommandPtr leaf = makeCommand("leaf", {}, std::nullopt, "Leaf");
    const QMOptionCommandPtr twice = makeCommand("twice", {}, QMOptionCommandList {leaf, leaf});

    EXPECT_EQ(loop->description(), str("Command: loop\nSub Commands\n\n\tCommand: loop\n\n"));
    EXPECT_EQ(a->description(),
              str("Command: a\n\nA\nSub Commands\n\n\tCommand: b\nSub Commands\n\n"
                  "\tCommand: a\n\n\n"));
    EXPECT_EQ(twice->description(),
              str("Command: twice\nSub Commands\n\n\tCommand: leaf\n\nLeaf\n\n"
                  "\tCommand: leaf\n\nLeaf\n\n"));

    // The parser walks the same trees: configuration, parsing and help all finish.
    QMOptionParser parser({}, {a, loop}, str("tool"), {});
    EXPECT_EQ(parser.allCommandsIncludingSubcommands().size(), 3);
    ASSERT_TRUE(parser.parseArguments(args("a|b|a|-h")).has_value());
    EXPECT_EQ(parser.help(), a->description());
    ASSERT_TRUE(parser.parseArguments(args("loop|loop|--help")).has_value());
    EXPECT_EQ(parser.help(), loop->description());

    // Break the cycles so that the shared pointers can be freed.
    loop->setSubCommands(std::nullopt);
    a->setSubCommands(std::nullopt);
}
