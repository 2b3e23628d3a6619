// The in-memory store and the XML store: both hold the object graph in memory. The XML store
// reads its file whole when it is added, and again whenever another process replaced it; a
// save locks the file (flock), merges with what another process saved meanwhile, and puts a
// whole new file in its place (QMFileIO::writeAtomically()).

#include "QMFoundation/persistence/QMMigration_p.h"
#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include "QMFoundation/persistence/QMStoreBackend_p.h"
#include <QMFoundation/persistence/QMPersistenceError.h>
#include <QMFoundation/persistence/QMPersistentStoreCoordinator.h>
#include <QMFoundation/persistence/QMPredicate.h>

#include <QMFoundation/errors/QMInternalInconsistencyException.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QUuid>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>

using namespace Qt::StringLiterals;

namespace {

std::atomic<bool> g_failXMLWrites {false};
std::atomic<qint64> g_maximumFileSize {QMXMLStoreMaximumFileSize};
// The start of a file that holds its root element and attributes.
constexpr qint64 headSize = 4096;

// Rows by number, so that a fetch sees them in number order, the order stores keep.
using EntityRows = std::map<qint64, QVariantList>;

struct Graph
{
    QHash<QString, EntityRows> rows;
    QHash<QString, qint64> nextNumbers;
    // Counts the saves of the file; another process's save shows as a new generation.
    quint64 generation = 0;
};

// A list of its own for every row that leaves or enters the graph: contexts on other threads
// change their lists in place once Qt sees them unshared, and Qt checks that with a relaxed
// read of the reference count, which would leave the graph's last reads unordered with such a
// write. Values inside are never changed in place, so sharing them is safe.
QVariantList ownCopy(const QVariantList &values)
{
    QVariantList copy;
    copy.reserve(values.size());
    for (const QVariant &v : values)
        copy.append(v);
    return copy;
}

// Applies a save whose inserted rows have their numbers (`numbers`) to the graph. A deleted row
// that is gone already is passed over: the save wanted it gone.
void apply(Graph &graph, const QMStoreChanges &changes, const QMStoreNumbers &numbers)
{
    for (auto it = changes.inserted.cbegin(); it != changes.inserted.cend(); ++it) {
        EntityRows &rows = graph.rows[it.key()];
        const QList<qint64> given = numbers.value(it.key());
        for (qsizetype i = 0; i < it->size(); ++i)
            rows[given.at(i)] = ownCopy(it->at(i).values);
    }
    for (auto it = changes.updated.cbegin(); it != changes.updated.cend(); ++it) {
        EntityRows &rows = graph.rows[it.key()];
        for (const QMStoreUpdate &row : it.value()) {
            const auto found = rows.find(row.number);
            if (found != rows.end())
                found->second = ownCopy(row.values);
        }
    }
    for (auto it = changes.deleted.cbegin(); it != changes.deleted.cend(); ++it) {
        EntityRows &rows = graph.rows[it.key()];
        for (const QMStoreUpdate &row : it.value())
            rows.erase(row.number);
    }
}

QString valueText(const QVariant &value, QMAttributeType type)
{
    switch (type) {
    case QMAttributeType::String:
        return value.toString();
    case QMAttributeType::Integer:
        return QString::number(value.toLongLong());
    case QMAttributeType::Double:
        // 17 significant digits read back to the same double.
        return QString::number(value.toDouble(), 'g', 17);
    case QMAttributeType::Boolean:
        return value.toBool() ? u"1"_s : u"0"_s;
    case QMAttributeType::Date:
        return QString::number(value.toDateTime().toMSecsSinceEpoch());
    case QMAttributeType::Binary:
        return QString::fromLatin1(value.toByteArray().toBase64());
    }
    return QString();
}

bool valueFromText(const QString &text, QMAttributeType type, QVariant *value)
{
    bool ok = true;
    switch (type) {
    case QMAttributeType::String:
        *value = text;
        break;
    case QMAttributeType::Integer:
        *value = text.toLongLong(&ok);
        break;
    case QMAttributeType::Double:
        *value = text.toDouble(&ok);
        break;
    case QMAttributeType::Boolean:
        ok = text == u"0"_s || text == u"1"_s;
        *value = text == u"1"_s;
        break;
    case QMAttributeType::Date: {
        const qint64 ms = text.toLongLong(&ok);
        *value = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
        break;
    }
    case QMAttributeType::Binary: {
        const auto decoded = QByteArray::fromBase64Encoding(
                text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        ok = bool(decoded) && text.size() == decoded.decoded.toBase64().size();
        *value = decoded.decoded;
        break;
    }
    }
    return ok;
}

// Whether XML character data gives the text back as it is: XML has no form for most control
// characters, and its readers turn a carriage return into a line feed.
bool holdsVerbatim(const QString &text)
{
    return std::none_of(text.cbegin(), text.cend(),
                        [](QChar c) { return c.unicode() < 0x20 && c != u'\t' && c != u'\n'; });
}

// The text of a value written as Base64 of its UTF-8 form; false when it is not that.
bool fromBase64Text(const QString &base64, QMAttributeType type, QString *text)
{
    if (type != QMAttributeType::String)
        return false;
    const auto decoded = QByteArray::fromBase64Encoding(base64.toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || base64 != QString::fromLatin1(decoded.decoded.toBase64()))
        return false;
    *text = QMStringDecoding::stringByDecodingUTF8(decoded.decoded);
    return text->toUtf8() == decoded.decoded;
}

class GraphStore final : public QMStoreBackend
{
public:
    GraphStore(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url,
               const QVariantMap &options)
        : m_model(std::move(model))
        , m_url(url)
        , m_path(url.toLocalFile())
        , m_timeout(QMStoreBackends::timeoutOf(options))
        , m_options(options)
    { }

    QString identifier() const override { return m_identifier; }
    QMStoreMigration migration() const override { return m_migration; }

    bool open(QMError *error)
    {
        m_hash = QString::fromLatin1(m_model->versionHash().toHex());
        if (m_url.isEmpty()) {
            m_identifier = newIdentifier();
            return true;
        }
        // A new store's file is made at once, which also proves the place writable; if another
        // process makes it first, its file is the store.
        for (int attempt = 0; attempt < 3; ++attempt) {
            QMFileLock lock;
            const QMFileStatus status
                    = lock.lock(m_path, QMFileLock::Shared, std::chrono::milliseconds(m_timeout));
            if (status.ok())
                return load(lock, error);
            if (status.kind != QMFileStatus::Missing) {
                *error = readError(status);
                return false;
            }
            Graph empty;
            m_identifier = newIdentifier();
            QByteArray bytes;
            if (!serialize(empty, &bytes, error, QMFileWriteUnknownError))
                return false;
            const QMFileStatus made = QMFileIO::writeAtomically(
                    m_path, bytes, -1, QMFileIO::Existing::Keep, &m_loaded);
            if (made.ok()) {
                m_graph = std::move(empty);
                return true;
            }
            if (made.kind != QMFileStatus::Exists) {
                *error = QMStoreBackends::fileError(
                        made.isPermissionDenied() ? QMFileWriteUnknownError
                                                  : QMFileReadUnknownError,
                        u"The store file could not be made at"_s, m_path, made, 0, m_url);
                return false;
            }
        }
        *error = readError({QMFileStatus::Missing, 0});
        return false;
    }

    bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *error, const QMRowBatches &) override
    {
        // Read from memory at once: every row is in `rows`.
        rows->clear();
        if (!refresh(error))
            return false;
        const EntityRows &all = m_graph.rows[entity.name()];
        // Without a sort the first `limit` matches in number order are the answer.
        const bool stopEarly = sort.isEmpty() && limit > 0;
        for (const auto &[number, values] : all) {
            if (!matches(entity, bound, values))
                continue;
            rows->append(
                    {number, withValues || !sort.isEmpty() ? ownCopy(values) : QVariantList()});
            if (stopEarly && rows->size() >= limit)
                break;
        }
        QMStoreBackends::finishRows(*rows, entity, sort, limit, withValues);
        return true;
    }

    qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound,
                    QMError *error) override
    {
        if (!refresh(error))
            return -1;
        const EntityRows &all = m_graph.rows[entity.name()];
        if (bound.isNull())
            return qsizetype(all.size());
        qsizetype n = 0;
        for (const auto &[number, values] : all)
            n += matches(entity, bound, values) ? 1 : 0;
        return n;
    }

    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *error) override
    {
        return refresh(error) && rowOf(m_graph, entity, number, values);
    }

    bool save(const QMStoreChanges &changes, QMStoreNumbers *numbers, QMError *error) override
    {
        // Nothing in memory can fail but a conflict, so the in-memory store changes its graph
        // in place.
        if (m_url.isEmpty()) {
            if (!prepare(m_graph, changes, numbers, error))
                return false;
            apply(m_graph, changes, *numbers);
            return true;
        }
        QMFileLock lock;
        const QMFileStatus locked
                = lock.lock(m_path, QMFileLock::Exclusive, std::chrono::milliseconds(m_timeout));
        if (!locked.ok()) {
            *error = QMStoreBackends::fileError(QMPersistentStoreSaveError,
                                                u"The save failed: the store file could not be "
                                                u"locked at"_s,
                                                m_path, locked, 0, m_url);
            return false;
        }
        // What another process saved since this store read the file is the ground this save
        // stands on: its objects are kept, and its numbers are not given again.
        if (!current(lock) && !reload(lock, error))
            return false;
        // The new graph is built apart and kept only once it is on disk, so a failed write
        // leaves both the file and the graph as they were.
        Graph next = m_graph;
        QMStoreNumbers given;
        if (!prepare(next, changes, &given, error))
            return false;
        apply(next, changes, given);
        ++next.generation;
        QByteArray bytes;
        if (!serialize(next, &bytes, error, QMPersistentStoreSaveError))
            return false;
        if (g_failXMLWrites.load()) {
            *error = QMStoreBackends::makeError(
                    QMPersistentStoreSaveError,
                    u"The store file %1 could not be written: writing was made to fail."_s.arg(
                            m_path),
                    {{QMPersistentStoreURLErrorKey, m_url}});
            return false;
        }
        QMFileIdentity written;
        const QMFileStatus status = QMFileIO::writeAtomically(
                m_path, bytes, -1, QMFileIO::Existing::Replace, &written);
        if (!status.ok()) {
            *error = QMStoreBackends::fileError(QMPersistentStoreSaveError,
                                                u"The save failed: the store file could not be "
                                                u"written at"_s,
                                                m_path, status, 0, m_url);
            return false;
        }
        m_graph = std::move(next);
        m_loaded = written;
        *numbers = std::move(given);
        return true;
    }

    void close() override { }

    // An in-memory store of `model` with this one's identifier and objects migrated by `plan`.
    std::unique_ptr<GraphStore>
    migratedInMemory(const std::shared_ptr<const QMManagedObjectModel> &model,
                     const QMMigrationPlan &plan, const QVariantMap &options, QMError *error) const
    {
        Graph graph;
        for (auto it = m_graph.rows.cbegin(); it != m_graph.rows.cend(); ++it) {
            EntityRows &rows = graph.rows[it.key()];
            for (const auto &[number, values] : it.value())
                rows[number] = ownCopy(values);
        }
        graph.nextNumbers = m_graph.nextNumbers;
        QMError failure;
        if (!migrateGraph(plan, graph, &failure)) {
            *error = QMMigration::failed(
                    plan, QUrl(), failure.userInfo().value(QMLocalizedDescriptionKey).toString(),
                    failure);
            return nullptr;
        }
        auto store = std::make_unique<GraphStore>(model, QUrl(), options);
        store->m_hash = QString::fromLatin1(model->versionHash().toHex());
        store->m_identifier = m_identifier;
        store->m_graph = std::move(graph);
        store->m_migration = {plan, QString()};
        return store;
    }

private:
    static QString newIdentifier()
    {
        return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    }

    static bool rowOf(const Graph &graph, const QMEntityDescription &entity, qint64 number,
                      QVariantList *values)
    {
        const auto rows = graph.rows.constFind(entity.name());
        if (rows == graph.rows.cend())
            return false;
        const auto row = rows->find(number);
        if (row == rows->end())
            return false;
        *values = ownCopy(row->second);
        return true;
    }

    // Checks a save against `graph` and gives its inserted rows their numbers.
    bool prepare(Graph &graph, const QMStoreChanges &changes, QMStoreNumbers *numbers,
                 QMError *error) const
    {
        const auto current = [&](const QMEntityDescription &entity, qint64 number,
                                 QVariantList *values, QMError *) {
            return rowOf(graph, entity, number, values);
        };
        if (!QMStoreBackends::checkConflicts(changes, *m_model, m_identifier, current, error))
            return false;
        for (auto it = changes.inserted.cbegin(); it != changes.inserted.cend(); ++it) {
            if (it->isEmpty())
                continue;
            qint64 &next = graph.nextNumbers[it.key()];
            // Numbers are never given twice, even if the file's next number was edited.
            const EntityRows &rows = graph.rows[it.key()];
            if (!rows.empty())
                next = std::max(next, rows.rbegin()->first + 1);
            if (!QMStoreBackends::takeNumbers(next, it->size(), it.key(), &(*numbers)[it.key()],
                                              error))
                return false;
        }
        return true;
    }

    QMError readError(const QMFileStatus &status) const
    {
        return QMStoreBackends::fileError(QMFileReadUnknownError,
                                          u"The store file could not be read at"_s, m_path, status,
                                          g_maximumFileSize.load(), m_url);
    }

    QMError replacedError() const
    {
        return QMStoreBackends::makeError(
                QMPersistentStoreOperationError,
                u"The store file %1 was replaced by another store."_s.arg(m_path),
                {{QMPersistentStoreURLErrorKey, m_url}});
    }

    // Whether the locked file is the one this store read or wrote last: the same file, unchanged,
    // at the same generation.
    bool current(const QMFileLock &lock) const
    {
        if (lock.identity() != m_loaded)
            return false;
        QByteArray head;
        if (!lock.readHead(headSize, &head).ok())
            return false;
        QXmlStreamReader xml(head);
        return xml.readNextStartElement() && xml.name() == u"qmstore"_s
                && xml.attributes().value(u"generation"_s).toULongLong() == m_graph.generation;
    }

    bool readLocked(const QMFileLock &lock, Graph *graph, QMFileIdentity *identity,
                    QString *identifier, QMError *error) const
    {
        *identity = lock.identity();
        QByteArray bytes;
        const QMFileStatus status = lock.readAll(g_maximumFileSize.load(), &bytes);
        if (!status.ok()) {
            *error = readError(status);
            return false;
        }
        return parse(bytes, graph, identifier, error);
    }

    // Reads the file this store was added with, under `lock`, and migrates it first when it was
    // written under an earlier version of the model.
    bool load(QMFileLock &lock, QMError *error)
    {
        QString hash;
        QString versionName;
        QByteArray head;
        if (lock.readHead(headSize, &head).ok() && recordedVersion(head, &hash, &versionName)
            && (hash != m_hash
                || (!versionName.isEmpty() && versionName != m_model->versionName()))) {
            const auto source
                    = QMMigration::sourceVersion(m_model, hash, versionName, m_url, error);
            if (!source)
                return false;
            if (source->versionIndex() != m_model->versionIndex()) {
                lock.unlock();
                return migrate(error);
            }
        }
        Graph graph;
        QMFileIdentity identity;
        if (!readLocked(lock, &graph, &identity, &m_identifier, error))
            return false;
        m_graph = std::move(graph);
        m_loaded = identity;
        return true;
    }

    // The model hash and version name of a store file's head; false when it has no store
    // element.
    static bool recordedVersion(const QByteArray &head, QString *hash, QString *versionName)
    {
        QXmlStreamReader xml(head);
        if (!xml.readNextStartElement() || xml.name() != u"qmstore"_s)
            return false;
        *hash = xml.attributes().value(u"model"_s).toString();
        *versionName = xml.attributes().value(u"version"_s).toString();
        return true;
    }

    // Migrates the file to the model's version under its exclusive lock: the migrated graph is
    // written beside the old file and renamed over it, so a crash leaves one or the other.
    bool migrate(QMError *error)
    {
        QMFileLock lock;
        const QMFileStatus locked
                = lock.lock(m_path, QMFileLock::Exclusive, std::chrono::milliseconds(m_timeout));
        if (!locked.ok()) {
            *error = readError(locked);
            return false;
        }
        QByteArray bytes;
        const QMFileStatus read = lock.readAll(g_maximumFileSize.load(), &bytes);
        if (!read.ok()) {
            *error = readError(read);
            return false;
        }
        // Another process may have migrated the file meanwhile.
        QString hash;
        QString versionName;
        if (!recordedVersion(bytes.left(headSize), &hash, &versionName))
            return load(lock, error);
        const auto source = QMMigration::sourceVersion(m_model, hash, versionName, m_url, error);
        if (!source)
            return false;
        if (source->versionIndex() == m_model->versionIndex())
            return load(lock, error);
        const QMMigration::Settings settings = QMMigration::settingsOf(m_options);
        std::optional<QMMigrationPlan> plan
                = QMMigration::planOpening(settings, source, m_model, m_url, error);
        if (!plan)
            return false;
        Graph graph;
        if (!parse(bytes, *source, &graph, &m_identifier, error))
            return false;
        QMError failure;
        if (!migrateGraph(*plan, graph, &failure)) {
            *error = QMMigration::failed(
                    *plan, QUrl::fromLocalFile(m_path),
                    failure.userInfo().value(QMLocalizedDescriptionKey).toString(), failure);
            return false;
        }
        ++graph.generation;
        QByteArray migrated;
        if (!serialize(graph, &migrated, error, QMMigrationError))
            return false;
        QString backupPath;
        if (settings.backup) {
            backupPath = m_path + QMMigrationBackupSuffix;
            const QMFileStatus kept
                    = QMFileIO::writeAtomically(backupPath, bytes, -1, QMFileIO::Existing::Replace);
            if (!kept.ok()) {
                *error = QMStoreBackends::fileError(
                        QMMigrationError,
                        u"The store could not be copied before its migration to"_s, backupPath,
                        kept, 0, m_url);
                return false;
            }
        }
        QMFileIdentity written;
        const QMFileStatus status = QMFileIO::writeAtomically(
                m_path, migrated, -1, QMFileIO::Existing::Replace, &written);
        if (!status.ok()) {
            if (!backupPath.isEmpty())
                QFile::remove(backupPath);
            *error = QMStoreBackends::fileError(QMMigrationError,
                                                u"The migrated store could not be written at"_s,
                                                m_path, status, 0, m_url);
            return false;
        }
        m_graph = std::move(graph);
        m_loaded = written;
        m_migration = {*plan, backupPath};
        return true;
    }

    // Carries out a plan on a graph in memory.
    static bool migrateGraph(const QMMigrationPlan &plan, Graph &graph, QMError *error)
    {
        for (const QMMigrationStep &step : QMMigrationPlanAccess::steps(plan)) {
            for (const QMMigrationEntityStep &entity : step.entities) {
                switch (entity.action) {
                case QMMigrationEntityStep::Add:
                    graph.rows[entity.name].clear();
                    graph.nextNumbers[entity.name] = 1;
                    break;
                case QMMigrationEntityStep::Remove:
                    graph.rows.remove(entity.name);
                    graph.nextNumbers.remove(entity.name);
                    break;
                case QMMigrationEntityStep::InPlace:
                case QMMigrationEntityStep::Rebuild:
                case QMMigrationEntityStep::Host: {
                    EntityRows &rows = graph.rows[entity.name];
                    for (auto it = rows.begin(); it != rows.end();) {
                        QVariantList values;
                        bool keep = true;
                        if (!QMMigration::migrateValues(entity, it->second, &values, &keep, error))
                            return false;
                        if (keep) {
                            it->second = std::move(values);
                            ++it;
                        } else {
                            it = rows.erase(it);
                        }
                    }
                    break;
                }
                }
            }
        }
        return true;
    }

    // Reads the file again when another process replaced it since this store last read or wrote
    // it; reads of the in-memory store, and of an unchanged file, cost nothing more.
    bool refresh(QMError *error)
    {
        if (m_url.isEmpty())
            return true;
        QMFileIdentity now;
        if (QMFileIO::identityOf(m_path, &now).ok() && now == m_loaded)
            return true;
        QMFileLock lock;
        const QMFileStatus status
                = lock.lock(m_path, QMFileLock::Shared, std::chrono::milliseconds(m_timeout));
        if (!status.ok()) {
            *error = readError(status);
            return false;
        }
        return reload(lock, error);
    }

    // Takes the locked file, which another process wrote, as this store's graph; it must still be
    // this store.
    bool reload(const QMFileLock &lock, QMError *error)
    {
        Graph graph;
        QMFileIdentity identity;
        QString identifier;
        if (!readLocked(lock, &graph, &identity, &identifier, error))
            return false;
        if (identifier.compare(m_identifier, Qt::CaseInsensitive) != 0) {
            *error = replacedError();
            return false;
        }
        m_graph = std::move(graph);
        m_loaded = identity;
        return true;
    }

    bool matches(const QMEntityDescription &entity, const QMPredicate &bound,
                 const QVariantList &values) const
    {
        if (bound.isNull())
            return true;
        return bound.evaluateWithValues([&](const QString &key) {
            const qsizetype i = entity.indexOfAttribute(key);
            return i < 0 ? QVariant() : values.value(i);
        });
    }

    // The whole file for `graph`; a file the reader would refuse (over the size limit) is never
    // made.
    bool serialize(const Graph &graph, QByteArray *bytes, QMError *error, qint64 code) const
    {
        QBuffer buffer(bytes);
        buffer.open(QIODevice::WriteOnly);
        QXmlStreamWriter xml(&buffer);
        xml.setAutoFormatting(true);
        xml.writeStartDocument();
        xml.writeStartElement(u"qmstore"_s);
        xml.writeAttribute(u"format"_s, u"1"_s);
        xml.writeAttribute(u"identifier"_s, m_identifier);
        xml.writeAttribute(u"model"_s, m_hash);
        if (!m_model->versionName().isEmpty())
            xml.writeAttribute(u"version"_s, m_model->versionName());
        xml.writeAttribute(u"generation"_s, QString::number(graph.generation));
        for (const QMEntityDescription &entity : m_model->entities()) {
            xml.writeStartElement(u"entity"_s);
            xml.writeAttribute(u"name"_s, entity.name());
            xml.writeAttribute(u"next"_s,
                               QString::number(graph.nextNumbers.value(entity.name(), 1)));
            const auto rows = graph.rows.constFind(entity.name());
            if (rows == graph.rows.cend()) {
                xml.writeEndElement();
                continue;
            }
            for (const auto &[number, values] : *rows) {
                xml.writeStartElement(u"object"_s);
                xml.writeAttribute(u"number"_s, QString::number(number));
                for (qsizetype i = 0; i < entity.attributes().size(); ++i) {
                    const QVariant &value = values.value(i);
                    if (QMPersistenceValue::isAbsent(value))
                        continue;
                    const QMAttributeDescription &a = entity.attributes().at(i);
                    xml.writeStartElement(u"value"_s);
                    xml.writeAttribute(u"name"_s, a.name);
                    const QString text = valueText(value, a.type);
                    if (a.type == QMAttributeType::String && !holdsVerbatim(text)) {
                        xml.writeAttribute(u"encoding"_s, u"base64"_s);
                        xml.writeCharacters(QString::fromLatin1(text.toUtf8().toBase64()));
                    } else {
                        xml.writeCharacters(text);
                    }
                    xml.writeEndElement();
                }
                xml.writeEndElement();
            }
            xml.writeEndElement();
            if (bytes->size() > g_maximumFileSize.load())
                break;
        }
        xml.writeEndElement();
        xml.writeEndDocument();
        const qint64 limit = g_maximumFileSize.load();
        if (bytes->size() > limit) {
            bytes->clear();
            *error = QMStoreBackends::fileError(
                    code,
                    u"The save failed: it would make the store file larger than it can be read at"_s,
                    m_path, {QMFileStatus::TooLarge, 0}, limit, m_url);
            return false;
        }
        return true;
    }

    bool parse(const QByteArray &bytes, Graph *out, QString *identifier, QMError *error) const
    {
        return parse(bytes, *m_model, out, identifier, error);
    }

    // Reads a file written under `model`, a version of this store's model.
    bool parse(const QByteArray &bytes, const QMManagedObjectModel &model, Graph *out,
               QString *identifier, QMError *error) const
    {
        const auto corrupt = [&](const QString &why) {
            *error = QMStoreBackends::makeError(
                    QMFileReadCorruptFileError,
                    u"The file %1 is not a readable XML store: %2."_s.arg(m_url.toLocalFile(), why),
                    {{QMPersistentStoreURLErrorKey, m_url}});
            return false;
        };
        QXmlStreamReader xml(bytes);
        if (!xml.readNextStartElement() || xml.name() != u"qmstore"_s)
            return corrupt(u"it has no store element"_s);
        if (xml.attributes().value(u"format"_s) != u"1"_s)
            return corrupt(u"its format is unknown"_s);
        *identifier = xml.attributes().value(u"identifier"_s).toString();
        if (QUuid::fromString(*identifier).isNull())
            return corrupt(u"it has no store identifier"_s);
        // Files written before generations were kept have none: generation 0.
        const auto generation = xml.attributes().value(u"generation"_s);
        bool ok = true;
        const quint64 generationNumber = generation.isNull() ? 0 : generation.toULongLong(&ok);
        if (!ok)
            return corrupt(u"its generation is malformed"_s);
        if (xml.attributes().value(u"model"_s)
            != QString::fromLatin1(model.versionHash().toHex())) {
            *error = QMStoreBackends::makeError(
                    QMPersistentStoreIncompatibleSchemaError,
                    u"The store %1 was made for another model than %2."_s.arg(m_url.toLocalFile(),
                                                                              m_model->name()),
                    {{QMPersistentStoreURLErrorKey, m_url}});
            return false;
        }
        Graph graph;
        graph.generation = generationNumber;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"entity"_s)
                return corrupt(u"an unexpected element %1"_s.arg(xml.name()));
            const QString name = xml.attributes().value(u"name"_s).toString();
            const QMEntityDescription *entity = model.entityForName(name);
            if (!entity)
                return corrupt(u"an unknown entity %1"_s.arg(name));
            const qint64 next = xml.attributes().value(u"next"_s).toLongLong(&ok);
            if (!ok || next < 1 || next == std::numeric_limits<qint64>::max())
                return corrupt(u"entity %1 has no next number"_s.arg(name));
            graph.nextNumbers[name] = next;
            EntityRows &rows = graph.rows[name];
            while (xml.readNextStartElement()) {
                if (xml.name() != u"object"_s)
                    return corrupt(u"an unexpected element %1"_s.arg(xml.name()));
                const qint64 number = xml.attributes().value(u"number"_s).toLongLong(&ok);
                if (!ok || number < 1 || number >= next || rows.count(number))
                    return corrupt(u"an object of %1 has a bad number"_s.arg(name));
                QVariantList values(entity->attributes().size());
                while (xml.readNextStartElement()) {
                    const QString key = xml.attributes().value(u"name"_s).toString();
                    const qsizetype i = entity->indexOfAttribute(key);
                    if (xml.name() != u"value"_s || i < 0)
                        return corrupt(u"entity %1 has no attribute %2"_s.arg(name, key));
                    const bool base64 = xml.attributes().value(u"encoding"_s) == u"base64"_s;
                    QString text = xml.readElementText();
                    if (base64 && !xml.hasError()
                        && !fromBase64Text(text, entity->attributes().at(i).type, &text))
                        return corrupt(u"the value of %1.%2 is malformed"_s.arg(name, key));
                    // The value rules of every store apply to what a file says, too.
                    const QMAttributeDescription &attribute = entity->attributes().at(i);
                    bool read = !xml.hasError() && valueFromText(text, attribute.type, &values[i]);
                    if (read) {
                        QMError refused;
                        values[i] = attribute.convertedValue(values[i], &refused);
                        read = refused.isNull();
                    }
                    if (!read)
                        return corrupt(u"the value of %1.%2 is malformed"_s.arg(name, key));
                }
                if (xml.hasError())
                    break;
                rows[number] = values;
            }
        }
        if (xml.hasError())
            return corrupt(xml.errorString());
        xml.readNext();
        if (!xml.atEnd() && xml.tokenType() != QXmlStreamReader::EndDocument)
            return corrupt(u"it continues after the store element"_s);
        *out = std::move(graph);
        return true;
    }

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    QString m_path;
    int m_timeout; // milliseconds
    QVariantMap m_options;
    QString m_identifier;
    QMStoreMigration m_migration; // what open() did
    QString m_hash;
    Graph m_graph;
    // The file m_graph was read from or written to.
    QMFileIdentity m_loaded;
};

} // namespace

std::unique_ptr<QMStoreBackend>
QMStoreBackends::openGraph(const std::shared_ptr<const QMManagedObjectModel> &model,
                           const QUrl &url, const QVariantMap &options, QMError *error)
{
    auto store = std::make_unique<GraphStore>(model, url, options);
    if (!store->open(error))
        return nullptr;
    return store;
}

std::unique_ptr<QMStoreBackend> QMStoreBackends::migrateInMemory(
        const QMStoreBackend &source, const std::shared_ptr<const QMManagedObjectModel> &model,
        const QMMigrationPlan &plan, const QVariantMap &options, QMError *error)
{
    return static_cast<const GraphStore &>(source).migratedInMemory(model, plan, options, error);
}

void QMStoreBackends::setXMLWriteFailureForTesting(bool fail)
{
    g_failXMLWrites.store(fail);
}

void QMStoreBackends::setXMLMaximumFileSizeForTesting(qint64 bytes)
{
    g_maximumFileSize.store(bytes > 0 ? bytes : QMXMLStoreMaximumFileSize);
}

bool QMStoreBackends::readXMLVersion(const QUrl &url, int timeout, QString *hash,
                                     QString *versionName, QMError *error)
{
    const QString path = url.toLocalFile();
    QMFileLock lock;
    QMFileStatus status = lock.lock(path, QMFileLock::Shared, std::chrono::milliseconds(timeout));
    QByteArray head;
    if (status.ok())
        status = lock.readHead(headSize, &head);
    if (!status.ok()) {
        *error = fileError(QMFileReadUnknownError, u"The store file could not be read at"_s, path,
                           status, 0, url);
        return false;
    }
    QXmlStreamReader xml(head);
    if (!xml.readNextStartElement() || xml.name() != u"qmstore"_s) {
        *error = makeError(
                QMFileReadCorruptFileError,
                u"The file %1 is not a readable XML store: it has no store element."_s.arg(path),
                {{QMPersistentStoreURLErrorKey, url}, {QMFilePathErrorKey, path}});
        return false;
    }
    *hash = xml.attributes().value(u"model"_s).toString();
    *versionName = xml.attributes().value(u"version"_s).toString();
    return true;
}
