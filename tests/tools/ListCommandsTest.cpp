#include "ListCommands.h"
#include "QmfTestSupport.h"

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

using namespace QmfTestSupport;

namespace {

// Runs `qmf diff [options] OLD NEW` on two files holding `oldBytes` and `newBytes`.
Outcome diffFiles(const QByteArray &oldBytes, const QByteArray &newBytes,
                  const QStringList &options = {})
{
    QTemporaryDir dir;
    return runQmf(QStringList {u"diff"_s} + options
                  + QStringList {writeFile(dir, u"old.txt"_s, oldBytes),
                                 writeFile(dir, u"new.txt"_s, newBytes)});
}

} // namespace

TEST(QmfDiffTest, PrintsChangesStepsAndJson)
{
    const struct
    {
        const char *name;
        QByteArray oldBytes;
        QByteArray newBytes;
        const char *changes;
        const char *steps;
        const char *json;
    } rows[] = {
            // Deletes first, then inserts, then moves; move positions count in the list as it
            // stands after the earlier steps.
            {"all kinds", "a\nb\nc\nd\ne\n", "e\na\nx\nc\ny\n",
             "DEL: b | OLD: (i: 1) ==> NEW: (i: 9223372036854775807)\n"
             "DEL: d | OLD: (i: 3) ==> NEW: (i: 9223372036854775807)\n"
             "INS: x | OLD: (i: 9223372036854775807) ==> NEW: (i: 2)\n"
             "INS: y | OLD: (i: 9223372036854775807) ==> NEW: (i: 4)\n"
             "MOV: e | OLD: (i: 3) ==> NEW: (i: 0)\n"
             "MOV: c | OLD: (i: 2) ==> NEW: (i: 3)\n",
             "delete 1 3 -> [a, c, e]\ninsert 2 4 -> [a, c, x, e, y]\n"
             "move 3 to 0 -> [e, a, c, x, y]\nmove 2 to 3 -> [e, a, x, c, y]\n",
             R"([{"type":"DEL","item":"b","index":null,"oldIndex":1},)"
             R"({"type":"DEL","item":"d","index":null,"oldIndex":3},)"
             R"({"type":"INS","item":"x","index":2,"oldIndex":null},)"
             R"({"type":"INS","item":"y","index":4,"oldIndex":null},)"
             R"({"type":"MOV","item":"e","index":0,"oldIndex":3},)"
             R"({"type":"MOV","item":"c","index":3,"oldIndex":2}])"},
            // Runs of positions print as ranges.
            {"ranges", "a\nb\nc\nd\n", "a\n",
             "DEL: b | OLD: (i: 1) ==> NEW: (i: 9223372036854775807)\n"
             "DEL: c | OLD: (i: 2) ==> NEW: (i: 9223372036854775807)\n"
             "DEL: d | OLD: (i: 3) ==> NEW: (i: 9223372036854775807)\n",
             "delete 1-3 -> [a]\n",
             R"([{"type":"DEL","item":"b","index":null,"oldIndex":1},)"
             R"({"type":"DEL","item":"c","index":null,"oldIndex":2},)"
             R"({"type":"DEL","item":"d","index":null,"oldIndex":3}])"},
            {"identical", "a\nb\n", "a\nb", "", "", "[]"},
            {"to empty", "a\n", "", "DEL: a | OLD: (i: 0) ==> NEW: (i: 9223372036854775807)\n",
             "delete 0 -> []\n", R"([{"type":"DEL","item":"a","index":null,"oldIndex":0}])"},
            // A line ends at "\n" with one "\r" before it removed; nothing follows a last "\n".
            {"one CR only", "a\r\r\n", "a\r\n",
             "DEL: a\r | OLD: (i: 0) ==> NEW: (i: 9223372036854775807)\n"
             "INS: a | OLD: (i: 9223372036854775807) ==> NEW: (i: 0)\n",
             "delete 0 -> []\ninsert 0 -> [a]\n",
             R"([{"type":"DEL","item":"a\r","index":null,"oldIndex":0},)"
             R"({"type":"INS","item":"a","index":0,"oldIndex":null}])"},
            {"an empty line is an item", "a\n\nb\n", "a\nb\n\n",
             "MOV:  | OLD: (i: 1) ==> NEW: (i: 2)\n", "move 1 to 2 -> [a, b, ]\n",
             R"([{"type":"MOV","item":"","index":2,"oldIndex":1}])"},
            // Lines are shown as they are; JSON escapes them, and UTF-8 stays UTF-8.
            {"escaping", "say \"hi\"\nC:\\dir\n\xc3\xbc\n", "C:\\dir\nsay \"hi\"\n",
             "DEL: \xc3\xbc | OLD: (i: 2) ==> NEW: (i: 9223372036854775807)\n"
             "MOV: say \"hi\" | OLD: (i: 0) ==> NEW: (i: 1)\n",
             "delete 2 -> [say \"hi\", C:\\dir]\nmove 0 to 1 -> [C:\\dir, say \"hi\"]\n",
             R"([{"type":"DEL","item":"ü","index":null,"oldIndex":2},)"
             R"({"type":"MOV","item":"say \"hi\"","index":1,"oldIndex":0}])"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome changes = diffFiles(row.oldBytes, row.newBytes);
        EXPECT_EQ(changes.status, 0);
        EXPECT_EQ(changes.out, QString::fromUtf8(row.changes));
        EXPECT_EQ(changes.err, QString());

        const Outcome steps = diffFiles(row.oldBytes, row.newBytes, {u"--steps"_s});
        EXPECT_EQ(steps.status, 0);
        EXPECT_EQ(steps.out, QString::fromUtf8(row.steps));

        const Outcome json = diffFiles(row.oldBytes, row.newBytes, {u"--json"_s});
        EXPECT_EQ(json.status, 0);
        EXPECT_EQ(json.bytes, QByteArray(row.json) + '\n');
    }
}

TEST(QmfDiffTest, JsonWithStepsHoldsBoth)
{
    const Outcome outcome = diffFiles("a\nb\nc\n", "c\na\nx\n", {u"--steps"_s, u"--json"_s});
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(outcome.bytes,
              R"({"changes":[{"type":"DEL","item":"b","index":null,"oldIndex":1},)"
              R"({"type":"INS","item":"x","index":2,"oldIndex":null},)"
              R"({"type":"MOV","item":"a","index":1,"oldIndex":0}],)"
              R"("steps":[{"step":"delete","indexes":[1],"from":null,"to":null,"list":["a","c"]},)"
              R"({"step":"insert","indexes":[2],"from":null,"to":null,"list":["a","c","x"]},)"
              R"({"step":"move","indexes":null,"from":0,"to":1,"list":["c","a","x"]}]})"
              "\n");
    EXPECT_EQ(diffFiles("a\n", "a\n", {u"--json"_s, u"--steps"_s}).bytes,
              QByteArray(R"({"changes":[],"steps":[]})"
                         "\n"));
}

TEST(QmfDiffTest, ReadsTheStandardInputForOneFile)
{
    QTemporaryDir dir;
    const QString path = writeFile(dir, u"new.txt"_s, "c\na\nb\n");
    const QString expected = u"MOV: c | OLD: (i: 2) ==> NEW: (i: 0)\n"_s;
    // "-" begins with "-", so it goes after "--" like any such word.
    const Outcome oldFromInput = runQmf({u"diff"_s, u"--"_s, u"-"_s, path}, "a\nb\nc\n");
    EXPECT_EQ(oldFromInput.status, 0) << oldFromInput.err.toStdString();
    EXPECT_EQ(oldFromInput.out, expected);

    const Outcome newFromInput = runQmf({u"diff"_s, path, u"--"_s, u"-"_s}, "a\nb\nc\n");
    EXPECT_EQ(newFromInput.status, 0) << newFromInput.err.toStdString();
    EXPECT_EQ(newFromInput.out, u"MOV: c | OLD: (i: 0) ==> NEW: (i: 2)\n"_s);

    const Outcome duplicate = runQmf({u"diff"_s, u"--"_s, u"-"_s, path}, "x\nx\n");
    EXPECT_EQ(duplicate.status, 1);
    EXPECT_EQ(duplicate.err,
              u"qmf: standard input: lines 1 and 2 are both \"x\"; diff needs every line of a "
              u"file to be different\n"_s);
}

TEST(QmfDiffTest, BadFilesEndWithStatus1)
{
    const struct
    {
        const char *name;
        QByteArray oldBytes;
        QByteArray newBytes;
        const char *file; // the file at fault
        const char *reason;
    } rows[] = {
            {"repeated line in OLD", "a\nb\na\nb\n", "a\n", "old.txt",
             "lines 1 and 3 are both \"a\"; diff needs every line of a file to be different"},
            // A line's final "\r" is not part of its text.
            {"repeat across line ends", "a\n", "q\r\nq\n", "new.txt",
             "lines 1 and 2 are both \"q\"; diff needs every line of a file to be different"},
            {"not UTF-8", "a\n\xff\n", "a\n", "old.txt", "line 2 is not valid UTF-8"},
            // The first fault in the file is the one reported.
            {"first fault", "a\n\xc0\x80\na\n", "a\n", "old.txt", "line 2 is not valid UTF-8"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QString oldPath = writeFile(dir, u"old.txt"_s, row.oldBytes);
        const QString newPath = writeFile(dir, u"new.txt"_s, row.newBytes);
        for (const QStringList &options : {QStringList(), QStringList {u"--json"_s}}) {
            const Outcome outcome
                    = runQmf(QStringList {u"diff"_s} + options + QStringList {oldPath, newPath});
            EXPECT_EQ(outcome.status, 1);
            EXPECT_EQ(outcome.out, QString());
            EXPECT_EQ(outcome.err,
                      u"qmf: "_s + dir.filePath(QString::fromUtf8(row.file)) + u": "_s
                              + QString::fromUtf8(row.reason) + u'\n');
        }
    }

    QTemporaryDir dir;
    const QString present = writeFile(dir, u"present.txt"_s, "a\n");
    const QString missing = dir.filePath(u"missing.txt"_s);
    for (const QStringList &arguments :
         {QStringList {u"diff"_s, missing, present}, QStringList {u"diff"_s, present, missing}}) {
        const Outcome outcome = runQmf(arguments);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, QString());
        EXPECT_TRUE(outcome.err.startsWith(u"qmf: "_s + missing + u": "_s))
                << outcome.err.toStdString();
        EXPECT_EQ(outcome.err.count(u'\n'), 1);
    }
}

TEST(QmfDiffTest, UsageErrorsEndWithStatus2)
{
    const QString parserWords; // null: the option parser's message
    expectRuns({
            failing(words("diff a"), 2,
                    u"qmf: diff takes two files, OLD and NEW (\"-\", after \"--\", for the "
                    "standard input)\n"_s,
                    "a\n"),
            failing(words("diff -- - -"), 2,
                    u"qmf: diff can read only one of OLD and NEW from the standard input\n"_s,
                    "a\n"),
            failing(words("diff a b --unified"), 2, QString(), "a\n"),
            failing(words("diff - b"), 2, QString(), "a\n"),
    });
}

// The tool escapes JSON strings itself, one line at a time as it writes them; the result must be
// what QJsonDocument writes for the same text, for every UTF-16 code unit alone (lone surrogates
// included) and beside others.
TEST(QmfDiffTest, JsonStringsAreEscapedAsQtEscapesThem)
{
    const auto qtString = [](const QString &text) {
        const QByteArray array = QJsonDocument(QJsonArray {text}).toJson(QJsonDocument::Compact);
        return QString::fromUtf8(array.mid(1, array.size() - 2));
    };
    for (char32_t u = 0; u <= 0xffff; ++u) {
        const QString text = u"a"_s + QChar(char16_t(u)) + u"b"_s;
        ASSERT_EQ(ListCommands::jsonString(text), qtString(text)) << "U+" << std::hex << quint32(u);
    }
    for (const QString &text : QStringList {QString(), u""_s, u"\U0001F600 pair"_s,
                                            QString(QChar(0xd83d)) + QChar(0xd83d),
                                            QString(QChar(0xde00)) + QChar(0xd83d) + QChar(0xde00),
                                            u"\"\\\n\r\t\b\f\u0001\u007f"_s})
        EXPECT_EQ(ListCommands::jsonString(text), qtString(text)) << text.toStdString();
}
