#include "options/QMOptionCommand.h"

#include "errors/QMEquality.h"

#include <QHash>

struct QMOptionCommand::Private
{
    QString name;
    QMOptionList options;
    QStringList argumentNames;
    std::optional<QMOptionCommandList> subCommands;
    QString explanation;
    bool hidden = false;
};

QMOptionCommandPtr QMOptionCommand::optionCommandWithName(
        const QString &name, const QMOptionList &options, const QStringList &argumentNames,
        const std::optional<QMOptionCommandList> &subCommands, const QString &explanation)
{
    return std::make_shared<QMOptionCommand>(name, options, argumentNames, subCommands,
                                             explanation);
}

QMOptionCommand::QMOptionCommand(const QString &name, const QMOptionList &options,
                                 const QStringList &argumentNames,
                                 const std::optional<QMOptionCommandList> &subCommands,
                                 const QString &explanation)
    : d(std::make_unique<Private>())
{
    d->name = name;
    d->options = options;
    d->argumentNames = argumentNames;
    d->subCommands = subCommands;
    d->explanation = explanation;
}

QMOptionCommand::~QMOptionCommand() = default;

QString QMOptionCommand::name() const
{
    return d->name;
}

void QMOptionCommand::setName(const QString &name)
{
    d->name = name;
}

QMOptionList QMOptionCommand::options() const
{
    return d->options;
}

void QMOptionCommand::setOptions(const QMOptionList &options)
{
    d->options = options;
}

QStringList QMOptionCommand::argumentNames() const
{
    return d->argumentNames;
}

std::optional<QMOptionCommandList> QMOptionCommand::subCommands() const
{
    return d->subCommands;
}

void QMOptionCommand::setSubCommands(const std::optional<QMOptionCommandList> &subCommands)
{
    d->subCommands = subCommands;
}

QString QMOptionCommand::explanation() const
{
    return d->explanation;
}

void QMOptionCommand::setExplanation(const QString &explanation)
{
    d->explanation = explanation;
}

bool QMOptionCommand::isHidden() const
{
    return d->hidden;
}

void QMOptionCommand::setHidden(bool hidden)
{
    d->hidden = hidden;
}

bool QMOptionCommand::isEqual(const QMOptionCommand &other) const
{
    return this == &other || QMEqualStrings(d->name, other.d->name);
}

size_t QMOptionCommand::hash() const
{
    return qHash(d->name);
}

QMOptionCommandPtr QMOptionCommand::copy() const
{
    // The lists are new, their elements shared: options and commands are shared objects.
    return optionCommandWithName(d->name, d->options, d->argumentNames, d->subCommands,
                                 d->explanation);
}

QString QMOptionCommand::description() const
{
    QString text = QStringLiteral("Command: ") + d->name;

    if (!d->explanation.isEmpty())
        text += QStringLiteral("\n\n") + d->explanation;

    if (!d->options.isEmpty()) {
        text += QStringLiteral("\n\nOptions\n\n");
        bool first = true;
        for (const QMOptionPtr &option : std::as_const(d->options)) {
            // An option without names (possible here: command options are not validated)
            // describes itself as nothing and leaves an empty entry.
            const QString entry = option ? option->description() : QString();
            text += (first ? QStringLiteral("\t") : QStringLiteral("\n\t")) + entry
                    + QLatin1Char('\n');
            first = false;
        }
    }

    if (d->subCommands && !d->subCommands->isEmpty()) {
        text += QStringLiteral("\nSub Commands\n\n");
        bool first = true;
        for (const QMOptionCommandPtr &command : std::as_const(*d->subCommands)) {
            const QString entry = command ? command->description() : QString();
            text += (first ? QStringLiteral("\t") : QStringLiteral("\n\t")) + entry;
            first = false;
        }
    }

    text += QLatin1Char('\n');
    return text;
}

bool QMEqualCommands(const QMOptionCommandPtr &a, const QMOptionCommandPtr &b)
{
    return QMEqualObjects(a, b);
}
