#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include "support/PostgreSQL.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QUrlQuery>

#include <optional>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

const QString libraryModel = QStringLiteral(QMF_SOURCE_DIR "/tools/qmf/data/Library.momd");

// Every command on a new store of `type` named `store` (a path or a server's URL), each failure
// with its message and status: the answers are the same whatever keeps the objects.
void expectStoreCommands(const QString &store, const QString &type)
{
    SCOPED_TRACE(store.toStdString());
    const auto run = [&](const char *command, QStringList more = {}) {
        QStringList arguments = words(command);
        arguments.insert(2, libraryModel);
        arguments.insert(3, store);
        return arguments + more;
    };
    expectRuns({
            {run("store create"),
             {},
             0,
             (u"created %1 store %2 for the model Library (Author, Book)\n"_s.arg(type, store))
                     .toUtf8()},
            {run("store insert Book", {u"title=Dune"_s, u"year=1965"_s, u"available=no"_s}),
             {},
             0,
             R"({"objectID":1,"title":"Dune","author":null,"year":1965,"rating":null,)"
             R"("available":false,"cover":null})"
             "\n"},
            {run("store insert Book",
                 {u"title=Solaris"_s, u"author=Stanisław Lem"_s, u"year=1961"_s, u"rating=4.0"_s,
                  u"cover=aGk="_s}),
             {},
             0,
             R"({"objectID":2,"title":"Solaris","author":"Stanisław Lem","year":1961,)"
             R"("rating":4,"available":true,"cover":"aGk="})"
             "\n"},
            {run("store insert Author", {u"name=Lem"_s, u"born=1921-09-12"_s}),
             {},
             0,
             R"({"objectID":1,"name":"Lem","born":"1921-09-12T00:00:00.000Z","country":null})"
             "\n"},
            {run("store fetch Book --where",
                 {u"author BEGINSWITH[c] %@ OR year < %@"_s, u"STANIS"_s, u"1962"_s}),
             {},
             0,
             R"({"objectID":2,"title":"Solaris","author":"Stanisław Lem","year":1961,)"
             R"("rating":4,"available":true,"cover":"aGk="})"
             "\n"},
            {run("store fetch Book --sort year --limit 1"),
             {},
             0,
             R"({"objectID":2,"title":"Solaris","author":"Stanisław Lem","year":1961,)"
             R"("rating":4,"available":true,"cover":"aGk="})"
             "\n"},
            {run("store count Book --where", {u"available = NO"_s}), {}, 0, "1\n"},
            failing(run("store insert Book", {u"author=x"_s}), 1,
                    u"qmf: The Book attribute \"title\" needs a value.\n"_s),
            failing(run("store insert Book", {u"title=x"_s, u"year=soon"_s}), 1,
                    u"qmf: The value \"soon\" does not fit the integer attribute \"year\".\n"_s),
            failing(run("store insert Book", {u"title=x"_s, u"cover=not*base64"_s}), 1,
                    u"qmf: The value of the binary attribute \"cover\" is not Base64.\n"_s),
            failing(run("store insert Book", {u"titel=x"_s}), 2,
                    u"qmf: the entity Book has no attribute \"titel\"\n"_s),
            failing(run("store fetch Bok"), 2,
                    u"qmf: the model has no entity \"Bok\" (it has Author, Book)\n"_s),
            failing(run("store fetch Book --where", {u"year >"_s}), 1,
                    u"qmf: Expected a value after \">\" at position 6\n"_s),
            failing(run("store fetch Book --where", {u"yeer > 1"_s}), 1,
                    u"qmf: The entity Book has no attribute \"yeer\".\n"_s),
            failing(run("store fetch Book", {u"1960"_s}), 2,
                    u"qmf: arguments after ENTITY go with --where\n"_s),
            {run("store delete Book --where", {u"year < %@"_s, u"1962"_s}), {}, 0, "deleted 1\n"},
            {run("store count Book"), {}, 0, "1\n"},
    });
}

} // namespace

// qmf store on the bundled model: the same answers from a SQLite and an XML store.
TEST(QmfStoreTest, KeepsObjectsInSQLiteAndXMLStores)
{
    QTemporaryDir dir;
    expectStoreCommands(dir.filePath(u"lib.sqlite3"_s), u"SQLite"_s);
    expectStoreCommands(dir.filePath(u"lib.xml"_s), u"XML"_s);
}

// What a user gets for a store made for another model, a damaged file and a wrong type, for a
// path where no store is (a mistyped one must not pass for an empty store, nor leave one
// behind), and for create where a store already is.
TEST(QmfStoreTest, RefusesStoresThatDoNotFit)
{
    QTemporaryDir dir;
    const QString store = dir.filePath(u"lib.sqlite3"_s);
    ASSERT_EQ(runQmf({u"store"_s, u"create"_s, libraryModel, store}).status, 0);
    ASSERT_EQ(
            runQmf({u"store"_s, u"insert"_s, libraryModel, store, u"Author"_s, u"name=A"_s}).status,
            0);
    for (const QString &missing : {dir.filePath(u"typo.sqlite3"_s), dir.filePath(u"typo.xml"_s)}) {
        const QString none
                = u"qmf: there is no store at %1; qmf store create makes one\n"_s.arg(missing);
        expectRuns({
                failing({u"store"_s, u"fetch"_s, libraryModel, missing, u"Book"_s}, 1, none),
                failing({u"store"_s, u"count"_s, libraryModel, missing, u"Book"_s}, 1, none),
                failing({u"store"_s, u"delete"_s, libraryModel, missing, u"Book"_s}, 1, none),
                failing({u"store"_s, u"insert"_s, libraryModel, missing, u"Author"_s, u"name=B"_s},
                        1, none),
        });
        EXPECT_FALSE(QFileInfo::exists(missing));
    }
    expectRuns({
            failing({u"store"_s, u"create"_s, libraryModel, store}, 1,
                    u"qmf: %1 already exists; qmf store create makes a new store only\n"_s.arg(
                            store)),
            {{u"store"_s, u"count"_s, libraryModel, store, u"Author"_s}, {}, 0, "1\n"},
    });
    const QString other
            = writeFile(dir, u"Other.momd"_s,
                        R"({"name": "Other", "entities": [{"name": "Book", "attributes": [
               {"name": "title", "type": "string"}]}]})");
    const QString garbage = writeFile(dir, u"garbage.sqlite3"_s, QByteArray(4096, 'x'));
    const QString truncated = writeFile(dir, u"cut.xml"_s, "<?xml version=\"1.0\"?>\n<qmst");
    expectRuns({
            failing({u"store"_s, u"count"_s, other, store, u"Book"_s}, 1,
                    u"qmf: The store %1 was not made for the model Other: its model version "
                    "differs.\n"_s.arg(store)),
            failing({u"store"_s, u"count"_s, libraryModel, garbage, u"Book"_s}, 1,
                    u"qmf: The file %1 is not a readable SQLite store: file is not a "
                    "database.\n"_s.arg(garbage)),
            failing({u"store"_s, u"count"_s, libraryModel, truncated, u"Book"_s}, 1),
            failing({u"store"_s, u"create"_s, libraryModel, store, u"--type"_s, u"csv"_s}, 2,
                    u"qmf: the store type \"csv\" is not one of sqlite, xml, memory, "
                    "postgresql\n"_s),
            failing({u"store"_s, u"create"_s, libraryModel}, 2,
                    u"qmf: store create needs MODEL and STORE\n"_s),
            failing({u"store"_s, u"update"_s, libraryModel, store}, 2,
                    u"qmf: store needs one of create, insert, fetch, count, delete, migrate\n"_s),
            failing({u"store"_s, u"count"_s, libraryModel, store, u"Book"_s, u"--sort"_s,
                     u"year"_s},
                    2, u"qmf: --sort is not an option of store count\n"_s),
            // A model that is not a regular file is refused, not read without end.
            failing({u"store"_s, u"count"_s, u"/dev/zero"_s, store, u"Book"_s}, 1,
                    u"qmf: The model could not be read at /dev/zero: it is not a regular "
                    "file.\n"_s),
    });
    // --limit takes a count of objects and nothing else: the option parser alone reads "abc"
    // and "nan" as 0, which would mean "all".
    for (const char *limit : {"abc", "nan", "1.5", "0x10", "1e3", "+2", ""}) {
        SCOPED_TRACE(limit);
        expectRuns({failing({u"store"_s, u"fetch"_s, libraryModel, store, u"Book"_s, u"--limit"_s,
                             QString::fromLatin1(limit)},
                            2, u"qmf: --limit needs a number of objects (0 or more)\n"_s)});
    }
    // An in-memory store starts empty each time.
    expectRuns({{{u"store"_s, u"insert"_s, libraryModel, u"scratch"_s, u"Author"_s, u"name=A"_s,
                  u"--type"_s, u"memory"_s},
                 {},
                 0,
                 R"({"objectID":1,"name":"A","born":null,"country":null})"
                 "\n"},
                {{u"store"_s, u"count"_s, libraryModel, u"scratch"_s, u"Author"_s, u"--type"_s,
                  u"memory"_s},
                 {},
                 0,
                 "0\n"}});
}

namespace {

const QString versionedModel = QStringLiteral(QMF_SOURCE_DIR "/tools/qmf/data/LibraryV2.momd");

// The plan from version 1 to 2 of the bundled LibraryV2.momd.
const char versionedPlan[] = "1 -> 2: Book: add index on author\n"
                             "1 -> 2: Book: rename attribute rating to stars\n"
                             "1 -> 2: Book: add attribute language (string) (objects without a "
                             "value get en)\n"
                             "1 -> 2: add entity Loan\n";

bool exists(const QString &path)
{
    return QFileInfo::exists(path);
}

} // namespace

namespace {

// A store written under the first version of a two-version model (`store`, a path or a server's
// URL, of `type`): the object commands refuse it and name migrate; a dry run shows the plan and
// changes nothing; migrate carries it out, keeps a copy at `backup` (none when empty) that the
// first version still reads, and has nothing left to do afterwards.
void expectMigration(const QString &store, const QString &type, const QString &backup)
{
    SCOPED_TRACE(store.toStdString());
    const auto run = [&](const char *command, QStringList more = {}) {
        QStringList arguments = words(command);
        arguments.insert(2, versionedModel);
        arguments.insert(3, store);
        return arguments + more;
    };
    const QByteArray dune = R"({"objectID":1,"title":"Dune","author":"Frank Herbert","year":1965,)";
    expectRuns({
            {run("store create --model-version 1"),
             {},
             0,
             (u"created %1 store %2 for the model Library (Author, Book)\n"_s.arg(type, store))
                     .toUtf8()},
            {run("store insert Book --model-version 1",
                 {u"title=Dune"_s, u"author=Frank Herbert"_s, u"year=1965"_s, u"rating=4.3"_s}),
             {},
             0,
             dune
                     + R"("rating":4.3,"available":true,"cover":null})"
                       "\n"},
            failing(run("store fetch Book"), 1,
                    u"qmf: The store %1 was not made for the model Library: it was written "
                    "under version \"1\" of the model, and migration is off.\n"
                    "qmf: the store is at version 1; qmf store migrate brings it to version 2 "
                    "(--dry-run shows how)\n"_s.arg(store)),
            {run("store migrate --dry-run"),
             {},
             0,
             QByteArray(versionedPlan)
                     + "would migrate from version 1 to 2; the store is unchanged "
                       "(--dry-run)\n"},
            // Still version 1's.
            {run("store count Book --model-version 1"), {}, 0, "1\n"},
    });
    if (!backup.isEmpty()) {
        EXPECT_FALSE(exists(backup));
    }
    const QString outcome = backup.isEmpty()
            ? u"migrated from version 1 to 2\n"_s
            : u"migrated from version 1 to 2; the store as it was is kept at %1\n"_s.arg(backup);
    expectRuns({
            {run("store migrate"), {}, 0, QByteArray(versionedPlan) + outcome.toUtf8()},
            {run("store fetch Book"),
             {},
             0,
             dune
                     + R"("stars":4.3,"available":true,"cover":null,"language":"en"})"
                       "\n"},
            {run("store insert Loan", {u"title=Dune"_s, u"borrower=Ann"_s}),
             {},
             0,
             R"({"objectID":1,"title":"Dune","borrower":"Ann","due":null})"
             "\n"},
            {run("store migrate"), {}, 0, "the store is at version 2; nothing to migrate\n"},
            {run("store migrate --dry-run"),
             {},
             0,
             "the store is at version 2; nothing to migrate\n"},
            failing(run("store count Book --model-version 1"), 1,
                    u"qmf: The store %1 was not made for the model Library: it was written "
                    "under the later version \"2\".\n"_s.arg(store)),
    });
    if (backup.isEmpty())
        return;
    // The copy is the store as it was, for the first version.
    expectRuns({
            {{u"store"_s, u"fetch"_s, versionedModel, backup, u"Book"_s, u"--model-version"_s,
              u"1"_s, u"--type"_s, type.toLower()},
             {},
             0,
             dune
                     + R"("rating":4.3,"available":true,"cover":null})"
                       "\n"},
    });
}

} // namespace

TEST(QmfStoreTest, MigratesStoresWrittenUnderAnEarlierVersion)
{
    QTemporaryDir dir;
    for (const char *name : {"lib.sqlite3", "lib.xml"}) {
        const QString path = dir.filePath(QString::fromUtf8(name));
        expectMigration(path, path.endsWith(u".xml"_s) ? u"XML"_s : u"SQLite"_s,
                        path + u".pre-migration"_s);
    }
}

// --no-backup keeps no copy; a store of the one-version Library.momd is version 1 of
// LibraryV2.momd, which holds the same entities.
TEST(QmfStoreTest, MigratesWithoutACopyWhenAskedTo)
{
    QTemporaryDir dir;
    const QString store = dir.filePath(u"lib.sqlite3"_s);
    ASSERT_EQ(runQmf({u"store"_s, u"create"_s, libraryModel, store}).status, 0);
    expectRuns({
            {{u"store"_s, u"insert"_s, libraryModel, store, u"Book"_s, u"title=Solaris"_s},
             {},
             0,
             R"({"objectID":1,"title":"Solaris","author":null,"year":null,"rating":null,)"
             R"("available":true,"cover":null})"
             "\n"},
            {{u"store"_s, u"migrate"_s, versionedModel, store, u"--no-backup"_s},
             {},
             0,
             QByteArray(versionedPlan) + "migrated from version 1 to 2\n"},
            {{u"store"_s, u"count"_s, versionedModel, store, u"Book"_s, u"--where"_s,
              u"language = %@ AND title = %@"_s, u"en"_s, u"Solaris"_s},
             {},
             0,
             "1\n"},
    });
    EXPECT_FALSE(exists(store + u".pre-migration"_s));
}

// What migrate says when it cannot: a change it cannot infer (the store left as it was), a
// version the model does not have, a store of a later version, of another model, a missing or
// damaged file, an in-memory store, and options that belong to migrate alone.
TEST(QmfStoreTest, RefusesMigrationsItCannotCarryOut)
{
    QTemporaryDir dir;
    const QString narrowing = writeFile(dir, u"Narrowing.momd"_s, R"({"name": "Shelf",
        "currentVersion": "b", "versions": [
            {"versionName": "a", "entities": [{"name": "Book", "attributes": [
                {"name": "rating", "type": "double"}]}]},
            {"versionName": "b", "entities": [{"name": "Book", "attributes": [
                {"name": "rating", "type": "integer"}]}]}]})");
    const QString shelf = dir.filePath(u"shelf.xml"_s);
    const QString store = dir.filePath(u"lib.sqlite3"_s);
    const QString missing = dir.filePath(u"missing.sqlite3"_s);
    const QString garbage = writeFile(dir, u"garbage.sqlite3"_s, QByteArray(4096, 'x'));
    const QString other = writeFile(dir, u"Other.momd"_s,
                                    R"({"name": "Other", "entities": [{"name": "Book",
                                    "attributes": [{"name": "title", "type": "string"}]}]})");
    ASSERT_EQ(runQmf({u"store"_s, u"create"_s, versionedModel, store}).status, 0);
    ASSERT_EQ(runQmf({u"store"_s, u"create"_s, narrowing, shelf, u"--model-version"_s, u"a"_s})
                      .status,
              0);
    const auto migrate = [](const QString &model, const QString &path, QStringList more = {}) {
        return QStringList {u"store"_s, u"migrate"_s, model, path} + more;
    };
    expectRuns({
            {{u"store"_s, u"insert"_s, narrowing, shelf, u"Book"_s, u"rating=4.5"_s,
              u"--model-version"_s, u"a"_s},
             {},
             0,
             R"({"objectID":1,"rating":4.5})"
             "\n"},
            failing(migrate(narrowing, shelf), 1,
                    u"qmf: The model Shelf cannot be migrated from version \"a\" to \"b\": entity "
                    "\"Book\", attribute \"rating\": the type changes from double to integer, "
                    "which can lose information; give a migration for the entity.\n"_s),
            {{u"store"_s, u"fetch"_s, narrowing, shelf, u"Book"_s, u"--model-version"_s, u"a"_s},
             {},
             0,
             R"({"objectID":1,"rating":4.5})"
             "\n"},
            failing(migrate(versionedModel, store, {u"--model-version"_s, u"3"_s}), 2,
                    u"qmf: the model Library has no version \"3\" (it has 1, 2)\n"_s),
            failing(migrate(libraryModel, store, {u"--model-version"_s, u"1"_s}), 2,
                    u"qmf: the model Library has no version \"1\" (its only version has no "
                    "name)\n"_s),
            failing(migrate(versionedModel, store, {u"--model-version"_s, u"1"_s}), 1,
                    u"qmf: The store %1 was not made for the model Library: it was written under "
                    "the later version \"2\".\n"_s.arg(store)),
            failing(migrate(other, store), 1,
                    u"qmf: The store %1 was not made for the model Other: its model version "
                    "differs.\n"_s.arg(store)),
            failing(migrate(versionedModel, missing), 1,
                    u"qmf: The store file could not be read at %1: it does not exist.\n"_s.arg(
                            missing)),
            failing(migrate(versionedModel, garbage), 1,
                    u"qmf: The file %1 is not a SQLite store: file is not a database.\n"_s.arg(
                            garbage)),
            failing(migrate(versionedModel, u"scratch"_s, {u"--type"_s, u"memory"_s}), 1,
                    u"qmf: An in-memory store has no recorded version to plan from.\n"_s),
            failing(migrate(versionedModel, store, {u"Book"_s}), 2,
                    u"qmf: store migrate takes MODEL and STORE only\n"_s),
            failing({u"store"_s, u"fetch"_s, versionedModel, store, u"Book"_s, u"--dry-run"_s}, 2,
                    u"qmf: --dry-run is not an option of store fetch\n"_s),
            failing({u"store"_s, u"create"_s, versionedModel, store, u"--no-backup"_s}, 2,
                    u"qmf: --no-backup is not an option of store create\n"_s),
    });
    EXPECT_FALSE(exists(missing));
}

namespace {

// Sets the environment variable `name` (or removes it, for a null value) for a scope, as the
// tests that run qmf in this process need.
class ScopedVariable
{
public:
    ScopedVariable(const char *name, const QString &value)
        : m_name(name)
        , m_was(qEnvironmentVariableIsSet(name))
        , m_old(qgetenv(name))
    {
        set(value.isNull() ? std::nullopt : std::optional<QByteArray>(value.toLocal8Bit()));
    }
    ~ScopedVariable() { set(m_was ? std::optional<QByteArray>(m_old) : std::nullopt); }
    ScopedVariable(const ScopedVariable &) = delete;
    ScopedVariable &operator=(const ScopedVariable &) = delete;

private:
    void set(const std::optional<QByteArray> &value)
    {
        if (value)
            qputenv(m_name, *value);
        else
            qunsetenv(m_name);
    }

    const char *m_name;
    bool m_was;
    QByteArray m_old;
};

} // namespace

// A PostgreSQL server's URL as STORE: the same commands give the same answers as a file store,
// and another process (here another run) sees what the last one saved.
TEST(QmfStoreTest, KeepsObjectsInAPostgreSQLStore)
{
    const QUrl url = TestSupport::postgreSQLStoreURL();
    if (url.isEmpty()) {
        GTEST_SKIP() << "needs the test PostgreSQL server: run under ctest";
    }
    const ScopedVariable noPassword("QMF_STORE_PASSWORD", QString());
    expectStoreCommands(url.toString(), u"PostgreSQL"_s);
}

// The server's password comes from QMF_STORE_PASSWORD and is never printed, whether it is right,
// wrong or (refused) written into the URL; the type follows from the URL's scheme and --type
// cannot contradict it; a store of another model and a server that is not there are reported with
// status 1, and none of the refused runs wrote anything.
TEST(QmfStoreTest, ReadsThePostgreSQLPasswordFromTheEnvironmentAndNeverPrintsIt)
{
    const QUrl url = TestSupport::postgreSQLStoreURL();
    if (url.isEmpty()) {
        GTEST_SKIP() << "needs the test PostgreSQL server: run under ctest";
    }
    QUrl withUser = url;
    withUser.setUserName(u"qmf_password"_s);
    const QString store = withUser.toString();
    const QString secret = u"qmf-secret"_s;
    QUrl withPassword = withUser;
    withPassword.setPassword(secret);
    QTemporaryDir dir;
    const QString other
            = writeFile(dir, u"Other.momd"_s,
                        R"({"name": "Other", "entities": [{"name": "Book", "attributes": [
               {"name": "title", "type": "string"}]}]})");
    QUrl nowhere = url;
    QUrlQuery socket(nowhere);
    socket.removeQueryItem(u"host"_s);
    socket.addQueryItem(u"host"_s, dir.filePath(u"no-server"_s));
    nowhere.setQuery(socket);
    const auto command = [&](const QString &storeArgument, QStringList more = {}) {
        return QStringList {u"store"_s,    u"insert"_s, libraryModel,
                            storeArgument, u"Author"_s, u"name=Lem"_s}
        + more;
    };
    struct Case
    {
        const char *name;
        QString password; // null: QMF_STORE_PASSWORD not set
        QString store;
        int status;
        const char *said; // in the error stream
    };
    const Case cases[] = {
            {"no password", QString(), store, 1, "refused the connection"},
            {"wrong password", u"not-the-secret"_s, store, 1, "refused the connection"},
            {"password in the URL", secret, withPassword.toString(), 1,
             "passwords come from a password provider"},
            {"no server there", secret, nowhere.toString(), 1, "could not be reached"},
            {"right password", secret, store, 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const ScopedVariable password("QMF_STORE_PASSWORD", c.password);
        const Outcome outcome = runQmf(command(c.store));
        EXPECT_EQ(outcome.status, c.status) << qPrintable(outcome.err);
        EXPECT_TRUE(outcome.err.contains(QString::fromUtf8(c.said))) << qPrintable(outcome.err);
        for (const QString &word : {secret, u"not-the-secret"_s}) {
            EXPECT_FALSE(outcome.out.contains(word)) << qPrintable(outcome.out);
            EXPECT_FALSE(outcome.err.contains(word)) << qPrintable(outcome.err);
        }
        if (c.status == 0) {
            EXPECT_EQ(outcome.out,
                      u"{\"objectID\":1,\"name\":\"Lem\",\"born\":null,\"country\":null}\n"_s);
        }
    }

    const ScopedVariable password("QMF_STORE_PASSWORD", secret);
    expectRuns({
            {{u"store"_s, u"count"_s, libraryModel, store, u"Author"_s}, {}, 0, "1\n"},
            failing({u"store"_s, u"count"_s, other, store, u"Book"_s}, 1,
                    u"qmf: The store %1 was not made for the model Other: its model version "
                    "differs.\n"_s.arg(store)),
            failing(command(store, {u"--type"_s, u"sqlite"_s}), 2,
                    u"qmf: a postgresql:// URL names a PostgreSQL store, not a sqlite one\n"_s),
            failing(command(dir.filePath(u"lib.sqlite3"_s), {u"--type"_s, u"PostgreSQL"_s}), 2,
                    u"qmf: a PostgreSQL store is named by a URL "
                    "postgresql://USER@HOST:PORT/DATABASE?schema=NAME\n"_s),
    });
    // Nothing was written by the refused runs: the one Author is still alone.
    expectRuns({{{u"store"_s, u"count"_s, libraryModel, store, u"Author"_s, u"--type"_s,
                  u"postgresql"_s},
                 {},
                 0,
                 "1\n"}});
}

// migrate and its dry run on a server's store, which keeps no copy: the recorded version is read
// with the password from QMF_STORE_PASSWORD, as every command connects.
TEST(QmfStoreTest, MigratesAPostgreSQLStoreWrittenUnderAnEarlierVersion)
{
    QUrl url = TestSupport::postgreSQLStoreURL();
    if (url.isEmpty()) {
        GTEST_SKIP() << "needs the test PostgreSQL server: run under ctest";
    }
    url.setUserName(u"qmf_password"_s);
    const ScopedVariable password("QMF_STORE_PASSWORD", u"qmf-secret"_s);
    expectMigration(url.toString(), u"PostgreSQL"_s, QString());
    // A schema that holds no store is reported as a missing file is.
    QUrl none = TestSupport::postgreSQLStoreURL();
    none.setUserName(u"qmf_password"_s);
    expectRuns({
            failing({u"store"_s, u"migrate"_s, versionedModel, none.toString(), u"--dry-run"_s}, 1,
                    u"qmf: The store %1 could not be read: it does not exist.\n"_s.arg(
                            none.toString())),
    });
}
