#pragma once

#include <gtest/gtest.h>

#include <QDir>
#include <QTemporaryDir>

// The temporary directory of the functions under test, pointed at a scratch directory of the
// test's own for as long as this lives, so that tests see only their own files.
class ScratchTemporaryDirectory
{
public:
    ScratchTemporaryDirectory()
        : m_previous(qgetenv("TMPDIR"))
        , m_hadPrevious(qEnvironmentVariableIsSet("TMPDIR"))
    {
        EXPECT_TRUE(m_dir.isValid());
        qputenv("TMPDIR", QFile::encodeName(m_dir.path()));
    }
    ~ScratchTemporaryDirectory()
    {
        if (m_hadPrevious)
            qputenv("TMPDIR", m_previous);
        else
            qunsetenv("TMPDIR");
    }
    QString path() const { return QDir(m_dir.path()).canonicalPath(); }
    QString filePath(const QString &name) const { return path() + QLatin1Char('/') + name; }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious;
};
