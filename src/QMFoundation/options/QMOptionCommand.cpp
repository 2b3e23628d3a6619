#include <QMFoundation/options/QMOptionCommand.h>

#include <QMFoundation/errors/QMEquality.h>

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

namespace {

// `path` holds the commands being described, outermost first. Command trees are meant to be
// free of cycles; a command that contains itself, directly or further down, would otherwise be
// described forever. Such a command is written as its header line alone where it recurs.
QString describe(const QMOptionCommand &command, QList<const QMOptionCommand *> &path)
{
    QString text = QStringLiteral("Command: ") + command.name();
    if (path.contains(&command))
        return text + QLatin1Char('\n');

    const QString explanation = command.explanation();
    if (!explanation.isEmpty())
        text += QStringLiteral("\n\n") + explanation;

    const QMOptionList options = command.options();
    if (!options.isEmpty()) {
        text += QStringLiteral("\n\nOptions\n\n");
        bool first = true;
        for (const QMOptionPtr &option : options) {
            // An option without names (possible here: command options are not validated)
            // describes itself as nothing and leaves an empty entry.
            const QString entry = option ? option->description() : QString();
            text += (first ? QStringLiteral("\t") : QStringLiteral("\n\t")) + entry
                    + QLatin1Char('\n');
            first = false;
        }
    }

    const std::optional<QMOptionCommandList> subCommands = command.subCommands();
    if (subCommands && !subCommands->isEmpty()) {
        text += QStringLiteral("\nSub Commands\n\n");
        path.append(&command);
        bool first = true;
        for (const QMOptionCommandPtr &subCommand : *subCommands) {
            const QString entry = subCommand ? describe(*subCommand, path) : QString();
            text += (first ? QStringLiteral("\t") : QStringLiteral("\n\t")) + entry;
            first = false;
        }
        path.removeLast();
    }

    text += QLatin1Char('\n');
    return text;
}

} // namespace

QString QMOptionCommand::description() const
{
    QList<const QMOptionCommand *> path;
    return describe(*this, path);
}

bool QMEqualCommands(const QMOptionCommandPtr &a, const QMOptionCommandPtr &b)
{
    return QMEqualObjects(a, b);
}
