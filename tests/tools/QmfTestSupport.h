#pragma once

#include "Qmf.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <initializer_list>

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

/// Runs qmf with `arguments`, its standard output going to `out` (a device open for writing,
/// such as /dev/full), and returns the status and the error stream.
inline std::pair<int, QString> runQmfWritingTo(const QStringList &arguments, QIODevice &out)
{
    QBuffer in;
    QString errors;
    QTextStream outStream(&out);
    QTextStream err(&errors);
    const int status = Qmf::run(arguments, in, outStream, err);
    err.flush();
    return {status, errors};
}

/// A run of qmf and what it must give back: the status, exactly `out` on the standard output
/// and exactly `err` on the error stream, or (with a null `err`, for the faults the option
/// parser words) some text there.
struct Expected
{
    QStringList arguments;
    QByteArray input = {};
    int status = 0;
    QByteArray out = {};
    QString err = QStringLiteral("");
};

/// A run that fails with `status`: nothing on the standard output and exactly `err` (null: some
/// text) on the error stream.
inline Expected failing(const QStringList &arguments, int status, const QString &err = QString(),
                        const QByteArray &input = {})
{
    return {arguments, input, status, {}, err};
}

inline void expectRuns(std::initializer_list<Expected> runs)
{
    for (const Expected &run : runs) {
        SCOPED_TRACE(run.arguments.join(QLatin1Char(' ')).toStdString());
        const Outcome outcome = runQmf(run.arguments, run.input);
        EXPECT_EQ(outcome.status, run.status);
        EXPECT_EQ(outcome.bytes, run.out);
        if (run.err.isNull())
            EXPECT_FALSE(outcome.err.isEmpty());
        else
            EXPECT_EQ(outcome.err, run.err);
    }
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
