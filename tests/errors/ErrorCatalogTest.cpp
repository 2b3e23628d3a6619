#include "support/Failures.h"
#include <QMFoundation/errors/QMErrorManager.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include <latch>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;
using TestSupport::failureOf;

namespace {

QVariantMap definition(qint64 code, const QString &description, const QStringList &keys,
                       const QString &reason = {}, const QStringList &reasonKeys = {})
{
    QVariantMap map {{kDefinitionCode, code},
                     {kDefinitionDescription, description},
                     {kDefinitionDescriptionKeys, keys},
                     {kDefinitionFailureReasonKeys, reasonKeys}};
    if (!reason.isNull())
        map.insert(kDefinitionFailureReason, reason);
    return map;
}

} // namespace

TEST(QMErrorDefinitionTest, SubstitutesAllKeysOrNone)
{
    const struct
    {
        const char *name;
        QString message;
        QStringList keys;
        QVariantMap userInfo;
        QString expected;
    } rows[] = {
            {"all keys present", u"File %@"_s, {u"p"_s}, {{u"p"_s, u"/x"_s}}, u"File /x"_s},
            {"keys in list order",
             u"%@ of %@"_s,
             {u"z"_s, u"a"_s},
             {{u"a"_s, 5}, {u"z"_s, 3}},
             u"3 of 5"_s},
            {"no keys: placeholders stay", u"100% %@"_s, {}, {{u"p"_s, 1}}, u"100% %@"_s},
            {"empty user information", u"File %@"_s, {u"p"_s}, {}, u"File %@"_s},
            {"one of two keys missing", u"%@, %@"_s, {u"a"_s, u"b"_s}, {{u"a"_s, 1}}, u"%@, %@"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(QMErrorDefinition::localizeMessage(row.message, row.keys, row.userInfo),
                  row.expected);
    }

    const struct
    {
        QVariant code;
        qint64 expected;
    } codes[] = {{u" 42 "_s, 42}, {u"4x"_s, 0}, {42.9, 42}, {1e300, 0}, {QVariant(), 0}};
    for (const auto &row : codes) {
        SCOPED_TRACE(row.code.toString().toStdString());
        EXPECT_EQ(QMErrorDefinition({{kDefinitionCode, row.code}}).code(), row.expected);
    }
}

TEST(QMErrorManagerTest, BuildsErrorsFromTheCatalog)
{
    QMErrorManager manager;
    const QString domain = u"SyncErrorDomain"_s;
    manager.addErrorDefinitions(
            {definition(1, u"File %@"_s, {u"path"_s}, u"Lost %@"_s, {u"path"_s}),
             definition(2, u"Quota %@"_s, {u"limit"_s}),
             {{kDefinitionCode, u"42"_s}, {kDefinitionDescription, u"Answer"_s}},
             definition(1, u"Shadowed"_s, {})},
            domain);

    const QString &D = QMLocalizedDescriptionKey;
    const QString &R = QMLocalizedFailureReasonErrorKey;
    const QString &S = QMLocalizedRecoverySuggestionErrorKey;
    const QString p = u"path"_s;
    const struct
    {
        const char *name;
        qint64 code;
        QVariantMap userInfo;
        QVariantMap expected;
    } rows[] = {
            // The substituted values stay; the failure reason doubles as the suggestion.
            {"both texts substituted",
             1,
             {{p, u"/x"_s}},
             {{p, u"/x"_s}, {D, u"File /x"_s}, {R, u"Lost /x"_s}, {S, u"Lost /x"_s}}},
            {"the caller's texts win",
             1,
             {{p, u"/x"_s}, {D, u"Mine"_s}, {R, u"Why"_s}},
             {{p, u"/x"_s}, {D, u"Mine"_s}, {R, u"Why"_s}, {S, u"Why"_s}}},
            {"the caller's suggestion is kept",
             1,
             {{p, u"/x"_s}, {S, u"Retry"_s}},
             {{p, u"/x"_s}, {D, u"File /x"_s}, {R, u"Lost /x"_s}, {S, u"Retry"_s}}},
            {"no failure reason, no suggestion",
             2,
             {{u"limit"_s, 5}},
             {{u"limit"_s, 5}, {D, u"Quota 5"_s}}},
            {"a text code matches", 42, {}, {{D, u"Answer"_s}}},
            {"unknown code: the caller's entries",
             9,
             {{u"x"_s, 1}, {R, u"Why"_s}},
             {{u"x"_s, 1}, {R, u"Why"_s}, {S, u"Why"_s}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QMError error = manager.errorWithDomain(domain, row.code, row.userInfo);
        EXPECT_EQ(error.domain(), domain);
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.userInfo(), row.expected);
    }
    EXPECT_EQ(failureOf([&] { manager.addErrorDefinition(definition(1, u"a"_s, {}), QString()); }),
              u"Invalid parameter not satisfying: errorDomain"_s);
}

TEST(QMErrorManagerTest, LoadsJSONCatalogsWholeOrNotAtAll)
{
    QMErrorManager loaded;
    ASSERT_TRUE(loaded.addErrorDefinitionsFromJSONData(
            R"({"domain": "D", "prefix": "P", "comment": "extra members are kept",
                "errors": [{"code": 1, "description": "At %@", "description_keys": ["where"],
                            "http_status": 404}, {"code": "-2"}, {"code": 1e3},
                           {"code": 9223372036854775807}]})",
            u"c.json"_s));
    QList<qint64> codes;
    for (const QMErrorDefinitionPtr &definition :
         loaded.allErrorDefinitionsByDomain().value(u"D"_s))
        codes.append(definition->code());
    EXPECT_EQ(codes, (QList<qint64> {1, -2, 1000, std::numeric_limits<qint64>::max()}));
    EXPECT_EQ(loaded.errorWithDomain(u"D"_s, 1, {{u"where"_s, u"home"_s}}).localizedDescription(),
              u"At home"_s);

    // Rejected catalogs: the code, the offending entry and the reason (null: Qt's words).
    const struct
    {
        const char *json;
        qint64 code;
        QString entry;
        QString reason;
    } rejected[] = {
            {R"({"domain": "D", "errors": [)", QMErrorCatalogErrorInvalidJSON, QString(), {}},
            {"[]", QMErrorCatalogErrorInvalidCatalog, u""_s,
             u": expected an object, found an array"_s},
            {R"({"errors": []})", QMErrorCatalogErrorInvalidCatalog, u""_s,
             u"the catalog has no \"domain\""_s},
            {R"({"domain": "", "errors": []})", QMErrorCatalogErrorInvalidCatalog, u"/domain"_s,
             u"/domain: expected a non-empty text, found \"\""_s},
            {R"({"domain": "D", "errors": {}})", QMErrorCatalogErrorInvalidCatalog, u"/errors"_s,
             u"/errors: expected an array, found an object"_s},
            // Definitions; the valid first entry must not be added either.
            {R"({"domain": "D", "errors": [{"code": 1}, 2]})", QMErrorCatalogErrorInvalidDefinition,
             u"/errors/1"_s, u"/errors/1: expected an object, found the number 2"_s},
            {R"({"domain": "D", "errors": [{"code": 1}, {"name": "NoCode"}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/1"_s, u"/errors/1 has no \"code\""_s},
            {R"({"domain": "D", "errors": [{"code": 1.5}]})", QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/code"_s,
             u"/errors/0/code: expected an integer (a number, or a text of decimal digits), "
             "found the number 1.5"_s},
            {R"({"domain": "D", "errors": [{"code": "99999999999999999999"}]})",
             QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/code"_s,
             {}},
            {R"({"domain": "D", "errors": [{"code": 3}, {"code": "3"}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/1/code"_s,
             u"/errors/1/code: code 3 is already defined at /errors/0"_s},
            {R"({"domain": "D", "errors": [{"code": 1, "description": ["x"]}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/0/description"_s,
             u"/errors/0/description: expected a text, found an array"_s},
            {R"({"domain": "D", "errors": [{"code": 1, "failure_reason_keys":
                 ["a","b","c","d","e","f","g","h","i","j","k"]}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/0/failure_reason_keys"_s,
             u"/errors/0/failure_reason_keys: 11 keys, but a text takes at most 10 values"_s},
    };
    for (const auto &row : rejected) {
        SCOPED_TRACE(row.json);
        QMErrorManager manager;
        manager.addErrorDefinition(definition(1, u"kept"_s, {}), u"D"_s);
        QMError error;
        EXPECT_FALSE(manager.addErrorDefinitionsFromJSONData(row.json, u"c.json"_s, &error));
        EXPECT_EQ(error.domain(), QMErrorCatalogErrorDomain);
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.userInfo().value(QMErrorCatalogFileKey), u"c.json"_s);
        EXPECT_TRUE(error.localizedDescription().contains(u"\"c.json\""_s));
        EXPECT_EQ(error.userInfo().value(QMErrorCatalogEntryKey).toString(), row.entry);
        EXPECT_EQ(error.userInfo().contains(QMErrorCatalogEntryKey), !row.entry.isNull());
        EXPECT_TRUE(row.reason.isNull() || error.localizedFailureReason() == row.reason)
                << qPrintable(error.localizedFailureReason());
        EXPECT_EQ(manager.allErrorDefinitionsByDomain().value(u"D"_s).size(), 1);
    }
}

TEST(QMErrorManagerTest, ReportsCatalogFilesThatCannotBeRead)
{
    QTemporaryDir dir;
    const QString good = dir.filePath(u"good.json"_s);
    QFile file(good);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"domain": "D", "errors": [{}]})");
    file.close();
    const QString missing = dir.filePath(u"missing.json"_s);
    const QString fifo = dir.filePath(u"fifo.json"_s);
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString large = dir.filePath(u"large.json"_s);
    QFile largeFile(large);
    ASSERT_TRUE(largeFile.open(QIODevice::WriteOnly));
    ASSERT_TRUE(largeFile.resize(QMErrorCatalogMaximumFileSize + 1)); // sparse: nothing written
    largeFile.close();
    const struct
    {
        QString path;
        qint64 code;
        QString description;
        QString reason; // any when empty
    } rows[] = {
            {missing,
             QMErrorCatalogErrorFileNotFound,
             u"The error catalog \"%1\" does not exist."_s.arg(missing),
             {}},
            {dir.path(),
             QMErrorCatalogErrorFileUnreadable,
             u"The error catalog \"%1\" could not be read."_s.arg(dir.path()),
             {}},
            {good,
             QMErrorCatalogErrorInvalidDefinition,
             u"The error catalog \"%1\" has an invalid definition at /errors/0."_s.arg(good),
             {}},
            // Neither a FIFO without a writer (the open would wait for one) nor a device is
            // read, nor a file past the size bound.
            {fifo, QMErrorCatalogErrorFileUnreadable,
             u"The error catalog \"%1\" could not be read."_s.arg(fifo), u"Not a regular file"_s},
            {u"/dev/zero"_s, QMErrorCatalogErrorFileUnreadable,
             u"The error catalog \"/dev/zero\" could not be read."_s, u"Not a regular file"_s},
            {large, QMErrorCatalogErrorFileUnreadable,
             u"The error catalog \"%1\" could not be read."_s.arg(large),
             u"Larger than 16 MiB, the most an error catalog may hold"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        QMError error;
        EXPECT_FALSE(QMErrorManager().addErrorDefinitionsFromJSON(row.path, &error));
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.localizedDescription(), row.description);
        EXPECT_FALSE(error.localizedFailureReason().isEmpty());
        if (!row.reason.isEmpty()) {
            EXPECT_EQ(error.localizedFailureReason(), row.reason);
        }
    }
}

TEST(QMErrorManagerTest, SharedManagerServesRacingThreads)
{
    constexpr int threadCount = 8;
    constexpr int perThread = 50;
    std::latch start(threadCount);
    std::vector<QMErrorManager *> seen(threadCount);
    std::vector<int> built(threadCount);
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            QMErrorManager &manager = QMErrorManager::sharedManager();
            seen[t] = &manager;
            const QString own = u"RaceDomain%1"_s.arg(t);
            const QString neighbour = u"RaceDomain%1"_s.arg((t + 1) % threadCount);
            for (int i = 0; i < perThread; ++i) {
                manager.addErrorDefinition(definition(i, u"%@ #%@"_s, {u"who"_s, u"n"_s}), own);
                manager.addErrorDefinitions({definition(i, u"shared"_s, {})}, u"RaceShared"_s);
                const QMError mine = manager.errorWithDomain(own, i, {{u"who"_s, t}, {u"n"_s, i}});
                built[t] += mine.localizedDescription() == u"%1 #%2"_s.arg(t).arg(i);
                // The neighbour's catalog grows meanwhile: any answer is fine, none may tear.
                if (const QMErrorDefinitionPtr other
                    = manager.errorDefinitionForDomain(neighbour, i)) {
                    EXPECT_EQ(other->code(), i);
                }
                EXPECT_FALSE(manager.allErrorDefinitionsByDomain().value(own).isEmpty());
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    const QMErrorManager::DefinitionsByDomain table
            = QMErrorManager::sharedManager().allErrorDefinitionsByDomain();
    for (int t = 0; t < threadCount; ++t) {
        SCOPED_TRACE(t);
        EXPECT_EQ(seen[t], &QMErrorManager::sharedManager());
        EXPECT_EQ(built[t], perThread);
        EXPECT_EQ(table.value(u"RaceDomain%1"_s.arg(t)).size(), perThread);
    }
    EXPECT_EQ(table.value(u"RaceShared"_s).size(), threadCount * perThread);
}
