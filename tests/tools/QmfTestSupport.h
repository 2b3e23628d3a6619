#pragma once

#include "Qmf.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

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

/// Checks that running qmf with `arguments` is a usage error: status 2, nothing on the
/// standard output, and exactly `error` on the error stream, or (with a null `error`, for the
/// faults the option parser words) some text there.
inline void expectUsageError(const QStringList &arguments, const char *error,
                             const QByteArray &input = {})
{
    const Outcome outcome = runQmf(arguments, input);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_EQ(outcome.out, QString());
    if (error)
        EXPECT_EQ(outcome.err, QString::fromUtf8(error));
    else
        EXPECT_FALSE(outcome.err.isEmpty());
}

/// Writes `bytes` to the file `name` in `dir` and returns its path.
inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
    return path;
}

/// `text` split at spaces: words("options check -h").
inline QStringList words(const char *text)
{
    return QString::fromUtf8(text).split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

} // namespace QmfTestSupport
