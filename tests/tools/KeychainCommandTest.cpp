#include "QmfTestSupport.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using namespace QmfTestSupport;
using namespace Qt::StringLiterals;

// qmf keychain on a keychain file: the passwords come from files and the standard input.
TEST(QmfKeychainTest, ManagesPasswordsInAKeychainFile)
{
    QTemporaryDir dir;
    QFile passwordFile(dir.filePath(u"pw"_s));
    ASSERT_TRUE(passwordFile.open(QIODevice::WriteOnly));
    passwordFile.write("file password\nignored\n");
    passwordFile.close();
    QFile wrongFile(dir.filePath(u"wrong"_s));
    ASSERT_TRUE(wrongFile.open(QIODevice::WriteOnly));
    wrongFile.write("guess\n");
    wrongFile.close();
    const QString file = u"--file "_s + dir.filePath(u"k.keychain"_s) + u" --password-file "_s
            + passwordFile.fileName();
    const auto run = [&](const QString &command) {
        return QString(u"keychain "_s + command.arg(file)).split(u' ');
    };
    const QString generic = u"--account joe --service mail"_s;
    const QString internet = u"--url https://joe@example.com:8443/repo"_s;

    expectRuns({
            {run(u"add %1 --create --secret-stdin "_s + generic), "s3cret\n"},
            failing(run(u"add %1 --secret-stdin "_s + generic), 1,
                    u"qmf: The specified item already exists in the keychain. (status -25299)\n"_s,
                    "x\n"),
            // A last line without a line break is read whole.
            {run(u"add %1 --secret-stdin "_s + internet), "hunter2"},
            {run(u"update %1 --secret-stdin "_s + generic), "n3w\n"},
            {run(u"list %1"_s),
             {},
             0,
             "generic\tjoe\tmail\ninternet\thttps://joe@example.com:8443/repo\n"},
            failing(run(u"find %1 --url https://joe@example.com/repo"_s), 1,
                    u"qmf: no such item\n"_s),
            failing(run(u"find %1 --url gopher://example.com"_s), 2,
                    u"qmf: the scheme \"gopher\" is not one of ftp, ftps, http, https, ssh\n"_s),
            failing(run(u"find %1 --url https://x.org "_s + generic), 2,
                    u"qmf: give either --url, or --account and --service\n"_s),
            failing(run(u"list %1 --show-password"_s), 2,
                    u"qmf: --show-password is not an option of keychain list\n"_s),
            failing(run(u"remove %1"_s), 2,
                    u"qmf: keychain needs one of add, find, update, delete, list\n"_s),
    });

    // Attributes always, the password only when asked for.
    const Outcome found = runQmf(run(u"find %1 "_s + generic));
    EXPECT_EQ(found.status, 0) << qPrintable(found.err);
    EXPECT_TRUE(found.out.contains(u"account: joe\n"_s)
                && found.out.contains(u"service: mail\n"_s));
    EXPECT_FALSE(found.out.contains(u"n3w"_s));
    const Outcome shown = runQmf(run(u"find %1 --show-password "_s + internet));
    EXPECT_TRUE(shown.out.contains(u"port: 8443\n"_s)
                && shown.out.endsWith(u"password: hunter2\n"_s))
            << qPrintable(shown.out);
    EXPECT_TRUE(runQmf(run(u"find %1 --show-password "_s + generic))
                        .out.endsWith(u"password: n3w\n"_s));

    expectRuns({
            {run(u"delete %1 "_s + generic)},
            failing(run(u"delete %1 "_s + generic), 1, u"qmf: no such item\n"_s),
            failing(u"keychain list --file %1 --password-file %2"_s
                            .arg(dir.filePath(u"k.keychain"_s), wrongFile.fileName())
                            .split(u' '),
                    1,
                    u"qmf: The user name or passphrase you entered is not correct. (status -25293)\n"_s),
    });
}
