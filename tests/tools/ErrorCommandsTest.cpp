#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

const QString catalog = QStringLiteral(QMF_TEST_DATA_DIR "/catalog.json");

Outcome explain(const QString &arguments)
{
    return runQmf(QStringList {u"errors"_s, u"explain"_s, catalog}
                  + arguments.split(u' ', Qt::SkipEmptyParts));
}

QString withoutAddress(QString text)
{
    return text.replace(QRegularExpression(u"<NSError 0x[0-9a-f]+>"_s), u"<NSError 0x1>"_s);
}

} // namespace

TEST(QmfErrorsTest, ExplainPrintsTheFullDescription)
{
    const struct
    {
        const char *arguments;
        QString out;
    } rows[] = {
            {"ShopErrorDomain 1 item=Tea when=today",
             u"<NSError 0x1> {\n\tDomain: ShopErrorDomain\n\tCode: 1\n"
             "\tDescription: Tea is out of stock.\n\tReason: The last one was sold today.\n"
             "\tUserInfo: {\n"
             "    NSLocalizedDescription = Tea is out of stock.;\n"
             "    NSLocalizedFailureReason = The last one was sold today.;\n"
             "    NSLocalizedRecoverySuggestion = The last one was sold today.;\n"
             "    item = Tea;\n    when = today;\n}\n}\n"_s},
            // A code written as text in the catalog; a value may hold "=".
            {"ShopErrorDomain 7 note=limit=0",
             u"<NSError 0x1> {\n\tDomain: ShopErrorDomain\n\tCode: 7\n"
             "\tDescription: Card declined: limit=0\n\tReason: (null)\n"
             "\tUserInfo: {\n    NSLocalizedDescription = Card declined: limit=0;\n"
             "    note = limit=0;\n}\n}\n"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.arguments);
        const Outcome outcome = explain(QString::fromUtf8(row.arguments));
        EXPECT_EQ(outcome.status, 0) << qPrintable(outcome.err);
        EXPECT_EQ(withoutAddress(outcome.out), row.out);
        EXPECT_TRUE(outcome.err.isEmpty());
    }
}

TEST(QmfErrorsTest, ExplainRefusesWhatItCannotExplain)
{
    QTemporaryDir dir;
    const QString broken = dir.filePath(u"broken.json"_s);
    QFile file(broken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"domain": "D", "errors": [{"code": "one"}]})");
    file.close();

    const QStringList explain {u"errors"_s, u"explain"_s};
    expectRuns({
            failing(explain + QStringList {catalog, u"ShopErrorDomain"_s}, 2,
                    u"qmf: errors explain needs CATALOG.json, DOMAIN and CODE (a negative CODE "
                    "goes after \"--\")\n"_s),
            failing(explain + QStringList {catalog, u"ShopErrorDomain"_s, u"1x"_s}, 2,
                    u"qmf: errors explain: CODE must be an integer, not \"1x\"\n"_s),
            failing(explain + QStringList {catalog, u"ShopErrorDomain"_s, u"1"_s, u"item"_s}, 2,
                    u"qmf: errors explain: \"item\" is not KEY=VALUE\n"_s),
            failing(explain + QStringList {u"/nonexistent/catalog.json"_s, u"D"_s, u"1"_s}, 1,
                    u"qmf: The error catalog \"/nonexistent/catalog.json\" does not exist.\n"
                    "No such file or directory\n"_s),
            failing(explain + QStringList {broken, u"D"_s, u"1"_s}, 1,
                    u"qmf: The error catalog \"%1\" has an invalid definition at /errors/0.\n"
                    "/errors/0/code: expected an integer (a number, or a text of decimal digits), "
                    "found \"one\"\n"_s.arg(broken)),
            failing(explain + QStringList {catalog, u"OtherErrorDomain"_s, u"1"_s}, 1,
                    u"qmf: %1 defines no errors in the domain \"OtherErrorDomain\" (its domain is "
                    "ShopErrorDomain)\n"_s.arg(catalog)),
            failing(explain + QStringList {catalog, u"ShopErrorDomain"_s, u"9"_s}, 1,
                    u"qmf: %1 defines no error with code 9 in ShopErrorDomain (its codes: -1, 1, "
                    "7)\n"_s.arg(catalog)),
            failing(words("errors"), 2),
    });
}
