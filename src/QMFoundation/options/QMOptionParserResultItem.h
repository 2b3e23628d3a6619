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
    enum class Kind { Command, Option, OptionWithValue, Argument };

    static QMOptionParserResultItem resultWithCommand(const QMOptionCommandPtr &command);
    static QMOptionParserResultItem resultWithOption(const QMOptionPtr &option);
    static QMOptionParserResultItem resultWithOption(const QMOptionPtr &option,
                                                     const QVariant &value);
    static QMOptionParserResultItem resultWithArgument(const QString &argument);

    explicit QMOptionParserResultItem(const QMOptionCommandPtr &command);
    QMOptionParserResultItem(const QMOptionPtr &option, const QVariant &value,
                             const QString &argument);
    QMOptionParserResultItem() = default;

    QMOptionPtr option() const { return m_option; }
    void setOption(const QMOptionPtr &option) { m_option = option; }
    QMOptionCommandPtr command() const { return m_command; }
    void setCommand(const QMOptionCommandPtr &command) { m_command = command; }
    QVariant value() const { return m_value; }
    void setValue(const QVariant &value);
    QString argument() const { return m_argument; }
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

using QMOptionParserResultList = QList<QMOptionParserResultItem>;
