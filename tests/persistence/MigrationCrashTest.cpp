// Processes killed in the middle of a migration: a large store written under the first version
// of the ledger model (LedgerModel.h) is opened by the current version in a child process
// (qmf_store_migrator), which is killed at a moment that moves further into the migration with
// each kill. After each kill the store is whole: at the old version with every object as it was
// (and openable by the old model), or at the new one with every object migrated; never in
// between, and the copy kept before the migration is a whole store at the old version.

#include "persistence/LedgerModel.h"
#include "persistence/PersistenceTestSupport.h"
#include <QMFoundation/persistence/QMMigrationPlan.h>

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>

#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// The store holds this many entries and accounts: enough for the SQLite migration to take long
// enough to be killed at many moments of it, and for the XML one to take tens of milliseconds.
// The sanitizers' builds run several times slower and take fewer.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr qint64 sanitizerShare = 5;
#else
constexpr qint64 sanitizerShare = 1;
#endif

struct Sizes
{
    qint64 entries;
    qint64 accounts;
};

Sizes sizesFor(const QString &type)
{
    if (type == QMSQLiteStoreType)
        return {100000 / sanitizerShare, 1000 / sanitizerShare};
    return {5000 / sanitizerShare, 100 / sanitizerShare};
}

std::shared_ptr<const QMManagedObjectModel> ledgerVersion(const QString &name)
{
    return QMManagedObjectModel::modelWithJSON(ledgerModelJSON())->modelForVersionName(name);
}

// A migrating process (qmf_store_migrator).
class Migrator
{
public:
    Migrator(const QString &type, const QString &path)
    {
        m_process.setProgram(QStringLiteral(QMF_STORE_MIGRATOR));
        m_process.setArguments({type, path});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
    }
    ~Migrator()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    // Its next line, or "" when it ended or said nothing within a minute.
    QByteArray readLine()
    {
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(60000))
                return {};
        }
        return m_process.readLine().trimmed();
    }
    bool waitForEnd()
    {
        return m_process.waitForFinished(180000) && m_process.exitStatus() == QProcess::NormalExit
                && m_process.exitCode() == 0;
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

private:
    QProcess m_process;
};

// The store file and the files SQLite keeps beside it.
const QStringList &companionSuffixes()
{
    static const QStringList suffixes {QString(), u"-wal"_s, u"-shm"_s, u"-journal"_s};
    return suffixes;
}

// Puts a copy of the store at `from` in the place of the one at `to`, and removes the copy kept
// before a migration of `to`.
bool copyStore(const QString &from, const QString &to)
{
    bool ok = true;
    for (const QString &suffix : companionSuffixes()) {
        QFile::remove(to + suffix);
        if (QFile::exists(from + suffix))
            ok = QFile::copy(from + suffix, to + suffix) && ok;
    }
    QFile::remove(to + QMMigrationBackupSuffix);
    return ok;
}

// What a SQLite store file holds outside the library's view.
struct SQLiteFacts
{
    QString integrity;
    QString version;
    qint64 scratchTables = -1;
    // The schema entries and tables whose rows differ from those of the reference store.
    QStringList differences;
};

// The store to compare a store at a version with; none when empty.
using ReferenceStore = std::function<QString(const QString &version)>;

// Reads the store at `path` (which recovers what a killed process left in its journal), and
// compares every table and schema entry with those of the reference store of its version.
SQLiteFacts sqliteFacts(const QString &path, const ReferenceStore &referenceFor)
{
    SQLiteFacts facts;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr)
        != SQLITE_OK) {
        facts.integrity = QString::fromUtf8(sqlite3_errmsg(db));
        sqlite3_close(db);
        return facts;
    }
    sqlite3_busy_timeout(db, 60000);
    const auto each = [db](const QString &sql, const std::function<void(sqlite3_stmt *)> &row) {
        sqlite3_stmt *statement = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &statement, nullptr);
        if (rc == SQLITE_OK) {
            while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
                row(statement);
        }
        sqlite3_finalize(statement);
        return rc == SQLITE_DONE;
    };
    const auto text = [](sqlite3_stmt *statement, int column) {
        return QString::fromUtf8(
                reinterpret_cast<const char *>(sqlite3_column_text(statement, column)));
    };
    QStringList verdicts;
    each(u"PRAGMA integrity_check"_s, [&](sqlite3_stmt *s) { verdicts.append(text(s, 0)); });
    facts.integrity = verdicts.join(u"; "_s);
    each(u"SELECT value FROM qm_metadata WHERE key = 'version'"_s,
         [&](sqlite3_stmt *s) { facts.version = text(s, 0); });
    each(u"SELECT count(*) FROM sqlite_schema WHERE name = 'qm_migrating'"_s,
         [&](sqlite3_stmt *s) { facts.scratchTables = sqlite3_column_int64(s, 0); });
    const QString reference = referenceFor ? referenceFor(facts.version) : QString();
    if (!reference.isEmpty()) {
        const auto differs = [&](const QString &what, const QString &a, const QString &b) {
            qint64 rows = -1;
            const QString sql
                    = u"SELECT count(*) FROM (SELECT * FROM %1 EXCEPT SELECT * FROM %2)"_s;
            const auto count = [&](sqlite3_stmt *s) {
                rows = sqlite3_column_int64(s, 0);
            };
            if (!each(sql.arg(a, b), count) || rows != 0 || !each(sql.arg(b, a), count)
                || rows != 0)
                facts.differences.append(what);
        };
        const QString schema = u"(SELECT type, name, tbl_name, sql FROM %1.sqlite_schema)"_s;
        QStringList tables;
        if (!each(u"ATTACH '%1' AS reference"_s.arg(reference), [](sqlite3_stmt *) {})
            || !each(u"SELECT name FROM reference.sqlite_schema WHERE type = 'table'"_s,
                     [&](sqlite3_stmt *s) { tables.append(text(s, 0)); }))
            facts.differences.append(u"(the reference store)"_s);
        differs(u"(the schema)"_s, schema.arg(u"main"_s), schema.arg(u"reference"_s));
        for (const QString &table : std::as_const(tables))
            differs(table, u"main.\"%1\""_s.arg(table), u"reference.\"%1\""_s.arg(table));
    }
    sqlite3_close(db);
    return facts;
}

// The version an XML store file's root element records; "(unreadable)" when it has none.
QString xmlVersion(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return u"(unreadable)"_s;
    QXmlStreamReader xml(&file);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement)
            return xml.attributes().value(u"version"_s).toString();
    }
    return u"(unreadable)"_s;
}

// The version recorded in the store at `path`, checking on the way that a SQLite store passes
// its integrity check, keeps no scratch table of a migration, and holds exactly what the
// reference store of its version holds, when there is one.
QString recordedVersion(const QString &type, const QString &path,
                        const ReferenceStore &reference = {})
{
    if (type != QMSQLiteStoreType)
        return xmlVersion(path);
    const SQLiteFacts facts = sqliteFacts(path, reference);
    EXPECT_EQ(facts.integrity, u"ok"_s) << path.toStdString();
    EXPECT_EQ(facts.scratchTables, 0) << path.toStdString();
    EXPECT_EQ(facts.differences, QStringList()) << path.toStdString();
    return facts.version;
}

bool sameValue(const QVariant &actual, const QVariant &expected)
{
    if (!expected.isValid())
        return !actual.isValid() || actual.isNull();
    return actual == expected;
}

// Opens the store with `version` of the ledger model, which must not migrate it, and checks
// that it holds every entry and account with its values in that version: every one, or the
// counts and every `stride`th entry.
void expectLedger(const QString &type, const QString &path, const QString &version,
                  qint64 stride = 1)
{
    SCOPED_TRACE(u"%1 at version %2"_s.arg(path, version).toStdString());
    const Sizes sizes = sizesFor(type);
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(
            ledgerVersion(version));
    QMError error;
    ASSERT_TRUE(coordinator->addPersistentStoreWithType(
            type, {}, QUrl::fromLocalFile(path),
            {{QMMigratePersistentStoresAutomaticallyOption, false}}, &error))
            << error.localizedDescription().toStdString();
    const auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    const bool first = version == u"1"_s;
    const QString title = first ? u"title"_s : u"label"_s;

    EXPECT_EQ(context->countForFetchRequest(QMFetchRequest(u"Entry"_s), &error), sizes.entries)
            << error.localizedDescription().toStdString();
    QMFetchRequest request(u"Entry"_s);
    QList<QMPredicate> titles;
    for (qint64 i = 0; stride > 1 && i < sizes.entries; i += stride)
        titles.append(QMPredicate::predicateWithKeyValue(title, ledgerEntryTitle(i)));
    if (!titles.isEmpty())
        request.setPredicate(QMPredicate::orPredicateWithSubpredicates(titles));
    const auto entries = context->executeFetchRequest(request, &error);
    ASSERT_EQ(entries.size(), (sizes.entries + stride - 1) / stride)
            << error.localizedDescription().toStdString();
    QHash<QString, std::shared_ptr<QMManagedObject>> byTitle;
    for (const auto &entry : entries)
        byTitle.insert(entry->value(title).toString(), entry);
    ASSERT_EQ(byTitle.size(), entries.size());
    for (qint64 i = 0; i < sizes.entries; i += stride) {
        const auto entry = byTitle.value(ledgerEntryTitle(i));
        ASSERT_TRUE(entry) << i;
        const QVariant amount
                = first ? QVariant(ledgerEntryAmount(i)) : QVariant(double(ledgerEntryAmount(i)));
        EXPECT_TRUE(sameValue(entry->value(u"amount"_s), amount)) << i;
        EXPECT_EQ(entry->value(u"amount"_s).typeId(), amount.typeId()) << i;
        EXPECT_TRUE(sameValue(entry->value(u"memo"_s), ledgerEntryMemo(i))) << i;
        if (version == u"3"_s) {
            EXPECT_EQ(entry->value(u"currency"_s), QVariant(u"EUR"_s)) << i;
        }
    }

    const auto accounts = context->executeFetchRequest(QMFetchRequest(u"Account"_s), &error);
    ASSERT_EQ(accounts.size(), sizes.accounts) << error.localizedDescription().toStdString();
    // Each number with its type.
    const auto key = [](const QVariant &value) {
        return u"%1 %2"_s.arg(value.typeId()).arg(value.toString());
    };
    QSet<QString> numbers;
    for (const auto &account : accounts)
        numbers.insert(key(account->value(u"number"_s)));
    for (qint64 j = 0; j < sizes.accounts; ++j) {
        const qint64 number = ledgerAccountNumber(j);
        EXPECT_TRUE(numbers.contains(
                key(version == u"3"_s ? QVariant(QString::number(number)) : QVariant(number))))
                << j;
    }
}

// Writes the store under version "1" in one save.
void buildLedger(const QString &type, const QString &path)
{
    const Sizes sizes = sizesFor(type);
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(
            ledgerVersion(u"1"_s));
    QMError error;
    ASSERT_TRUE(coordinator->addPersistentStoreWithType(type, {}, QUrl::fromLocalFile(path), {},
                                                        &error))
            << error.localizedDescription().toStdString();
    const auto context = QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator);
    for (qint64 i = 0; i < sizes.entries; ++i) {
        const auto entry = context->insertNewObjectForEntityForName(u"Entry"_s);
        entry->setValue(u"title"_s, ledgerEntryTitle(i));
        entry->setValue(u"amount"_s, ledgerEntryAmount(i));
        entry->setValue(u"memo"_s, ledgerEntryMemo(i));
    }
    for (qint64 j = 0; j < sizes.accounts; ++j)
        context->insertNewObjectForEntityForName(u"Account"_s)
                ->setValue(u"number"_s, ledgerAccountNumber(j));
    ASSERT_TRUE(context->save(&error)) << error.localizedDescription().toStdString();
}

class MigrationCrashTest : public ::testing::TestWithParam<QString>
{ };

} // namespace

TEST_P(MigrationCrashTest, ProcessesKilledMidMigrationLeaveTheOldVersionOrTheNewOne)
{
    const QString type = GetParam();
    const bool sqlite = type == QMSQLiteStoreType;
    const int kills = qEnvironmentVariableIsSet("QMF_CRASH_KILLS")
            ? qEnvironmentVariableIntValue("QMF_CRASH_KILLS")
            : 10;
    QTemporaryDir dir;
    const QString suffix = sqlite ? u".sqlite"_s : u".xml"_s;
    const QString pristine = dir.filePath(u"pristine"_s + suffix);
    const QString migrated = dir.filePath(u"migrated"_s + suffix);
    const QString path = dir.filePath(u"ledger"_s + suffix);
    const QString backup = path + QMMigrationBackupSuffix;
    buildLedger(type, pristine);
    if (HasFatalFailure())
        return;
    ASSERT_EQ(recordedVersion(type, pristine), u"1"_s);

    // One migration to its end gives the store every kill must leave at the new version, and
    // tells how long a migration takes here (from its "opening"): the kills are spread over that
    // and a quarter more.
    ASSERT_TRUE(copyStore(pristine, path));
    const auto started = std::chrono::steady_clock::now();
    {
        Migrator migrator(type, path);
        ASSERT_EQ(migrator.readLine(), "opening");
        ASSERT_EQ(migrator.readLine(), "opened 1");
        ASSERT_TRUE(migrator.waitForEnd());
    }
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - started);
    ASSERT_TRUE(copyStore(path, migrated));
    expectLedger(type, migrated, u"3"_s);
    ASSERT_EQ(recordedVersion(type, backup), u"1"_s);
    ASSERT_TRUE(copyStore(pristine, path));
    // A SQLite store after a kill holds exactly the rows of one of the two.
    const ReferenceStore reference = [&](const QString &version) {
        return version == u"1"_s ? pristine : version == u"3"_s ? migrated : QString();
    };
    // Every object is compared with those, and read through the library: every one in the
    // smaller XML store, every thousandth in the SQLite one.
    const qint64 stride = sqlite ? 1000 : 1;

    int atOld = 0;
    int atNew = 0;
    int backups = 0;
    for (int kill = 0; kill < kills; ++kill) {
        // Spread by the golden ratio, so that the first kills already cover the whole span and
        // more kills fill it in.
        const double share = std::fmod((kill + 1) * 0.6180339887498949, 1.0) * 1.25;
        const auto delay = std::chrono::microseconds(qint64(double(span.count()) * share));
        SCOPED_TRACE(u"kill %1 after %2 us"_s.arg(kill).arg(delay.count()).toStdString());
        {
            Migrator migrator(type, path);
            ASSERT_EQ(migrator.readLine(), "opening");
            const auto until = std::chrono::steady_clock::now() + delay;
            while (std::chrono::steady_clock::now() < until) { }
            migrator.kill();
        }

        // The copy from before the migration, when there is one, is whole and at the old
        // version (a copy cut short never takes its name).
        if (QFile::exists(backup)) {
            ++backups;
            EXPECT_EQ(recordedVersion(type, backup), u"1"_s);
            expectLedger(type, backup, u"1"_s, sqlite ? stride : 100);
        }
        const QString version = recordedVersion(type, path, reference);
        if (version == u"1"_s) {
            // As it was: the old model reads every object, and the next process migrates again.
            ++atOld;
            expectLedger(type, path, u"1"_s, stride);
            // Killed past the span before the migration ended: migrations take longer now than
            // the first one did (a busy machine), and the span grows with them.
            if (delay >= span)
                span *= 2;
        } else {
            ASSERT_EQ(version, u"3"_s);
            ++atNew;
            expectLedger(type, path, u"3"_s, stride);
            ASSERT_TRUE(copyStore(pristine, path));
        }
        if (HasFatalFailure())
            return;
    }

    // Whatever the last kill left, the current model opens it with every object migrated.
    {
        auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(
                QMManagedObjectModel::modelWithJSON(ledgerModelJSON()));
        QMError error;
        const auto store = coordinator->addPersistentStoreWithType(
                type, {}, QUrl::fromLocalFile(path), {}, &error);
        ASSERT_TRUE(store) << error.localizedDescription().toStdString();
        EXPECT_EQ(store->migratedFromVersionName(), u"1"_s);
    }
    EXPECT_EQ(recordedVersion(type, path, reference), u"3"_s);
    expectLedger(type, path, u"3"_s);
    std::printf("%d kills of a migration of %lld objects: %d left the store at the old version, "
                "%d at the new one, %d with the copy from before the migration\n",
                kills, static_cast<long long>(sizesFor(type).entries + sizesFor(type).accounts),
                atOld, atNew, backups);
}

INSTANTIATE_TEST_SUITE_P(FileStores, MigrationCrashTest,
                         ::testing::Values(QMSQLiteStoreType, QMXMLStoreType),
                         [](const auto &instance) { return instance.param.toStdString(); });
