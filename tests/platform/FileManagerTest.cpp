#include "PlatformTestSupport.h"
#include "support/Failures.h"

#include <QMFoundation/platform/QMFileManager.h>
#include <QMFoundation/platform/QMURLPaths.h>

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <mutex>
#include <thread>
#include <vector>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// The permission bits as the system keeps them (QFileInfo adds the owner's bits to the user's).
unsigned modeOf(const QString &path)
{
    struct stat info
    { };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

} // namespace

TEST(FileManagerTest, TemporaryNamesAndFilesAreFreshAndPrivate)
{
    const ScratchTemporaryDirectory scratch;
    // A fresh identifier after the temporary directory, "." and the extension only with one.
    const QString plain = QMFileManager::temporaryFilePath();
    EXPECT_TRUE(plain.startsWith(scratch.path() + u'/'));
    EXPECT_EQ(plain.size(), scratch.path().size() + 1 + 36);
    EXPECT_NE(plain, QMFileManager::temporaryFilePath());
    EXPECT_FALSE(QMFileManager::temporaryFilePathWithExtension(QString()).contains(u'.'));
    EXPECT_TRUE(QMFileManager::temporaryFileURLWithExtension(u"json"_s).toLocalFile().endsWith(
            u".json"_s));

    QMError error;
    const QUrl directory = QMFileManager::createTemporaryDirectory(&error);
    ASSERT_FALSE(directory.isEmpty()) << qPrintable(error.localizedDescription());
    EXPECT_TRUE(QFileInfo(directory.toLocalFile()).isDir());
    EXPECT_EQ(modeOf(directory.toLocalFile()), 0700u);

    const QUrl file = QMFileManager::createTemporaryFileWithExtension(u"txt"_s, "abc", &error);
    ASSERT_FALSE(file.isEmpty()) << qPrintable(error.localizedDescription());
    EXPECT_EQ(modeOf(file.toLocalFile()), 0600u);
    QFile written(file.toLocalFile());
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll(), "abc");
    const QUrl empty = QMFileManager::createEmptyTemporaryFile();
    EXPECT_EQ(QFileInfo(empty.toLocalFile()).size(), 0);

    // An extension cannot lead out of the temporary directory.
    EXPECT_TRUE(QMFileManager::createTemporaryFileWithExtension(u"/../x"_s, "x", &error).isEmpty());
    EXPECT_EQ(error.code(), QMFileManagerErrorWriteFile);
    // A directory that cannot be written in: an error, and nothing left behind.
    qputenv("TMPDIR", QFile::encodeName(file.toLocalFile()));
    EXPECT_TRUE(QMFileManager::createTemporaryDirectory(&error).isEmpty());
    EXPECT_EQ(error.code(), QMFileManagerErrorCreateDirectory);
    EXPECT_TRUE(QMFileManager::createTemporaryFileWithContents("x", &error).isEmpty());
    EXPECT_EQ(error.code(), QMFileManagerErrorWriteFile);
    EXPECT_TRUE(error.localizedDescription().contains(file.toLocalFile()));
}

// Names come from fresh identifiers, never from a shared counter, so threads need no lock.
TEST(FileManagerTest, EightThreadsCreateTenThousandDistinctFiles)
{
    const ScratchTemporaryDirectory scratch;
    constexpr int threadCount = 8;
    constexpr int filesPerThread = 1250;
    std::mutex mutex;
    QSet<QString> paths;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            QStringList mine;
            for (int i = 0; i < filesPerThread; ++i)
                mine.append(QMFileManager::createTemporaryFileWithContents(
                                    QByteArray::number(t * filesPerThread + i))
                                    .toLocalFile());
            std::lock_guard lock(mutex);
            for (const QString &path : mine)
                paths.insert(path);
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_FALSE(paths.contains(QString())); // none failed
    EXPECT_EQ(paths.size(), threadCount * filesPerThread);
    EXPECT_EQ(QDir(scratch.path()).entryList(QDir::Files).size(), threadCount * filesPerThread);
}

TEST(FileManagerTest, AnswersQuestionsAboutPaths)
{
    // One row per path: its volume path (a text rule), the MIME type of its extension and the
    // MIME type of its whole name.
    const struct
    {
        const char *path;
        const char *volume; // nullptr: none
        const char *type; // nullptr: none
        const char *nameType; // nullptr: none
    } rows[] = {
            {"/Volumes/Disk/a/b.txt", "/Volumes/Disk", "text/plain", "text/plain"},
            {"/a//b/../c/photo.JPG", "/a/c", "image/jpeg", "image/jpeg"},
            {"/", nullptr, nullptr, nullptr},
            {"/a/../notes", nullptr, nullptr, nullptr},
            {"relative/a/b.unknownext", nullptr, nullptr, nullptr},
            // The extension is the last one; names and compound extensions need the name.
            {"/src/a.tar.gz", "/src/a.tar.gz", "application/gzip", "application/x-compressed-tar"},
            {"/src/Makefile", "/src/Makefile", nullptr, "text/x-makefile"},
            {"/home/.bashrc", "/home/.bashrc", nullptr, nullptr},
            {"/home/name.", "/home/name.", nullptr, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.path);
        const QString path = QString::fromUtf8(row.path);
        EXPECT_EQ(QMFileManager::volumePathForFileAtPath(path),
                  row.volume ? QString::fromUtf8(row.volume) : QString());
        EXPECT_EQ(QMFileManager::MIMETypeForFileAtPath(path),
                  row.type ? QString::fromUtf8(row.type) : QString());
        EXPECT_EQ(QMFileManager::MIMETypeForFileName(path),
                  row.nameType ? QString::fromUtf8(row.nameType) : QString());
    }
    EXPECT_EQ(QMFileManager::mountPointForFileAtPath(u"/"_s), u"/"_s);
    EXPECT_TRUE(QMFileManager::mountPointForFileAtPath(u"/no/such/file"_s).isNull());

    // Emptiness: hidden entries count, and a listing that fails is no empty directory.
    const ScratchTemporaryDirectory scratch;
    QMError error(u"stale"_s, 9);
    EXPECT_TRUE(QMFileManager::isEmptyDirectoryAtPath(scratch.path(), &error));
    EXPECT_TRUE(error.isNull());
    QFile hidden(scratch.filePath(u".hidden"_s));
    ASSERT_TRUE(hidden.open(QIODevice::WriteOnly));
    EXPECT_FALSE(QMFileManager::isEmptyDirectoryAtPath(scratch.path(), &error));
    for (const QString &path : {scratch.filePath(u"missing"_s), hidden.fileName()}) {
        EXPECT_FALSE(QMFileManager::isEmptyDirectoryAtPath(path, &error));
        EXPECT_EQ(error.code(), QMFileManagerErrorListDirectory);
    }
    EXPECT_EQ(QMFileManager::cachesDirectory().toLocalFile(),
              QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
}

TEST(FileManagerTest, AliasesAreSymbolicLinks)
{
    const ScratchTemporaryDirectory scratch;
    const auto url = [&scratch](const char *name) {
        return QUrl::fromLocalFile(scratch.filePath(QString::fromUtf8(name)));
    };
    QFile file(scratch.filePath(u"file.txt"_s));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_TRUE(QDir(scratch.path()).mkdir(u"folder"_s));

    const struct
    {
        const char *name;
        const char *alias;
        const char *destination;
        qint64 createError; // 0: made
        qint64 resolveError; // 0: resolves to the destination
    } rows[] = {
            {"to a file", "file-alias", "file.txt", 0, 0},
            {"to a directory", "folder-alias", "folder", 0, 0},
            {"through a relative path", "folder/../rel-alias", "folder/./", 0, 0},
            {"to a missing file", "missing-alias", "missing.txt",
             QMFileManagerErrorNoSuchDestination, QMFileManagerErrorNotAnAlias},
            {"over an existing file", "file.txt", "folder", QMFileManagerErrorAliasExists,
             QMFileManagerErrorNotAnAlias},
            {"over an existing alias", "file-alias", "folder", QMFileManagerErrorAliasExists, 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QMError error;
        EXPECT_EQ(QMFileManager::createAliasAtURL(url(row.alias), url(row.destination), &error),
                  row.createError == 0);
        EXPECT_EQ(error.code(), row.createError);
        error = QMError();
        const QUrl resolved = QMURLPaths::fileURLFromAliasAtURL(url(row.alias), &error);
        EXPECT_EQ(error.code(), row.resolveError);
        if (row.resolveError == 0 && row.createError == 0) {
            EXPECT_EQ(resolved, QMURLPaths::normalizedFileURL(url(row.destination)));
        }
    }

    // Links whose target went away, and links that loop, are errors rather than hangs.
    QMError error;
    ASSERT_TRUE(QFile::link(scratch.filePath(u"gone"_s), scratch.filePath(u"dangling"_s)));
    ASSERT_TRUE(QFile::link(scratch.filePath(u"loop-b"_s), scratch.filePath(u"loop-a"_s)));
    ASSERT_TRUE(QFile::link(scratch.filePath(u"loop-a"_s), scratch.filePath(u"loop-b"_s)));
    for (const char *name : {"dangling", "loop-a"}) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(QMURLPaths::fileURLFromAliasAtURL(url(name), &error).isEmpty());
        EXPECT_EQ(error.code(), QMFileManagerErrorUnresolvableAlias);
        EXPECT_FALSE(QMFileManager::createAliasAtURL(url(name), url("file.txt"), &error));
        EXPECT_EQ(error.code(), QMFileManagerErrorAliasExists);
    }

    using TestSupport::failureOf;
    const QUrl web(u"https://example.com/a"_s);
    EXPECT_EQ(failureOf([&] { QMFileManager::createAliasAtURL(web, url("file.txt")); }),
              u"Invalid parameter not satisfying: aliasFileURL.isFileURL"_s);
    EXPECT_EQ(failureOf([&] { QMFileManager::createAliasAtURL(url("new"), web); }),
              u"Invalid parameter not satisfying: destinationFileURL.isFileURL"_s);
    EXPECT_EQ(failureOf([&] { QMURLPaths::fileURLFromAliasAtURL(web); }),
              u"Invalid parameter not satisfying: aliasFileURL.isFileURL"_s);
}
