// Mapping JSON into models beside parsing the same bytes alone with Qt: 50,000 objects of ten
// members (texts, integers, a double, a boolean, one of them a path into a nested object) read
// into models of ten properties. The mapping's own cost is the difference of the two.

#include "PeakMemory.h"

#include <QMFoundation/rest/QMRESTAPIJSONParser.h>
#include <QMFoundation/rest/QMRESTAPIModel.h>

#include <benchmark/benchmark.h>

#include <QJsonArray>
#include <QJsonDocument>

using namespace Qt::StringLiterals;

class Account : public QMRESTAPIModel
{
    Q_OBJECT
    Q_PROPERTY(qint64 identifier MEMBER identifier)
    Q_PROPERTY(QString name MEMBER name)
    Q_PROPERTY(QString email MEMBER email)
    Q_PROPERTY(int age MEMBER age)
    Q_PROPERTY(double score MEMBER score)
    Q_PROPERTY(bool active MEMBER active)
    Q_PROPERTY(QString city MEMBER city)
    Q_PROPERTY(QString country MEMBER country)
    Q_PROPERTY(qint64 followers MEMBER followers)
    Q_PROPERTY(QString login MEMBER login)

public:
    Q_INVOKABLE explicit Account(QObject *parent = nullptr)
        : QMRESTAPIModel(parent)
    { }

    qint64 identifier = 0;
    QString name;
    QString email;
    int age = 0;
    double score = 0;
    bool active = false;
    QString city;
    QString country;
    qint64 followers = 0;
    QString login;

protected:
    QList<QMRESTAPIModelPropertyMapping> declaredPropertyMappings() const override
    {
        using M = QMRESTAPIModelPropertyMapping;
        return {M::propertyMappingWithJSONPropertyName(u"id"_s, u"identifier"_s),
                M::propertyMappingWithJSONPropertyName(u"name"_s, u"name"_s),
                M::propertyMappingWithJSONPropertyName(u"email"_s, u"email"_s),
                M::propertyMappingWithJSONPropertyName(u"age"_s, u"age"_s),
                M::propertyMappingWithJSONPropertyName(u"score"_s, u"score"_s),
                M::propertyMappingWithJSONPropertyName(u"active"_s, u"active"_s),
                M::propertyMappingWithJSONPropertyName(u"city"_s, u"city"_s),
                M::propertyMappingWithJSONPropertyName(u"country"_s, u"country"_s),
                M::propertyMappingWithJSONPropertyName(u"followers"_s, u"followers"_s),
                M::propertyMappingWithJSONPropertyName(u"user.login"_s, u"login"_s)};
    }
};

namespace {

constexpr int objectCount = 50000;

const QByteArray &input()
{
    static const QByteArray bytes = [] {
        QByteArray json = "[";
        for (int i = 0; i < objectCount; ++i) {
            if (i > 0)
                json += ',';
            json += QStringLiteral(
                            R"({"id":%1,"name":"Person %1","email":"person%1@example.com",)"
                            R"("age":%2,"score":%3,"active":%4,"city":"City %2",)"
                            R"("country":"Country","followers":%5,"user":{"login":"login%1"}})")
                            .arg(i)
                            .arg(18 + i % 60)
                            .arg(i * 0.25)
                            .arg(i % 2 ? u"true"_s : u"false"_s)
                            .arg(qint64(i) * 1000)
                            .toUtf8();
        }
        json += ']';
        return json;
    }();
    return bytes;
}

void parseOnly(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &bytes = input();
    for (auto _ : state) {
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        benchmark::DoNotOptimize(document.array().size());
    }
    state.SetItemsProcessed(state.iterations() * objectCount);
}

void parseAndMap(benchmark::State &state)
{
    const PeakMemory::Scope peak(state);
    const QByteArray &bytes = input();
    for (auto _ : state) {
        const auto accounts = QMRESTAPIJSONParser::parseObjectsFromJSONData<Account>(bytes);
        if (!accounts || accounts->size() != objectCount || accounts->back()->login.isEmpty())
            state.SkipWithError("mapping failed");
        benchmark::DoNotOptimize(accounts);
    }
    state.SetItemsProcessed(state.iterations() * objectCount);
}

} // namespace

BENCHMARK(parseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(parseAndMap)->Unit(benchmark::kMillisecond);

#include "ModelMappingBenchmark.moc"
