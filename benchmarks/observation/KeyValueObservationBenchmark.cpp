// One property change delivered to 1, 10 and 100 observations through the notification center,
// by block and by message, beside the same number of bare Qt connections from the NOTIFY
// signal to a lambda.

#include <QMFoundation/observation/JXKVONotificationCenter.h>

#include <QObject>

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace {

class Counter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int value READ value WRITE setValue NOTIFY valueChanged)

public:
    int value() const { return m_value; }
    void setValue(int value)
    {
        m_value = value;
        Q_EMIT valueChanged();
    }

Q_SIGNALS:
    void valueChanged();

private:
    int m_value = 0;
};

class Sink : public QObject
{
    Q_OBJECT

public:
    Q_INVOKABLE void observeValue(const QString &keyPath, QObject *object,
                                  const QVariantMap &change, const QVariant &userInfo)
    {
        Q_UNUSED(keyPath);
        Q_UNUSED(object);
        Q_UNUSED(change);
        Q_UNUSED(userInfo);
        ++calls;
    }

    long calls = 0;
};

void BM_BareConnection(benchmark::State &state)
{
    Counter counter;
    long calls = 0;
    for (int i = 0; i < state.range(0); ++i)
        QObject::connect(&counter, &Counter::valueChanged, [&calls] { ++calls; });
    int value = 0;
    for (auto _ : state)
        counter.setValue(++value);
    benchmark::DoNotOptimize(calls);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// `options` 0 gives records without values; New | Old reads the property at each delivery
// and puts the new and old values in the record.
void BM_BlockObservation(benchmark::State &state, quint64 options)
{
    Counter counter;
    long calls = 0;
    std::vector<std::shared_ptr<JXKVOObservation>> observations;
    for (int i = 0; i < state.range(0); ++i)
        observations.push_back(JXKVONotificationCenter::defaultCenter()->addObserver(
                nullptr, &counter, "value", options, [&calls, options](const JXKVONotification &n) {
                    calls += options ? n.newValue().toInt() : 1;
                }));
    int value = 0;
    for (auto _ : state)
        counter.setValue(++value);
    benchmark::DoNotOptimize(calls);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_MessageObservation(benchmark::State &state)
{
    Counter counter;
    Sink sink;
    std::vector<std::shared_ptr<JXKVOObservation>> observations;
    for (int i = 0; i < state.range(0); ++i)
        observations.push_back(JXKVONotificationCenter::defaultCenter()->addObserver(
                &sink, &counter, "value", "observeValue", QVariant(), 0));
    int value = 0;
    for (auto _ : state)
        counter.setValue(++value);
    benchmark::DoNotOptimize(sink.calls);
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_BareConnection)->Arg(1)->Arg(10)->Arg(100);
BENCHMARK_CAPTURE(BM_BlockObservation, no_values, quint64(0))->Arg(1)->Arg(10)->Arg(100);
BENCHMARK_CAPTURE(BM_BlockObservation, new_and_old, quint64(0x03))->Arg(1)->Arg(10)->Arg(100);
BENCHMARK(BM_MessageObservation)->Arg(1)->Arg(10)->Arg(100);

#include "KeyValueObservationBenchmark.moc"
