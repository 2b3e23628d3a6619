#include "QMFoundation/persistence/QMPostgreSQLClient_p.h"
#include "QMFoundation/text/QMHexDigit_p.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlResult>
#include <QStringDecoder>

#include <charconv>
#include <dlfcn.h>
#include <mutex>

namespace QMPostgreSQLClient {

namespace {

Library load()
{
    Library found;
    // The driver links the client library by this name; RTLD_NOLOAD finds the copy it loaded
    // and never loads another.
    void *handle = dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD);
    if (!handle)
        return found;
    found.getvalue = reinterpret_cast<decltype(found.getvalue)>(dlsym(handle, "PQgetvalue"));
    found.getlength = reinterpret_cast<decltype(found.getlength)>(dlsym(handle, "PQgetlength"));
    found.getisnull = reinterpret_cast<decltype(found.getisnull)>(dlsym(handle, "PQgetisnull"));
    found.ntuples = reinterpret_cast<decltype(found.ntuples)>(dlsym(handle, "PQntuples"));
    found.socket = reinterpret_cast<decltype(found.socket)>(dlsym(handle, "PQsocket"));
    // The handle is kept, never closed: the functions stay valid for good.
    return found;
}

// bytea in the hex form the store asks the server for: "\x" and two digits a byte.
bool bytes(QByteArrayView text, QByteArray *value)
{
    if (text.size() < 2 || text[0] != '\\' || text[1] != 'x' || text.size() % 2 != 0)
        return false;
    QByteArray out(text.size() / 2 - 1, Qt::Uninitialized);
    for (qsizetype i = 2, o = 0; i < text.size(); i += 2, ++o) {
        const int high = QMHexDigitValue(static_cast<unsigned char>(text[i]));
        const int low = QMHexDigitValue(static_cast<unsigned char>(text[i + 1]));
        if (high < 0 || low < 0)
            return false;
        out[o] = char(high << 4 | low);
    }
    *value = std::move(out);
    return true;
}

// UTF-8 as it stands: QString::fromUtf8() drops a leading U+FEFF, taking it for a byte-order
// mark, which in a stored text it is not.
QString textOf(QByteArrayView utf8)
{
    if (!utf8.startsWith("\xEF\xBB\xBF"))
        return QString::fromUtf8(utf8);
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless
                                   | QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}

template<typename Number>
bool parse(QByteArrayView text, Number *value)
{
    const char *end = text.data() + text.size();
    const auto [at, failure] = std::from_chars(text.data(), end, *value);
    return failure == std::errc() && at == end;
}

} // namespace

const Library *library()
{
    // Looked for until found: the driver loads the client library with its first connection.
    static std::mutex mutex;
    static Library found;
    std::lock_guard lock(mutex);
    const auto complete = [] {
        return found.getvalue && found.getlength && found.getisnull && found.ntuples
                && found.socket;
    };
    if (!complete())
        found = load();
    return complete() ? &found : nullptr;
}

int socketOf(const Library &library, const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    // Qt's driver names the type by its struct's tag or by its typedef.
    if (qstrcmp(handle.typeName(), "pg_conn*") != 0 && qstrcmp(handle.typeName(), "PGconn*") != 0)
        return -1;
    const void *connection = *static_cast<void *const *>(handle.constData());
    return connection ? library.socket(connection) : -1;
}

Row::Row(const Library &library, const QSqlQuery &query)
    : m_library(library)
{
    const QSqlResult *result = query.result();
    if (!result || !query.isValid())
        return;
    const QVariant handle = result->handle();
    // The driver's handle of a result: a PGresult*, which Qt names by the struct's tag.
    if (qstrcmp(handle.typeName(), "pg_result*") != 0
        && qstrcmp(handle.typeName(), "PGresult*") != 0)
        return;
    m_result = *static_cast<void *const *>(handle.constData());
    if (!m_result)
        return;
    // A forward-only query reads one row at a time, each in a result of its own; otherwise the
    // result holds every row.
    m_row = m_library.ntuples(m_result) == 1 ? 0 : query.at();
    if (m_row < 0 || m_row >= m_library.ntuples(m_result))
        m_result = nullptr;
}

bool Row::isNull(int column) const
{
    return m_library.getisnull(m_result, m_row, column) != 0;
}

QByteArrayView Row::text(int column) const
{
    return QByteArrayView(m_library.getvalue(m_result, m_row, column),
                          m_library.getlength(m_result, m_row, column));
}

bool Row::integer(int column, qint64 *value) const
{
    return !isNull(column) && parse(text(column), value);
}

bool Row::value(int column, QMAttributeType type, QVariant *value) const
{
    if (!isNull(column))
        return cellValue(text(column), type, value);
    *value = QVariant();
    return true;
}

bool cellValue(QByteArrayView text, QMAttributeType type, QVariant *value)
{
    QVariant stored;
    switch (type) {
    case QMAttributeType::String:
        stored = textOf(text);
        break;
    case QMAttributeType::Integer:
    case QMAttributeType::Boolean:
    case QMAttributeType::Date: {
        qint64 number = 0;
        if (!parse(text, &number))
            return false;
        stored = number;
        break;
    }
    case QMAttributeType::Double: {
        // The server writes the shortest text that reads back exactly, and "Infinity",
        // "-Infinity" and "NaN", which from_chars reads too.
        double number = 0;
        if (!parse(text, &number))
            return false;
        stored = number;
        break;
    }
    case QMAttributeType::Binary: {
        QByteArray data;
        if (!bytes(text, &data))
            return false;
        stored = std::move(data);
        break;
    }
    }
    *value = QMPersistenceValue::fromStorage(stored, type);
    return true;
}

} // namespace QMPostgreSQLClient
