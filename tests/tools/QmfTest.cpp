#include "Definition.h"
#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>

using namespace QmfTestSupport;

namespace {

QString dataFile(const char *name)
{
    return QStringLiteral(QMF_TEST_DATA_DIR "/") + QString::fromUtf8(name);
}

Outcome check(const QStringList &arguments)
{
    return runQmf(
            QStringList {QStringLiteral("options"), QStringLiteral("check"), dataFile("tool.json")}
            + arguments);
}

Outcome checkDefinition(const QByteArray &json, const QStringList &arguments)
{
    QTemporaryDir dir;
    return runQmf(QStringList {QStringLiteral("options"), QStringLiteral("check"),
                               writeFile(dir, QStringLiteral("spec.json"), json)}
                  + arguments);
}

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == u'\x85' || c == u'\x2028'
            || c == u'\x2029';
}

// The value at a '/'-separated path of keys and array indices: dig(report, "parses/0/error").
QJsonValue dig(const QJsonValue &root, const char *path)
{
    QJsonValue value = root;
    for (const QString &step : QString::fromUtf8(path).split(QLatin1Char('/'))) {
        bool isIndex = false;
        const int index = step.toInt(&isIndex);
        value = isIndex ? value.toArray().at(index) : value.toObject().value(step);
    }
    return value;
}

// The value at `path` as compact JSON text.
QByteArray compact(const QJsonValue &root, const char *path)
{
    const QJsonValue value = dig(root, path);
    const QJsonDocument document
            = value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return document.toJson(QJsonDocument::Compact);
}

} // namespace

TEST(QmfArgumentsTest, SplitsWhatItsOwnParserReadsFromWhatItHandsOn)
{
    struct Row
    {
        const char *arguments;
        const char *parser;
        const char *passedOn;
    };
    const Row rows[] = {
            {"options check spec.json -v -- --next x", "options check spec.json", "-v -- --next x"},
            {"options check -h", "options check -h", ""},
            {"options -h check spec.json --bogus", "options -h check spec.json", "--bogus"},
            {"check spec.json", "check spec.json", ""},
            {"tour -- a -b", "tour", "a -b"},
            {"--bogus tour", "--bogus tour", ""},
            // "check" or "run" as another command's argument hands nothing on.
            {"version compare check -x", "version compare check -x", ""},
            {"version compare run x", "version compare run x", ""},
            {"run --cwd dir --env A=1 prog -x --cwd y", "run --cwd dir --env A=1",
             "prog -x --cwd y"},
            {"run --lines -- -prog a", "run --lines", "-prog a"},
            {"run", "run", ""},
    };
    for (const Row &row : rows) {
        const Qmf::SplitArguments split = Qmf::splitArguments(words(row.arguments));
        EXPECT_EQ(split.parserArguments, words(row.parser)) << row.arguments;
        EXPECT_EQ(split.passedOn, words(row.passedOn)) << row.arguments;
    }
}

TEST(QmfOptionsCheckTest, ReportsUsageDescriptionsAndEachParse)
{
    const Outcome outcome = check(words("-v -o out.txt --tags a,,b -n 1e3x -b 2 -l 1,x -z q in "
                                        "--next build -h --next --bogus"));
    ASSERT_EQ(outcome.status, 0) << qPrintable(outcome.err);
    const QJsonValue report = outcome.json();
    EXPECT_EQ(dig(report, "usage").toString(),
              QStringLiteral("Usage: tool [-v | --verbose] -o | --output <file> [--tags] [-n] [-b] "
                             "[-l] [-z] <input> <command> [<arguments>]\n\nAvailable Commands\n"
                             "\tbuild\t\tBuild the project\n\tclean"));
    EXPECT_EQ(compact(report, "options"),
              R"(["-v, --verbose","-o, --output <file>\n\t\tOutput path","--tags <VALUE>",)"
              R"("-n <VALUE>","-b <VALUE>","-l <VALUE>","-z <VALUE>"])");
    // Every item with its kind, names and value: --tags has no flag, the boolean "2" and the
    // unknown type 7 have a null value.
    EXPECT_EQ(compact(report, "parses/0"),
              R"({"arguments":["-v","-o","out.txt","--tags","a,,b","-n","1e3x","-b","2","-l",)"
              R"("1,x","-z","q","in"],"error":null,"help":null,"items":[)"
              R"({"alias":"verbose","flag":"v","kind":"option"},)"
              R"({"alias":"output","flag":"o","kind":"optionWithValue","value":"out.txt"},)"
              R"({"alias":"tags","flag":null,"kind":"optionWithValue","value":["a","","b"]},)"
              R"({"alias":null,"flag":"n","kind":"optionWithValue","value":1000},)"
              R"({"alias":null,"flag":"b","kind":"optionWithValue","value":null},)"
              R"({"alias":null,"flag":"l","kind":"optionWithValue","value":[1,0]},)"
              R"({"alias":null,"flag":"z","kind":"optionWithValue","value":null},)"
              R"({"argument":"in","kind":"argument"}]})");
    // "build -h" fails: the required -o is missing. Help still answers from the first parse,
    // which held no help option.
    EXPECT_EQ(compact(report, "parses/1"),
              R"j({"arguments":["build","-h"],"error":{"code":1,"description":"Error. Missing )j"
              R"j(required options\n\nRequired options are:\n(\n    -o, --output <file>\n\t\t)j"
              R"j(Output path\n)","domain":"QMOptionParserErrorDomain","reason":"missing )j"
              R"j(required option -o | --output"},"help":null,"items":null})j");
    EXPECT_EQ(compact(report, "parses/2"),
              R"({"arguments":["--bogus"],"error":{"code":2,"description":"Error. Unknown )"
              R"(option: --bogus","domain":"QMOptionParserErrorDomain","reason":null},)"
              R"("help":null,"items":null})");

    // Help after a command shows that command.
    const Outcome helps = check(words("build -o x -h --next -o x -h --next -o x --next"));
    ASSERT_EQ(helps.status, 0) << qPrintable(helps.err);
    const QJsonValue helpReport = helps.json();
    ASSERT_EQ(dig(helpReport, "parses").toArray().size(), 4);
    EXPECT_TRUE(dig(helpReport, "parses/0/help")
                        .toString()
                        .startsWith(QStringLiteral("Command: build\n\nBuild the project\n")));
    EXPECT_TRUE(
            dig(helpReport, "parses/1/help").toString().startsWith(QStringLiteral("Usage: tool")));
    EXPECT_TRUE(dig(helpReport, "parses/2/help").isNull());
    // An empty group after the last --next is a parse of no arguments: -o is required.
    EXPECT_EQ(dig(helpReport, "parses/3/arguments").toArray().size(), 0);
    EXPECT_EQ(dig(helpReport, "parses/3/error/code").toInt(), 1);
}

TEST(QmfOptionsCheckTest, LeftOutFieldsTakeTheirDefaults)
{
    // No listSeparator: ","; subCommands left out: any command may follow; given empty: none may.
    const QByteArray json = R"({"executableName": "t",
        "options": [{"flag": "x", "type": 4}],
        "commands": [{"name": "open"}, {"name": "shut", "subCommands": []}, {"name": "any"}]})";
    const Outcome outcome
            = checkDefinition(json, words("-x a;b,c --next open any --next shut any"));
    ASSERT_EQ(outcome.status, 0) << qPrintable(outcome.err);
    const QJsonValue report = outcome.json();
    EXPECT_EQ(dig(report, "parses/0/items/0/value"),
              QJsonValue(QJsonArray {QStringLiteral("a;b"), QStringLiteral("c")}));
    EXPECT_EQ(dig(report, "parses/1/items").toArray().size(), 2);
    EXPECT_EQ(dig(report, "parses/2/error/code").toInt(), 1);

    // A given listSeparator replaces the comma.
    const Outcome separator = checkDefinition(R"({"executableName": "t", "listSeparator": ";",
        "options": [{"flag": "x", "type": 4}]})",
                                              words("-x a;b,c"));
    ASSERT_EQ(separator.status, 0) << qPrintable(separator.err);
    EXPECT_EQ(dig(separator.json(), "parses/0/items/0/value"),
              QJsonValue(QJsonArray {QStringLiteral("a"), QStringLiteral("b,c")}));
}

TEST(QmfOptionsCheckTest, BadDefinitionsGiveOneLineErrorsAndStatus2)
{
    struct Row
    {
        const char *name;
        QByteArray json;
        const char *message;
    };
    const Row rows[] = {
            {"truncated JSON", R"({"executableName": )", "invalid JSON"},
            {"array at top", R"([1, 2])", "must be a JSON object"},
            {"no executable name", R"({"options": []})", "executableName: missing"},
            {"name of wrong type", R"({"executableName": 3})", "executableName: expected a string"},
            {"unknown field", R"({"executableName": "t", "option": []})", "option: unknown field"},
            {"type not an integer",
             R"({"executableName": "t", "options": [{"flag": "a", "type": 1.5}]})",
             "options[0].type: expected a non-negative integer"},
            {"required as text",
             R"({"executableName": "t", "options": [{"flag": "a", "required": "yes"}]})",
             "options[0].required: expected true or false"},
            {"option not an object", R"({"executableName": "t", "options": ["-a"]})",
             "options[0]: expected an object"},
            {"nested bad field",
             R"({"executableName": "t", "commands": [{"name": "a", "subCommands": [{"name": 1}]}]})",
             "commands[0].subCommands[0].name: expected a string"},
            {"argument name of wrong type", R"({"executableName": "t", "argumentNames": ["a", 2]})",
             "argumentNames[1]: expected a string"},
            {"two-letter flag", R"({"executableName": "t", "options": [{"flag": "ab"}]})",
             "Error. Invalid Options."},
            // Unknown field names reach the message quoted and escaped when they are not plain
            // words: a line break in a name must not break the line, nor a name pass for a path.
            {"field name with a carriage return",
             R"({"executableName": "t", "options": [{"flag": "a", "type\r": 1}]})",
             R"(options[0]."type\r": unknown field)"},
            {"field name with a line feed", R"({"executableName": "t", "a\nb": 1})",
             R"("a\nb": unknown field)"},
            {"field name with a line separator", R"({"executableName": "t", "a\u2028b": 1})",
             R"("a\u2028b": unknown field)"},
            {"field name with quotes and a backslash", R"({"executableName": "t", "\"\\": 1})",
             R"("\"\\": unknown field)"},
            {"field name that reads as a path",
             R"({"executableName": "t", "commands": [{"name": "a", "options[0].x": 1}]})",
             R"(commands[0]."options[0].x": unknown field)"},
            {"empty field name", R"({"executableName": "t", "": 1})", R"("": unknown field)"},
    };
    for (const Row &row : rows) {
        const Outcome outcome = checkDefinition(row.json, {});
        EXPECT_EQ(outcome.status, 2) << row.name;
        EXPECT_TRUE(outcome.out.isEmpty()) << row.name;
        EXPECT_TRUE(outcome.err.startsWith(QStringLiteral("qmf: "))) << row.name;
        EXPECT_TRUE(outcome.err.contains(QString::fromUtf8(row.message)))
                << row.name << ": " << qPrintable(outcome.err);
        // One line: the final line feed and no other line break of any kind.
        EXPECT_TRUE(outcome.err.endsWith(QLatin1Char('\n'))) << row.name;
        const QString line = outcome.err.chopped(1);
        EXPECT_TRUE(std::none_of(line.cbegin(), line.cend(), isLineBreak))
                << row.name << ": " << qPrintable(outcome.err);
        // The error text is optional for callers of the loader.
        EXPECT_FALSE(Definition::parserFromJson(row.json, nullptr).has_value()) << row.name;
    }

    const Outcome missing = runQmf(words("options check /nonexistent/spec.json"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(missing.err.contains(QStringLiteral("/nonexistent/spec.json")));
}

TEST(QmfOptionsCheckTest, CommandsNestAtMostTheMaximumDepth)
{
    // c1 > c2 > ... > c<levels>, each command the one sub-command of the one before.
    const auto chain = [](int levels) {
        QByteArray command = "{\"name\": \"c" + QByteArray::number(levels) + "\"}";
        for (int level = levels - 1; level >= 1; --level) {
            command = "{\"name\": \"c" + QByteArray::number(level) + "\", \"subCommands\": ["
                    + command + "]}";
        }
        return QByteArray("{\"executableName\": \"t\", \"commands\": [" + command + "]}");
    };
    const int deepest = Definition::maximumCommandDepth;

    QStringList path;
    for (int level = 1; level <= deepest; ++level)
        path.append(QStringLiteral("c%1").arg(level));
    const Outcome accepted
            = checkDefinition(chain(deepest), path + QStringList {QStringLiteral("-h")});
    ASSERT_EQ(accepted.status, 0) << qPrintable(accepted.err);
    EXPECT_EQ(dig(accepted.json(), "parses/0/help").toString(),
              QStringLiteral("Command: c%1\n").arg(deepest));

    const Outcome refused = checkDefinition(chain(deepest + 1), {});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(refused.err.contains(
            QStringLiteral(".subCommands[0]: commands nested more than %1 levels deep\n")
                    .arg(deepest)))
            << qPrintable(refused.err);
    EXPECT_EQ(refused.err.count(QLatin1Char('\n')), 1);
}

TEST(QmfCommandLineTest, OwnParserErrorsHelpAndUsage)
{
    // A failed validation prints the fixed description, then the reason on a line of its own.
    const Outcome misplaced = runQmf(words("tour -V"));
    EXPECT_EQ(misplaced.status, 2);
    EXPECT_TRUE(misplaced.out.isEmpty());
    EXPECT_TRUE(misplaced.err.startsWith(QStringLiteral("Error. Missing required options\n")))
            << qPrintable(misplaced.err);
    EXPECT_TRUE(
            misplaced.err.endsWith(QStringLiteral("\n-V is not an option of the command tour\n")))
            << qPrintable(misplaced.err);
    EXPECT_TRUE(runQmf(words("options tour"))
                        .err.endsWith(QStringLiteral("\ntour is not a sub-command of options\n")));

    const Outcome help = runQmf(words("-h"));
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.startsWith(QStringLiteral(
            "Usage: qmf [-V | --version] <command> [<arguments>]\n\nAvailable Commands\n\ttour")));
    // One line for each command, its summary; the rest of its explanation is its own help.
    const QStringList listed = help.out.section(QStringLiteral("Available Commands\n"), 1)
                                       .split(u'\n', Qt::SkipEmptyParts);
    EXPECT_GE(listed.size(), 18) << qPrintable(help.out);
    for (const QString &line : listed)
        EXPECT_TRUE(line.startsWith(u'\t') && !line.contains(QStringLiteral("Usage:")))
                << qPrintable(line);
    EXPECT_TRUE(listed.contains(QStringLiteral(
            "\trun\t\tRun a program, passing on its output as it arrives: run PROGRAM [ARG...]")));
    EXPECT_EQ(runQmf({}).out, help.out);
    EXPECT_TRUE(runQmf(words("frobnicate")).err.endsWith(help.out));
    EXPECT_TRUE(runQmf(words("run --help"))
                        .out.contains(QStringLiteral(
                                "\n\nUsage: qmf run [--cwd DIR] [--env NAME=VALUE]... [--lines] "
                                "[--] PROGRAM [ARG...]\n\nRuns PROGRAM")));

    const Outcome checkHelp = runQmf(words("options check -h"));
    EXPECT_EQ(checkHelp.status, 0);
    EXPECT_TRUE(checkHelp.out.startsWith(QStringLiteral("Command: check\n\n")));

    expectRuns({
            failing(words("--bogus"), 2, QStringLiteral("Error. Unknown option: --bogus\n")),
            failing(words("tour extra"), 2),
            failing(words("options check"), 2),
            failing(words("frobnicate"), 2),
            failing(words("options"), 2),
    });
    EXPECT_TRUE(runQmf(words("--version")).out.startsWith(QStringLiteral("qmf (QMFoundation) ")));
}

// Output that cannot be written fails the command with the system's reason, whatever path it
// took there: the parser's help and usage, a command's text, raw bytes. A run that wrote nothing
// keeps its status.
TEST(QmfCommandLineTest, OutputThatCannotBeWrittenIsAFailure)
{
    QTemporaryDir dir;
    const QString list = writeFile(dir, QStringLiteral("list.txt"), "a\nb\n");
    const struct
    {
        QStringList arguments;
        int status;
        QString err;
    } cases[] = {
            {words("-h"), 1, QStringLiteral("qmf: standard output: No space left on device\n")},
            {words("--version"), 1,
             QStringLiteral("qmf: standard output: No space left on device\n")},
            {{}, 1, QStringLiteral("qmf: standard output: No space left on device\n")},
            {words("version compare 1.0 2.0"), 1,
             QStringLiteral("qmf: standard output: No space left on device\n")},
            {QStringList {QStringLiteral("diff"), list, list, QStringLiteral("--json")}, 1,
             QStringLiteral("qmf: standard output: No space left on device\n")},
            {QStringList {QStringLiteral("base64"), list}, 1,
             QStringLiteral("qmf: standard output: No space left on device\n")},
            {QStringList {QStringLiteral("digest"), QStringLiteral("--sha256"), list}, 1,
             QStringLiteral("qmf: standard output: No space left on device\n")},
            {words("frobnicate"), 2, QString()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
        QFile full(QStringLiteral("/dev/full"));
        ASSERT_TRUE(full.open(QIODevice::WriteOnly));
        const auto [status, err] = runQmfWritingTo(c.arguments, full);
        EXPECT_EQ(status, c.status);
        if (c.err.isNull())
            EXPECT_FALSE(err.contains(QStringLiteral("qmf: standard output:"))) << qPrintable(err);
        else
            EXPECT_EQ(err, c.err);
    }
}

// Input that fails while it is read is an error, never an empty input (whose digest, Base64 or
// list would look like a result).
TEST(QmfCommandLineTest, InputThatCannotBeReadIsAFailure)
{
    // Reading /proc/self/mem from its start fails with EIO.
    expectRuns({
            failing(words("digest --sha256 /proc/self/mem"), 2,
                    QStringLiteral("qmf: /proc/self/mem: Input/output error\n")),
            failing(words("base64 /proc/self/mem"), 2,
                    QStringLiteral("qmf: /proc/self/mem: Input/output error\n")),
            failing(words("tree /proc/self/mem /proc/self/mem"), 1,
                    QStringLiteral("qmf tree: /proc/self/mem: Input/output error\n")),
    });
    // A directory as the standard input opens, and fails at the first read.
    QProcess process;
    process.setStandardInputFile(QStringLiteral("/"));
    process.start(QStringLiteral(QMF_TOOL_PATH),
                  {QStringLiteral("digest"), QStringLiteral("--md5")});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 2);
    EXPECT_EQ(process.readAllStandardOutput(), "");
    EXPECT_EQ(process.readAllStandardError(), "qmf: standard input: Is a directory\n");
}

// Commands that read a file whole stop a piece past 256 MiB: /dev/zero, an endless line, ends
// with an error instead of filling memory.
TEST(QmfCommandLineTest, InputsReadWholeHaveABound)
{
    const QString tooLarge = QStringLiteral(
            "%1/dev/zero: larger than 256 MiB, the most this command reads at once\n");
    expectRuns({
            failing(words("diff /dev/zero /dev/null"), 1, tooLarge.arg(QStringLiteral("qmf: "))),
            failing(words("version sort /dev/zero"), 2, tooLarge.arg(QStringLiteral("qmf: "))),
            failing(words("fuzzy a /dev/zero"), 2, tooLarge.arg(QStringLiteral("qmf: "))),
            failing(words("options check /dev/zero"), 2, tooLarge.arg(QStringLiteral("qmf: "))),
            failing(words("tree /dev/zero /dev/null"), 1,
                    tooLarge.arg(QStringLiteral("qmf tree: "))),
    });
}

// Arguments after SPEC.json reach the parser under test untouched, dashes and all, also
// through the program's own command line.
TEST(QmfCommandLineTest, ToolBinaryHandsOnArgumentsAfterTheDefinition)
{
    QProcess process;
    process.start(QStringLiteral(QMF_TOOL_PATH),
                  {QStringLiteral("options"), QStringLiteral("check"), dataFile("tool.json"),
                   QStringLiteral("--"), QStringLiteral("-o"), QStringLiteral("x")});
    ASSERT_TRUE(process.waitForFinished(60000));
    EXPECT_EQ(process.exitCode(), 0);
    const QJsonObject report = QJsonDocument::fromJson(process.readAllStandardOutput()).object();
    EXPECT_EQ(dig(report, "parses/0/error/description").toString(),
              QStringLiteral("Error. Unknown option: --"));
}
