#include "QMFoundation/persistence/QMEntityBuilder_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicateSQL_p.h"
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include "support/Failures.h"
#include "support/PostgreSQL.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QUuid>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

using namespace Qt::StringLiterals;
using QMPredicateSQL::Dialect;

namespace {

QDateTime utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

QMAttributeDescription attribute(const QString &name, QMAttributeType type)
{
    return QMMakeAttributeDescription(name, type);
}

const QMEntityDescription &person()
{
    static const QMEntityDescription entity
            = QMMakeEntityDescription(u"Person"_s,
                                      {attribute(u"name"_s, QMAttributeType::String),
                                       attribute(u"age"_s, QMAttributeType::Integer),
                                       attribute(u"score"_s, QMAttributeType::Double),
                                       attribute(u"active"_s, QMAttributeType::Boolean),
                                       attribute(u"born"_s, QMAttributeType::Date),
                                       attribute(u"data"_s, QMAttributeType::Binary),
                                       attribute(u"note"_s, QMAttributeType::String)});
    return entity;
}

using Row = QVariantMap; // attribute name -> value; a missing name is no value

// A Person table read through Qt SQL as the stores read it: in an in-memory SQLite database, or
// in a schema of its own on the test PostgreSQL server, laid out as the PostgreSQL store lays it
// out (texts in the "C" collation, each with its folded column beside it).
class Table
{
public:
    explicit Table(const QList<Row> &rows, Dialect dialect = Dialect::SQLite)
        : m_name(u"predicates-%1"_s.arg(++s_count))
        , m_dialect(dialect)
        , m_rows(rows)
    {
        if (dialect == Dialect::PostgreSQL)
            openPostgreSQL();
        else
            openSQLite();
        QSqlQuery query(QSqlDatabase::database(m_name));
        QStringList columns {u"id"_s};
        for (const QMAttributeDescription &a : person().attributes()) {
            columns.append(u'"' + a.name + u'"');
            if (dialect == Dialect::PostgreSQL && a.type == QMAttributeType::String)
                columns.append(u'"' + QMPredicateSQL::foldedColumn(a.name) + u'"');
        }
        query.prepare(u"INSERT INTO person ("_s + columns.join(u", "_s) + u") VALUES (?"_s
                      + u", ?"_s.repeated(columns.size() - 1) + u')');
        for (qsizetype i = 0; i < m_rows.size(); ++i) {
            query.addBindValue(i);
            for (const QMAttributeDescription &a : person().attributes()) {
                const QVariant value = m_rows.at(i).value(a.name);
                query.addBindValue(QMPersistenceValue::toStorage(value, a.type));
                if (dialect == Dialect::PostgreSQL && a.type == QMAttributeType::String)
                    query.addBindValue(
                            QMPersistenceValue::isAbsent(value)
                                    ? QVariant()
                                    : QMPersistenceValue::toStorage(
                                            QMPersistenceValue::folded(value.toString()), a.type));
            }
            EXPECT_TRUE(query.exec()) << query.lastError().text().toStdString();
        }
    }
    ~Table()
    {
        if (m_dialect == Dialect::PostgreSQL) {
            QSqlDatabase db = QSqlDatabase::database(m_name);
            QSqlQuery(db).exec(u"DROP SCHEMA \"%1\" CASCADE"_s.arg(m_schema));
            db.close();
        }
        QSqlDatabase::removeDatabase(m_name);
    }

    // The rows (their positions) that `bound` selects in SQL, and in memory.
    QList<qsizetype> selected(const QMPredicate &bound, QString *sql = nullptr) const
    {
        const QMPredicateSQL::Condition c = QMPredicateSQL::compile(bound, person(), m_dialect);
        if (sql)
            *sql = c.sql;
        QSqlQuery query(QSqlDatabase::database(m_name));
        query.prepare(u"SELECT id FROM person WHERE "_s + c.sql + u" ORDER BY id"_s);
        for (const QVariant &binding : c.bindings)
            query.addBindValue(binding);
        EXPECT_TRUE(query.exec()) << query.lastError().text().toStdString() << "\n"
                                  << c.sql.toStdString();
        QList<qsizetype> ids;
        while (query.next())
            ids.append(query.value(0).toLongLong());
        return ids;
    }
    // The plan for the rows `bound` selects, its steps joined by "; ".
    QString plan(const QMPredicate &bound) const
    {
        const QMPredicateSQL::Condition c = QMPredicateSQL::compile(bound, person(), m_dialect);
        const bool sqlite = m_dialect == Dialect::SQLite;
        QSqlQuery query(QSqlDatabase::database(m_name));
        query.prepare((sqlite ? u"EXPLAIN QUERY PLAN"_s : u"EXPLAIN (COSTS OFF)"_s)
                      + u" SELECT id FROM person WHERE "_s + c.sql);
        for (const QVariant &binding : c.bindings)
            query.addBindValue(binding);
        EXPECT_TRUE(query.exec()) << query.lastError().text().toStdString();
        QStringList steps;
        while (query.next())
            steps.append(query.value(sqlite ? 3 : 0).toString().trimmed());
        return steps.join(u"; "_s);
    }
    QList<qsizetype> evaluated(const QMPredicate &bound) const
    {
        QList<qsizetype> ids;
        for (qsizetype i = 0; i < m_rows.size(); ++i) {
            if (bound.evaluateWithValues(
                        [&](const QString &key) { return m_rows.at(i).value(key); }))
                ids.append(i);
        }
        return ids;
    }

private:
    void openSQLite()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, m_name);
        db.setDatabaseName(u":memory:"_s);
        EXPECT_TRUE(db.open());
        const QVariant handle = db.driver()->handle();
        EXPECT_STREQ(handle.typeName(), "sqlite3*");
        EXPECT_TRUE(QMPredicateSQL::registerFunctions(
                *static_cast<sqlite3 *const *>(handle.constData())));
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(u"CREATE TABLE person (id INTEGER PRIMARY KEY, \"name\" TEXT, "
                               "\"age\" INTEGER, \"score\" REAL, \"active\" INTEGER, "
                               "\"born\" INTEGER, \"data\" BLOB, \"note\" TEXT)"_s));
        EXPECT_TRUE(query.exec(u"CREATE INDEX person_name ON person (\"name\")"_s));
    }

    void openPostgreSQL()
    {
        // PostgreSQL's texts cannot hold U+0000 and its store refuses to save one: U+0001
        // stands in for it here, in memory too. Predicates still hold U+0000.
        for (Row &row : m_rows) {
            for (QVariant &value : row) {
                if (value.typeId() == QMetaType::QString)
                    value = QVariant(value.toString().replace(QChar(u'\0'), QChar(1)));
            }
        }
        const QUrl url = TestSupport::postgreSQLServerURL();
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, m_name);
        db.setHostName(QUrlQuery(url).queryItemValue(u"host"_s));
        db.setUserName(url.userName());
        db.setDatabaseName(url.path().mid(1));
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
        m_schema = u"predicates_"_s + QUuid::createUuid().toString(QUuid::Id128);
        QStringList columns {u"id bigint PRIMARY KEY"_s};
        for (const QMAttributeDescription &a : person().attributes()) {
            static const char16_t *const types[] = {u"text COLLATE \"C\"",
                                                    u"bigint",
                                                    u"double precision",
                                                    u"bigint",
                                                    u"bigint",
                                                    u"bytea"};
            const QString type = QString::fromUtf16(types[int(a.type)]);
            columns.append(u'"' + a.name + u"\" "_s + type);
            if (a.type == QMAttributeType::String)
                columns.append(u'"' + QMPredicateSQL::foldedColumn(a.name) + u"\" "_s + type);
        }
        QSqlQuery query(db);
        for (const QString &statement :
             QStringList {u"SET client_min_messages TO WARNING"_s,
                          u"CREATE SCHEMA \"%1\""_s.arg(m_schema),
                          u"SET search_path TO \"%1\""_s.arg(m_schema),
                          u"CREATE TABLE person ("_s + columns.join(u", "_s) + u')',
                          u"CREATE INDEX person_name ON person (\"name\")"_s})
            EXPECT_TRUE(query.exec(statement)) << query.lastError().text().toStdString();
    }

    static inline int s_count = 0;
    QString m_name;
    Dialect m_dialect;
    QString m_schema;
    QList<Row> m_rows;
};

QMPredicate parsed(const QString &format, const QVariantList &arguments = {})
{
    QMError error;
    const QMPredicate p = QMPredicate::predicateWithFormat(format, arguments, &error);
    EXPECT_FALSE(p.isNull()) << error.localizedDescription().toStdString();
    return p;
}

} // namespace

TEST(QMPredicateTest, ReadsFormatsAndWritesThemBack)
{
    const QVariant none;
    const struct
    {
        const char16_t *format;
        QVariantList arguments;
        const char16_t *canonical; // nullptr: a format error at `position`
        int position = -1;
    } rows[] = {
            // Operators in all their spellings, precedence NOT > AND > OR, keywords in any case.
            {uR"(name == "a" && age=>5 || !active = TRUE)",
             {},
             uR"((name = "a" AND age >= 5) OR NOT active = YES)"},
            {u"a <> 1 and b =< 2 Or c => 3 AND NOT d < 4",
             {},
             u"(a != 1 AND b <= 2) OR (c >= 3 AND NOT d < 4)"},
            {u"a = 1 AND (b = 2 OR c = 3)", {}, u"a = 1 AND (b = 2 OR c = 3)"},
            {u"(a = 1 AND b = 2) AND (c = 3 AND d = 4)",
             {},
             u"a = 1 AND b = 2 AND c = 3 AND d = 4"},
            {u"NOT (a = 1 OR b = 2)", {}, u"NOT (a = 1 OR b = 2)"},
            {u"((a = 1))", {}, u"a = 1"},
            {u"truepredicate OR FALSEPREDICATE", {}, u"TRUEPREDICATE OR FALSEPREDICATE"},
            // A value on the left turns round.
            {u"5 < age", {}, u"age > 5"},
            {u"-1.5 >= score", {}, u"score <= -1.5"},
            {u"%@ = name", {u"x"_s}, u"name = \"x\""},
            // Numbers, texts, escapes and the typed literals.
            {u"a =< 1e3 OR b = 99999999999999999999 OR c = -0.25 OR d = 2.0",
             {},
             u"a <= 1000.0 OR b = 1e+20 OR c = -0.25 OR d = 2.0"},
            {uR"(note = 'it\'s\n\u00e9\\' OR note = "\"")",
             {},
             uR"(note = "it's\né\\" OR note = "\"")"},
            {uR"(note LIKE 'a\*b?' AND note CONTAINS[c] "\u0001")",
             {},
             uR"(note LIKE "a\\*b?" AND note CONTAINS[c] "\u0001")"},
            {u"a = yes OR b = No OR c = NULL OR d != nil",
             {},
             u"a = YES OR b = NO OR c = nil OR d != nil"},
            {u"born = %@ AND data = %@",
             {utc(1577836800000), QByteArray("\x01\x02")},
             uR"(born = DATE("2020-01-01T00:00:00.000Z") AND data = BINARY("AQI="))"},
            {u"born < DATE(253402300800000) AND born > DATE('1999-12-31T23:00:00-01:00')",
             {},
             uR"(born < DATE(253402300800000) AND born > DATE("2000-01-01T00:00:00.000Z"))"},
            // Substitutions: %K, %@ and its aliases, lists, QMNull() as nil.
            {u"%K IN %@",
             {u"age"_s, QVariantList {1, 2.5, none, u"x"_s}},
             uR"(age IN {1, 2.5, nil, "x"})"},
            {u"name BEGINSWITH[c] %s AND age = %d AND score = %f AND tag IN %@ AND x = %@",
             {u"Ä"_s, 7, 0.5f, QStringList {u"a"_s}, QMNull()},
             uR"(name BEGINSWITH[c] "Ä" AND age = 7 AND score = 0.5 AND tag IN {"a"} AND x = nil)"},
            {u"age IN {}", {}, u"age IN {}"},
            {u"name = '%@'", {}, uR"(name = "%@")"},
            // Keys that are keywords are escaped with "#".
            {u"#in = 1 AND %K = 2", {u"like"_s}, u"#in = 1 AND #like = 2"},
            // Reading errors and their positions.
            {u"", {}, nullptr, 0},
            {u"name = ", {}, nullptr, 7},
            {u"name = 'abc", {}, nullptr, 7},
            {u"(a = 1", {}, nullptr, 6},
            {u"a = 1 b", {}, nullptr, 6},
            {u"a = 1 AND", {}, nullptr, 9},
            {u"a & b", {}, nullptr, 2},
            {u"a = 12x", {}, nullptr, 6},
            {u"a = 1.", {}, nullptr, 6},
            {u"a = 1e999", {}, nullptr, 4},
            {uR"(a = "\u12G4")", {}, nullptr, 9},
            {u"1 = 2", {}, nullptr, 4},
            {u"a = b", {}, nullptr, 4},
            {u"\"x\" BEGINSWITH name", {}, nullptr, 0},
            {u"a < nil", {}, nullptr, 4},
            {u"a BEGINSWITH 5", {}, nullptr, 13},
            {u"a = {1}", {}, nullptr, 4},
            {u"a IN 5", {}, nullptr, 5},
            {u"a IN {1, {2}}", {}, nullptr, 9},
            {u"a =[x] 1", {}, nullptr, 3},
            {u"a <[c] 1", {}, nullptr, 3},
            {u"a IN[c] {1}", {}, nullptr, 4},
            {u"a = DATE('nope')", {}, nullptr, 9},
            {u"a = BINARY('*')", {}, nullptr, 11},
            {u"a = %x", {}, nullptr, 4},
            // Argument errors: too few, too many, unusable.
            {u"a = %@", {}, nullptr, 4},
            {u"a = 1", {2}, nullptr, 5},
            {u"%K = 1", {u"not a name"_s}, nullptr, 0},
            {u"%K = 1", {5}, nullptr, 0},
            {u"a = %@", {QUrl(u"http://x"_s)}, nullptr, 4},
            {u"a = %@", {std::nan("")}, nullptr, 4},
            {u"a = %@", {QVariantList {1}}, nullptr, 4},
    };
    for (const auto &row : rows) {
        const QString format = QString::fromUtf16(row.format);
        SCOPED_TRACE(format.toStdString());
        QMError error;
        const QMPredicate p = QMPredicate::predicateWithFormat(format, row.arguments, &error);
        if (!row.canonical) {
            EXPECT_TRUE(p.isNull()) << p.predicateFormat().toStdString();
            EXPECT_EQ(error.domain(), QMPersistenceErrorDomain);
            EXPECT_EQ(error.code(), QMPredicateFormatError);
            EXPECT_EQ(error.userInfo().value(QMPredicateErrorPositionKey).toInt(), row.position)
                    << error.localizedDescription().toStdString();
            EXPECT_TRUE(error.localizedDescription().endsWith(u" at position "_s
                                                              + QString::number(row.position)));
            continue;
        }
        ASSERT_FALSE(p.isNull()) << error.localizedDescription().toStdString();
        EXPECT_EQ(p.predicateFormat(), QString::fromUtf16(row.canonical));
        EXPECT_EQ(QMPredicate::predicateWithFormat(p.predicateFormat()), p);
    }

    QMError error;
    (void)QMPredicate::predicateWithFormat(u"name = "_s, {}, &error);
    EXPECT_EQ(error.localizedDescription(), u"Expected a value after \"=\" at position 7"_s);

    // Nesting is bounded (LongPredicatesCompileToSQLThatRuns shows why); length is not.
    const QString deep = QString(1000, u'(') + u"a = 1"_s + QString(1000, u')');
    EXPECT_TRUE(QMPredicate::predicateWithFormat(deep, {}, &error).isNull());
    EXPECT_EQ(error.userInfo().value(QMPredicateErrorPositionKey).toInt(), 32);
    EXPECT_TRUE(QMPredicate::predicateWithFormat(u"NOT "_s.repeated(1000) + u"a = 1"_s, {}, &error)
                        .isNull());
    EXPECT_EQ(error.userInfo().value(QMPredicateErrorPositionKey).toInt(), 128);

    // Combinators build what the format would read.
    const QMPredicate a = QMPredicate::predicateWithKeyValue(u"name"_s, u"x"_s);
    const QMPredicate b = parsed(u"age > 1"_s);
    EXPECT_EQ(QMPredicate::orPredicateWithSubpredicates(
                      {QMPredicate::andPredicateWithSubpredicates({a, b}),
                       QMPredicate::notPredicateWithSubpredicate(b)}),
              parsed(u"(name = 'x' AND age > 1) OR NOT age > 1"_s));
    EXPECT_EQ(QMPredicate::andPredicateWithSubpredicates({}), parsed(u"TRUEPREDICATE"_s));
    EXPECT_EQ(QMPredicate::orPredicateWithSubpredicates({b}), b);
    EXPECT_NE(a, b);
    EXPECT_TRUE(QMPredicate::predicateWithKeyValue(u"not a key"_s, 1).isNull());
    EXPECT_EQ(parsed(u"b = 1 OR (a = 2 AND b = 3)"_s).keys(), (QStringList {u"b"_s, u"a"_s}));
    QMPredicate tower = b;
    for (int i = 1; i < 1000; ++i)
        tower = QMPredicate::notPredicateWithSubpredicate(tower);
    EXPECT_EQ(TestSupport::failureOf([&] { QMPredicate::notPredicateWithSubpredicate(tower); }),
              u"Invalid parameter not satisfying: depth <= 1000"_s);
}

TEST(QMPredicateTest, BindingChecksNamesAndConvertsValues)
{
    const struct
    {
        const char16_t *format;
        QVariantList arguments;
        const char16_t *result; // the bound format, or the error's description
    } rows[] = {
            {u"age > %@ AND score = 2 AND active = 1",
             {u"30"_s},
             u"age > 30 AND score = 2.0 AND active = YES"},
            {u"age IN %@ AND born = '2020-01-01T00:00:00Z'",
             {QStringList {u"1"_s, u"2"_s}},
             uR"(age IN {1, 2} AND born = DATE("2020-01-01T00:00:00.000Z"))"},
            {u"agee = 1", {}, uR"(The entity Person has no attribute "agee".)"},
            {u"NOT (name = 'x' OR #like = 1)",
             {},
             uR"(The entity Person has no attribute "like".)"},
            {u"age BEGINSWITH '1'",
             {},
             uR"(The operator BEGINSWITH needs a string attribute; "age" is of type integer.)"},
            {u"data =[c] 'x'",
             {},
             uR"(The operator =[c] needs a string attribute; "data" is of type binary.)"},
            {u"age = 'abc'", {}, uR"(The value "abc" does not fit the integer attribute "age".)"},
            {u"age IN {1, 2.5}",
             {},
             uR"(The value "2.5" does not fit the integer attribute "age".)"},
            {u"born > 'yesterday'",
             {},
             uR"(The value "yesterday" does not fit the date attribute "born".)"},
            {u"name = 5", {}, uR"(The value "5" does not fit the string attribute "name".)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(QString::fromUtf16(row.format).toStdString());
        QMError error;
        const QMPredicate p = parsed(QString::fromUtf16(row.format), row.arguments)
                                      .boundToEntity(person(), &error);
        if (p.isNull()) {
            EXPECT_EQ(error.code(), QMPredicateInvalidKeyError);
            EXPECT_EQ(error.domain(), QMPersistenceErrorDomain);
            EXPECT_EQ(error.localizedDescription(), QString::fromUtf16(row.result));
        } else {
            EXPECT_EQ(p.predicateFormat(), QString::fromUtf16(row.result));
            // A bound predicate binds again to itself.
            EXPECT_EQ(parsed(p.predicateFormat()).boundToEntity(person()), p);
        }
    }
    // Compiling an unbound predicate is a caller's mistake.
    EXPECT_EQ(
            TestSupport::failureOf([] { QMPredicateSQL::compile(parsed(u"age = 1"_s), person()); }),
            u"Invalid parameter not satisfying: bound to the entity"_s);
}

namespace {

// The tests that run on SQLite and on PostgreSQL alike.
class QMPredicateSQLTest : public testing::TestWithParam<Dialect>
{
protected:
    void SetUp() override
    {
        if (GetParam() == Dialect::PostgreSQL && TestSupport::postgreSQLServerURL().isEmpty())
            GTEST_SKIP() << "Needs the test PostgreSQL server: run it under ctest";
    }

    // Checks that each format, bound, selects the rows given by letter ('A' is the first), in
    // memory and in SQL.
    struct Case
    {
        const char16_t *format;
        QVariantList arguments;
        const char *rows;
    };
    static void check(const Table &table, const QList<Case> &cases)
    {
        for (const Case &row : cases) {
            SCOPED_TRACE(QString::fromUtf16(row.format).toStdString());
            QMError error;
            const QMPredicate p = parsed(QString::fromUtf16(row.format), row.arguments)
                                          .boundToEntity(person(), &error);
            ASSERT_FALSE(p.isNull()) << error.localizedDescription().toStdString();
            QList<qsizetype> expected;
            for (const char *c = row.rows; *c; ++c)
                expected.append(*c - 'A');
            EXPECT_EQ(table.evaluated(p), expected);
            QString sql;
            EXPECT_EQ(table.selected(p, &sql), expected) << sql.toStdString();
        }
    }
};

INSTANTIATE_TEST_SUITE_P(, QMPredicateSQLTest,
                         testing::Values(Dialect::SQLite, Dialect::PostgreSQL),
                         [](const testing::TestParamInfo<Dialect> &dialect) {
                             return dialect.param == Dialect::SQLite ? "SQLite" : "PostgreSQL";
                         });

} // namespace

TEST_P(QMPredicateSQLTest, SelectsTheSameRowsInMemoryAndInSQL)
{
    // Rows A..F; F has no values at all, E's note is a null but present QString.
    const QList<Row> objects = {
            {{u"name"_s, u"Straße"_s},
             {u"age"_s, 30},
             {u"score"_s, 1.5},
             {u"active"_s, true},
             {u"born"_s, utc(1577836800000)},
             {u"data"_s, QByteArray("\x01\x02")}},
            {{u"name"_s, u"STRASSE"_s},
             {u"age"_s, 17},
             {u"score"_s, -2.0},
             {u"active"_s, false},
             {u"born"_s, utc(946684799999)},
             {u"data"_s, QByteArray("\x01")},
             {u"note"_s, u"x*y"_s}},
            {{u"name"_s, u"é"_s},
             {u"score"_s, 0.0},
             {u"active"_s, true},
             {u"note"_s, QString::fromUtf16(u"nul\0here", 8)}},
            {{u"name"_s, u"😀"_s},
             {u"age"_s, 65},
             {u"born"_s, utc(1714564800000)},
             {u"data"_s, QByteArray("")},
             {u"note"_s, u""_s}},
            {{u"name"_s, u"\uFFFD"_s},
             {u"age"_s, 18},
             {u"score"_s, 1000.0},
             {u"active"_s, false},
             {u"note"_s, QString()}},
            {},
    };
    const Table table(objects, GetParam());
    check(table,
          {
                  // Texts: code-point order (the emoji is after U+FFFD), folding, absent values.
                  {u"name = 'STRASSE'", {}, "B"},
                  {u"name =[c] 'strasse' OR name =[c] 'É'", {}, "ABC"},
                  {uR"(name > '\uFFFD')", {}, "D"},
                  {u"name < %@", {u"😀"_s}, "ABCE"},
                  {u"name != 'é'", {}, "ABDE"},
                  {u"NOT name = 'é'", {}, "ABDEF"},
                  {u"name IN {'é', 'x'} OR score = 1000", {}, "CE"},
                  {u"name BEGINSWITH[c] 'STR' AND NOT name BEGINSWITH 'Str'", {}, "B"},
                  {u"name ENDSWITH 'ße' OR name CONTAINS 'A'", {}, "AB"},
                  {u"name ENDSWITH[c] 'SSE'", {}, "AB"},
                  {u"note BEGINSWITH 'nul' AND note CONTAINS 'here' AND note ENDSWITH 'here'",
                   {},
                   "C"},
                  {u"note CONTAINS '' AND note ENDSWITH '' AND note BEGINSWITH[c] ''", {}, "BCDE"},
                  {u"note = '' OR note = nil", {}, "ADEF"},
                  {uR"(note LIKE 'x\*y' OR note LIKE '')", {}, "BDE"},
                  {uR"(note LIKE 'x?y' AND NOT note LIKE 'x\?y')", {}, "B"},
                  {u"name LIKE '?'", {}, "CDE"},
                  {u"name LIKE[c] '*SS*' OR note LIKE 'nul*'", {}, "ABC"},
                  // Numbers, booleans, dates, bytes; values converted to the attribute's type.
                  {u"age > 17", {}, "ADE"},
                  {u"NOT age > 17", {}, "BCF"},
                  {u"age = nil", {}, "CF"},
                  {u"age != NULL", {}, "ABDE"},
                  {u"age IN {17, 65, nil}", {}, "BD"},
                  {u"age IN %@", {QStringList {u"18"_s, u"30"_s}}, "AE"},
                  {u"age > %@", {u"20"_s}, "AD"},
                  {u"20 >= age", {}, "BE"},
                  {u"score <= 0", {}, "BC"},
                  {u"score > 1.4", {}, "AE"},
                  {u"active = YES", {}, "AC"},
                  {u"active != 1", {}, "BE"},
                  {u"born >= DATE('2020-01-01T00:00:00Z')", {}, "AD"},
                  {u"born < %@", {utc(946684800000)}, "B"},
                  {u"data = BINARY('AQI=')", {}, "A"},
                  {u"data < %@", {QByteArray("\x01\x02")}, "BD"},
                  // Logic.
                  {u"TRUEPREDICATE", {}, "ABCDEF"},
                  {u"FALSEPREDICATE OR age IN {}", {}, ""},
                  {u"(age > 20 OR name = 'é') AND NOT active = NO", {}, "ACD"},
          });

    // The null predicate takes everything; nothing of a value reaches the SQL text.
    EXPECT_TRUE(QMPredicate().evaluateWithValues([](const QString &) { return QVariant(); }));
    EXPECT_EQ(QMPredicateSQL::compile(QMPredicate(), person(), GetParam()).sql,
              GetParam() == Dialect::SQLite ? u"1"_s : u"TRUE"_s);
    const QString evil = u"'; DROP TABLE person; --"_s;
    QString sql;
    const QMPredicate injected
            = parsed(u"name = %@ OR note LIKE[c] %@ OR name ENDSWITH %@ OR name IN %@"_s,
                     {evil, evil, evil, QStringList {evil}})
                      .boundToEntity(person());
    EXPECT_EQ(table.selected(injected, &sql), QList<qsizetype> {});
    EXPECT_FALSE(sql.contains(u"DROP"_s) || sql.contains(u'\''));
    EXPECT_EQ(table.selected(parsed(u"TRUEPREDICATE"_s).boundToEntity(person())).size(), 6);
}

TEST_P(QMPredicateSQLTest, TextsAndNumbersAtTheEdgesSelectTheSameRows)
{
    const auto nul = [](const char16_t *text) {
        return QString::fromUtf16(text, qsizetype(std::char_traits<char16_t>::length(text)) + 1);
    };
    const auto names = [](const QStringList &texts) {
        QList<Row> rows;
        for (const QString &text : texts)
            rows.append(text.isNull() ? Row() : Row {{u"name"_s, text}});
        return rows;
    };
    // Folding that changes length (ß, ẞ, ﬁ, İ), Turkish i's, the escape characters of LIKE, an
    // astral character (two UTF-16 units, one code point), the empty text and no text.
    const Table texts(names({u"ß"_s, u"ẞ"_s, u"SS"_s, u"ﬁ"_s, u"FI"_s, u"ı"_s, u"İ"_s, u"i"_s,
                             u"I"_s, uR"(100%_\)"_s, u""_s, QString(), u"a😀b"_s, u"😀"_s}),
                      GetParam());
    check(texts,
          {
                  {u"name ==[c] 'ss'", {}, "ABC"},
                  {u"name ==[c] 'fi'", {}, "DE"},
                  {u"name ==[c] 'i'", {}, "HI"},
                  {u"name ==[c] 'İ'", {}, "G"},
                  {u"name !=[c] 'SS'", {}, "DEFGHIJKMN"},
                  {u"name BEGINSWITH[c] 's' AND name ENDSWITH[c] 'S'", {}, "ABC"},
                  {u"name LIKE[c] '?'", {}, "FHIN"},
                  {u"name LIKE '?'", {}, "ABDFGHIN"},
                  {u"name LIKE[c] 's?'", {}, "ABC"},
                  // A lone "\" at the end is itself.
                  {u"name LIKE %@", {uR"(100%_\)"_s}, "J"},
                  {u"name LIKE %@", {uR"(100??\\)"_s}, "J"},
                  {u"name LIKE %@", {u"100_%*"_s}, ""},
                  {u"name LIKE %@", {uR"(*\\)"_s}, "J"},
                  {u"name LIKE %@", {uR"(1\00*)"_s}, "J"},
                  {u"name CONTAINS '%_' AND name ENDSWITH %@", {uR"(\)"_s}, "J"},
                  {u"name BEGINSWITH '😀' OR name ENDSWITH 'b'", {}, "MN"},
                  {u"name CONTAINS '😀'", {}, "MN"},
                  {u"name LIKE 'a?b'", {}, "M"},
                  {u"name LIKE 'a??b'", {}, ""},
                  {u"name = ''", {}, "K"},
                  {u"name BEGINSWITH ''", {}, "ABCDEFGHIJKMN"},
                  {u"name > 'z'", {}, "ABDFGN"},
                  {u"name > 'ẞ'", {}, "DN"},
                  {u"name <= 'I'", {}, "EIJK"},
                  // U+0000, which PostgreSQL cannot hold, in values.
                  {u"name = %@", {nul(u"x")}, ""},
                  {u"name ==[c] %@", {nul(u"ss")}, ""},
                  {u"NOT name = %@", {nul(u"x")}, "ABCDEFGHIJKLMN"},
                  {u"name != %@", {nul(u"SS")}, "ABCDEFGHIJKMN"},
                  {u"name < %@", {nul(u"SS")}, "CEIJK"},
                  {u"name >= %@", {nul(u"SS")}, "ABDFGHMN"},
                  {u"name < %@", {nul(u"")}, "K"},
                  {u"NOT name > %@", {nul(u"")}, "KL"},
                  {u"name IN %@", {QStringList {nul(u"SS"), u"FI"_s}}, "E"},
                  {u"name CONTAINS[c] %@ OR name BEGINSWITH %@", {nul(u"s"), nul(u"")}, ""},
                  {u"name LIKE %@", {nul(u"*")}, ""},
          });

    constexpr qint64 largest = std::numeric_limits<qint64>::max();
    constexpr qint64 smallest = std::numeric_limits<qint64>::min();
    constexpr double huge = std::numeric_limits<double>::max();
    constexpr double tiny = std::numeric_limits<double>::denorm_min();
    const Table numbers({{{u"age"_s, largest}, {u"score"_s, huge}},
                         {{u"age"_s, smallest}, {u"score"_s, -huge}},
                         {{u"age"_s, -1}, {u"score"_s, tiny}},
                         {{u"age"_s, 0}, {u"score"_s, -0.0}},
                         {{u"score"_s, 0.1}},
                         {{u"score"_s, 0.1 + 0.2}},
                         {}},
                        GetParam());
    check(numbers,
          {
                  {u"age = %@", {largest}, "A"},
                  {u"age < %@", {smallest + 1}, "B"},
                  {u"age >= %@", {smallest}, "ABCD"},
                  {u"age > -2", {}, "ACD"},
                  {u"age IN %@", {QVariantList {smallest, 0}}, "BD"},
                  {u"score = %@ OR score = %@", {huge, tiny}, "AC"},
                  {u"score = %@", {-huge}, "B"},
                  {u"score > 0", {}, "ACEF"},
                  {u"score = 0", {}, "D"},
                  {u"score < %@", {0.1}, "BCD"},
                  {u"score = %@", {0.1}, "E"},
                  {u"score > 0.3", {}, "AF"},
                  {u"score = %@", {0.1 + 0.2}, "F"},
          });
    // Neither a store nor a predicate holds NaN or an infinity.
    for (const double d : {std::nan(""), std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()}) {
        EXPECT_TRUE(QMPredicate::predicateWithFormat(u"score < %@"_s, {d})
                            .boundToEntity(person())
                            .isNull());
        EXPECT_FALSE(person().attributeNamed(u"score"_s)->convertedValue(d).isValid());
    }
}

TEST(QMPredicateTest, ComparisonsOutsideANotLeaveTheIndexUsable)
{
    const Table table({{{u"name"_s, u"a"_s}}, {{u"age"_s, 1}}});
    const auto plan = [&](const QString &format) {
        return table.plan(parsed(format).boundToEntity(person()));
    };
    // SQLite SEARCHes an index for the rows, where a SCAN reads them all.
    EXPECT_TRUE(plan(u"name = 'a' AND age > 0"_s).startsWith(u"SEARCH person USING"_s));
    EXPECT_TRUE(plan(u"name IN {'a', 'b'} OR name >= 'x'"_s).contains(u"SEARCH person USING"_s));
    // Under a NOT an absent value must still count as false, which the index cannot tell.
    EXPECT_TRUE(plan(u"NOT name = 'a'"_s).startsWith(u"SCAN"_s));
    EXPECT_EQ(table.selected(parsed(u"NOT name = 'a'"_s).boundToEntity(person())),
              QList<qsizetype> {1});
}

namespace {

// Random predicates over random rows, from small pools of values so that comparisons hit.
class Generator
{
public:
    explicit Generator(unsigned seed)
        : m_random(seed)
    { }

    Row row()
    {
        Row row;
        for (const QMAttributeDescription &a : person().attributes()) {
            if (pick(4) != 0)
                row.insert(a.name, value(a.type));
        }
        return row;
    }

    // A format and its arguments.
    QString predicate(QVariantList &arguments, int depth = 0)
    {
        const int choice = depth > 3 ? 0 : int(pick(10));
        if (choice <= 4)
            return comparison(arguments);
        if (choice == 5)
            return u"NOT "_s + predicate(arguments, depth + 1);
        if (choice == 6)
            return pick(2) ? u"TRUEPREDICATE"_s : u"FALSEPREDICATE"_s;
        QStringList parts;
        for (int n = 2 + int(pick(2)); n > 0; --n)
            parts.append(u'(' + predicate(arguments, depth + 1) + u')');
        return parts.join(choice <= 8 ? u" AND "_s : u" OR "_s);
    }

private:
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_random); }

    template<typename T>
    const T &any(const QList<T> &list)
    {
        return list.at(qsizetype(pick(size_t(list.size()))));
    }

    QVariant value(QMAttributeType type)
    {
        static const QStringList texts {
                QString(),    u""_s,        u"a"_s,       u"A"_s,   u"ab"_s,
                u"Straße"_s,  u"STRASSE"_s, u"strasse"_s, u"é"_s,   u"É"_s,
                u"e\u0301"_s, u"😀"_s,       u"\uFFFD"_s,  u"x*y"_s, QString::fromUtf16(u"n\0l", 3),
                u"ß"_s,       u"ǅ"_s,       u"İ"_s,       u"ﬃ"_s,   u"ab😀"_s,
                u"ẞ"_s,       u"ﬁ"_s,       u"ı"_s,       u"I"_s,   u"%"_s,
                u"_"_s,       uR"(\)"_s,    uR"(1%_\)"_s};
        switch (type) {
        case QMAttributeType::String:
            return any(texts);
        case QMAttributeType::Integer:
            return any(QList<qint64> {-1, 0, 1, 17, 18, 30, 65, qint64(1) << 40,
                                      std::numeric_limits<qint64>::min(),
                                      std::numeric_limits<qint64>::max()});
        case QMAttributeType::Double:
            return any(QList<double> {-2.0, 0.0, -0.0, 0.5, 1.5, 1000.0, 1e300, 0.1, 0.1 + 0.2,
                                      std::numeric_limits<double>::denorm_min(),
                                      -std::numeric_limits<double>::max()});
        case QMAttributeType::Boolean:
            return bool(pick(2));
        case QMAttributeType::Date:
            return utc(any(QList<qint64> {-1, 0, 946684799999, 1577836800000}));
        case QMAttributeType::Binary:
            return any(QList<QByteArray> {QByteArray(), QByteArray("\x01"), QByteArray("\x01\x02"),
                                          QByteArray("\x02"), QByteArray("\xff\x00", 2)});
        }
        return QVariant();
    }

    // A LIKE pattern made from a text with wildcards and escapes put in.
    QString pattern()
    {
        const QString text = value(QMAttributeType::String).toString();
        QString out;
        for (QChar c : text) {
            const size_t r = pick(6);
            if (r == 0)
                out += u'*';
            else if (r == 1)
                out += u'?';
            else if (c == u'*' || c == u'?' || c == u'\\' || r == 2)
                out += u'\\' + QString(c);
            else
                out += c;
        }
        if (pick(3) == 0)
            out += u'*';
        return out;
    }

    QString comparison(QVariantList &arguments)
    {
        const QMAttributeDescription &a = any(person().attributes());
        const bool text = a.type == QMAttributeType::String;
        static const QStringList orders {u"="_s, u"!="_s, u"<"_s, u"<="_s, u">"_s, u">="_s};
        static const QStringList texts {u"BEGINSWITH"_s, u"CONTAINS"_s, u"ENDSWITH"_s, u"LIKE"_s};
        const size_t kind = pick(text ? 4 : 3);
        if (kind == 0) {
            arguments.append(QVariant());
            return a.name + (pick(2) ? u" = %@"_s : u" != %@"_s);
        }
        if (kind == 1) {
            QVariantList list;
            for (int n = int(pick(4)); n > 0; --n)
                list.append(pick(5) ? value(a.type) : QVariant());
            arguments.append(QVariant(list));
            return a.name + u" IN %@"_s;
        }
        if (kind == 2) {
            const size_t o = pick(6);
            const QString option = text && o < 2 && pick(2) ? u"[c]"_s : QString();
            arguments.append(value(a.type));
            if (pick(3) == 0 && option.isEmpty()) {
                static const QStringList turned {u"="_s, u"!="_s, u">"_s, u">="_s, u"<"_s, u"<="_s};
                return u"%@ "_s + turned.at(qsizetype(o)) + u' ' + a.name;
            }
            return a.name + u' ' + orders.at(qsizetype(o)) + option + u" %@"_s;
        }
        const QString op = any(texts);
        arguments.append(op == u"LIKE"_s ? QVariant(pattern()) : value(a.type));
        return a.name + u' ' + op + (pick(2) ? u"[c]"_s : QString()) + u" %@"_s;
    }

    std::mt19937 m_random;
};

} // namespace

TEST_P(QMPredicateSQLTest, RandomPredicatesSelectTheSameRowsInMemoryAndInSQL)
{
    for (unsigned seed = 1; seed <= 8; ++seed) {
        Generator generate(seed);
        QList<Row> rows;
        for (int i = 0; i < 40; ++i)
            rows.append(generate.row());
        const Table table(rows, GetParam());
        for (int i = 0; i < 250; ++i) {
            QVariantList arguments;
            const QString format = generate.predicate(arguments);
            SCOPED_TRACE(format.toStdString() + " seed " + std::to_string(seed));
            const QMPredicate p = parsed(format, arguments);
            // The canonical text reads back to the same predicate, bound or not.
            ASSERT_EQ(QMPredicate::predicateWithFormat(p.predicateFormat()), p)
                    << p.predicateFormat().toStdString();
            QMError error;
            const QMPredicate bound = p.boundToEntity(person(), &error);
            ASSERT_FALSE(bound.isNull()) << error.localizedDescription().toStdString();
            ASSERT_EQ(QMPredicate::predicateWithFormat(bound.predicateFormat()), bound);
            QString sql;
            ASSERT_EQ(table.selected(bound, &sql), table.evaluated(bound))
                    << bound.predicateFormat().toStdString() << "\n"
                    << sql.toStdString();
        }
    }
}

TEST_P(QMPredicateSQLTest, LongPredicatesCompileToSQLThatRuns)
{
    const Table table(
            {{{u"age"_s, 2999}, {u"name"_s, u"xX"_s}}, {{u"age"_s, 3000}, {u"name"_s, u"x"_s}}, {}},
            GetParam());
    const auto check = [&](const QString &format) {
        SCOPED_TRACE(format.left(200).toStdString());
        const QMPredicate p = parsed(format).boundToEntity(person());
        EXPECT_FALSE(p.isNull());
        EXPECT_EQ(table.selected(p), table.evaluated(p));
        return table.evaluated(p);
    };
    // SQLite refuses expressions deeper than 1000, and a flat OR of thousands of terms would be
    // that deep if it were written as one chain.
    QStringList terms;
    for (int i = 0; i < 3000; ++i)
        terms.append(u"age = %1"_s.arg(i));
    EXPECT_EQ(check(terms.join(u" OR "_s)), QList<qsizetype> {0});

    // SQLite's parser holds about a hundred open parentheses and pending operators; the deepest
    // formats the reader takes, in the shapes that cost it most, must still run. The heaviest
    // comparison sits at the bottom.
    const QString leaf = u"name ENDSWITH[c] 'X'"_s;
    QString shapes[3] = {leaf, leaf, leaf};
    for (int level = 0; level < 32; ++level) {
        const QString joint = level % 2 ? u" AND "_s : u" OR "_s;
        // A comparison, then the nested group.
        shapes[0] = leaf + joint + u'(' + shapes[0] + u')';
        // Groups among comparisons on both sides.
        shapes[1] = terms.mid(0, 3).join(joint) + joint + u'(' + shapes[1] + u')' + joint
                + terms.mid(3, 3).join(joint);
        // NOT around every group (two levels each).
        if (level < 16)
            shapes[2] = u"NOT ("_s + leaf + joint + shapes[2] + u')';
    }
    for (const QString &shape : shapes)
        check(shape);
    EXPECT_TRUE(QMPredicate::predicateWithFormat(u'(' + shapes[0] + u')').isNull());
}
