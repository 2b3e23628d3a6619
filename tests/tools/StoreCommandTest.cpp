#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

namespace {

const QString libraryModel = QStringLiteral(QMF_SOURCE_DIR "/tools/qmf/data/Library.momd");

} // namespace

// qmf store on the bundled model: every command, each failure with its message and status, and
// the same answers from a SQLite and an XML store.
TEST(QmfStoreTest, KeepsObjectsInSQLiteAndXMLStores)
{
    QTemporaryDir dir;
    for (const char *name : {"lib.sqlite3", "lib.xml"}) {
        const QString store = QString::fromUtf8(name);
        SCOPED_TRACE(store.toStdString());
        const QString path = dir.filePath(store);
        const auto run = [&](const char *command, QStringList more = {}) {
            QStringList arguments = words(command);
            arguments.insert(2, libraryModel);
            arguments.insert(3, path);
            return arguments + more;
        };
        const QString type = store.endsWith(u".xml"_s) ? u"XML"_s : u"SQLite"_s;
        expectRuns({
                {run("store create"),
                 {},
                 0,
                 (u"created %1 store %2 for the model Library (Author, Book)\n"_s.arg(type, path))
                         .toUtf8()},
                {run("store insert Book", {u"title=Dune"_s, u"year=1965"_s, u"available=no"_s}),
                 {},
                 0,
                 R"({"objectID":1,"title":"Dune","author":null,"year":1965,"rating":null,)"
                 R"("available":false,"cover":null})"
                 "\n"},
                {run("store insert Book",
                     {u"title=Solaris"_s, u"author=Stanisław Lem"_s, u"year=1961"_s,
                      u"rating=4.0"_s, u"cover=aGk="_s}),
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
                {run("store delete Book --where", {u"year < %@"_s, u"1962"_s}),
                 {},
                 0,
                 "deleted 1\n"},
                {run("store count Book"), {}, 0, "1\n"},
        });
    }
}

// What a user gets for a store made for another model, a damaged file and a wrong type.
TEST(QmfStoreTest, RefusesStoresThatDoNotFit)
{
    QTemporaryDir dir;
    const QString store = dir.filePath(u"lib.sqlite3"_s);
    ASSERT_EQ(runQmf({u"store"_s, u"create"_s, libraryModel, store}).status, 0);
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
                    u"qmf: the store type \"csv\" is not one of sqlite, xml, memory\n"_s),
            failing({u"store"_s, u"create"_s, libraryModel}, 2,
                    u"qmf: store create needs MODEL and STORE\n"_s),
            failing({u"store"_s, u"update"_s, libraryModel, store}, 2,
                    u"qmf: store needs one of create, insert, fetch, count, delete\n"_s),
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
