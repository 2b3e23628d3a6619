#pragma once

#include <QMFoundation/QMFoundationCoreExport.h>
#include <QMFoundation/options/QMOption.h>
#include <QMFoundation/options/QMOptionCommand.h>

#include <QString>
#include <QVariant>

/// One element of a parse result: a command, an option, an option with its value, or a
/// positional argument, told apart by which fields are set.
///
/// `value()` is a QString, a double, a QStringList, a QList<double>, or an invalid QVariant
/// when the conversion gave nothing.
class QMF_CORE_EXPORT QMOptionParserResultItem
{
public:
    /// What a result item holds, as kind() tells.
    enum class Kind { Command, Option, OptionWithValue, Argument };

    /// An item for `command`.
    static QMOptionParserResultItem resultWithCommand(const QMOptionCommandPtr &command);
    /// An item for a switch `option`, without a value.
    static QMOptionParserResultItem resultWithOption(const QMOptionPtr &option);
    /// An item for `option` with its converted `value` (kind OptionWithValue).
    static QMOptionParserResultItem resultWithOption(const QMOptionPtr &option,
                                                     const QVariant &value);
    /// An item for the positional argument `argument`.
    static QMOptionParserResultItem resultWithArgument(const QString &argument);

    /// A command item.
    explicit QMOptionParserResultItem(const QMOptionCommandPtr &command);
    /// An item of `option` with `value`, read from `argument` (or an argument item, with only
    /// `argument`); a valid value makes it an OptionWithValue item.
    QMOptionParserResultItem(const QMOptionPtr &option, const QVariant &value,
                             const QString &argument);
    QMOptionParserResultItem() = default;

    /// The option of an option item, else null.
    QMOptionPtr option() const { return m_option; }
    /// Sets the option.
    void setOption(const QMOptionPtr &option) { m_option = option; }
    /// The command of a command item, else null.
    QMOptionCommandPtr command() const { return m_command; }
    /// Sets the command.
    void setCommand(const QMOptionCommandPtr &command) { m_command = command; }
    /// The converted value of an OptionWithValue item (see the class), else an invalid QVariant.
    QVariant value() const { return m_value; }
    /// Sets the value; the item is an option-with-value item from then on, even for an invalid
    /// value.
    void setValue(const QVariant &value);
    /// The text of an argument item, else a null QString.
    QString argument() const { return m_argument; }
    /// Sets the argument text.
    void setArgument(const QString &argument) { m_argument = argument; }

    /// Which kind of item this is. An option item made with a value is OptionWithValue even
    /// when the value converted to nothing.
    Kind kind() const;

private:
    friend class QMOptionParser; // validates items in place, without copying their pointers

    QMOptionPtr m_option;
    QMOptionCommandPtr m_command;
    QVariant m_value;
    QString m_argument;
    bool m_hasValue = false;
};

/// The items of a parse, in the order of the arguments.
using QMOptionParserResultList = QList<QMOptionParserResultItem>;
