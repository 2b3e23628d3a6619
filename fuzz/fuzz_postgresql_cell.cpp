// The reader of the cells a PostgreSQL server sends the object store: any bytes as a cell of each
// column type. Accepted cells must hold what their type's text form says.

#include "QMFoundation/persistence/QMPostgreSQLClient_p.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArrayView text(reinterpret_cast<const char *>(data), qsizetype(size));
    for (QMAttributeType type :
         {QMAttributeType::String, QMAttributeType::Integer, QMAttributeType::Double,
          QMAttributeType::Boolean, QMAttributeType::Date, QMAttributeType::Binary}) {
        QVariant value;
        if (!QMPostgreSQLClient::cellValue(text, type, &value))
            continue;
        switch (type) {
        case QMAttributeType::String:
            // Every byte string reads; valid UTF-8 reads to exactly its characters.
            if (value.typeId() != QMetaType::QString)
                std::abort();
            if (QString::fromUtf8(text).toUtf8() == text.toByteArray()
                && value.toString().toUtf8() != text.toByteArray())
                std::abort();
            break;
        case QMAttributeType::Integer:
            // Digits with an optional minus and nothing else.
            if (value.typeId() != QMetaType::LongLong || text.isEmpty())
                std::abort();
            for (qsizetype i = 0; i < text.size(); ++i) {
                if (!(text[i] >= '0' && text[i] <= '9') && !(i == 0 && text[i] == '-'))
                    std::abort();
            }
            break;
        case QMAttributeType::Double:
            if (value.typeId() != QMetaType::Double)
                std::abort();
            break;
        case QMAttributeType::Boolean:
            if (value.typeId() != QMetaType::Bool)
                std::abort();
            break;
        case QMAttributeType::Date:
            if (value.typeId() != QMetaType::QDateTime)
                std::abort();
            break;
        case QMAttributeType::Binary:
            // "\x" and two hex digits a byte, which are the bytes read.
            if (value.toByteArray().toHex() != text.toByteArray().mid(2).toLower())
                std::abort();
            break;
        }
    }
    return 0;
}
