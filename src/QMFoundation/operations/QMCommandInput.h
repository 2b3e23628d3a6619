#pragma once

#include <QByteArray>
#include <QString>

/// What a command operation's child reads as its standard input: the null device (the
/// default), a file, an open file descriptor of this process or bytes held in memory.
///
/// - fromFile(): the file is opened when the child starts; a file that cannot be opened makes
///   the launch fail (the operation's exit code becomes -1).
/// - fromFileDescriptor(): the child gets a duplicate of the descriptor as its standard input.
///   The descriptor stays owned by the caller and must stay open until the child has started;
///   a descriptor that is not open when the child starts makes the launch fail. A pipe's
///   reading end lets the caller feed the child while it runs.
/// - fromData(): the bytes are written to the child through a pipe that is closed once they are
///   all written, so the child reads them and then end of file. A child that exits before
///   reading everything just loses the rest.
class QMCommandInput
{
public:
    /// Where the child's standard input comes from, as the factories below set it.
    enum class Kind { NullDevice, File, FileDescriptor, Data };

    /// The null device.
    QMCommandInput() = default;

    /// The null device: the child reads end of file at once.
    static QMCommandInput fromNullDevice() { return {}; }
    /// The file at `path` (see the class).
    static QMCommandInput fromFile(const QString &path)
    {
        QMCommandInput input;
        input.m_kind = Kind::File;
        input.m_filePath = path;
        return input;
    }
    /// A duplicate of the open descriptor `descriptor` (see the class).
    static QMCommandInput fromFileDescriptor(int descriptor)
    {
        QMCommandInput input;
        input.m_kind = Kind::FileDescriptor;
        input.m_fileDescriptor = descriptor;
        return input;
    }
    /// The bytes `bytes`, written through a pipe (see the class).
    static QMCommandInput fromData(const QByteArray &bytes)
    {
        QMCommandInput input;
        input.m_kind = Kind::Data;
        input.m_bytes = bytes;
        return input;
    }

    /// Which of the factories made the input.
    Kind kind() const { return m_kind; }
    /// The file of fromFile(), else a null QString.
    QString filePath() const { return m_filePath; }
    /// The descriptor of fromFileDescriptor(), else -1.
    int fileDescriptor() const { return m_fileDescriptor; }
    /// The bytes of fromData(), else none.
    QByteArray bytes() const { return m_bytes; }

    friend bool operator==(const QMCommandInput &, const QMCommandInput &) = default;

private:
    Kind m_kind = Kind::NullDevice;
    QString m_filePath;
    int m_fileDescriptor = -1;
    QByteArray m_bytes;
};
