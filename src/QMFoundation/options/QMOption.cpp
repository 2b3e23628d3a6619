#include "QMFoundation/options/QMOption_p.h"
#include <QMFoundation/options/QMOption.h>

#include <QMFoundation/errors/QMEquality.h>

#include <QHash>
#include <QVarLengthArray>

#include <iterator>

QMOptionPtr QMOption::optionWithFlag(const QString &flag, const QString &alias,
                                     const QString &explanation, const QString &valueDescription,
                                     quint64 type, bool required)
{
    return std::make_shared<QMOption>(flag, alias, explanation, valueDescription, type, required);
}

QMOption::QMOption(const QString &flag, const QString &alias, const QString &explanation,
                   const QString &valueDescription, quint64 type, bool required)
    : d(std::make_unique<Private>())
{
    d->flag = flag;
    d->alias = alias;
    d->explanation = explanation;
    d->valueDescription = valueDescription;
    d->type = type;
    d->required = required;
}

QMOption::~QMOption() = default;

QString QMOption::flag() const
{
    return d->flag;
}

void QMOption::setFlag(const QString &flag)
{
    d->flag = flag;
}

QString QMOption::alias() const
{
    return d->alias;
}

void QMOption::setAlias(const QString &alias)
{
    d->alias = alias;
}

QString QMOption::explanation() const
{
    return d->explanation;
}

void QMOption::setExplanation(const QString &explanation)
{
    d->explanation = explanation;
}

QString QMOption::valueDescription() const
{
    return d->valueDescription;
}

void QMOption::setValueDescription(const QString &valueDescription)
{
    d->valueDescription = valueDescription;
}

quint64 QMOption::type() const
{
    return d->type;
}

void QMOption::setType(quint64 type)
{
    d->type = type;
}

bool QMOption::isRequired() const
{
    return d->required;
}

void QMOption::setRequired(bool required)
{
    d->required = required;
}

bool QMOption::isHidden() const
{
    return d->hidden;
}

void QMOption::setHidden(bool hidden)
{
    d->hidden = hidden;
}

bool QMOption::hasListValue() const
{
    return d->type == QMOptionTypeStringList || d->type == QMOptionTypeNumberList;
}

bool QMOption::isEqual(const QMOption &other) const
{
    if (this == &other)
        return true;
    return QMEqualStrings(d->flag, other.d->flag) && QMEqualStrings(d->alias, other.d->alias)
            && d->type == other.d->type;
}

size_t QMOption::hash() const
{
    // Built from exactly the fields that take part in equality, so equal options hash alike.
    // A null and an empty name hash alike, which is allowed: equality still tells them apart.
    // The value is the hash of the text flag + alias + type in decimal; the text is put
    // together on the stack, since parsers hash every option they are configured with.
    char16_t digits[20]; // quint64 has at most 20 decimal digits
    qsizetype digitCount = 0;
    quint64 type = d->type;
    do {
        digits[std::size(digits) - 1 - digitCount++] = char16_t(u'0' + type % 10);
        type /= 10;
    } while (type != 0);

    QVarLengthArray<char16_t, 64> text;
    text.reserve(d->flag.size() + d->alias.size() + digitCount);
    text.append(reinterpret_cast<const char16_t *>(d->flag.constData()), d->flag.size());
    text.append(reinterpret_cast<const char16_t *>(d->alias.constData()), d->alias.size());
    text.append(digits + std::size(digits) - digitCount, digitCount);
    return qHash(QStringView(text.constData(), text.size()));
}

QMOptionPtr QMOption::copy() const
{
    // Going through the constructor leaves the copy visible whatever this option's state.
    return optionWithFlag(d->flag, d->alias, d->explanation, d->valueDescription, d->type,
                          d->required);
}

QString QMOption::description() const
{
    QString text;
    const bool takesValue = d->type != QMOptionTypeNone;
    const QString value
            = d->valueDescription.isNull() ? QStringLiteral("VALUE") : d->valueDescription;

    if (d->alias.isNull()) {
        if (d->flag.isNull())
            return QString();
        text = QLatin1Char('-') + d->flag;
    } else {
        if (!d->flag.isNull())
            text = QLatin1Char('-') + d->flag + QStringLiteral(", ");
        text += QStringLiteral("--") + d->alias;
    }
    if (takesValue)
        text += QStringLiteral(" <") + value + QLatin1Char('>');

    if (!d->explanation.isNull())
        text += QStringLiteral("\n\t\t") + d->explanation;
    return text;
}

bool QMEqualOptions(const QMOptionPtr &a, const QMOptionPtr &b)
{
    return QMEqualObjects(a, b);
}
