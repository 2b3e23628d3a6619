#include "ObserveCommand.h"

#include "Tour.h"

#include <QMFoundation/observation/Blocks.h>
#include <QMFoundation/observation/JXKVONotificationCenter.h>
#include <QMFoundation/observation/QMKeyValueObserving.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <memory>

namespace {

// The observed sample object.
class Person : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)

public:
    explicit Person(const QString &name)
        : m_name(name)
    { }
    QString name() const { return m_name; }
    void setName(const QString &name)
    {
        if (name == m_name)
            return;
        m_name = name;
        Q_EMIT nameChanged();
    }

Q_SIGNALS:
    void nameChanged();

private:
    QString m_name;
};

QString kindText(quint64 kind)
{
    switch (kind) {
    case QMKeyValueChangeSetting:
        return QStringLiteral("setting");
    case QMKeyValueChangeInsertion:
        return QStringLiteral("insertion");
    case QMKeyValueChangeRemoval:
        return QStringLiteral("removal");
    case QMKeyValueChangeReplacement:
        return QStringLiteral("replacement");
    }
    return QString::number(kind);
}

QString notificationLine(const QString &delivery, const JXKVONotification &notification)
{
    return QStringLiteral("%1: %2 %3 old=%4 new=%5")
            .arg(delivery, notification.keyPath(), kindText(notification.kind()),
                 Tour::valueText(notification.oldValue()),
                 Tour::valueText(notification.newValue()));
}

// The observer of message delivery: prints what it is told.
class Printer : public QObject
{
    Q_OBJECT

public:
    explicit Printer(QTextStream &out)
        : m_out(out)
    { }

    Q_INVOKABLE void nameDidChange(const QString &keyPath, QObject *object,
                                   const QVariantMap &change, const QVariant &userInfo)
    {
        m_out << notificationLine(QStringLiteral("message"),
                                  JXKVONotification(this, object, keyPath, change))
              << " user info=" << Tour::valueText(userInfo) << "\n";
    }

private:
    QTextStream &m_out;
};

} // namespace

bool ObserveCommand::run(QTextStream &out)
{
    JXKVONotificationCenter &center = *JXKVONotificationCenter::defaultCenter();
    Person person(QStringLiteral("Ada Lovelace"));
    auto *printer = new Printer(out);
    const auto blockObservation
            = center.addObserver(nullptr, &person, QStringLiteral("name"),
                                 QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld
                                         | QMKeyValueObservingOptionInitial,
                                 [&out](const JXKVONotification &notification) {
                                     out << notificationLine(QStringLiteral("block"), notification)
                                         << "\n";
                                 });
    const auto messageObservation = center.addObserver(
            printer, &person, QStringLiteral("name"), QByteArrayLiteral("nameDidChange"),
            QStringLiteral("printer"), QMKeyValueObservingOptionNew | QMKeyValueObservingOptionOld);

    QEventLoop loop;
    int step = 0;
    const auto setName = [&](const QString &name) {
        out << "timer: name = " << Tour::valueText(name) << "\n";
        person.setName(name);
    };
    QPointer<QTimer> timer = Blocks::scheduleTimerWithTimeInterval(0.01, true, [&](QTimer *firing) {
        switch (++step) {
        case 1:
            setName(QStringLiteral("Grace Hopper"));
            break;
        case 2:
            out << "timer: the observer is destroyed\n";
            delete printer;
            out << "message observation valid: "
                << (messageObservation->isValid() ? "true" : "false") << "\n";
            break;
        default:
            setName(QStringLiteral("Alan Turing"));
            firing->stop();
            loop.quit();
            break;
        }
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    const bool finished = step >= 3;
    delete timer.data();
    if (step < 2)
        delete printer;
    blockObservation->remove();
    out.flush();
    return finished;
}

ToolCommand ObserveCommand::command()
{
    return ToolCommand::make(
            QStringLiteral("observe"), {}, {},
            QStringLiteral("Watch key-value observation at work on a sample object\n\n"
                           "Usage: qmf observe\n\n"
                           "Observes a sample person's name with a block and with a message,\n"
                           "changes it from a timer, destroys the message's observer (which\n"
                           "removes its observation) and changes it again, printing each\n"
                           "notification's key path, kind, old and new value."),
            [](Invocation &invocation) {
                if (!invocation.arguments().isEmpty())
                    return invocation.usageError(QStringLiteral("observe takes no arguments"));
                if (run(invocation.out))
                    return 0;
                invocation.err << "qmf: the observation script did not finish within 5 seconds"
                               << Qt::endl;
                return 1;
            });
}

void ObserveCommand::tourSection(QTextStream &out)
{
    out << "A person's name, observed with a block and with a message to an observer object;\n"
           "a timer changes it, destroys the observer (its observation goes with it) and\n"
           "changes it again (qmf observe):\n\n";
    QString text;
    QTextStream lines(&text);
    run(lines);
    out << Tour::indented(text.trimmed(), QStringLiteral("    ")) << "\n";
}

#include "ObserveCommand.moc"
