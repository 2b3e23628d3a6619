#pragma once

// What the option parser's sources share: the lookup tables and the parser's private state.

#include <QMFoundation/errors/QMEquality.h>
#include <QMFoundation/options/QMOptionParser.h>

#include <QHash>
#include <QLatin1String>
#include <QString>

#include <optional>

namespace QMOptionParserSupport {

// Commands are identified by name, and a null name is a name of its own, distinct from "".
// QString's own equality and hash would merge the two, hence this key.
struct CommandKey
{
    QString name;

    friend bool operator==(const CommandKey &a, const CommandKey &b)
    {
        return QMEqualStrings(a.name, b.name);
    }
};

inline size_t qHash(const CommandKey &key, size_t seed = 0)
{
    return qHash(key.name, seed) ^ size_t(key.name.isNull());
}

// Names to options. The values point into lists the parser keeps unchanged for its lifetime
// (the configured options, the kept copies of the commands' option lists) and at the help
// option, so that entering thousands of names counts no references.
using OptionTable = QHash<QString, const QMOptionPtr *>;

// Appends the names part of an option's usage entry: "-o | --output", "--quiet" or "-x"
// (nothing for an option with neither name). `Text` is a QString or a TextLength.
template<typename Text>
void appendUsageNames(Text &text, const QString &flag, const QString &alias)
{
    if (!flag.isNull()) {
        text += QLatin1Char('-');
        text += flag;
    }
    if (!flag.isNull() && !alias.isNull())
        text += QLatin1String(" | ");
    if (!alias.isNull()) {
        text += QLatin1String("--");
        text += alias;
    }
}

} // namespace QMOptionParserSupport

struct QMOptionParser::Private
{
    QString executableName;
    QStringList argumentNames;

    QMOptionList configuredOptions;
    QMOptionList configuredRequiredOptions;
    QMOptionCommandList configuredCommands;

    QMOptionParserSupport::OptionTable optionLookupTable;
    QList<QMOptionList> commandOptionLists; // what the commands' option tables point into
    QHash<QMOptionParserSupport::CommandKey, QMOptionCommandPtr> commandLookupTable;
    QHash<QMOptionParserSupport::CommandKey, QMOptionParserSupport::OptionTable>
            commandOptionsLookupTable;

    QString listSeparator; // null: unset, reads as ","
    mutable QMOptionPtr helpOption;
    QString usage;
    std::optional<QMOptionParserResultList> lastResults;
    QString failureReason; // of the most recent parse; null after a success

    const QMOptionCommandPtr *findCommand(const QString &argument) const;
    const QMOptionParserSupport::OptionTable *optionTableFor(const QMOptionCommand &command) const;
    /// optionForArgument() with the table of the current command's options, if it has one.
    const QMOptionPtr *findOption(const QString &argument,
                                  const QMOptionParserSupport::OptionTable *commandTable) const;

    // The configuration steps, run once by the constructor in this order.
    void configure(const QMOptionParser &q);
    void configureLookupTables(const QMOptionParser &q);
    void configureRequiredOptions();
    void configureUsageString();
};
