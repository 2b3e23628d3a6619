#include "QmfTestSupport.h"

#include "TreeReader.h"

#include "text/TextTestSupport.h"

#include <gtest/gtest.h>

using namespace Qt::StringLiterals;

using namespace QmfTestSupport;

namespace {

// Runs `qmf tree OLD NEW [options]` on two files holding `oldJson` and `newJson`.
Outcome treeFiles(const QTemporaryDir &dir, const QByteArray &oldJson, const QByteArray &newJson,
                  const QStringList &options = {})
{
    return runQmf(QStringList {u"tree"_s, writeFile(dir, u"old.json"_s, oldJson),
                               writeFile(dir, u"new.json"_s, newJson)}
                  + options);
}

// `levels` nodes, each the only child of the one before.
QByteArray chain(int levels)
{
    QByteArray json = R"({"id":"leaf"})";
    for (int level = 1; level < levels; ++level)
        json = R"({"id":"n)" + QByteArray::number(level) + R"(","children":[)" + json + "]}";
    return json;
}

} // namespace

TEST(QmfTreeTest, PrintsTheMergedTree)
{
    // Both files of the incremental rows.
    const QByteArray oldTree = R"([{"id":"a","children":[{"id":"a1"},{"id":"a2"},{"id":"a3"}]},
                                   {"id":"b","children":[{"id":"b1"}]}, {"id":"c"}])";
    const QByteArray newTree = R"([{"id":"c","title":"C"},
                                   {"id":"a","children":[{"id":"a3"},{"id":"a1"},{"id":"b1"}]},
                                   {"id":"b"}])";
    const struct
    {
        const char *name;
        QByteArray oldJson;
        QByteArray newJson;
        QStringList options;
        const char *out;
    } rows[] = {
            // Titles, else identifiers; "" is a title. Nodes are matched anywhere in the tree.
            {"plain",
             R"({"id":"a","title":"Alpha","children":[{"id":"a1"},{"id":"a2"}]})",
             R"([{"id":"b","title":"Beta","children":[{"id":"a2","title":null}]},
                 {"id":"a","title":"Alpha","children":[{"id":"a3","title":""}]}])",
             {},
             "Beta\n  a2\nAlpha\n  \n"},
            {"empty", "[]", "[]", {}, ""},
            // Sorting compares code units; the filter ignores case, and a parent whose leaves
            // are all filtered out is tested itself.
            {"sorted and filtered",
             R"([{"id":"r","title":"Root","children":[{"id":"x","title":"Zeta notes"},
                 {"id":"y","title":"alpha NOTES"},{"id":"z","title":"Other"}]},
                 {"id":"q","title":"Quiet"}])",
             R"([{"id":"q","title":"Quiet","children":[{"id":"w","title":"Notes on w"}]},
                 {"id":"r","title":"Root","children":[{"id":"x","title":"Zeta notes"},
                   {"id":"y","title":"alpha NOTES"},{"id":"z","title":"Notes too"},
                   {"id":"e","title":"Empty parent","children":[{"id":"e1","title":"nothing"}]}]},
                 {"id":"m","title":"Minor notes"}])",
             {u"--sort"_s, u"title"_s, u"--filter"_s, u"notes"_s},
             "Minor notes\nQuiet\n  Notes on w\nRoot\n  Notes too\n  Zeta notes\n  alpha NOTES\n"},
            {"not incremental", oldTree, newTree, {}, "C\na\n  a3\n  a1\n  b1\nb\n"},
            // Deepest lists first. b1 leaves b, reported there, before a takes it in.
            {"incremental",
             oldTree,
             newTree,
             {u"--incremental"_s},
             "updated []\n"
             "will delete {1} in a\ndid delete {1} in a\n"
             "will delete {0} in b\ndid delete {0} in b\n"
             "will insert {2} in a\ndid insert {2} in a\n"
             "will move 0 -> 1 in a\ndid move 0 -> 1 in a\n"
             "updated [c]\n"
             "will move 2 -> 0 in (root)\ndid move 2 -> 0 in (root)\n"
             "C\na\n  a3\n  a1\n  b1\nb\n"},
            // The filter applies to the old tree before the merge, without callbacks.
            {"incremental and filtered",
             R"([{"id":"k","title":"keep"},{"id":"d","title":"drop"}])",
             R"([{"id":"d","title":"drop"},{"id":"k","title":"keep too"},{"id":"n","title":"new keep"}])",
             {u"--incremental"_s, u"--filter"_s, u"KEEP"_s},
             "updated [k]\nwill insert {1} in (root)\ndid insert {1} in (root)\nkeep too\nnew "
             "keep\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const Outcome outcome = treeFiles(dir, row.oldJson, row.newJson, row.options);
        EXPECT_EQ(outcome.status, 0);
        EXPECT_EQ(outcome.err, QString());
        EXPECT_EQ(outcome.out, QString::fromUtf8(row.out));
    }
}

TEST(QmfTreeTest, BadFilesEndWithStatus1)
{
    const struct
    {
        const char *name;
        QByteArray json;
        bool inNew; // the fault is in NEW (OLD being fine), else in OLD
        const char *error;
    } rows[] = {
            {"empty file", "", false, "invalid JSON at offset 0: illegal value"},
            {"malformed", R"([{"id":"a"} {"id":"b"}])", true,
             "invalid JSON at offset 13: missing value separator"},
            {"root not a node", R"([{"id":"a"}, 3])", false, "[1]: expected a node (an object)"},
            {"child not a node", R"({"id":"a","children":["b"]})", true,
             "children[0]: expected a node (an object)"},
            {"missing id", R"([{"title":"t"}])", false, "[0].id: missing"},
            {"id not a string", R"([{"id":1}])", true, "[0].id: expected a string"},
            {"title not a string", R"([{"id":"a","title":false}])", false,
             "[0].title: expected a string"},
            {"children not an array", R"([{"id":"a","children":{}}])", true,
             "[0].children: expected an array"},
            {"unknown field", R"([{"id":"a","chidren":[]}])", false,
             R"([0]: unknown field "chidren")"},
            {"duplicate under one parent", R"([{"id":"p","children":[{"id":"x"},{"id":"y"},
                                              {"id":"x"}]}])",
             true, R"([0].children[2]: duplicate id "x" (first at [0].children[0]))"},
            // Identifiers are global to a tree.
            {"duplicate across parents", R"([{"id":"p","children":[{"id":"x"}]},{"id":"x"}])",
             false, R"([1]: duplicate id "x" (first at [0].children[0]))"},
            {"duplicate of the single node", R"({"id":"x","children":[{"id":"x"}]})", true,
             R"(children[0]: duplicate id "x" (first at the top))"},
            {"escaped in the message", R"([{"id":"a\"\n"},{"id":"a\"\n"}])", false,
             R"([1]: duplicate id "a\"\n" (first at [0]))"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir dir;
        const QByteArray fine = R"({"id":"fine"})";
        const Outcome outcome
                = treeFiles(dir, row.inNew ? fine : row.json, row.inNew ? row.json : fine);
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, QString());
        EXPECT_EQ(outcome.err,
                  u"qmf tree: "_s + dir.filePath(row.inNew ? u"new.json"_s : u"old.json"_s)
                          + u": "_s + QString::fromUtf8(row.error) + u'\n');
    }

    QTemporaryDir dir;
    const QString missing = dir.filePath(u"missing.json"_s);
    const Outcome outcome = runQmf({u"tree"_s, missing, writeFile(dir, u"new.json"_s, "[]")});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(outcome.err.startsWith(u"qmf tree: "_s + missing + u": "_s))
            << outcome.err.toStdString();
}

TEST(QmfTreeTest, NestingIsLimited)
{
    QString error;
    const std::optional<QMTreeNodeList> deepest
            = TreeReader::nodesFromJson(chain(TreeReader::maximumDepth), &error);
    ASSERT_TRUE(deepest) << error.toStdString();
    int levels = 0;
    for (QMTreeNodeList nodes = *deepest; !nodes.isEmpty(); nodes = nodes.first()->childNodes())
        ++levels;
    EXPECT_EQ(levels, TreeReader::maximumDepth);

    EXPECT_FALSE(TreeReader::nodesFromJson(chain(TreeReader::maximumDepth + 1), &error));
    QStringList path(TreeReader::maximumDepth, u"children[0]"_s);
    EXPECT_EQ(error, path.join(u'.') + u": nodes nested more than 256 levels deep"_s);
}

TEST(QmfTreeTest, UsageErrorsEndWithStatus2)
{
    const QString twoFiles = u"qmf tree: expected two files, OLD.json and NEW.json\n"_s;
    expectRuns({
            failing(words("tree a.json"), 2, twoFiles),
            failing(words("tree a.json b.json c.json"), 2, twoFiles),
            failing(words("tree a.json b.json --sort name"), 2,
                    u"qmf tree: cannot sort by \"name\"; the accepted key is title\n"_s),
            failing(words("tree a.json b.json --sort"), 2,
                    u"qmf tree: --sort needs a KEY; the accepted key is title\n"_s),
            failing(words("tree a.json b.json --filter"), 2,
                    u"qmf tree: --filter needs a TEXT\n"_s),
            // The option parser words this one.
            failing(words("tree a.json b.json --depth 2"), 2),
    });
}
