#include "VersionCommands.h"
#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

TEST(QmfVersionTest, ComparePrintsTheOrder)
{
    const QString needsTwo
            = u"qmf: version compare needs two versions, A and B (a version that begins "
              "with \"-\" goes after \"--\")\n"_s;
    const QString parserWords; // null: the option parser's message
    expectRuns({
            {words("version compare 1.10 1.9"), {}, 0, "1\n"},
            {words("version compare 1.9 1.10"), {}, 0, "-1\n"},
            {words("version compare 1.01 1.1"), {}, 0, "0\n"},
            // Versions that look like options are passed after "--".
            {words("version compare -- -1 1"), {}, 0, "-1\n"},
            {words("version compare 1 -- -a"), {}, 0, "1\n"},
            // An empty version is a version too.
            {{u"version"_s, u"compare"_s, u""_s, u"a"_s}, {}, 0, "1\n"},
            failing(words("version compare 1"), 2, needsTwo),
            failing(words("version compare 1 2 3"), 2, needsTwo),
            failing(words("version compare -1 2"), 2),
            // "-1" is taken as an option
            failing(words("version"), 2),
    });
}

TEST(QmfVersionTest, SortPrintsLinesInVersionOrder)
{
    // More equal versions than a sort puts in order by insertion alone: 1.0, 01.0, 001.0, ...
    QByteArray equal;
    for (int zeros = 0; zeros < 40; ++zeros)
        equal += QByteArray(zeros, '0') + "1.0\n";
    const struct
    {
        const char *name;
        QByteArray input;
        QByteArray out;
    } rows[] = {
            {"empty input", "", ""},
            {"no final line feed", "1.10\n1.9", "1.9\n1.10\n"},
            {"empty lines are versions", "1\n\n\n", "\n\n1\n"},
            {"only a final CR goes", "b\r\r\na\r\n", "a\nb\r\n"},
            // Equal versions keep their input order.
            {"stable", equal + "0.9\n", "0.9\n" + equal},
            // Bytes that are not UTF-8 are read as Mac OS Roman; output is UTF-8.
            {"Mac OS Roman", "1.\xe9\n1.a\n", "1.a\n1.\xc3\x88\n"},
            {"UTF-8", "1.\xc3\xa9\n1.z\n", "1.z\n1.\xc3\xa9\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome fromInput = runQmf(words("version sort"), row.input);
        EXPECT_EQ(fromInput.status, 0);
        EXPECT_EQ(fromInput.out.toUtf8(), row.out);
        EXPECT_TRUE(fromInput.err.isEmpty()) << qPrintable(fromInput.err);
        EXPECT_EQ(runQmf(words("version sort -- -"), row.input).out.toUtf8(), row.out);

        QTemporaryDir dir;
        const QString path = writeFile(dir, QStringLiteral("versions.txt"), row.input);
        const Outcome fromFile = runQmf({QStringLiteral("version"), QStringLiteral("sort"), path});
        EXPECT_EQ(fromFile.status, 0);
        EXPECT_EQ(fromFile.out.toUtf8(), row.out);
    }

    const Outcome missing = runQmf(words("version sort /nonexistent/versions.txt"));
    EXPECT_EQ(missing.status, 2);
    EXPECT_TRUE(missing.out.isEmpty());
    EXPECT_TRUE(missing.err.startsWith(QStringLiteral("qmf: /nonexistent/versions.txt: ")));
    EXPECT_EQ(runQmf(words("version sort a b")).status, 2);
}
