#include "errors/QMErrorManager.h"
#include "errors/QMInternalInconsistencyException.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <latch>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString domain = u"SyncErrorDomain"_s;

QVariantMap definition(qint64 code, const QString &description, const QStringList &descriptionKeys,
                       const QString &reason = {}, const QStringList &reasonKeys = {})
{
    QVariantMap map {{kDefinitionCode, code},
                     {kDefinitionDescription, description},
                     {kDefinitionDescriptionKeys, descriptionKeys}};
    if (!reason.isNull())
        map.insert(kDefinitionFailureReason, reason);
    if (!reasonKeys.isEmpty())
        map.insert(kDefinitionFailureReasonKeys, reasonKeys);
    return map;
}

void expectThrows(const std::function<void()> &call, const QString &reason)
{
    try {
        call();
        ADD_FAILURE() << "no exception";
    } catch (const QMInternalInconsistencyException &e) {
        EXPECT_EQ(e.reason(), reason);
    }
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
            {"all keys present",
             u"File %@ not found"_s,
             {u"path"_s},
             {{u"path"_s, u"/tmp/x"_s}},
             u"File /tmp/x not found"_s},
            {"keys fill in their order, not the map's",
             u"%@ of %@"_s,
             {u"z"_s, u"a"_s},
             {{u"a"_s, u"five"_s}, {u"z"_s, 3}},
             u"3 of five"_s},
            {"no keys: placeholders stay",
             u"File %@ not found"_s,
             {},
             {{u"path"_s, u"/tmp/x"_s}},
             u"File %@ not found"_s},
            {"no keys: a lone percent stays", u"100%"_s, {}, {}, u"100%"_s},
            {"empty user information",
             u"File %@ not found"_s,
             {u"path"_s},
             {},
             u"File %@ not found"_s},
            {"one of two keys missing",
             u"%@ and %@"_s,
             {u"a"_s, u"b"_s},
             {{u"a"_s, 1}},
             u"%@ and %@"_s},
            {"a present key may hold the null marker",
             u"value: %@"_s,
             {u"v"_s},
             {{u"v"_s, QVariant::fromValue(nullptr)}},
             u"value: <null>"_s},
            {"fewer keys than placeholders",
             u"%@-%@"_s,
             {u"a"_s},
             {{u"a"_s, u"x"_s}},
             u"x-(null)"_s},
            {"no message gives none", QString(), {u"a"_s}, {{u"a"_s, 1}}, QString()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString text
                = QMErrorDefinition::localizeMessage(row.message, row.keys, row.userInfo);
        EXPECT_EQ(text, row.expected);
        EXPECT_EQ(text.isNull(), row.expected.isNull());
    }

    QStringList eleven;
    QVariantMap values;
    for (int i = 0; i < 11; ++i) {
        eleven.append(QString::number(i));
        values.insert(QString::number(i), i);
    }
    expectThrows([&] { QMErrorDefinition::localizeMessage(u"%@"_s, eleven, values); },
                 u"Only 10 string format arguments supported."_s);
    // With a key missing nothing is formatted, so nothing is too many.
    values.remove(u"10"_s);
    EXPECT_EQ(QMErrorDefinition::localizeMessage(u"%@"_s, eleven, values), u"%@"_s);
}

TEST(QMErrorDefinitionTest, ReadsCodesLikeTheCatalogsWriteThem)
{
    const struct
    {
        const char *name;
        QVariant code;
        qint64 expected;
    } rows[] = {
            {"integer", 42, 42},
            {"negative", qint64(-7), -7},
            {"text", u"42"_s, 42},
            {"text with spaces", u" 42 "_s, 42},
            {"text that is no integer", u"4x"_s, 0},
            {"double is cut", 42.9, 42},
            {"double out of range", 1e300, 0},
            {"unsigned past the signed range", std::numeric_limits<quint64>::max(), 0},
            {"missing", QVariant(), 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QVariantMap map {{kDefinitionName, u"N"_s}};
        if (row.code.isValid())
            map.insert(kDefinitionCode, row.code);
        EXPECT_EQ(QMErrorDefinition(map).code(), row.expected);
    }

    // The properties follow the dictionary when it is replaced.
    const QMErrorDefinitionPtr replaced
            = QMErrorDefinition::errorDefinitionWithDefinition(definition(1, u"a"_s, {}));
    replaced->setDefinition({{kDefinitionCode, 2}, {kDefinitionName, u"Second"_s}});
    EXPECT_EQ(replaced->code(), 2);
    EXPECT_EQ(replaced->name(), u"Second"_s);
    EXPECT_TRUE(replaced->descriptionFormat().isNull());
    EXPECT_TRUE(replaced->descriptionKeys().isEmpty());
}

TEST(QMErrorManagerTest, BuildsErrorsFromTheCatalog)
{
    QMErrorManager manager;
    manager.addErrorDefinitions(
            {definition(1, u"File %@ not found"_s, {u"path"_s}, u"%@ was removed"_s, {u"path"_s}),
             definition(2, u"Quota of %@ reached"_s, {u"limit"_s}),
             {{kDefinitionCode, u"42"_s}, {kDefinitionDescription, u"Answer"_s}},
             definition(1, u"Shadowed"_s, {})},
            domain);

    const QVariantMap path {{u"path"_s, u"/tmp/x"_s}};
    const struct
    {
        const char *name;
        qint64 code;
        QVariantMap userInfo;
        QVariantMap expected;
    } rows[] = {
            {"both texts substituted; the reason is also the suggestion; values stay",
             1,
             path,
             {{u"path"_s, u"/tmp/x"_s},
              {QMLocalizedDescriptionKey, u"File /tmp/x not found"_s},
              {QMLocalizedFailureReasonErrorKey, u"/tmp/x was removed"_s},
              {QMLocalizedRecoverySuggestionErrorKey, u"/tmp/x was removed"_s}}},
            {"missing key leaves the formats as they are",
             1,
             {},
             {{QMLocalizedDescriptionKey, u"File %@ not found"_s},
              {QMLocalizedFailureReasonErrorKey, u"%@ was removed"_s},
              {QMLocalizedRecoverySuggestionErrorKey, u"%@ was removed"_s}}},
            {"the caller's description and reason win, and the reason is suggested",
             1,
             {{u"path"_s, u"/p"_s},
              {QMLocalizedDescriptionKey, u"Mine"_s},
              {QMLocalizedFailureReasonErrorKey, u"Because"_s}},
             {{u"path"_s, u"/p"_s},
              {QMLocalizedDescriptionKey, u"Mine"_s},
              {QMLocalizedFailureReasonErrorKey, u"Because"_s},
              {QMLocalizedRecoverySuggestionErrorKey, u"Because"_s}}},
            {"the caller's suggestion is kept",
             1,
             {{u"path"_s, u"/p"_s}, {QMLocalizedRecoverySuggestionErrorKey, u"Retry"_s}},
             {{u"path"_s, u"/p"_s},
              {QMLocalizedDescriptionKey, u"File /p not found"_s},
              {QMLocalizedFailureReasonErrorKey, u"/p was removed"_s},
              {QMLocalizedRecoverySuggestionErrorKey, u"Retry"_s}}},
            {"no failure reason, no suggestion",
             2,
             {{u"limit"_s, 5}},
             {{u"limit"_s, 5}, {QMLocalizedDescriptionKey, u"Quota of 5 reached"_s}}},
            {"a text code matches", 42, {}, {{QMLocalizedDescriptionKey, u"Answer"_s}}},
            {"unknown code: the caller's entries and the suggestion copy",
             9,
             {{u"x"_s, 1}, {QMLocalizedFailureReasonErrorKey, u"R"_s}},
             {{u"x"_s, 1},
              {QMLocalizedFailureReasonErrorKey, u"R"_s},
              {QMLocalizedRecoverySuggestionErrorKey, u"R"_s}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QMError error = manager.errorWithDomain(domain, row.code, row.userInfo);
        EXPECT_EQ(error.domain(), domain);
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.userInfo(), row.expected);
    }
    EXPECT_EQ(manager.errorWithDomain(u"Other"_s, 1, path).userInfo(), path);
    EXPECT_EQ(manager.errorDefinitionForDomain(domain, 1)->descriptionFormat(),
              u"File %@ not found"_s);
    EXPECT_EQ(manager.errorDefinitionForDomain(u"Other"_s, 1), nullptr);

    // A copy of the table does not grow with the manager.
    const QMErrorManager::DefinitionsByDomain before = manager.allErrorDefinitionsByDomain();
    manager.addErrorDefinition(definition(3, u"c"_s, {}), domain);
    EXPECT_EQ(before.value(domain).size(), 4);
    EXPECT_EQ(manager.allErrorDefinitionsByDomain().value(domain).size(), 5);

    expectThrows([&] { manager.addErrorDefinition(definition(1, u"a"_s, {}), QString()); },
                 u"Invalid parameter not satisfying: errorDomain"_s);
    expectThrows([&] { manager.addErrorDefinitions({}, QString()); },
                 u"Invalid parameter not satisfying: errorDomain"_s);
}

TEST(QMErrorManagerTest, LoadsJSONCatalogsWholeOrNotAtAll)
{
    const QString file = u"catalog.json"_s;
    // Accepted catalogs: the codes they declare, in order, and one built description.
    const struct
    {
        const char *json;
        QList<qint64> codes;
        QString descriptionOfFirst;
    } accepted[] = {
            {R"({"domain": "D", "errors": []})", {}, {}},
            {R"({"domain": "D", "prefix": "Sync", "comment": "extra members are kept",
                 "errors": [{"code": 1, "description": "At %@", "description_keys": ["where"],
                             "http_status": 404}, {"code": "-2"}]})",
             {1, -2},
             u"At home"_s},
            {R"({"domain": "D", "errors": [{"code": 1e3, "name": "Big", "failure_reason": "",
                 "failure_reason_keys": []}]})",
             {1000},
             QString()},
            {R"({"domain": "D", "errors": [{"code": 9223372036854775807}, {"code": "-9223372036854775808"}]})",
             {std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::min()},
             QString()},
    };
    for (const auto &row : accepted) {
        SCOPED_TRACE(row.json);
        QMErrorManager manager;
        QMError error;
        ASSERT_TRUE(manager.addErrorDefinitionsFromJSONData(row.json, file, &error))
                << qPrintable(error.localizedFailureReason());
        QList<qint64> codes;
        for (const QMErrorDefinitionPtr &definition :
             manager.allErrorDefinitionsByDomain().value(u"D"_s))
            codes.append(definition->code());
        EXPECT_EQ(codes, row.codes);
        if (!row.codes.isEmpty()) {
            EXPECT_EQ(manager.errorWithDomain(u"D"_s, row.codes.first(), {{u"where"_s, u"home"_s}})
                              .userInfo()
                              .value(QMLocalizedDescriptionKey)
                              .toString(),
                      row.descriptionOfFirst);
        }
    }

    // Rejected catalogs: the code, the offending entry and the reason.
    const struct
    {
        const char *json;
        qint64 code;
        QString entry;
        QString reason;
    } rejected[] = {
            {"", QMErrorCatalogErrorInvalidJSON, QString(), u"illegal value at offset 0"_s},
            {R"({"domain": "D", "errors": [)", QMErrorCatalogErrorInvalidJSON, QString(), {}},
            {"[]", QMErrorCatalogErrorInvalidCatalog, u""_s,
             u": expected an object, found an array"_s},
            {R"({"errors": []})", QMErrorCatalogErrorInvalidCatalog, u""_s,
             u"the catalog has no \"domain\""_s},
            {R"({"domain": "", "errors": []})", QMErrorCatalogErrorInvalidCatalog, u"/domain"_s,
             u"/domain: expected a non-empty text, found \"\""_s},
            {R"({"domain": 7, "errors": []})", QMErrorCatalogErrorInvalidCatalog, u"/domain"_s,
             u"/domain: expected a non-empty text, found the number 7"_s},
            {R"({"domain": "D"})", QMErrorCatalogErrorInvalidCatalog, u""_s,
             u"the catalog has no \"errors\""_s},
            {R"({"domain": "D", "errors": {}})", QMErrorCatalogErrorInvalidCatalog, u"/errors"_s,
             u"/errors: expected an array, found an object"_s},
            {R"({"domain": "D", "prefix": null, "errors": []})", QMErrorCatalogErrorInvalidCatalog,
             u"/prefix"_s, u"/prefix: expected a text, found null"_s},
            // Definitions; the valid first entry must not be added either.
            {R"({"domain": "D", "errors": [{"code": 1}, 2]})", QMErrorCatalogErrorInvalidDefinition,
             u"/errors/1"_s, u"/errors/1: expected an object, found the number 2"_s},
            {R"({"domain": "D", "errors": [{"code": 1}, {"name": "NoCode"}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/1"_s, u"/errors/1 has no \"code\""_s},
            {R"({"domain": "D", "errors": [{"code": 1.5}]})", QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/code"_s,
             u"/errors/0/code: expected an integer (a number, or a text of decimal digits), "
             "found the number 1.5"_s},
            {R"({"domain": "D", "errors": [{"code": 9223372036854775808}]})",
             QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/code"_s,
             {}},
            {R"({"domain": "D", "errors": [{"code": " 4"}]})",
             QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/code"_s,
             {}},
            {R"({"domain": "D", "errors": [{"code": "99999999999999999999"}]})",
             QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/code"_s,
             {}},
            {R"({"domain": "D", "errors": [{"code": true}]})",
             QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/code"_s,
             {}},
            {R"({"domain": "D", "errors": [{"code": 3}, {"code": "3"}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/1/code"_s,
             u"/errors/1/code: code 3 is already defined at /errors/0"_s},
            {R"({"domain": "D", "errors": [{"code": 1, "description": ["x"]}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/0/description"_s,
             u"/errors/0/description: expected a text, found an array"_s},
            {R"({"domain": "D", "errors": [{"code": 1, "failure_reason_keys": "path"}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/0/failure_reason_keys"_s,
             u"/errors/0/failure_reason_keys: expected a list of texts, found \"path\""_s},
            {R"({"domain": "D", "errors": [{"code": 1, "description_keys": ["a", 2]}]})",
             QMErrorCatalogErrorInvalidDefinition,
             u"/errors/0/description_keys/1"_s,
             {}},
            {R"({"domain": "D", "errors": [{"code": 1, "description_keys":
                 ["a","b","c","d","e","f","g","h","i","j","k"]}]})",
             QMErrorCatalogErrorInvalidDefinition, u"/errors/0/description_keys"_s,
             u"/errors/0/description_keys: 11 keys, but a text takes at most 10 values"_s},
    };
    for (const auto &row : rejected) {
        SCOPED_TRACE(row.json);
        QMErrorManager manager;
        manager.addErrorDefinition(definition(1, u"kept"_s, {}), u"D"_s);
        QMError error;
        EXPECT_FALSE(manager.addErrorDefinitionsFromJSONData(row.json, file, &error));
        EXPECT_EQ(error.domain(), QMErrorCatalogErrorDomain);
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.userInfo().value(QMErrorCatalogFileKey), file);
        EXPECT_TRUE(error.localizedDescription().contains(u"\"catalog.json\""_s));
        EXPECT_EQ(error.userInfo().value(QMErrorCatalogEntryKey).toString(), row.entry);
        EXPECT_EQ(error.userInfo().contains(QMErrorCatalogEntryKey), !row.entry.isNull());
        if (!row.reason.isNull()) {
            EXPECT_EQ(error.localizedFailureReason(), row.reason);
        }
        EXPECT_EQ(manager.allErrorDefinitionsByDomain().value(u"D"_s).size(), 1);
    }

    QMError error;
    QMErrorManager().addErrorDefinitionsFromJSONData(R"({"domain": "D", "errors": [{}]})", file,
                                                     &error);
    EXPECT_EQ(error.localizedDescription(),
              u"The error catalog \"catalog.json\" has an invalid definition at /errors/0."_s);
}

TEST(QMErrorManagerTest, ReportsCatalogFilesThatCannotBeRead)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString good = dir.filePath(u"good.json"_s);
    QFile file(good);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(R"({"domain": "D", "errors": [{"code": 1, "description": "One"}]})");
    file.close();

    QMErrorManager manager;
    QMError error;
    ASSERT_TRUE(manager.addErrorDefinitionsFromJSON(good, &error));
    EXPECT_TRUE(error.isNull());
    EXPECT_EQ(manager.errorWithDomain(u"D"_s, 1).localizedDescription(), u"One"_s);

    const struct
    {
        QString path;
        qint64 code;
        QString description;
    } rows[] = {
            {dir.filePath(u"missing.json"_s), QMErrorCatalogErrorFileNotFound,
             u"The error catalog \"%1\" does not exist."_s.arg(dir.filePath(u"missing.json"_s))},
            {dir.path(), QMErrorCatalogErrorFileUnreadable,
             u"The error catalog \"%1\" could not be read."_s.arg(dir.path())},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path.toStdString());
        EXPECT_FALSE(manager.addErrorDefinitionsFromJSON(row.path, &error));
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.localizedDescription(), row.description);
        EXPECT_FALSE(error.localizedFailureReason().isEmpty());
    }
    EXPECT_EQ(manager.allErrorDefinitionsByDomain().value(u"D"_s).size(), 1);
}

TEST(QMErrorManagerTest, SharedManagerServesRacingThreads)
{
    constexpr int threadCount = 8;
    constexpr int perThread = 50;
    std::latch start(threadCount);
    std::vector<QMErrorManager *> seen(threadCount);
    std::vector<int> builtOwn(threadCount);
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
                manager.addErrorDefinitions({definition(t * perThread + i, u"shared"_s, {})},
                                            u"RaceShared"_s);
                const QMError mine = manager.errorWithDomain(own, i, {{u"who"_s, t}, {u"n"_s, i}});
                if (mine.localizedDescription() == u"%1 #%2"_s.arg(t).arg(i))
                    ++builtOwn[t];
                // The neighbour's catalog grows meanwhile: any answer is fine, none may tear.
                if (const QMErrorDefinitionPtr other
                    = manager.errorDefinitionForDomain(neighbour, i)) {
                    EXPECT_EQ(other->code(), i);
                }
                manager.allErrorDefinitionsByDomain();
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
        EXPECT_EQ(builtOwn[t], perThread);
        EXPECT_EQ(table.value(u"RaceDomain%1"_s.arg(t)).size(), perThread);
    }
    EXPECT_EQ(table.value(u"RaceShared"_s).size(), threadCount * perThread);
}
