// The asynchronous forms of the credential store: the same script of calls run through the
// synchronous forms and through the futures gives the same results in both stores; keychain files
// are opened off the calling thread, with failures reaching onFailed() as QMErrors; and a cancel
// ends a wait for a file's lock. A Secret Service that never answers is in
// KeychainStalledServiceTest.cpp (a program of its own, on a bus of its own).

#include "KeychainTestSupport.h"
#include "support/Failures.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <condition_variable>
#include <mutex>
#include <ostream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <unistd.h>

using namespace Qt::Literals::StringLiterals;
using namespace KeychainTestSupport;

namespace {

// What one call came to: its status and, when it succeeded, its result in words.
struct Outcome
{
    OSStatus status = errSecSuccess;
    QString value;
    friend bool operator==(const Outcome &, const Outcome &) = default;
    friend std::ostream &operator<<(std::ostream &out, const Outcome &outcome)
    {
        return out << outcome.status << " " << outcome.value.toStdString();
    }
};

// An item's attributes but its reference and dates, which differ between two stores.
QString describe(const QMKeychainItem *item)
{
    if (!item)
        return u"(none)"_s;
    QStringList parts;
    const QVariantMap attributes = item->itemAttributes();
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        if (it.key() != QMKeychainValueRef && it.key() != QMKeychainAttrCreationDate
            && it.key() != QMKeychainAttrModificationDate)
            parts.append(it.key() + u'=' + it->toString());
    return parts.join(u", "_s);
}
template<typename T>
QString describe(const std::shared_ptr<T> &item)
{
    return describe(static_cast<const QMKeychainItem *>(item.get()));
}
QString describe(bool value)
{
    return value ? u"true"_s : u"false"_s;
}
template<typename T>
QString describe(const QList<T> &items)
{
    QStringList parts;
    for (const T &item : items)
        parts.append(describe(item));
    return u"["_s + parts.join(u" | "_s) + u"]"_s;
}
template<typename T>
QString describe(const std::optional<T> &value)
{
    return value ? describe(*value) : u"(none)"_s;
}

template<typename Call>
Outcome syncOutcome(Call call)
{
    QMError error;
    const auto value = call(&error);
    if (!error.isNull())
        return {statusOf(error), {}};
    return {errSecSuccess, describe(value)};
}

template<typename T>
Outcome asyncOutcome(const QFuture<T> &future)
{
    if (!waitFor(future))
        return {errSecSuccess, u"(still running)"_s};
    const QMError error = QMAsync::errorOf(future);
    if (!error.isNull())
        return {statusOf(error), {}};
    if (future.isCanceled())
        return {errSecSuccess, u"(cancelled)"_s};
    return {errSecSuccess, describe(future.result())};
}

// One step of the script, in both forms, and the status both must come to.
struct Step
{
    const char *name;
    OSStatus expected;
    std::function<Outcome(const QMKeychain::Ptr &)> sync;
    std::function<Outcome(const QMKeychain::Ptr &)> async;
};

const QUrl site(u"https://joe@example.com:8443/repo"_s);
const QUrl anyPort(u"https://joe@example.com/repo"_s);

QMGenericPasswordKeychainItem::Ptr commented(const QMKeychain::Ptr &keychain)
{
    auto item = keychain->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s);
    if (item)
        item->setComment(u"work"_s);
    return item;
}

QMGenericPasswordKeychainItem::Ptr unsaved(const QMKeychain::Ptr &keychain)
{
    return QMGenericPasswordKeychainItem::genericPasswordItemWithKeychain(keychain, u"new"_s,
                                                                          u"mail"_s, u"pw"_s);
}

const QList<Step> &script()
{
    using K = const QMKeychain::Ptr &;
    static const QList<Step> steps {
            {"add a generic password", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->addGenericPasswordWithAccount(u"joe"_s, u"mail"_s, u"one"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(
                         k->addGenericPasswordWithAccountAsync(u"joe"_s, u"mail"_s, u"one"_s));
             }},
            {"add it again", errSecDuplicateItem,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->addGenericPasswordWithAccount(u"joe"_s, u"mail"_s, u"two"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(
                         k->addGenericPasswordWithAccountAsync(u"joe"_s, u"mail"_s, u"two"_s));
             }},
            {"find it", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->findGenericPasswordItemForAccount(u"joe"_s, u"mail"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(
                         k->findGenericPasswordItemForAccountAsync(u"joe"_s, u"mail"_s));
             }},
            {"find none: a null item, no error", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->findGenericPasswordItemForAccount(u"nobody"_s, u"mail"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(
                         k->findGenericPasswordItemForAccountAsync(u"nobody"_s, u"mail"_s));
             }},
            {"update it", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->createOrUpdateGenericPasswordWithAccount(u"joe"_s, u"mail"_s,
                                                                        u"three"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(k->createOrUpdateGenericPasswordWithAccountAsync(
                         u"joe"_s, u"mail"_s, u"three"_s));
             }},
            {"create another", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->createOrUpdateGenericPasswordWithAccount(u"ann"_s, u"chat"_s,
                                                                        u"four"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(k->createOrUpdateGenericPasswordWithAccountAsync(
                         u"ann"_s, u"chat"_s, u"four"_s));
             }},
            {"add an internet password", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->addInternetPasswordWithURL(site, u"hunter2"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(k->addInternetPasswordWithURLAsync(site, u"hunter2"_s));
             }},
            {"find it by URL", errSecSuccess,
             [](K k) {
                 return syncOutcome(
                         [&](QMError *e) { return k->findInternetPasswordForURL(site, e); });
             },
             [](K k) {
                 return asyncOutcome(k->findInternetPasswordForURLAsync(site));
             }},
            {"find none on port 0", errSecSuccess,
             [](K k) {
                 return syncOutcome(
                         [&](QMError *e) { return k->findInternetPasswordForURL(anyPort, e); });
             },
             [](K k) {
                 return asyncOutcome(k->findInternetPasswordForURLAsync(anyPort));
             }},
            {"find all on any port", errSecSuccess,
             [](K k) {
                 return syncOutcome(
                         [&](QMError *e) { return k->findAllInternetPasswordsForURL(anyPort, e); });
             },
             [](K k) {
                 return asyncOutcome(k->findAllInternetPasswordsForURLAsync(anyPort));
             }},
            {"update the internet password", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) {
                     return k->createOrUpdateInternetPasswordWithURL(site, u"hunter3"_s, e);
                 });
             },
             [](K k) {
                 return asyncOutcome(
                         k->createOrUpdateInternetPasswordWithURLAsync(site, u"hunter3"_s));
             }},
            {"save a changed item", errSecSuccess,
             [](K k) {
                 const auto item = commented(k);
                 return syncOutcome([&](QMError *e) { return item && item->save(e); });
             },
             [](K k) {
                 const auto item = commented(k);
                 return item ? asyncOutcome(item->saveAsync()) : Outcome {1, u"(no item)"_s};
             }},
            {"delete an item never stored", errSecItemNotFound,
             [](K k) {
                 const auto item = unsaved(k);
                 return syncOutcome([&](QMError *e) { return item->destroy(e); });
             },
             [](K k) {
                 return asyncOutcome(unsaved(k)->destroyAsync());
             }},
            {"delete one", errSecSuccess,
             [](K k) {
                 const auto item = k->findGenericPasswordItemForAccount(u"ann"_s, u"chat"_s);
                 return syncOutcome([&](QMError *e) { return item && item->destroy(e); });
             },
             [](K k) {
                 const auto item = k->findGenericPasswordItemForAccount(u"ann"_s, u"chat"_s);
                 return item ? asyncOutcome(item->destroyAsync()) : Outcome {1, u"(no item)"_s};
             }},
            {"list the generic passwords", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) { return k->findAllGenericPasswords(e); });
             },
             [](K k) {
                 return asyncOutcome(k->findAllGenericPasswordsAsync());
             }},
            {"list the internet passwords", errSecSuccess,
             [](K k) {
                 return syncOutcome([&](QMError *e) { return k->findAllInternetPasswords(e); });
             },
             [](K k) {
                 return asyncOutcome(k->findAllInternetPasswordsAsync());
             }},
    };
    return steps;
}

// A password provider that records the thread it is asked on and, when held, answers only once
// the test opens it.
class ProviderGate
{
public:
    explicit ProviderGate(QString answer, bool heldUntilOpened = false)
        : m_answer(std::move(answer))
        , m_open(!heldUntilOpened)
    {
        QMKeychain::setPasswordProvider([this](const QString &) {
            std::unique_lock lock(m_mutex);
            m_thread = std::this_thread::get_id();
            m_changed.notify_all();
            m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_open; });
            return m_answer;
        });
    }
    ~ProviderGate() { QMKeychain::setPasswordProvider({}); }

    void open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    std::thread::id thread()
    {
        std::lock_guard lock(m_mutex);
        return m_thread;
    }

private:
    const QString m_answer;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open;
    std::thread::id m_thread;
};

} // namespace

// The script through both forms, in both stores: the same outcomes, step by step.
class KeychainAsyncStores : public testing::TestWithParam<bool>
{
protected:
    // A keychain with nothing in it: the shared test keyring emptied, or a new file.
    QMKeychain::Ptr emptyKeychain(const QString &name)
    {
        if (GetParam())
            return newFileKeychain(dir, name);
        const auto keychain = QMKeychain::defaultKeychain();
        QMError error;
        EXPECT_TRUE(keychain->findAllGenericPasswords(&error))
                << "The Secret Service is not reachable (" << error.code()
                << "): run this test through tests/keychain/with-keyring.sh, as ctest does";
        clear(keychain);
        return keychain;
    }

    QTemporaryDir dir;
};

TEST_P(KeychainAsyncStores, FuturesResolveAsTheSynchronousCallsReturn)
{
    QList<Outcome> synchronous;
    const auto first = emptyKeychain(u"sync.keychain"_s);
    ASSERT_TRUE(first);
    for (const Step &step : script())
        synchronous.append(step.sync(first));
    const auto second = emptyKeychain(u"async.keychain"_s);
    ASSERT_TRUE(second);
    for (qsizetype i = 0; i < script().size(); ++i) {
        const Step &step = script()[i];
        SCOPED_TRACE(step.name);
        const Outcome outcome = step.async(second);
        EXPECT_EQ(synchronous[i].status, step.expected) << synchronous[i];
        EXPECT_EQ(outcome, synchronous[i]);
    }
    // The listing steps saw what the others did.
    EXPECT_EQ(synchronous.at(script().size() - 2).value.toStdString(),
              "[account=joe, class=QMKeychainItemTypeGeneric, comment=work, label=mail, "
              "service=mail]");
    if (!GetParam())
        clear(second);
}

INSTANTIATE_TEST_SUITE_P(, KeychainAsyncStores, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &instance) {
                             return instance.param ? "File" : "Keyring";
                         });

// Opening a keychain file derives its key on a thread of the library: the provider is asked
// there, and the failures arrive as QMErrors through onFailed() (a provider that declines is a
// failure, errSecUserCanceled, not a cancelled future).
TEST(KeychainAsync, OpensKeychainFilesOffTheCallingThread)
{
    QTemporaryDir dir;
    const auto made = newFileKeychain(dir);
    ASSERT_TRUE(made);
    const QString path = made->path();

    {
        ProviderGate provider(password);
        const QFuture<QMKeychain::Ptr> opened = QMKeychain::openKeychainWithPathAsync(path, {});
        ASSERT_TRUE(waitFor(opened));
        ASSERT_TRUE(QMAsync::errorOf(opened).isNull())
                << qPrintable(QMAsync::errorOf(opened).localizedFailureReason());
        ASSERT_TRUE(opened.result());
        EXPECT_EQ(opened.result()->path(), path);
        EXPECT_NE(provider.thread(), std::thread::id());
        EXPECT_NE(provider.thread(), std::this_thread::get_id());
    }

    struct Row
    {
        const char *name;
        std::optional<QString> providerAnswer; // none: no provider
        QString password; // null: ask the provider
        bool create;
        OSStatus status;
    };
    const Row rows[] = {
            {"wrong password from the provider", u"guess"_s, {}, false, errSecAuthFailed},
            {"wrong password given", std::nullopt, u"guess"_s, false, errSecAuthFailed},
            {"the provider declines", QString(), {}, false, errSecUserCanceled},
            {"no provider", std::nullopt, {}, false, errSecInteractionNotAllowed},
            {"no file", std::nullopt, password, false, errSecNoSuchKeychain},
            {"a new file where one is", std::nullopt, password, true, errSecDuplicateKeychain},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<ProviderGate> provider;
        if (row.providerAnswer)
            provider.emplace(*row.providerAnswer, true);
        const QString at = row.status == errSecNoSuchKeychain ? dir.filePath(u"none"_s) : path;
        QFuture<QMKeychain::Ptr> future = row.create
                ? QMKeychain::keychainWithPathAsync(at, row.password)
                : QMKeychain::openKeychainWithPathAsync(at, row.password);
        QMError handled;
        if (provider) {
            // Attached while the provider holds the work.
            QFuture<QMKeychain::Ptr> recovered = future.onFailed([&](const QMError &error) {
                handled = error;
                return QMKeychain::Ptr();
            });
            provider->open();
            ASSERT_TRUE(waitFor(recovered));
            EXPECT_FALSE(recovered.isCanceled());
            EXPECT_EQ(recovered.result(), nullptr);
        } else {
            ASSERT_TRUE(waitFor(future));
            handled = QMAsync::errorOf(future);
        }
        EXPECT_EQ(statusOf(handled), row.status) << qPrintable(handled.localizedFailureReason());
    }

    // A new keychain file, made off the calling thread, opens with its password.
    const QString fresh = dir.filePath(u"fresh.keychain"_s);
    const QFuture<QMKeychain::Ptr> created = QMKeychain::keychainWithPathAsync(fresh, u"pw"_s);
    ASSERT_TRUE(waitFor(created));
    ASSERT_TRUE(created.result());
    EXPECT_TRUE(QMKeychain::openKeychainWithPath(fresh, u"pw"_s));

    // Contract violations throw before the call returns.
    EXPECT_EQ(TestSupport::failureOf([] { QMKeychain::openKeychainWithPathAsync({}, u"pw"_s); }),
              u"Invalid parameter not satisfying: path != nil"_s);
    EXPECT_EQ(TestSupport::failureOf([] { QMKeychain::keychainWithPathAsync({}, u"pw"_s); }),
              u"Invalid parameter not satisfying: path != nil"_s);
    EXPECT_EQ(TestSupport::failureOf([&] { made->findInternetPasswordForURLAsync(QUrl()); }),
              u"Invalid parameter not satisfying: URL != nil"_s);
    EXPECT_EQ(TestSupport::failureOf(
                      [&] { made->createOrUpdateInternetPasswordWithURLAsync(QUrl(), u"pw"_s); }),
              u"Invalid parameter not satisfying: URL != nil"_s);
}

// A call waiting for another holder of the file's lock stops waiting when its future is
// cancelled, and reads as cancelled; one that waits out the time-out fails as before.
TEST(KeychainAsync, CancellingEndsTheWaitForAFileLock)
{
    QTemporaryDir dir;
    const auto made = newFileKeychain(dir);
    ASSERT_TRUE(made);
    // Another open file description conflicts with the library's as another process's would.
    const int held = ::open(QFile::encodeName(made->path()).constData(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    {
        // Far longer than the wait for the future: only the cancel can end the call in time.
        const TimeoutScope timeout(std::chrono::minutes(10));
        // The call opens the file to lock it: from then on it waits for the lock.
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, QFile::encodeName(made->path()).constData(), IN_OPEN),
                  0);
        QFuture<QMKeychain::Ptr> opening
                = QMKeychain::openKeychainWithPathAsync(made->path(), password);
        pollfd opened {watch, POLLIN, 0};
        const int ready = ::poll(&opened, 1, 20000);
        ::close(watch);
        ASSERT_EQ(ready, 1) << "the call did not open the file";
        opening.cancel();
        ASSERT_TRUE(waitFor(opening)) << "the cancel did not end the wait for the lock";
        EXPECT_TRUE(opening.isCanceled());
        EXPECT_TRUE(QMAsync::errorOf(opening).isNull())
                << qPrintable(QMAsync::errorOf(opening).localizedFailureReason());
    }
    {
        const TimeoutScope timeout(std::chrono::milliseconds(50));
        const QFuture<QList<QMGenericPasswordKeychainItem::Ptr>> listed
                = made->findAllGenericPasswordsAsync();
        ASSERT_TRUE(waitFor(listed));
        const QMError error = QMAsync::errorOf(listed);
        EXPECT_EQ(statusOf(error), errSecIO);
        EXPECT_EQ(error.localizedFailureReason(),
                  u"Cannot read the keychain file %1: another process holds its lock (waited 50 "
                  "ms)."_s.arg(made->path()));
    }
    ::close(held);
    const QFuture<QList<QMGenericPasswordKeychainItem::Ptr>> listed
            = made->findAllGenericPasswordsAsync();
    ASSERT_TRUE(waitFor(listed));
    EXPECT_TRUE(QMAsync::errorOf(listed).isNull());
    EXPECT_TRUE(listed.result().isEmpty());
}
