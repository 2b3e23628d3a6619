#include "support/Failures.h"

#include "platform/QMInvocation.h"

#include <gtest/gtest.h>

#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

class Counter : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE void reset() { calls.append(u"reset"_s); }
    Q_INVOKABLE int add(int value) { return total += value; }
    Q_INVOKABLE QString join(const QString &a, const QStringList &b) const
    {
        return a + u':' + b.join(u',');
    }
    Q_INVOKABLE QVariant echo(const QVariant &value) const { return value; }

    QStringList calls;
    int total = 0;

public Q_SLOTS:
    void record(const QString &text) { calls.append(text); }
};

} // namespace

TEST(InvocationTest, CallsMethodsByNameWithConvertedArguments)
{
    Counter counter;
    const struct
    {
        const char *selector;
        QVariantList arguments;
        QVariant result; // invalid: a void method
    } rows[] = {
            {"reset", {}, {}},
            {"add", {5}, 5},
            // Arguments convert where QVariant converts: text to number and back.
            {"add", {u"7"_s}, 12},
            {"record", {42}, {}},
            {"join", {u"k"_s, QStringList {u"a"_s, u"b"_s}}, u"k:a,b"_s},
            {"echo", {QVariantMap {{u"x"_s, 1}}}, QVariantMap {{u"x"_s, 1}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.selector);
        const auto invocation
                = QMInvocation::invocationWithTarget(&counter, row.selector, row.arguments);
        QVariant result(u"unset"_s);
        QMError error;
        EXPECT_TRUE(invocation->invoke(&result, &error))
                << qPrintable(error.localizedDescription());
        EXPECT_EQ(result, row.result);
    }
    EXPECT_EQ(counter.calls, (QStringList {u"reset"_s, u"42"_s}));
    QMInvocation::invocationWithTarget(&counter, "record", u"one"_s)->invoke();
    EXPECT_EQ(counter.calls.last(), u"one"_s);
}

TEST(InvocationTest, ReportsWhatCannotBeCalled)
{
    auto counter = std::make_unique<Counter>();
    const struct
    {
        const char *selector;
        QVariantList arguments;
        qint64 code;
        QString description;
    } rows[] = {
            {"add",
             {u"seven"_s},
             QMInvocationErrorArgumentType,
             u"QMInvocation: argument 1 of Counter::add(int) is a QString that does not convert "
             "to int"_s},
            {"join",
             {u"k"_s, QVariantMap()},
             QMInvocationErrorArgumentType,
             u"QMInvocation: argument 2 of Counter::join(QString,QStringList) is a QVariantMap "
             "that does not convert to QStringList"_s},
            {"add",
             {},
             QMInvocationErrorNoSuchMethod,
             u"QMInvocation: Counter has no method or slot add taking 0 arguments"_s},
            {"subtract",
             {1},
             QMInvocationErrorNoSuchMethod,
             u"QMInvocation: Counter has no method or slot subtract taking 1 argument"_s},
            {"total",
             {},
             QMInvocationErrorNoSuchMethod,
             u"QMInvocation: Counter has no method or slot total taking 0 arguments"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.selector);
        QMError error;
        EXPECT_FALSE(QMInvocation::invocationWithTarget(counter.get(), row.selector, row.arguments)
                             ->invoke(nullptr, &error));
        EXPECT_EQ(error.domain(), QMInvocationErrorDomain);
        EXPECT_EQ(error.code(), row.code);
        EXPECT_EQ(error.localizedDescription(), row.description);
    }
    EXPECT_EQ(counter->total, 0);

    const auto later = QMInvocation::invocationWithTarget(counter.get(), "reset");
    counter.reset();
    QMError error;
    EXPECT_FALSE(later->invoke(nullptr, &error));
    EXPECT_EQ(error.code(), QMInvocationErrorTargetGone);
    EXPECT_EQ(later->target(), nullptr);

    using TestSupport::failureOf;
    EXPECT_EQ(failureOf([] { QMInvocation::invocationWithTarget(nullptr, "reset"); }),
              u"Invalid parameter not satisfying: target != nil"_s);
    EXPECT_EQ(failureOf([&] { QMInvocation::invocationWithTarget(later->target(), ""); }),
              u"Invalid parameter not satisfying: target != nil"_s);
    Counter other;
    EXPECT_EQ(failureOf([&] { QMInvocation::invocationWithTarget(&other, ""); }),
              u"Invalid parameter not satisfying: selector != nil"_s);
}

#include "InvocationTest.moc"
