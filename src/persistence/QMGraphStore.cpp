// The in-memory store and the XML store: both hold the object graph in memory; the XML store
// reads it whole when it is added and writes it whole, through QSaveFile, at each save.

#include "persistence/QMPersistenceError.h"
#include "persistence/QMPersistenceValue_p.h"
#include "persistence/QMPredicate.h"
#include "persistence/QMStoreBackend_p.h"

#include "errors/QMInternalInconsistencyException.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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

// Rows by number, so that a fetch sees them in number order, the order stores keep.
using EntityRows = std::map<qint64, QVariantList>;

struct Graph
{
    QHash<QString, EntityRows> rows;
    QHash<QString, qint64> nextNumbers;
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

void apply(Graph &graph, const QMStoreChanges &changes)
{
    for (auto it = changes.inserted.cbegin(); it != changes.inserted.cend(); ++it) {
        EntityRows &rows = graph.rows[it.key()];
        for (const QMStoreRow &row : it.value())
            rows[row.number] = ownCopy(row.values);
    }
    for (auto it = changes.updated.cbegin(); it != changes.updated.cend(); ++it) {
        EntityRows &rows = graph.rows[it.key()];
        for (const QMStoreRow &row : it.value()) {
            const auto found = rows.find(row.number);
            if (found != rows.end())
                found->second = ownCopy(row.values);
        }
    }
    for (auto it = changes.deleted.cbegin(); it != changes.deleted.cend(); ++it) {
        EntityRows &rows = graph.rows[it.key()];
        for (qint64 number : it.value())
            rows.erase(number);
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
    *text = QString::fromUtf8(decoded.decoded);
    return text->toUtf8() == decoded.decoded;
}

class GraphStore final : public QMStoreBackend
{
public:
    GraphStore(std::shared_ptr<const QMManagedObjectModel> model, const QUrl &url)
        : m_model(std::move(model))
        , m_url(url)
    { }

    QString identifier() const override { return m_identifier; }

    bool open(QMError *error)
    {
        m_hash = QString::fromLatin1(m_model->versionHash().toHex());
        if (m_url.isEmpty() || !QFileInfo::exists(m_url.toLocalFile())) {
            m_identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
            // An XML store exists from its addition on, which also proves the place writable.
            return m_url.isEmpty() || write(m_graph, error, QMFileReadUnknownError);
        }
        QFile file(m_url.toLocalFile());
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QMStoreBackends::makeError(QMFileReadUnknownError,
                                                u"The store file %1 could not be read: %2."_s.arg(
                                                        file.fileName(), file.errorString()));
            return false;
        }
        return read(file.readAll(), error);
    }

    bool fetch(const QMEntityDescription &entity, const QMPredicate &bound,
               const QList<QMFetchSortDescriptor> &sort, qsizetype limit, bool withValues,
               QList<QMStoreRow> *rows, QMError *) override
    {
        rows->clear();
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

    qsizetype count(const QMEntityDescription &entity, const QMPredicate &bound, QMError *) override
    {
        const EntityRows &all = m_graph.rows[entity.name()];
        if (bound.isNull())
            return qsizetype(all.size());
        qsizetype n = 0;
        for (const auto &[number, values] : all)
            n += matches(entity, bound, values) ? 1 : 0;
        return n;
    }

    bool readRow(const QMEntityDescription &entity, qint64 number, QVariantList *values,
                 QMError *) override
    {
        const auto rows = m_graph.rows.constFind(entity.name());
        if (rows == m_graph.rows.cend())
            return false;
        const auto row = rows->find(number);
        if (row == rows->end())
            return false;
        *values = ownCopy(row->second);
        return true;
    }

    bool save(const QMStoreChanges &changes, QMError *error) override
    {
        // Nothing in memory can fail, so the in-memory store changes its graph in place.
        if (m_url.isEmpty()) {
            apply(m_graph, changes);
            return true;
        }
        // The new graph is built apart and kept only once it is on disk, so a failed write
        // leaves both the file and the graph as they were.
        Graph next = m_graph;
        apply(next, changes);
        next.nextNumbers = m_nextNumbers;
        if (!write(next, error, QMPersistentStoreSaveError))
            return false;
        m_graph = std::move(next);
        return true;
    }

    qint64 allocateNumber(const QString &entityName) override
    {
        return QMStoreBackends::takeNumber(m_nextNumbers[entityName], entityName);
    }

    void close() override { }

private:
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

    bool write(const Graph &graph, QMError *error, qint64 code)
    {
        QSaveFile file(m_url.toLocalFile());
        const auto fail = [&](const QString &reason) {
            *error = QMStoreBackends::makeError(
                    code,
                    u"The store file %1 could not be written: %2."_s.arg(file.fileName(), reason),
                    {{QMPersistentStoreURLErrorKey, m_url}});
            return false;
        };
        if (!file.open(QIODevice::WriteOnly))
            return fail(file.errorString());
        QXmlStreamWriter xml(&file);
        xml.setAutoFormatting(true);
        xml.writeStartDocument();
        xml.writeStartElement(u"qmstore"_s);
        xml.writeAttribute(u"format"_s, u"1"_s);
        xml.writeAttribute(u"identifier"_s, m_identifier);
        xml.writeAttribute(u"model"_s, m_hash);
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
        }
        xml.writeEndElement();
        xml.writeEndDocument();
        if (xml.hasError())
            return fail(file.errorString());
        if (g_failXMLWrites.load()) {
            file.cancelWriting();
            return fail(u"writing was made to fail"_s);
        }
        if (!file.commit())
            return fail(file.errorString());
        return true;
    }

    bool read(const QByteArray &bytes, QMError *error)
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
        m_identifier = xml.attributes().value(u"identifier"_s).toString();
        if (QUuid::fromString(m_identifier).isNull())
            return corrupt(u"it has no store identifier"_s);
        if (xml.attributes().value(u"model"_s) != m_hash) {
            *error = QMStoreBackends::makeError(
                    QMPersistentStoreIncompatibleSchemaError,
                    u"The store %1 was made for another model than %2."_s.arg(m_url.toLocalFile(),
                                                                              m_model->name()),
                    {{QMPersistentStoreURLErrorKey, m_url}});
            return false;
        }
        Graph graph;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"entity"_s)
                return corrupt(u"an unexpected element %1"_s.arg(xml.name()));
            const QString name = xml.attributes().value(u"name"_s).toString();
            const QMEntityDescription *entity = m_model->entityForName(name);
            if (!entity)
                return corrupt(u"an unknown entity %1"_s.arg(name));
            bool ok = false;
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
        m_graph = std::move(graph);
        m_nextNumbers = m_graph.nextNumbers;
        return true;
    }

    std::shared_ptr<const QMManagedObjectModel> m_model;
    QUrl m_url;
    QString m_identifier;
    QString m_hash;
    Graph m_graph;
    // Numbers given out, saved or not; the file keeps them with the next save.
    QHash<QString, qint64> m_nextNumbers;
};

} // namespace

std::unique_ptr<QMStoreBackend>
QMStoreBackends::openGraph(const std::shared_ptr<const QMManagedObjectModel> &model,
                           const QUrl &url, QMError *error)
{
    auto store = std::make_unique<GraphStore>(model, url);
    if (!store->open(error))
        return nullptr;
    return store;
}

void QMStoreBackends::setXMLWriteFailureForTesting(bool fail)
{
    g_failXMLWrites.store(fail);
}

void QMStoreBackends::sortRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
                               const QList<QMFetchSortDescriptor> &sort)
{
    struct Key
    {
        qsizetype column;
        QMAttributeType type;
        bool ascending;
    };
    QList<Key> keys;
    for (const QMFetchSortDescriptor &d : sort) {
        const qsizetype i = entity.indexOfAttribute(d.key);
        if (i >= 0)
            keys.append({i, entity.attributes().at(i).type, d.ascending});
    }
    std::sort(rows.begin(), rows.end(), [&](const QMStoreRow &a, const QMStoreRow &b) {
        for (const Key &k : keys) {
            const int c = QMPersistenceValue::compare(a.values.value(k.column),
                                                      b.values.value(k.column), k.type);
            if (c != 0)
                return k.ascending ? c < 0 : c > 0;
        }
        return a.number < b.number;
    });
}

void QMStoreBackends::finishRows(QList<QMStoreRow> &rows, const QMEntityDescription &entity,
                                 const QList<QMFetchSortDescriptor> &sort, qsizetype limit,
                                 bool withValues)
{
    sortRows(rows, entity, sort);
    if (limit > 0 && rows.size() > limit)
        rows.resize(limit);
    if (!withValues) {
        for (QMStoreRow &row : rows)
            row.values.clear();
    }
}

qint64 QMStoreBackends::takeNumber(qint64 &next, const QString &entityName)
{
    if (next < 1)
        next = 1;
    if (next == std::numeric_limits<qint64>::max())
        throw QMInternalInconsistencyException(
                u"The store has no object numbers left for the entity %1"_s.arg(entityName));
    return next++;
}

QMError QMStoreBackends::makeError(qint64 code, const QString &description,
                                   const QVariantMap &extra)
{
    QVariantMap info = extra;
    info.insert(QMLocalizedDescriptionKey, description);
    return QMError(QMPersistenceErrorDomain, code, info);
}
