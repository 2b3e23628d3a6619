#pragma once

// The model of the migration crash tests: three versions whose migration rebuilds a table
// (an attribute renamed, integers widened to doubles and to text) and adds a column in place
// (a required attribute with a default), and the values its objects hold in each version.

#include <QByteArray>
#include <QString>
#include <QVariant>

/// Version "1": Entry (title, amount, memo) and Account (number). Version "2": Entry's title is
/// renamed to label and its amount widened to a double. Version "3" (current): Entry gets a
/// required currency with a default, and Account's number is widened to text.
inline QByteArray ledgerModelJSON()
{
    return QByteArrayLiteral(R"({"name": "Ledger", "currentVersion": "3", "versions": [
        {"versionName": "1", "entities": [
            {"name": "Entry", "attributes": [
                {"name": "title", "type": "string", "optional": false, "indexed": true},
                {"name": "amount", "type": "integer"},
                {"name": "memo", "type": "string"}]},
            {"name": "Account", "attributes": [{"name": "number", "type": "integer"}]}]},
        {"versionName": "2", "entities": [
            {"name": "Entry", "attributes": [
                {"name": "label", "type": "string", "optional": false, "indexed": true,
                 "renamingIdentifier": "title"},
                {"name": "amount", "type": "double"},
                {"name": "memo", "type": "string"}]},
            {"name": "Account", "attributes": [{"name": "number", "type": "integer"}]}]},
        {"versionName": "3", "entities": [
            {"name": "Entry", "attributes": [
                {"name": "label", "type": "string", "optional": false, "indexed": true},
                {"name": "amount", "type": "double"},
                {"name": "memo", "type": "string"},
                {"name": "currency", "type": "string", "optional": false, "default": "EUR"}]},
            {"name": "Account", "attributes": [{"name": "number", "type": "string"}]}]}]})");
}

/// Entry number `i`: its title (label from version "2" on), which names it.
inline QString ledgerEntryTitle(qint64 i)
{
    return QStringLiteral("entry-%1").arg(i, 7, 10, QLatin1Char('0'));
}

/// Its amount in version "1" (negative for some).
inline qint64 ledgerEntryAmount(qint64 i)
{
    return i * 7 - 350000;
}

/// Its memo: none for every third entry.
inline QVariant ledgerEntryMemo(qint64 i)
{
    return i % 3 == 0 ? QVariant() : QVariant(QStringLiteral("memo %1 ' \" <&>").arg(i));
}

/// Account number `j`'s number in version "1".
inline qint64 ledgerAccountNumber(qint64 j)
{
    return j * 1000003 - 4;
}
