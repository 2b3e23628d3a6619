// Stores shared by several processes, and processes killed in the middle of a save: every save
// a process reported is in the store, every save is whole, and no lock outlives its process.

#include "persistence/PersistenceTestSupport.h"
#include <QMFoundation/persistence/QMPersistenceError.h>

#include <gtest/gtest.h>

#include <QHash>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

using ObjectList = QList<std::shared_ptr<QMManagedObject>>;

// A writer process (qmf_store_writer) and what it reported.
class Writer
{
public:
    // With `together`, the writer waits for go() before its first save.
    Writer(const QString &type, const QString &path, const QString &tag, int saves, int batch,
           bool together = false)
        : m_tag(tag)
    {
        m_process.setProgram(QStringLiteral(QMF_STORE_WRITER));
        QStringList arguments {type, path, tag, QString::number(saves), QString::number(batch)};
        if (together)
            arguments.append(u"--wait"_s);
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
    void go() { m_process.write("go\n"); }
    // The saves it reported as done, and its lines about failures.
    const QSet<qint64> &saved() const { return m_saved; }
    const QStringList &failures() const { return m_failures; }

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
            if (line.startsWith(u"saved "_s))
                m_saved.insert(line.mid(6).toLongLong());
            else
                m_failures.append(line);
        }
        return true;
    }

    QString m_tag;
    QProcess m_process;
    QSet<qint64> m_saved;
    QStringList m_failures;
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
    if (!coordinator->addPersistentStoreWithType(type, {}, QUrl::fromLocalFile(path),
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
        writer->go();
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
