// Data inspection beside the Qt calls it builds on or replaces:
//  - strict UTF-8 decoding (stringUsingUTF8Encoding, which must find every malformed sequence)
//    beside QString::fromUtf8, which replaces them without telling;
//  - JSON writing and reading through JSONTranscoding (which walks every value to refuse what
//    JSON cannot hold, and maps null to QMNull()) beside QJsonDocument with Qt's own variant
//    conversions;
//  - random data from the alphabet, one getrandom() call for the whole buffer, beside one
//    QRandomGenerator::system() call per byte.

#include <QMFoundation/text/JSONTranscoding.h>
#include <QMFoundation/text/QMRandom.h>
#include <QMFoundation/text/QMStringDecoding.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <benchmark/benchmark.h>

namespace {

QByteArray mixedUtf8(qsizetype size)
{
    const QByteArray piece = QStringLiteral("Version 2.0 \u00fcber caf\u00e9 \u20ac 10 \U0001F600 "
                                            "release notes\n")
                                     .toUtf8();
    QByteArray data;
    while (data.size() < size)
        data += piece;
    data.truncate(size);
    // Cut at a character boundary so that the data stays valid.
    while (!data.isEmpty() && (static_cast<unsigned char>(data.back()) & 0xC0) == 0x80)
        data.chop(1);
    if (!data.isEmpty() && static_cast<unsigned char>(data.back()) >= 0xC0)
        data.chop(1);
    return data;
}

void BM_DecodeUTF8_Strict(benchmark::State &state)
{
    const QByteArray data = mixedUtf8(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(QMStringDecoding::stringUsingUTF8Encoding(data));
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_DecodeUTF8_Strict)->Arg(64 << 10);

void BM_DecodeUTF8_QStringFromUtf8(benchmark::State &state)
{
    const QByteArray data = mixedUtf8(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(QString::fromUtf8(data));
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_DecodeUTF8_QStringFromUtf8)->Arg(64 << 10);

QVariantMap document(int items)
{
    QVariantList list;
    for (int i = 0; i < items; ++i)
        list.append(QVariantMap {
                {QStringLiteral("id"), i},
                {QStringLiteral("name"), QStringLiteral("item %1").arg(i)},
                {QStringLiteral("price"), i * 0.25},
                {QStringLiteral("tags"), QVariantList {QStringLiteral("a"), QStringLiteral("b")}},
                {QStringLiteral("active"), i % 2 == 0}});
    return {{QStringLiteral("items"), list}, {QStringLiteral("count"), items}};
}

void BM_WriteJSON_JSONTranscoding(benchmark::State &state)
{
    const QVariantMap map = document(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(JSONTranscoding::dataUsingJSONEncoding(map));
}
BENCHMARK(BM_WriteJSON_JSONTranscoding)->Arg(1000);

void BM_WriteJSON_QJsonDocument(benchmark::State &state)
{
    const QVariantMap map = document(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(
                QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact));
}
BENCHMARK(BM_WriteJSON_QJsonDocument)->Arg(1000);

void BM_ReadJSON_JSONTranscoding(benchmark::State &state)
{
    const QByteArray data = JSONTranscoding::dataUsingJSONEncoding(document(int(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(JSONTranscoding::JSONObject(data));
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_ReadJSON_JSONTranscoding)->Arg(1000);

void BM_ReadJSON_QJsonDocument(benchmark::State &state)
{
    const QByteArray data = JSONTranscoding::dataUsingJSONEncoding(document(int(state.range(0))));
    for (auto _ : state)
        benchmark::DoNotOptimize(QJsonDocument::fromJson(data).toVariant());
    state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(BM_ReadJSON_QJsonDocument)->Arg(1000);

void BM_RandomData_QMRandom(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(QMRandom::randomDataWithSizeInBytes(quint64(state.range(0))));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RandomData_QMRandom)->Arg(4096);

void BM_RandomData_PerByteSystemCall(benchmark::State &state)
{
    const QByteArray alphabet = QMRandom::alphabet();
    for (auto _ : state) {
        QByteArray data(state.range(0), Qt::Uninitialized);
        for (char &byte : data)
            byte = alphabet.at(QRandomGenerator::system()->generate() % 36);
        benchmark::DoNotOptimize(data);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RandomData_PerByteSystemCall)->Arg(4096);

} // namespace
