// The credential store: the item model, query building, the protocol table and URL forms, then
// both stores (the desktop keyring and keychain files) through the same round trips. What only
// keychain files do is in KeychainFileTest.cpp. The keyring is a throw-away gnome-keyring that
// with-keyring.sh starts. What other programs see of the keyring's items is tested with
// secret-tool in tests/tools/KeychainCommandTest.cpp.

#include "KeychainTestSupport.h"
#include "support/Failures.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

using namespace Qt::Literals::StringLiterals;
using namespace KeychainTestSupport;

TEST(Keychain, ItemsKeepPendingChangesApartUntilSaved)
{
    QMGenericPasswordKeychainItem item(nullptr, {{QMKeychainAttrAccount, u"stored"_s}});
    EXPECT_FALSE(item.isNew());
    EXPECT_FALSE(item.isModified());
    EXPECT_TRUE(item.keychain()->isDefaultKeychain());
    item.setAccount(u"pending"_s);
    item.setAccount(QString()); // ignored
    EXPECT_TRUE(item.isModified());
    EXPECT_EQ(item.account(), u"pending"_s);
    EXPECT_EQ(item.itemAttributes().value(QMKeychainAttrAccount), u"stored"_s);

    // Nothing pending: no save, and the error out-parameter is emptied.
    QMGenericPasswordKeychainItem clean;
    QMError error(u"stale"_s, 1);
    EXPECT_FALSE(clean.save(&error));
    EXPECT_TRUE(error.isNull());

    QMInternetPasswordKeychainItem internet(
            nullptr, {{QMKeychainAttrPort, 0}, {QMKeychainAttrProtocol, u"SSH"_s}});
    EXPECT_EQ(internet.port(), std::nullopt);
    internet.setPort(0);
    internet.setPath(u""_s);
    internet.setProtocol(u"gopher"_s);
    EXPECT_FALSE(internet.isModified());
    EXPECT_EQ(internet.protocol(), u"ssh"_s);
}

TEST(Keychain, QueriesCarryClassLimitsAndKeychain)
{
    QTemporaryDir dir;
    const auto file = newFileKeychain(dir);
    const QVariantMap attributes {
            {QMKeychainAttrAccount, u"joe"_s},
            {QMKeychainAttrCreationDate, QDateTime::currentDateTimeUtc()},
            {QMKeychainAttrModificationDate, QDateTime::currentDateTimeUtc()}};
    const QVariantMap onDefault = QMInternetPasswordKeychainItem::queryAttributesWithAttributes(
            attributes, QMKeychain::defaultKeychain());
    const QVariantMap expected {{QMKeychainAttrAccount, u"joe"_s},
                                {QMKeychainAttrClass, QMKeychainItemTypeInternetPassword},
                                {QMKeychainMatchLimit, QMKeychainMatchLimitOne},
                                {QMKeychainReturnData, true},
                                {QMKeychainReturnAttributes, true},
                                {QMKeychainReturnRef, true}};
    EXPECT_EQ(onDefault, expected);
    const QVariantMap onFile
            = QMGenericPasswordKeychainItem::queryAttributesWithAttributes(attributes, file);
    EXPECT_EQ(onFile.value(QMKeychainAttrClass), QMKeychainItemTypeGeneric);
    EXPECT_EQ(onFile.value(QMKeychainUseKeychain).value<QMKeychainRef>(), file->keychainRef());
    EXPECT_EQ(onFile.value(QMKeychainMatchSearchList).value<QList<QMKeychainRef>>(),
              QList<QMKeychainRef> {file->keychainRef()});
    EXPECT_FALSE(QMKeychainItem::queryAttributesWithAttributes(attributes, file)
                         .contains(QMKeychainAttrClass));
}

TEST(Keychain, ProtocolTableBothWays)
{
    struct Row
    {
        QString scheme, stored, readBack;
    };
    const Row rows[] = {
            {u"ftp"_s, u"FTP"_s, u"ftp"_s},     {u"ftps"_s, u"FTPS"_s, u"ftps"_s},
            {u"http"_s, u"HTTP"_s, u"http"_s},  {u"https"_s, u"HTTPS"_s, u"https"_s},
            {u"ssh"_s, u"SSH"_s, u"ssh"_s},     {u"svn+ssh"_s, u"SSH"_s, u"ssh"_s},
            {u"git+ssh"_s, u"SSH"_s, u"ssh"_s}, {u"gopher"_s, QString(), QString()},
            {u"HTTP"_s, QString(), QString()},  {QString(), QString(), QString()},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.scheme.toStdString());
        const QString stored
                = QMInternetPasswordKeychainItem::secProtocolTypeForProtocol(row.scheme);
        EXPECT_EQ(stored, row.stored);
        EXPECT_EQ(QMInternetPasswordKeychainItem::protocolForSecProtocolType(stored), row.readBack);
        EXPECT_EQ(QMKeychain::supportsProtocol(row.scheme),
                  !row.stored.isNull() && row.scheme == row.readBack);
    }
}

TEST(Keychain, NormalizedURLs)
{
    const std::pair<const char *, const char *> rows[] = {
            // User, password, port, "." component, query and fragment.
            {"https://joe:pw@example.com:8443/a/./b?q=1#top", "https://joe@example.com:8443/a/b/"},
            {"https://example.com/a/../b//c/", "https://example.com/b/c/"},
            {"http://example.com/", "http://example.com"},
            {"http://joe@example.com", "http://joe@example.com"},
            {"ssh://example.com:22/a%2Fb", "ssh://example.com:22/a%2Fb/"},
    };
    for (const auto &[input, expected] : rows) {
        SCOPED_TRACE(input);
        EXPECT_EQ(QMKeychainURL::normalizedKeychainURL(QUrl(QString::fromUtf8(input)))
                          .toString(QUrl::FullyEncoded),
                  QString::fromUtf8(expected));
    }
}

TEST(Keychain, ErrorsAndContracts)
{
    struct Row
    {
        OSStatus status;
        const char *message;
    };
    const Row rows[] = {
            {errSecItemNotFound, "The specified item could not be found in the keychain."},
            {errSecDuplicateItem, "The specified item already exists in the keychain."},
            {errSecAuthFailed, "The user name or passphrase you entered is not correct."},
            {errSecNoSuchKeychain, "The specified keychain could not be found."},
            {errSecInteractionNotAllowed, "User interaction is not allowed."},
            {errSecParam, "One or more parameters passed to a function were not valid."},
            {errSecRdPerm, "Read permissions error."},
            {errSecWrPerm, "Write permissions error."},
            {errSecDecode, "Unable to decode the provided data."},
            {errSecDataTooLarge,
             "This item contains information which is too large or in a format that cannot be "
             "displayed."},
            {-12345, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.status);
        const QMError error = QMKeychainErrors::keychainErrorFromOSStatus(row.status);
        EXPECT_EQ(error.domain(), u"QMKeychainErrorDomain"_s);
        EXPECT_EQ(error.code(), row.status);
        if (row.message) {
            EXPECT_EQ(error.localizedDescription(), QString::fromUtf8(row.message));
            EXPECT_EQ(error.localizedFailureReason(), QString::fromUtf8(row.message));
        } else {
            EXPECT_TRUE(error.userInfo().isEmpty());
        }
    }
    // The detail of one failure goes beside the status's message, not in its place.
    const QMError detailed = QMKeychainErrors::keychainError(
            errSecRdPerm, u"Cannot read the keychain file /k: Permission denied."_s, u"/k"_s);
    EXPECT_EQ(detailed.localizedDescription(), u"Read permissions error."_s);
    EXPECT_EQ(detailed.localizedFailureReason(),
              u"Cannot read the keychain file /k: Permission denied."_s);
    EXPECT_EQ(detailed.userInfo().value(QMKeychainErrorPathKey), u"/k"_s);
    EXPECT_EQ(QMKeychainErrors::keychainError(errSecIO, QString()).userInfo(),
              QMKeychainErrors::keychainErrorFromOSStatus(errSecIO).userInfo());

    EXPECT_EQ(TestSupport::failureOf([] {
                  QMInternetPasswordKeychainItem::findInternetPasswordForURL(QUrl(), nullptr);
              }),
              u"Invalid parameter not satisfying: URL != nil"_s);
    EXPECT_EQ(TestSupport::failureOf([] { QMKeychain::keychainWithPath(QString(), u"pw"_s); }),
              u"Invalid parameter not satisfying: path != nil"_s);
    try {
        QMKeychain::defaultKeychain()->destroy();
        ADD_FAILURE() << "destroying the default keychain did not throw";
    } catch (const std::invalid_argument &exception) {
        EXPECT_STREQ(exception.what(), "The user's default keychain cannot be deleted.");
    }
}

// The same round trips through the desktop keyring and through a keychain file.
class KeychainStores : public testing::TestWithParam<bool>
{
protected:
    void SetUp() override
    {
        if (GetParam()) {
            keychain = newFileKeychain(dir);
            return;
        }
        keychain = QMKeychain::defaultKeychain();
        QMError error;
        ASSERT_TRUE(keychain->findAllGenericPasswords(&error))
                << "The Secret Service is not reachable (" << error.code() << ": "
                << qPrintable(error.localizedDescription())
                << "): run this test through tests/keychain/with-keyring.sh, as ctest does";
        clear(keychain);
    }

    QTemporaryDir dir;
    QMKeychain::Ptr keychain;
};

TEST_P(KeychainStores, GenericPasswordsRoundTrip)
{
    QMError error;
    auto added
            = keychain->addGenericPasswordWithAccount(u"joe"_s, u"mail"_s, u"pässwörd"_s, &error);
    ASSERT_TRUE(added) << qPrintable(error.localizedDescription());
    EXPECT_FALSE(added->isNew());
    EXPECT_FALSE(added->isModified());
    EXPECT_TRUE(added->creationDate().isValid());
    EXPECT_EQ(added->label(), u"mail"_s);

    // A second item with the same account and service is refused; other pairs are not.
    EXPECT_FALSE(keychain->addGenericPasswordWithAccount(u"joe"_s, u"mail"_s, u"x"_s, &error));
    EXPECT_EQ(statusOf(error), errSecDuplicateItem);
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"ann"_s, u"mail"_s, u"a"_s, &error));
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"joe"_s, u"chat"_s, u"c"_s, &error));

    auto found = keychain->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s, &error);
    ASSERT_TRUE(found) << qPrintable(error.localizedDescription());
    EXPECT_EQ(found->password(), u"pässwörd"_s);
    EXPECT_EQ(found->keychainItemRef(), added->keychainItemRef());
    EXPECT_TRUE(found->description().contains(u"password: pässwörd"_s));

    found->setComment(u"work"_s);
    found->setGenericData(QByteArray("\x00\xff", 2));
    found->setInvisible(true);
    found->setPassword(u"new"_s);
    ASSERT_TRUE(found->save(&error)) << qPrintable(error.localizedDescription());
    auto again = keychain->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s, &error);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->password(), u"new"_s);
    EXPECT_EQ(again->comment(), u"work"_s);
    EXPECT_EQ(again->genericData(), QByteArray("\x00\xff", 2));
    EXPECT_TRUE(again->isInvisible());
    EXPECT_FALSE(again->isNegative());

    // Renaming onto another item's key is refused and leaves the change pending.
    again->setAccount(u"ann"_s);
    EXPECT_FALSE(again->save(&error));
    EXPECT_EQ(statusOf(error), errSecDuplicateItem);
    EXPECT_TRUE(again->isModified());

    // Oldest first, without passwords.
    const auto all = keychain->findAllGenericPasswords(&error);
    ASSERT_TRUE(all);
    QStringList order;
    for (const auto &item : *all) {
        order.append(item->account() + u'/' + item->service());
        EXPECT_TRUE(item->password().isNull());
    }
    EXPECT_EQ(order, (QStringList {u"joe/mail"_s, u"ann/mail"_s, u"joe/chat"_s}));

    // Create or update: one update, one creation.
    auto updated = keychain->createOrUpdateGenericPasswordWithAccount(u"ann"_s, u"mail"_s, u"b"_s,
                                                                      &error);
    ASSERT_TRUE(updated);
    auto created = keychain->createOrUpdateGenericPasswordWithAccount(u"bob"_s, u"mail"_s, u"c"_s,
                                                                      &error);
    ASSERT_TRUE(created);
    EXPECT_EQ(keychain->findAllGenericPasswords()->size(), 4);
    EXPECT_EQ(keychain->findGenericPasswordItemForAccount(u"ann"_s, u"mail"_s)->password(), u"b"_s);

    ASSERT_TRUE(found->destroy(&error)) << qPrintable(error.localizedDescription());
    EXPECT_FALSE(found->destroy(&error));
    EXPECT_EQ(statusOf(error), errSecItemNotFound);
    error = QMError(u"stale"_s, 1);
    EXPECT_FALSE(keychain->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s, &error));
    EXPECT_TRUE(error.isNull());
}

// A text that begins with U+FEFF keeps it (UTF-8 readers tend to drop it as a byte-order mark):
// the item is found by what it was stored under, and reads back as it was written.
TEST_P(KeychainStores, TextsComeBackExactly)
{
    const QString bom(QChar(0xFEFF));
    const QString account = bom + u"joe"_s;
    const QString service = bom + u"mail"_s;
    const QString markedPassword = bom + u"pw"_s;
    QMError error;
    auto added = keychain->addGenericPasswordWithAccount(account, service, markedPassword, &error);
    ASSERT_TRUE(added) << qPrintable(error.localizedDescription());
    added->setComment(bom);
    ASSERT_TRUE(added->save(&error)) << qPrintable(error.localizedDescription());
    // Another item under the same texts without the mark is another item.
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"joe"_s, u"mail"_s, u"x"_s, &error));

    if (GetParam())
        keychain
                = QMKeychain::openKeychainWithPath(keychain->path(), KeychainTestSupport::password);
    ASSERT_TRUE(keychain);
    auto found = keychain->findGenericPasswordItemForAccount(account, service, &error);
    ASSERT_TRUE(found) << qPrintable(error.localizedDescription());
    EXPECT_EQ(found->account(), account);
    EXPECT_EQ(found->service(), service);
    EXPECT_EQ(found->password(), markedPassword);
    EXPECT_EQ(found->label(), service);
    EXPECT_EQ(found->comment(), bom);
    const auto all = keychain->findAllGenericPasswords(&error);
    ASSERT_TRUE(all);
    QStringList accounts;
    for (const auto &item : *all)
        accounts.append(item->account());
    EXPECT_EQ(accounts, QStringList({account, u"joe"_s}));
}

TEST_P(KeychainStores, InternetPasswordsByURL)
{
    QMError error;
    // git+ssh is filed as SSH and reads back as "ssh"; without a port the item has port 0.
    auto noPort = keychain->addInternetPasswordWithURL(QUrl(u"git+ssh://joe@example.com/repo"_s),
                                                       u"one"_s, &error);
    ASSERT_TRUE(noPort) << qPrintable(error.localizedDescription());
    EXPECT_EQ(noPort->protocol(), u"ssh"_s);
    EXPECT_EQ(noPort->port(), std::nullopt);
    EXPECT_EQ(noPort->host(), u"example.com"_s);
    EXPECT_EQ(noPort->path(), u"/repo"_s);
    ASSERT_TRUE(keychain->addInternetPasswordWithURL(QUrl(u"ssh://joe@example.com:2222/repo"_s),
                                                     u"two"_s, &error));
    EXPECT_FALSE(keychain->addInternetPasswordWithURL(QUrl(u"ssh://joe@example.com/repo"_s),
                                                      u"three"_s, &error));
    EXPECT_EQ(statusOf(error), errSecDuplicateItem);

    struct Row
    {
        const char *url;
        const char *password; // of the single lookup; nullptr: none found
        qsizetype all; // items of the list lookup
    };
    const Row rows[] = {
            // A single lookup without a port matches only port 0; the list lookup any port.
            {"ssh://joe@example.com/repo", "one", 2},
            {"ssh://joe@example.com:2222/repo", "two", 1},
            // The single lookup lower-cases the scheme.
            {"SSH://joe@example.com:2222/repo", "two", 1},
            {"ssh://ann@example.com/repo", nullptr, 0},
            {"ssh://joe@example.com/other", nullptr, 0},
            // A scheme outside the table leaves the protocol out of the query.
            {"gopher://joe@example.com/repo", "one", 2},
            // Without user and path, any account and path match.
            {"ssh://example.com", "one", 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.url);
        const QUrl url(QString::fromUtf8(row.url));
        const auto one = keychain->findInternetPasswordForURL(url, &error);
        if (row.password)
            EXPECT_TRUE(one && one->password() == QString::fromUtf8(row.password));
        else
            EXPECT_FALSE(one);
        const auto all = keychain->findAllInternetPasswordsForURL(url, &error);
        ASSERT_TRUE(all);
        EXPECT_EQ(all->size(), row.all);
    }
    EXPECT_EQ(keychain->findAllInternetPasswords()->size(), 2);

    auto updated = keychain->createOrUpdateInternetPasswordWithURL(
            QUrl(u"ssh://joe@example.com/repo"_s), u"four"_s, &error);
    ASSERT_TRUE(updated);
    EXPECT_EQ(updated->keychainItemRef(), noPort->keychainItemRef());
    EXPECT_EQ(
            keychain->findInternetPasswordForURL(QUrl(u"ssh://joe@example.com/repo"_s))->password(),
            u"four"_s);
    ASSERT_TRUE(keychain->createOrUpdateInternetPasswordWithURL(QUrl(u"https://example.org"_s),
                                                                u"five"_s, &error));
    EXPECT_EQ(keychain->findAllInternetPasswords()->size(), 3);
}

TEST_P(KeychainStores, RefusesUnknownAttributesAndRemovesUnsetOnes)
{
    const std::pair<QString, QVariant> rows[] = {
            {u"acount"_s, u"misspelt"_s},
            {QMKeychainAttrAccount, 42},
            {QMKeychainAttrIsInvisible, u"yes"_s},
            {QMKeychainAttrGeneric, u"text"_s},
    };
    for (const auto &[key, value] : rows) {
        SCOPED_TRACE(key.toStdString());
        auto item = QMGenericPasswordKeychainItem::genericPasswordItemWithKeychain(
                keychain, u"joe"_s, u"svc"_s, u"pw"_s);
        item->setObject(value, key);
        QMError error;
        EXPECT_FALSE(item->save(&error));
        EXPECT_EQ(statusOf(error), errSecParam);
        EXPECT_FALSE(
                QMKeychainItem::findKeychainItemWithAttributes({{key, value}}, keychain, &error));
        EXPECT_EQ(statusOf(error), errSecParam);
    }
    auto item = keychain->addGenericPasswordWithAccount(u"joe"_s, u"svc"_s, u"pw"_s);
    ASSERT_TRUE(item);
    item->setComment(u"note"_s);
    ASSERT_TRUE(item->save());
    item->setComment(QString());
    ASSERT_TRUE(item->save());
    EXPECT_TRUE(
            keychain->findGenericPasswordItemForAccount(u"joe"_s, u"svc"_s)->comment().isNull());
}

// A deletion or an update acts on one item that its query names; attributes that are missing
// never widen it to every item of a class.
TEST_P(KeychainStores, DeletesAndUpdatesNameOneItem)
{
    QMError error;
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"joe"_s, u"mail"_s, u"1"_s, &error));
    ASSERT_TRUE(keychain->addGenericPasswordWithAccount(u"ann"_s, u"mail"_s, u"2"_s, &error));
    ASSERT_TRUE(keychain->addInternetPasswordWithURL(QUrl(u"https://joe@example.com/x"_s), u"3"_s,
                                                     &error));
    const auto count = [&] {
        return keychain->findAllGenericPasswords()->size()
                + keychain->findAllInternetPasswords()->size();
    };

    // Never stored: nothing to delete.
    auto unsaved = QMGenericPasswordKeychainItem::genericPasswordItemWithKeychain(
            keychain, u"joe"_s, u"mail"_s, u"1"_s);
    EXPECT_FALSE(unsaved->destroy(&error));
    EXPECT_EQ(statusOf(error), errSecItemNotFound);
    QMGenericPasswordKeychainItem blank(keychain);
    EXPECT_FALSE(blank.destroy(&error));
    EXPECT_EQ(statusOf(error), errSecItemNotFound);
    EXPECT_EQ(count(), 3);

    // Stored attributes without a reference that leave the item open: refused, whether deleting
    // or saving a change.
    const std::pair<const char *, std::shared_ptr<QMKeychainItem>> refused[] = {
            {"a generic password by account alone",
             std::make_shared<QMGenericPasswordKeychainItem>(
                     keychain, QVariantMap {{QMKeychainAttrAccount, u"joe"_s}})},
            {"no class, by label",
             std::make_shared<QMKeychainItem>(keychain,
                                              QVariantMap {{QMKeychainAttrLabel, u"mail"_s}})},
            {"an internet password by server and account",
             std::make_shared<QMInternetPasswordKeychainItem>(
                     keychain,
                     QVariantMap {{QMKeychainAttrServer, u"example.com"_s},
                                  {QMKeychainAttrAccount, u"joe"_s}})},
    };
    for (const auto &[name, item] : refused) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(item->destroy(&error));
        EXPECT_EQ(statusOf(error), errSecParam);
        EXPECT_TRUE(error.localizedFailureReason().contains(u"must name one item"_s))
                << qPrintable(error.localizedFailureReason());
        item->setObject(u"changed"_s, QMKeychainAttrComment);
        EXPECT_FALSE(item->save(&error));
        EXPECT_EQ(statusOf(error), errSecParam);
    }
    EXPECT_EQ(count(), 3);
    EXPECT_TRUE(
            keychain->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s)->comment().isNull());

    // The whole key names one item.
    QMGenericPasswordKeychainItem byKey(
            keychain, {{QMKeychainAttrAccount, u"ann"_s}, {QMKeychainAttrService, u"mail"_s}});
    ASSERT_TRUE(byKey.destroy(&error)) << qPrintable(error.localizedFailureReason());
    EXPECT_EQ(count(), 2);
    EXPECT_TRUE(keychain->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s));
}

INSTANTIATE_TEST_SUITE_P(, KeychainStores, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &instance) {
                             return instance.param ? "KeychainFile" : "SecretService";
                         });
