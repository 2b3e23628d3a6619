#pragma once

// Short builders and a one-line rendering of parse results shared by the options tests.

#include <QMFoundation/options/QMOptionParser.h>

#include <QStringList>

namespace OptionTestSupport {

/// A null QString for nullptr, so that tables can tell "none" from "".
inline QString str(const char *text)
{
    return text ? QString::fromUtf8(text) : QString();
}

/// An argument vector written as one text separated by '|'; "" is the empty vector.
inline QStringList args(const char *text)
{
    const QString joined = QString::fromUtf8(text);
    return joined.isEmpty() ? QStringList() : joined.split(QLatin1Char('|'));
}

inline QMOptionPtr makeOption(const char *flag, const char *alias, quint64 type = 0,
                              bool required = false, const char *explanation = nullptr,
                              const char *valueDescription = nullptr)
{
    return QMOption::optionWithFlag(str(flag), str(alias), str(explanation), str(valueDescription),
                                    type, required);
}

inline QMOptionCommandPtr makeCommand(const char *name, const QMOptionList &options = {},
                                      const std::optional<QMOptionCommandList> &subCommands = {},
                                      const char *explanation = nullptr)
{
    return QMOptionCommand::optionCommandWithName(str(name), options, {}, subCommands,
                                                  str(explanation));
}

inline QString renderValue(const QVariant &value)
{
    if (!value.isValid())
        return QStringLiteral("none");
    if (value.metaType() == QMetaType::fromType<QString>())
        return QLatin1Char('\'') + value.toString() + QLatin1Char('\'');
    if (value.metaType() == QMetaType::fromType<double>())
        return QString::number(value.toDouble());
    if (value.metaType() == QMetaType::fromType<QStringList>())
        return QStringLiteral("['") + value.toStringList().join(QStringLiteral("','"))
                + QStringLiteral("']");
    if (value.metaType() == QMetaType::fromType<QList<double>>()) {
        QStringList numbers;
        for (double number : value.value<QList<double>>())
            numbers.append(QString::number(number));
        return QLatin1Char('[') + numbers.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    return QStringLiteral("unexpected ") + QString::fromLatin1(value.typeName());
}

/// One word per item: "cmd:build", "opt:o", "opt:o='x'", "arg:file".
inline QString render(const QMOptionParserResultList &items)
{
    QStringList words;
    for (const QMOptionParserResultItem &item : items) {
        switch (item.kind()) {
        case QMOptionParserResultItem::Kind::Command:
            words.append(QStringLiteral("cmd:") + item.command()->name());
            break;
        case QMOptionParserResultItem::Kind::Option:
            words.append(QStringLiteral("opt:") + item.option()->flag());
            break;
        case QMOptionParserResultItem::Kind::OptionWithValue:
            words.append(QStringLiteral("opt:") + item.option()->flag() + QLatin1Char('=')
                         + renderValue(item.value()));
            break;
        case QMOptionParserResultItem::Kind::Argument:
            words.append(QStringLiteral("arg:") + item.argument());
            break;
        }
    }
    return words.join(QLatin1Char(' '));
}

} // namespace OptionTestSupport
