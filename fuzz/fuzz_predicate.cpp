// Reads arbitrary predicate formats, and checks that
//  - reading never crashes or hangs, and fails only with a format error that says where;
//  - what reads writes back (predicateFormat()) to text that reads to an equal predicate;
//  - what binds to a fixed entity writes back and binds to an equal predicate, and its SQL runs
//    on a SQLite table of fixed rows and selects exactly the rows evaluation accepts;
//  - no bound value appears in the SQL text, SQLite's or PostgreSQL's (which is compiled only:
//    no server is at hand), and each has one "?" per binding.
//
// The input is UTF-8. The format may take up to four arguments (a text, a number, a list and an
// attribute name, in that order); the first count that reads is used.

#include "QMFoundation/persistence/QMEntityBuilder_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMPredicateSQL_p.h"
#include <QMFoundation/errors/QMNull.h>
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QDateTime>

#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>

using namespace Qt::StringLiterals;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

QMAttributeDescription attribute(const QString &name, QMAttributeType type)
{
    return QMMakeAttributeDescription(name, type);
}

const QMEntityDescription &entity()
{
    static const QMEntityDescription person
            = QMMakeEntityDescription(u"Person"_s,
                                      {attribute(u"name"_s, QMAttributeType::String),
                                       attribute(u"age"_s, QMAttributeType::Integer),
                                       attribute(u"score"_s, QMAttributeType::Double),
                                       attribute(u"active"_s, QMAttributeType::Boolean),
                                       attribute(u"born"_s, QMAttributeType::Date),
                                       attribute(u"data"_s, QMAttributeType::Binary)});
    return person;
}

const QList<QVariantMap> &rows()
{
    static const QList<QVariantMap> rows {
            {{u"name"_s, u"Straße"_s},
             {u"age"_s, qint64(30)},
             {u"score"_s, 1.5},
             {u"active"_s, true},
             {u"born"_s, QDateTime::fromMSecsSinceEpoch(1577836800000, Qt::UTC)},
             {u"data"_s, QByteArray("\x01\x02")}},
            {{u"name"_s, u"😀 x*y"_s}, {u"age"_s, qint64(-1)}, {u"active"_s, false}},
            {{u"name"_s, u""_s}, {u"score"_s, 0.0}, {u"data"_s, QByteArray("", 0)}},
            {},
    };
    return rows;
}

void bind(sqlite3_stmt *statement, int index, const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::LongLong:
        sqlite3_bind_int64(statement, index, value.toLongLong());
        return;
    case QMetaType::Double:
        sqlite3_bind_double(statement, index, value.toDouble());
        return;
    case QMetaType::QString: {
        const QByteArray utf8 = value.toString().toUtf8();
        sqlite3_bind_text(statement, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
        return;
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        sqlite3_bind_blob(statement, index, bytes.constData(), int(bytes.size()), SQLITE_TRANSIENT);
        return;
    }
    default:
        sqlite3_bind_null(statement, index);
    }
}

sqlite3 *database()
{
    static sqlite3 *db = [] {
        sqlite3 *made = nullptr;
        require(sqlite3_open(":memory:", &made) == SQLITE_OK);
        require(QMPredicateSQL::registerFunctions(made));
        require(sqlite3_exec(made,
                             "CREATE TABLE person (id INTEGER PRIMARY KEY, \"name\" TEXT, "
                             "\"age\" INTEGER, \"score\" REAL, \"active\" INTEGER, "
                             "\"born\" INTEGER, \"data\" BLOB)",
                             nullptr, nullptr, nullptr)
                == SQLITE_OK);
        sqlite3_stmt *insert = nullptr;
        require(sqlite3_prepare_v2(made, "INSERT INTO person VALUES (?, ?, ?, ?, ?, ?, ?)", -1,
                                   &insert, nullptr)
                == SQLITE_OK);
        for (qsizetype i = 0; i < rows().size(); ++i) {
            sqlite3_bind_int64(insert, 1, i);
            int column = 2;
            for (const QMAttributeDescription &a : entity().attributes())
                bind(insert, column++,
                     QMPersistenceValue::toStorage(rows().at(i).value(a.name), a.type));
            require(sqlite3_step(insert) == SQLITE_DONE);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        return made;
    }();
    return db;
}

QList<qsizetype> selected(const QMPredicateSQL::Condition &condition)
{
    const QByteArray sql = "SELECT id FROM person WHERE " + condition.sql.toUtf8() + " ORDER BY id";
    sqlite3_stmt *statement = nullptr;
    // The reader's nesting limit exists so that every predicate it reads fits SQLite's parser.
    require(sqlite3_prepare_v2(database(), sql.constData(), -1, &statement, nullptr) == SQLITE_OK);
    require(sqlite3_bind_parameter_count(statement) == condition.bindings.size());
    for (qsizetype i = 0; i < condition.bindings.size(); ++i)
        bind(statement, int(i + 1), condition.bindings.at(i));
    QList<qsizetype> ids;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
        ids.append(sqlite3_column_int64(statement, 0));
    require(rc == SQLITE_DONE);
    sqlite3_finalize(statement);
    return ids;
}

void checkBound(const QMPredicate &bound)
{
    require(QMPredicate::predicateWithFormat(bound.predicateFormat()).boundToEntity(entity())
            == bound);
    QList<qsizetype> evaluated;
    for (qsizetype i = 0; i < rows().size(); ++i) {
        if (bound.evaluateWithValues([i](const QString &key) { return rows().at(i).value(key); }))
            evaluated.append(i);
    }
    const QMPredicateSQL::Condition condition = QMPredicateSQL::compile(bound, entity());
    require(!condition.sql.contains(u'\''));
    require(selected(condition) == evaluated);
    const QMPredicateSQL::Condition postgreSQL
            = QMPredicateSQL::compile(bound, entity(), QMPredicateSQL::Dialect::PostgreSQL);
    require(!postgreSQL.sql.contains(u'\'') && !postgreSQL.sql.contains(u'$'));
    require(postgreSQL.sql.count(u'?') == postgreSQL.bindings.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString format = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QVariantList arguments {u"'; DROP TABLE person; --"_s, 18,
                                  QVariantList {1, u"x"_s, QMNull()}, u"name"_s};
    QMPredicate p;
    for (qsizetype count = 0; count <= arguments.size() && p.isNull(); ++count) {
        QMError error;
        p = QMPredicate::predicateWithFormat(format, arguments.mid(0, count), &error);
        if (p.isNull()) {
            require(error.domain() == QMPersistenceErrorDomain
                    && error.code() == QMPredicateFormatError);
            const int position = error.userInfo().value(QMPredicateErrorPositionKey).toInt();
            require(position >= 0 && position <= format.size());
        }
    }
    if (p.isNull())
        return 0;
    require(QMPredicate::predicateWithFormat(p.predicateFormat()) == p);
    const QMPredicate bound = p.boundToEntity(entity());
    if (!bound.isNull())
        checkBound(bound);
    return 0;
}
