#pragma once

// The fixtures written by data/make_codec_fixtures.py: Base64 texts and digests computed by
// Python's base64 and hashlib modules, for the Base64 and digest tests.

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace CodecFixtures {

/// The first `length` bytes of the fixtures' byte stream (see make_codec_fixtures.py).
inline QByteArray pattern(qsizetype length)
{
    QByteArray bytes(length, Qt::Uninitialized);
    quint32 x = 1;
    for (char &byte : bytes) {
        x = x * 1103515245u + 12345u;
        byte = char((x >> 16) & 0xFF);
    }
    return bytes;
}

/// The group `name` ("bytes", "large" or "texts") of the fixture file.
inline QJsonArray group(const char *name)
{
    QFile file(QStringLiteral(QMF_TEXT_TEST_DATA_DIR "/codec-fixtures.json"));
    if (!file.open(QIODevice::ReadOnly)) {
        ADD_FAILURE() << "cannot read " << file.fileName().toStdString();
        return {};
    }
    const QJsonArray rows = QJsonDocument::fromJson(file.readAll())[QLatin1String(name)].toArray();
    EXPECT_FALSE(rows.isEmpty()) << "no fixtures in group " << name;
    return rows;
}

inline QString field(const QJsonValue &row, const char *name)
{
    return row[QLatin1String(name)].toString();
}

} // namespace CodecFixtures
