#pragma once

#include "Qmf.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>

// Running qmf in-process, as the tool's tests do.
namespace QmfTestSupport {

struct Outcome
{
    int status = -1;
    QByteArray bytes; ///< exactly what was written to the standard output
    QString out; ///< the same, decoded as UTF-8
    QString err;
    QJsonObject json() const { return QJsonDocument::fromJson(bytes).object(); }
};

/// Runs qmf with `arguments` (the words after the program name) and `input` standing in for
/// the standard input.
inline Outcome runQmf(const QStringList &arguments, const QByteArray &input = {})
{
    QByteArray inputBytes = input;
    QBuffer in(&inputBytes);
    QBuffer outBuffer;
    outBuffer.open(QIODevice::WriteOnly);
    Outcome outcome;
    QTextStream out(&outBuffer);
    QTextStream err(&outcome.err);
    outcome.status = Qmf::run(arguments, in, out, err);
    out.flush();
    err.flush();
    outcome.bytes = outBuffer.data();
    outcome.out = QString::fromUtf8(outcome.bytes);
    return outcome;
}

/// `text` split at spaces: words("options check -h").
inline QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace QmfTestSupport
