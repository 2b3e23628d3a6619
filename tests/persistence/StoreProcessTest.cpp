// Stores shared by several processes, and processes killed in the middle of a save: every save
// a process reported is in the store, every save is whole, and no lock outlives its process.

#include "persistence/PersistenceTestSupport.h"
#include "support/PostgreSQL.h"
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <gtest/gtest.h>

#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <numeric>

using namespace Qt::StringLiterals;

namespace {

using ObjectList = QList<std::shared_ptr<QMManagedObject>>;

// A writer process (qmf_store_writer) and what it reported.
class Writer
{
public:
    // With `together`, the writer waits for go() before its first save; `options` are more of
    // its arguments (--counters N).
    Writer(const QString &type, const QString &path, const QString &tag, int saves, int batch,
           bool together = false, const QStringList &options = {})
        : m_tag(tag)
    {
        m_process.setProgram(QStringLiteral(QMF_STORE_WRITER));
        QStringList arguments {type, path, tag, QString::number(saves), QString::number(batch)};
        if (together)
            arguments.append(u"--wait"_s);
        arguments.append(options);
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
    }
    ~Writer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished();
        }
    }

    QString tag() const { return m_tag; }
    // Waits for a writer started `together` to have its store open.
    bool waitUntilReady()
    {
        while (!m_process.canReadLine()) {
            if (!m_process.waitForReadyRead(60000))
                return false;
        }
        return m_process.readLine().trimmed() == "ready";
    }
    // Sends the line at once: QProcess writes only from an event loop or a wait on this
    // process, and the writers are waited for one after the other.
    bool go()
    {
        m_process.write("go\n");
        return m_process.waitForBytesWritten(60000);
    }
    // The saves it reported as done, and its lines about failures.
    const QSet<qint64> &saved() const { return m_saved; }
    const QStringList &failures() const { return m_failures; }
    // With --counters: the value each save reported saved gave its counter, by counter; and
    // the objects each conflict named, one list per conflict.
    const QHash<int, QList<qint64>> &increments() const { return m_increments; }
    const QList<QStringList> &conflicts() const { return m_conflicts; }

    // Reads its reports until it has reported `count` saves in all, or it ended; false on the
    // deadline.
    bool waitForSaves(qsizetype count, std::chrono::milliseconds deadline)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (m_saved.size() < count) {
            if (!readLines())
                return false;
            if (m_process.state() == QProcess::NotRunning && !m_process.canReadLine())
                return m_saved.size() >= count;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            if (!m_process.canReadLine())
                m_process.waitForReadyRead(int(std::min<qint64>(left.count(), 1000)));
        }
        return true;
    }
    bool waitForEnd(std::chrono::milliseconds deadline)
    {
        const bool ended = m_process.waitForFinished(int(deadline.count()));
        readLines();
        return ended && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished();
        // What it wrote before it died counts: a save it reported is a save it made.
        readLines();
    }

private:
    bool readLines()
    {
        while (m_process.canReadLine()) {
            const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
            const QStringList words = line.split(u' ');
            if (words.first() == u"saved"_s && words.size() > 1) {
                if (m_saved.contains(words.at(1).toLongLong()))
                    m_failures.append(u"reported twice: "_s + line); // no save is made twice
                m_saved.insert(words.at(1).toLongLong());
                if (words.size() == 5 && words.at(2) == u"counter"_s)
                    m_increments[words.at(3).toInt()].append(words.at(4).toLongLong());
            } else if (words.first() == u"conflict"_s) {
                m_conflicts.append(words.mid(2));
            } else {
                m_failures.append(line);
            }
        }
        return true;
    }

    QString m_tag;
    QProcess m_process;
    QSet<qint64> m_saved;
    QStringList m_failures;
    QHash<int, QList<qint64>> m_increments;
    QList<QStringList> m_conflicts;
};

struct Opened
{
    std::shared_ptr<QMPersistentStoreCoordinator> coordinator;
    std::shared_ptr<QMManagedObjectContext> context;
};

// The store opened in this process, waiting for no lock at all: a lock left behind by a killed
// process would fail it with QMPersistentStoreTimeoutError.
Opened openStore(const QString &type, const QString &path, QMError *error)
{
    const auto model = QMManagedObjectModel::modelWithJSON(peopleModelJSON());
    auto coordinator = QMPersistentStoreCoordinator::coordinatorWithManagedObjectModel(model);
    if (!coordinator->addPersistentStoreWithType(type, {}, storeLocation(path),
                                                 {{QMPersistentStoreTimeoutOption, 0}}, error))
        return {};
    return {coordinator,
            QMManagedObjectContext::contextWithPersistentStoreCoordinator(coordinator)};
}

// Every name in the store: "TAG-SAVE-PLACE".
QStringList namesIn(QMManagedObjectContext &context, QSet<qint64> *numbers = nullptr)
{
    QMFetchRequest request(u"Person"_s);
    QStringList names;
    for (const auto &o : context.executeFetchRequest(request)) {
        names.append(o->value(u"name"_s).toString());
        if (numbers)
            numbers->insert(o->objectID().number());
    }
    return names;
}

class StoreProcessTest : public ::testing::TestWithParam<QString>
{ };

} // namespace

TEST_P(StoreProcessTest, EverySaveThatProcessesReportIsInTheStore)
{
    const QString type = GetParam();
    const bool sqlite = type == QMSQLiteStoreType;
    const int processes = sqlite ? 4 : 2;
    const int saves = sqlite ? 200 : 150;
    QTemporaryDir dir;
    const QString path = dir.filePath(sqlite ? u"shared.sqlite"_s : u"shared.xml"_s);

    std::vector<std::unique_ptr<Writer>> writers;
    // The store is made first, then every writer opens it and all start saving at once.
    QMError error;
    ASSERT_TRUE(openStore(type, path, &error).context)
            << error.localizedDescription().toStdString();
    for (int i = 0; i < processes; ++i)
        writers.push_back(std::make_unique<Writer>(type, path, u"w%1"_s.arg(i), saves, 1, true));
    for (const auto &writer : writers)
        ASSERT_TRUE(writer->waitUntilReady());
    for (const auto &writer : writers)
        ASSERT_TRUE(writer->go());
    qsizetype reported = 0;
    for (const auto &writer : writers) {
        SCOPED_TRACE(writer->tag().toStdString());
        EXPECT_TRUE(writer->waitForEnd(std::chrono::minutes(3)));
        // Each save succeeded, at the latest when tried again after a retryable error.
        EXPECT_EQ(writer->saved().size(), saves);
        for (const QString &failure : writer->failures()) {
            EXPECT_TRUE(failure.contains(u" 134090 "_s) || failure.contains(u" 133020 "_s))
                    << failure.toStdString();
        }
        reported += writer->saved().size();
    }

    const Opened store = openStore(type, path, &error);
    ASSERT_TRUE(store.context) << error.localizedDescription().toStdString();
    QSet<qint64> numbers;
    const QStringList names = namesIn(*store.context, &numbers);
    const QSet<QString> unique(names.cbegin(), names.cend());
    EXPECT_EQ(names.size(), reported);
    EXPECT_EQ(unique.size(), names.size());
    EXPECT_EQ(numbers.size(), names.size());
    for (const auto &writer : writers) {
        for (qint64 n : writer->saved())
            EXPECT_TRUE(unique.contains(u"%1-%2-0"_s.arg(writer->tag()).arg(n)))
                    << writer->tag().toStdString() << " " << n;
    }
}

TEST_P(StoreProcessTest, WritersKilledMidSaveCrashToWholeSavesAndLeaveNoLock)
{
    const QString type = GetParam();
    const bool sqlite = type == QMSQLiteStoreType;
    const int kills = qEnvironmentVariableIsSet("QMF_CRASH_KILLS")
            ? qEnvironmentVariableIntValue("QMF_CRASH_KILLS")
            : 30;
    const int batch = 5;
    QTemporaryDir dir;
    const QString path = dir.filePath(sqlite ? u"crash.sqlite"_s : u"crash.xml"_s);
    const quint32 seed = QRandomGenerator::global()->generate();
    SCOPED_TRACE(seed);
    QRandomGenerator random(seed);

    QHash<QString, QSet<qint64>> reported;
    qsizetype wholeSaves = 0;
    for (int kill = 0; kill < kills; ++kill) {
        SCOPED_TRACE(kill);
        const QString tag = u"k%1"_s.arg(kill);
        {
            Writer writer(type, path, tag, 0, batch);
            ASSERT_TRUE(writer.waitForSaves(1 + random.bounded(3), std::chrono::seconds(60)))
                    << writer.failures().join(u'\n').toStdString();
            // The next save is under way; let it get a random distance into its work.
            const auto until = std::chrono::steady_clock::now()
                    + std::chrono::microseconds(random.bounded(4000));
            while (std::chrono::steady_clock::now() < until) { }
            writer.kill();
            reported.insert(tag, writer.saved());
        }

        QMError error;
        const Opened store = openStore(type, path, &error);
        ASSERT_TRUE(store.context) << error.localizedDescription().toStdString();
        // Whole saves only: every save in the store has all of its objects.
        QHash<QString, int> perSave;
        for (const QString &name : namesIn(*store.context)) {
            if (!name.startsWith(u"check"_s))
                ++perSave[name.section(u'-', 0, 1)];
        }
        for (auto it = perSave.cbegin(); it != perSave.cend(); ++it)
            EXPECT_EQ(it.value(), batch) << it.key().toStdString();
        wholeSaves = perSave.size();
        // Every save a writer reported is there.
        for (auto it = reported.cbegin(); it != reported.cend(); ++it) {
            for (qint64 n : it.value())
                EXPECT_TRUE(perSave.contains(u"%1-%2"_s.arg(it.key()).arg(n)))
                        << it.key().toStdString() << " " << n;
        }
        // No lock is left: a save here, which waits for nobody, goes through at once.
        store.context->insertNewObjectForEntityForName(u"Person"_s)
                ->setValue(u"name"_s, u"check-%1"_s.arg(kill));
        EXPECT_TRUE(store.context->save(&error)) << error.localizedDescription().toStdString();
    }
    qsizetype reportedSaves = 0;
    for (const QSet<qint64> &saves : std::as_const(reported))
        reportedSaves += saves.size();
    std::printf("%d kills: %lld saves reported, all of them in the store; %lld whole saves in "
                "it (the rest were made just before a kill), none in part\n",
                kills, static_cast<long long>(reportedSaves), static_cast<long long>(wholeSaves));
}

INSTANTIATE_TEST_SUITE_P(FileStores, StoreProcessTest,
                         ::testing::Values(QMSQLiteStoreType, QMXMLStoreType),
                         [](const auto &instance) { return instance.param.toStdString(); });

// Eight processes on one PostgreSQL store, each inserting its own people and raising counters
// that all of them share: conflicts happen, each one is reported and tried again, and the store
// ends with every save a process reported and no update lost.
TEST(PostgreSQLStoreProcessTest, ManyWritersWithConflictsLoseNothing)
{
    const QUrl url = TestSupport::postgreSQLStoreURL();
    if (url.isEmpty())
        GTEST_SKIP() << "needs the test PostgreSQL server: run under ctest";
    const QString path = url.toString();
    constexpr int processes = 8;
    constexpr int saves = 200;
    constexpr int counters = 4;
    const auto started = std::chrono::steady_clock::now();
    QMError error;
    {
        const Opened store = openStore(QMPostgreSQLStoreType, path, &error);
        ASSERT_TRUE(store.context) << error.localizedDescription().toStdString();
        for (int j = 0; j < counters; ++j) {
            auto counter = store.context->insertNewObjectForEntityForName(u"Person"_s);
            counter->setValue(u"name"_s, u"counter-%1"_s.arg(j));
            counter->setValue(u"age"_s, 0);
        }
        ASSERT_TRUE(store.context->save(&error)) << error.localizedDescription().toStdString();
    }
    std::vector<std::unique_ptr<Writer>> writers;
    for (int i = 0; i < processes; ++i)
        writers.push_back(std::make_unique<Writer>(
                QMPostgreSQLStoreType, path, u"w%1"_s.arg(i), saves, 1, true,
                QStringList {u"--counters"_s, QString::number(counters)}));
    for (const auto &writer : writers)
        ASSERT_TRUE(writer->waitUntilReady());
    for (const auto &writer : writers)
        ASSERT_TRUE(writer->go());

    const Opened store = openStore(QMPostgreSQLStoreType, path, &error);
    ASSERT_TRUE(store.context) << error.localizedDescription().toStdString();
    // The objects a conflict may name: the counters, the only objects two writers change.
    QHash<QString, int> counterOf;
    for (int j = 0; j < counters; ++j) {
        QMFetchRequest request(u"Person"_s);
        request.setPredicate(QMPredicate::predicateWithKeyValue(u"name"_s, u"counter-%1"_s.arg(j)));
        const auto found = store.context->executeFetchRequest(request);
        ASSERT_EQ(found.size(), 1);
        counterOf.insert(found.first()->objectID().URIRepresentation().toString(), j);
    }
    qsizetype reported = 0;
    qsizetype conflicts = 0;
    QHash<int, QList<qint64>> increments;
    for (const auto &writer : writers) {
        SCOPED_TRACE(writer->tag().toStdString());
        EXPECT_TRUE(writer->waitForEnd(std::chrono::minutes(3)));
        // Every save went through in the end; the failures on the way are retryable ones (a
        // writer that waited too long for another's row lock).
        EXPECT_EQ(writer->saved().size(), saves);
        for (const QString &failure : writer->failures())
            EXPECT_TRUE(failure.contains(u" 134090 "_s)) << failure.toStdString();
        for (const QStringList &objects : writer->conflicts()) {
            EXPECT_EQ(objects.size(), 1) << objects.join(u' ').toStdString();
            for (const QString &object : objects)
                EXPECT_TRUE(counterOf.contains(object)) << object.toStdString();
        }
        reported += writer->saved().size();
        conflicts += writer->conflicts().size();
        for (auto it = writer->increments().cbegin(); it != writer->increments().cend(); ++it)
            increments[it.key()].append(it.value());
    }

    // Every insert a writer reported is there exactly once, under a number of its own.
    const Opened after = openStore(QMPostgreSQLStoreType, path, &error);
    ASSERT_TRUE(after.context) << error.localizedDescription().toStdString();
    QSet<qint64> numbers;
    QStringList names = namesIn(*after.context, &numbers);
    names.removeIf([](const QString &name) { return name.startsWith(u"counter-"_s); });
    const QSet<QString> unique(names.cbegin(), names.cend());
    EXPECT_EQ(names.size(), reported);
    EXPECT_EQ(unique.size(), names.size());
    EXPECT_EQ(numbers.size(), names.size() + counters);
    for (const auto &writer : writers) {
        for (qint64 n : writer->saved())
            EXPECT_TRUE(unique.contains(u"%1-%2-0"_s.arg(writer->tag()).arg(n)))
                    << writer->tag().toStdString() << " " << n;
    }
    // No update lost: each counter was raised once per save reported, and the saves that raised
    // it reported every value from 1 up, each once.
    qsizetype raised = 0;
    for (auto it = counterOf.cbegin(); it != counterOf.cend(); ++it) {
        SCOPED_TRACE(it.value());
        QList<qint64> values = increments.value(it.value());
        std::sort(values.begin(), values.end());
        QList<qint64> expected(values.size());
        std::iota(expected.begin(), expected.end(), 1);
        EXPECT_EQ(values, expected);
        QMFetchRequest request(u"Person"_s);
        request.setPredicate(
                QMPredicate::predicateWithKeyValue(u"name"_s, u"counter-%1"_s.arg(it.value())));
        const auto found = after.context->executeFetchRequest(request);
        ASSERT_EQ(found.size(), 1);
        EXPECT_EQ(found.first()->value(u"age"_s).toLongLong(), values.size());
        raised += values.size();
    }
    EXPECT_EQ(raised, reported);
    // Writers really collided: a counter was raised by another writer after one had read it.
    EXPECT_GT(conflicts, 0);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    std::printf("[ measured ] %d processes x %d saves on one PostgreSQL store: %lld saves "
                "reported, all in the store; %lld conflicts reported and retried; %.1f s\n",
                processes, saves, static_cast<long long>(reported),
                static_cast<long long>(conflicts), seconds.count());
}
