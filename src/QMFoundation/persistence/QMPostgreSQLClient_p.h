#pragma once

// What the store reaches past Qt SQL's PostgreSQL driver (QPSQL) for: the rows it receives, and
// the socket of a connection (which the store shuts to end a wait on a silent server).
//
// The driver turns every cell into a QVariant through text: integers and numbers are parsed into
// a QString first, and texts lose a leading U+FEFF, which Qt's UTF-8 reading takes for a
// byte-order mark.
// The store reads the cells of the driver's current result itself instead, with the functions of
// the PostgreSQL client library (libpq) that the driver has loaded: each cell is parsed once,
// straight into the value the object gets, and nothing is dropped.

#include "QMFoundation/persistence/QMPersistenceValue_p.h"
#include <QMFoundation/QMFoundationStorageExport.h>

#include <QByteArrayView>
#include <QVariant>

class QSqlDatabase;
class QSqlQuery;

namespace QMPostgreSQLClient {

// The functions of the client library the store calls, found in the copy the driver loaded.
struct Library
{
    char *(*getvalue)(const void *result, int row, int column) = nullptr;
    int (*getlength)(const void *result, int row, int column) = nullptr;
    int (*getisnull)(const void *result, int row, int column) = nullptr;
    int (*ntuples)(const void *result) = nullptr;
    int (*socket)(const void *connection) = nullptr;
};

// `text`, a non-NULL cell of a column of `type` in the server's text form, as the value an object
// gets (QMPersistenceValue::fromStorage() of what the store writes); false when the text is not
// one the column's type has.
QMF_STORAGE_EXPORT bool cellValue(QByteArrayView text, QMAttributeType type, QVariant *value);

// The client library's functions, or null when no client library of the expected kind is loaded
// (a driver built in another way): then the store cannot read rows and says so at opening.
const Library *library();

// The socket of `db`'s connection (a QPSQL connection), or -1.
int socketOf(const Library &library, const QSqlDatabase &db);

// The cells of `query`'s current row (a QPSQL query on a valid row), as the server sent them in
// text form.
class Row
{
public:
    Row(const Library &library, const QSqlQuery &query);
    // False when the driver's result could not be found (no row, or another driver).
    bool isValid() const { return m_result != nullptr; }
    bool isNull(int column) const;
    QByteArrayView text(int column) const;
    // The cell as cellValue() reads it, or an invalid QVariant for NULL.
    bool value(int column, QMAttributeType type, QVariant *value) const;
    // The cell as a 64-bit integer; false when it is NULL or not one.
    bool integer(int column, qint64 *value) const;

private:
    const Library &m_library;
    const void *m_result = nullptr;
    int m_row = 0;
};

} // namespace QMPostgreSQLClient
