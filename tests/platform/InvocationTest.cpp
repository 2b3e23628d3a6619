#include "support/Failures.h"

#include <QMFoundation/platform/QMInvocation.h>

#include <gtest/gtest.h>

#include <QStringList>

using namespace Qt::StringLiterals;

namespace {

class Counter : public QObject
{
    Q_OBJECT
public:
    Q_INVOKABLE int add(int value) { return total += value; }
    Q_INVOKABLE QString join(const QString &a, const QStringList &b) const
    {
        return a + u':' + b.join(u',');
    }
    Q_INVOKABLE QVariant echo(const QVariant &value) const { return value; }
    int total = 0;
    QStringList calls;

public Q_SLOTS:
    void record(const QString &text) { calls.append(text); }
};

} // namespace

TEST(InvocationTest, CallsByNameOrSaysWhyNot)
{
    auto counter = std::make_unique<Counter>();
    const struct
    {
        const char *selector;
        QVariantList arguments;
        QVariant result; // for the calls that run; invalid for a void method
        QString error; // the description when the call is refused
    } rows[] = {
            {"add", {5}, 5, {}},
            // Arguments convert where QVariant converts; a QVariant parameter takes any value.
            {"add", {u"7"_s}, 12, {}},
            {"record", {42}, {}, {}},
            {"join", {u"k"_s, QStringList {u"a"_s, u"b"_s}}, u"k:a,b"_s, {}},
            {"echo", {QVariantMap {{u"x"_s, 1}}}, QVariantMap {{u"x"_s, 1}}, {}},
            {"add",
             {u"seven"_s},
             {},
             u"QMInvocation: argument 1 of Counter::add(int) is a QString that does not convert "
             "to int"_s},
            {"join",
             {u"k"_s, QVariantMap()},
             {},
             u"QMInvocation: argument 2 of Counter::join(QString,QStringList) is a QVariantMap "
             "that does not convert to QStringList"_s},
            {"add",
             {},
             {},
             u"QMInvocation: Counter has no method or slot add taking 0 arguments"_s},
            {"total",
             {1},
             {},
             u"QMInvocation: Counter has no method or slot total taking 1 argument"_s},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.selector);
        const auto call
                = QMInvocation::invocationWithTarget(counter.get(), row.selector, row.arguments);
        QVariant result(u"unset"_s);
        QMError error;
        EXPECT_EQ(call->invoke(&result, &error), row.error.isNull());
        EXPECT_EQ(error.localizedDescription(),
                  row.error.isNull() ? QMError().localizedDescription() : row.error);
        EXPECT_EQ(result, row.error.isNull() ? row.result : QVariant(u"unset"_s));
    }
    EXPECT_EQ(counter->total, 12);
    EXPECT_EQ(counter->calls, QStringList {u"42"_s});

    const auto later = QMInvocation::invocationWithTarget(counter.get(), "record", u"x"_s);
    counter.reset();
    QMError error;
    EXPECT_FALSE(later->invoke(nullptr, &error));
    EXPECT_EQ(error.code(), QMInvocationErrorTargetGone);
    Counter other;
    EXPECT_EQ(TestSupport::failureOf([] { QMInvocation::invocationWithTarget(nullptr, "add"); }),
              u"Invalid parameter not satisfying: target != nil"_s);
    EXPECT_EQ(TestSupport::failureOf([&] { QMInvocation::invocationWithTarget(&other, ""); }),
              u"Invalid parameter not satisfying: selector != nil"_s);
}

#include "InvocationTest.moc"
