#pragma once

// Internal to the library: not installed.

#include <QMFoundation/options/QMOption.h>

/// The fields of a QMOption, readable by reference through QMOptionData::of().
///
/// The public getters return copies. The parser reads every field of thousands of options
/// while it configures itself, and the reference counting of those copies was a good part of
/// that work, so it reads the fields in place.
struct QMOptionData
{
    QString flag;
    QString alias;
    QString explanation;
    QString valueDescription;
    quint64 type = QMOptionTypeNone;
    bool required = false;
    bool hidden = false;

    static const QMOptionData &of(const QMOption &option);
};

struct QMOption::Private : QMOptionData
{ };

inline const QMOptionData &QMOptionData::of(const QMOption &option)
{
    return *option.d;
}
