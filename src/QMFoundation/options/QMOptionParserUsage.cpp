#include "QMFoundation/options/QMOptionParser_p.h"
#include "QMFoundation/options/QMOption_p.h"
#include <QMFoundation/options/QMOptionParser.h>

using QMOptionParserSupport::appendUsageNames;

namespace {

// Counts the characters that appending would add, so that a long text can be sized once.
struct TextLength
{
    qsizetype length = 0;

    TextLength &operator+=(const QString &text)
    {
        length += text.size();
        return *this;
    }
    TextLength &operator+=(QLatin1String text)
    {
        length += text.size();
        return *this;
    }
    TextLength &operator+=(QLatin1Char)
    {
        ++length;
        return *this;
    }
};

// Appends an option's usage entry (see QMOptionParser::usageStringForOption()), or nothing for
// an option without names. The usage text of a large definition holds thousands of entries:
// appending in place spares a temporary text per entry and per piece.
template<typename Text>
void appendUsageEntry(Text &text, const QMOption &option)
{
    const QMOptionData &fields = QMOptionData::of(option);
    if (fields.flag.isNull() && fields.alias.isNull())
        return;
    text += fields.required ? QLatin1String(" ") : QLatin1String(" [");
    appendUsageNames(text, fields.flag, fields.alias);
    if (!fields.valueDescription.isNull()) {
        text += QLatin1String(" <");
        text += fields.valueDescription;
        text += QLatin1Char('>');
    }
    if (!fields.required)
        text += QLatin1Char(']');
}

} // namespace

QString QMOptionParser::usage() const
{
    return d->usage;
}

QString QMOptionParser::help() const
{
    if (!d->lastResults || d->lastResults->isEmpty())
        return QString();

    const QMOptionPtr help = helpOption();
    QMOptionCommandPtr command;
    for (const QMOptionParserResultItem &item : std::as_const(*d->lastResults)) {
        if (item.command())
            command = item.command();
        if (item.option() && item.option()->isEqual(*help))
            return command ? command->description() : d->usage;
    }
    return QString();
}

QString QMOptionParser::usageStringForOption(const QMOption &option) const
{
    QString entry; // stays null for an option without names
    appendUsageEntry(entry, option);
    return entry;
}

QString QMOptionParser::usageStringForCommand(const QMOptionCommand &command) const
{
    if (command.explanation().isNull())
        return command.name();
    return command.name() + QStringLiteral("\t\t") + command.explanation();
}

void QMOptionParser::Private::configureUsageString()
{
    bool listsCommands = false;
    for (const QMOptionCommandPtr &command : std::as_const(configuredCommands))
        listsCommands = listsCommands || !command->isHidden();

    const auto build = [&](auto &text) {
        text += QLatin1String("Usage: ");
        text += executableName;
        for (const QMOptionPtr &option : std::as_const(configuredOptions)) {
            if (!option->isHidden())
                appendUsageEntry(text, *option);
        }
        for (const QString &name : std::as_const(argumentNames)) {
            text += QLatin1String(" <");
            text += name;
            text += QLatin1Char('>');
        }
        if (!listsCommands)
            return;
        text += QLatin1String(" <command> [<arguments>]\n\nAvailable Commands\n");
        bool first = true;
        for (const QMOptionCommandPtr &command : std::as_const(configuredCommands)) {
            if (command->isHidden())
                continue;
            text += first ? QLatin1String("\t") : QLatin1String("\n\t");
            first = false;
            // The command's entry, as usageStringForCommand() makes it.
            text += command->name();
            const QString explanation = command->explanation();
            if (!explanation.isNull()) {
                text += QLatin1String("\t\t");
                text += explanation;
            }
        }
    };

    // Measured first and then written into storage of the right size: the text of a large
    // definition is long, and growing it step by step would copy it over and over.
    TextLength length;
    build(length);
    QString text;
    text.reserve(length.length);
    build(text);
    Q_ASSERT(text.size() == length.length);
    usage = std::move(text);
}
