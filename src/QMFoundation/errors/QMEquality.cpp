#include <QMFoundation/errors/QMEquality.h>

#include "QMFoundation/errors/QMNumberKind_p.h"
#include <QMFoundation/errors/QMNull.h>

#include <QAssociativeIterable>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSequentialIterable>

namespace {

// What a value is, for the purpose of comparing it. Values of different kinds never compare
// equal; that is the whole difference from QVariant's converting operator==.
enum class Kind { Absent, NullMarker, Number, Text, Bytes, Date, Url, List, Map, Other };

bool isIntegral(QMNumberKind kind)
{
    return kind == QMNumberKind::Boolean || kind == QMNumberKind::Signed
            || kind == QMNumberKind::Unsigned;
}

bool numbersEqual(const QVariant &a, const QVariant &b)
{
    const QMNumberKind kindA = QMNumberKindOf(a);
    const QMNumberKind kindB = QMNumberKindOf(b);
    if (isIntegral(kindA) && isIntegral(kindB)) {
        const bool unsignedA = kindA == QMNumberKind::Unsigned;
        const bool unsignedB = kindB == QMNumberKind::Unsigned;
        if (unsignedA && unsignedB)
            return a.toULongLong() == b.toULongLong();
        // Comparing through double would merge neighbouring integers above 2^53; comparing a
        // negative signed value through quint64 would wrap. Neither happens this way.
        if (unsignedA != unsignedB) {
            const qint64 s = (unsignedA ? b : a).toLongLong();
            return s >= 0 && quint64(s) == (unsignedA ? a : b).toULongLong();
        }
        return a.toLongLong() == b.toLongLong();
    }
    return a.toDouble() == b.toDouble();
}

// JSON values take part as the plain values they hold, so that data parsed from a server
// compares equal to the same data built in code. JSON null becomes the null marker.
QVariant unwrapped(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::QJsonValue:
        return value.toJsonValue().toVariant();
    case QMetaType::QJsonArray:
        return value.toJsonArray().toVariantList();
    case QMetaType::QJsonObject:
        return value.toJsonObject().toVariantMap();
    case QMetaType::QJsonDocument:
        return value.toJsonDocument().toVariant();
    default:
        return value;
    }
}

// Containers whose iterators only go forward (QSet, std::unordered_set) keep no order: comparing
// them element by element would call equal sets different.
bool isOrderedSequence(const QVariant &value)
{
    return value.value<QSequentialIterable>().metaContainer().hasBidirectionalIterator();
}

Kind kindOf(const QVariant &value)
{
    if (!value.isValid())
        return Kind::Absent;
    if (QMIsNull(value))
        return Kind::NullMarker;
    if (QMNumberKindOf(value) != QMNumberKind::NotANumber)
        return Kind::Number;
    const QMetaType type = value.metaType();
    switch (type.id()) {
    case QMetaType::QString:
        return Kind::Text;
    case QMetaType::QByteArray:
        return Kind::Bytes;
    case QMetaType::QDateTime:
        return Kind::Date;
    case QMetaType::QUrl:
        return Kind::Url;
    default:
        break;
    }
    // Texts and byte arrays are iterable too; they were sorted out above.
    if (QMetaType::canConvert(type, QMetaType::fromType<QAssociativeIterable>()))
        return Kind::Map;
    if (QMetaType::canConvert(type, QMetaType::fromType<QSequentialIterable>())
        && isOrderedSequence(value))
        return Kind::List;
    return Kind::Other;
}

template<typename T>
const T &stored(const QVariant &value)
{
    return *static_cast<const T *>(value.constData());
}

bool valuesEqual(const QVariant &a, const QVariant &b);

bool listsEqual(const QVariant &a, const QVariant &b)
{
    const QSequentialIterable listA = a.value<QSequentialIterable>();
    const QSequentialIterable listB = b.value<QSequentialIterable>();
    if (listA.size() != listB.size())
        return false;
    auto itB = listB.constBegin();
    for (auto itA = listA.constBegin(); itA != listA.constEnd(); ++itA, ++itB) {
        if (!valuesEqual(*itA, *itB))
            return false;
    }
    return true;
}

bool mapsEqual(const QVariant &a, const QVariant &b)
{
    const QAssociativeIterable mapA = a.value<QAssociativeIterable>();
    const QAssociativeIterable mapB = b.value<QAssociativeIterable>();
    if (mapA.size() != mapB.size())
        return false;
    // A lookup converts the key to the other map's key type; that is only strict when the key
    // types are the same. Otherwise search for a strictly equal key.
    const bool sameKeyType
            = mapA.metaContainer().keyMetaType() == mapB.metaContainer().keyMetaType();
    for (auto itA = mapA.constBegin(); itA != mapA.constEnd(); ++itA) {
        const QVariant key = itA.key();
        auto itB = mapB.constEnd();
        if (sameKeyType) {
            itB = mapB.find(key);
        } else {
            for (auto candidate = mapB.constBegin(); candidate != mapB.constEnd(); ++candidate) {
                if (valuesEqual(key, candidate.key())) {
                    itB = candidate;
                    break;
                }
            }
        }
        if (itB == mapB.constEnd() || !valuesEqual(itA.value(), itB.value()))
            return false;
    }
    return true;
}

bool presentValuesEqual(const QVariant &a, const QVariant &b)
{
    // The same instance (or implicitly shared copies of it) is equal to itself.
    if (a.metaType() == b.metaType() && a.constData() == b.constData())
        return true;

    const Kind kind = kindOf(a);
    if (kind != kindOf(b))
        return false;
    switch (kind) {
    case Kind::Absent:
    case Kind::NullMarker:
        return true;
    case Kind::Number:
        return numbersEqual(a, b);
    case Kind::Text:
        return QMEqualStrings(stored<QString>(a), stored<QString>(b));
    case Kind::Bytes:
        return QMEqualDataObjects(stored<QByteArray>(a), stored<QByteArray>(b));
    case Kind::Date:
        return QMEqualDates(stored<QDateTime>(a), stored<QDateTime>(b));
    case Kind::Url:
        return QMEqualURLs(stored<QUrl>(a), stored<QUrl>(b));
    case Kind::List:
        return listsEqual(a, b);
    case Kind::Map:
        return mapsEqual(a, b);
    case Kind::Other:
        // QVariant's operator== converts only between different types; for the same type it is
        // the type's own equality.
        return a.metaType() == b.metaType() && a == b;
    }
    return false;
}

bool valuesEqual(const QVariant &a, const QVariant &b)
{
    const QVariant plainA = unwrapped(a);
    const QVariant plainB = unwrapped(b);
    if (!plainB.isValid())
        return !plainA.isValid();
    return plainA.isValid() && presentValuesEqual(plainA, plainB);
}

} // namespace

bool QMEqualStrings(const QString &a, const QString &b)
{
    if (b.isNull())
        return a.isNull();
    return !a.isNull() && a == b;
}

bool QMEqualNumbers(const QVariant &a, const QVariant &b)
{
    if (!b.isValid())
        return !a.isValid();
    if (!a.isValid())
        return false;
    if (QMNumberKindOf(a) != QMNumberKind::NotANumber
        && QMNumberKindOf(b) != QMNumberKind::NotANumber)
        return numbersEqual(a, b);
    return valuesEqual(a, b);
}

bool QMEqualDates(const QDateTime &a, const QDateTime &b)
{
    if (b.isNull())
        return a.isNull();
    return !a.isNull() && a == b;
}

bool QMEqualValues(const QVariant &a, const QVariant &b)
{
    return valuesEqual(a, b);
}

bool QMEqualDataObjects(const QByteArray &a, const QByteArray &b)
{
    if (b.isNull())
        return a.isNull();
    return !a.isNull() && a == b;
}

bool QMEqualObjects(const QVariant &a, const QVariant &b)
{
    return valuesEqual(a, b);
}

bool QMEqualURLs(const QUrl &a, const QUrl &b)
{
    const QString textA = a.isEmpty() ? QString() : a.toString();
    const QString textB = b.isEmpty() ? QString() : b.toString();
    return QMEqualStrings(textA, textB);
}
