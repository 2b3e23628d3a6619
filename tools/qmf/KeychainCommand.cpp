#include "KeychainCommand.h"

#include <QMFoundation/keychain/QMKeychain.h>
#include <QMFoundation/rest/QMCommon.h>

#include <QFile>
#include <QTemporaryDir>

#include <termios.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Options
{
    QMOptionPtr account = QMOption::optionWithFlag(QString(), u"account"_s,
                                                   u"The account of a generic password"_s,
                                                   u"ACCOUNT"_s, QMOptionTypeString, false);
    QMOptionPtr service = QMOption::optionWithFlag(QString(), u"service"_s,
                                                   u"The service of a generic password"_s,
                                                   u"SERVICE"_s, QMOptionTypeString, false);
    QMOptionPtr url = QMOption::optionWithFlag(
            QString(), u"url"_s,
            u"The URL of an internet password (user, scheme, host, port, path)"_s, u"URL"_s,
            QMOptionTypeString, false);
    QMOptionPtr file = QMOption::optionWithFlag(
            QString(), u"file"_s, u"Use the keychain file PATH instead of the default keychain"_s,
            u"PATH"_s, QMOptionTypeString, false);
    QMOptionPtr passwordFile = QMOption::optionWithFlag(
            QString(), u"password-file"_s,
            u"Read the keychain file's password from the first line of PATH (default: ask on the "
            "terminal)"_s,
            u"PATH"_s, QMOptionTypeString, false);
    QMOptionPtr secretFile = QMOption::optionWithFlag(
            QString(), u"secret-file"_s,
            u"Read the item's password from the first line of PATH (default: ask on the "
            "terminal)"_s,
            u"PATH"_s, QMOptionTypeString, false);
    QMOptionPtr secretStdin = QMOption::optionWithFlag(
            QString(), u"secret-stdin"_s,
            u"Read the item's password from the first line of the standard input"_s, QString(),
            QMOptionTypeNone, false);
    QMOptionPtr create = QMOption::optionWithFlag(
            QString(), u"create"_s, u"Make the keychain file of --file when it does not exist"_s,
            QString(), QMOptionTypeNone, false);
    QMOptionPtr showPassword = QMOption::optionWithFlag(QString(), u"show-password"_s,
                                                        u"Print the item's password too"_s,
                                                        QString(), QMOptionTypeNone, false);
    QMOptionPtr timeout = QMOption::optionWithFlag(
            QString(), u"timeout"_s,
            u"Wait at most SECONDS for the desktop keyring or another process's lock on the "
            "keychain file (default 5)"_s,
            u"SECONDS"_s, QMOptionTypeNumber, false);
};

const Options &options()
{
    static const Options shared;
    return shared;
}

QString text(Invocation &invocation, const QMOptionPtr &option)
{
    const QVariant value = invocation.value(option);
    return value.isValid() ? value.toString() : QString();
}

// The status's message, then what happened where the error says more (the file, the system's
// reason, a time-out).
int keychainFailure(Invocation &invocation, const QMError &error)
{
    invocation.err << "qmf: " << error.localizedDescription();
    const QString reason = error.localizedFailureReason();
    if (!reason.isEmpty() && reason != error.localizedDescription())
        invocation.err << " " << reason;
    invocation.err << " (status " << error.code() << ")" << Qt::endl;
    return 1;
}

// The longest password qmf reads from a file or the standard input: as much as a keychain file
// may hold (64 MiB), so that the keychain has the last word on what it takes.
constexpr qsizetype MaximumSecretSize = 64 * 1024 * 1024;

// What the terminal gave for a prompt.
struct TerminalAnswer
{
    bool hasTerminal = false;
    /// The line typed, without its line break; std::nullopt when the input ended (Ctrl-D, a
    /// hang-up) or failed before a line break: a broken-off line is no answer.
    std::optional<QString> line;
};

// A line typed on the terminal without echo.
TerminalAnswer askOnTerminal(const QString &prompt)
{
    QFile tty(u"/dev/tty"_s);
    if (!tty.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return {};
    tty.write(prompt.toUtf8());
    termios saved {};
    const bool isTerminal = tcgetattr(tty.handle(), &saved) == 0;
    if (isTerminal) {
        termios silent = saved;
        silent.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(tty.handle(), TCSAFLUSH, &silent);
    }
    QByteArray line;
    char c = 0;
    bool ended = false;
    while (tty.getChar(&c)) {
        if (c == '\n') {
            ended = true;
            break;
        }
        line.append(c);
    }
    if (isTerminal)
        tcsetattr(tty.handle(), TCSAFLUSH, &saved);
    tty.write("\n");
    TerminalAnswer answer {true, std::nullopt};
    if (ended)
        answer.line = QString::fromUtf8(line);
    return answer;
}

// The first line of the file of `option`, of the standard input (with `fromStdin`), or the
// terminal's answer.
std::optional<QString> readSecret(Invocation &invocation, const QMOptionPtr &option,
                                  const QString &prompt, const QMOptionPtr &fromStdin = nullptr)
{
    const bool stdinGiven = fromStdin && invocation.has(fromStdin);
    if (stdinGiven && invocation.has(option)) {
        invocation.usageError(
                u"give either --%1 or --%2"_s.arg(option->alias(), fromStdin->alias()));
        return std::nullopt;
    }
    if (invocation.has(option) || stdinGiven) {
        // The first line, read no further: a file without line breaks (/dev/zero) must not
        // fill memory.
        const auto line = invocation.readFirstLine(
                stdinGiven ? QString() : text(invocation, option), MaximumSecretSize);
        if (!line)
            return std::nullopt;
        return QString::fromUtf8(*line);
    }
    const TerminalAnswer answer = askOnTerminal(prompt);
    if (!answer.hasTerminal) {
        invocation.usageError(
                u"no terminal to ask for the password on: use %1"_s.arg(u"--"_s + option->alias()));
        return std::nullopt;
    }
    if (!answer.line) {
        invocation.usageError(u"no password: the terminal's input ended before a line break"_s);
        return std::nullopt;
    }
    return answer.line;
}

// The password of the keychain file of --file; nullopt when it could not be read (reported).
std::optional<QString> readKeychainPassword(Invocation &invocation)
{
    return readSecret(invocation, options().passwordFile,
                      u"Password of the keychain %1: "_s.arg(text(invocation, options().file)));
}

// The keychain of --file, opened (or made, with --create) with `password`, or the default one.
QMKeychain::Ptr openKeychain(Invocation &invocation, const std::optional<QString> &password,
                             QMError *error)
{
    if (!invocation.has(options().file))
        return QMKeychain::defaultKeychain();
    const QString path = text(invocation, options().file);
    if (invocation.has(options().create) && !QFile::exists(path))
        return QMKeychain::keychainWithPath(path, password.value_or(QString()), error);
    return QMKeychain::openKeychainWithPath(path, password.value_or(QString()), error);
}

// Prints every item of `keychain` as `qmf keychain list` does, each line after `indent`: generic
// passwords as "generic TAB account TAB service", then internet passwords as "internet TAB URL".
bool listItems(QMKeychain &keychain, QTextStream &out, const QString &indent, QMError *error)
{
    const auto generic = keychain.findAllGenericPasswords(error);
    const auto internet = generic ? keychain.findAllInternetPasswords(error) : std::nullopt;
    if (!internet)
        return false;
    for (const auto &item : *generic)
        out << indent << "generic\t" << item->account() << "\t" << item->service() << "\n";
    for (const auto &item : *internet) {
        const QUrl url = QMCommon::URLWithScheme(item->protocol(), item->account(), item->host(),
                                                 item->port().value_or(-1), item->path(), QString(),
                                                 QString());
        out << indent << "internet\t" << url.toString() << "\n";
    }
    return true;
}

// What the command addresses: a generic password (account and service) or an internet one (URL).
struct Target
{
    bool internet = false;
    QString account, service;
    QUrl url;
};

std::optional<Target> readTarget(Invocation &invocation)
{
    Target target;
    target.internet = invocation.has(options().url);
    if (target.internet
        == (invocation.has(options().account) || invocation.has(options().service))) {
        invocation.usageError(u"give either --url, or --account and --service"_s);
        return std::nullopt;
    }
    if (target.internet) {
        target.url = QUrl(text(invocation, options().url), QUrl::StrictMode);
        if (!target.url.isValid() || target.url.host().isEmpty()) {
            invocation.usageError(
                    u"\"%1\" is not a URL with a host"_s.arg(text(invocation, options().url)));
            return std::nullopt;
        }
        if (!QMKeychain::supportsProtocol(target.url.scheme())) {
            invocation.usageError(
                    u"the scheme \"%1\" is not one of ftp, ftps, http, https, ssh"_s.arg(
                            target.url.scheme()));
            return std::nullopt;
        }
    } else {
        target.account = text(invocation, options().account);
        target.service = text(invocation, options().service);
    }
    return target;
}

void printItem(QTextStream &out, const QMPasswordKeychainItem &item, const QVariantMap &attributes,
               bool showPassword)
{
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        out << it.key() << ": " << it->toString() << "\n";
    if (!item.comment().isNull())
        out << "comment: " << item.comment() << "\n";
    if (showPassword)
        out << "password: " << item.password() << "\n";
}

int run(Invocation &invocation)
{
    // The action is an argument rather than a sub-command: sub-command names are recognised
    // anywhere on the command line, and "delete" or "list" are arguments of other commands.
    const QStringList actions {u"add"_s, u"find"_s, u"update"_s, u"delete"_s, u"list"_s};
    if (invocation.arguments().size() != 1 || !actions.contains(invocation.arguments().first()))
        return invocation.usageError(u"keychain needs one of add, find, update, delete, list"_s);
    const QString action = invocation.arguments().first();
    const Options &o = options();
    const std::pair<QMOptionPtr, QStringList> only[] = {
            {o.create, {u"add"_s}},
            {o.secretFile, {u"add"_s, u"update"_s}},
            {o.secretStdin, {u"add"_s, u"update"_s}},
            {o.showPassword, {u"find"_s}},
            {o.account, QStringList(actions.mid(0, 4))},
            {o.service, QStringList(actions.mid(0, 4))},
            {o.url, QStringList(actions.mid(0, 4))},
    };
    for (const auto &[option, allowed] : only)
        if (invocation.has(option) && !allowed.contains(action))
            return invocation.usageError(
                    u"--%1 is not an option of keychain %2"_s.arg(option->alias(), action));
    std::optional<Target> target;
    if (action != u"list"_s && !(target = readTarget(invocation)))
        return 2;
    // The time-out is the process's; qmf runs in-process in the tests, so it is put back after.
    struct TimeoutScope
    {
        const std::chrono::milliseconds previous = QMKeychain::timeout();
        ~TimeoutScope() { QMKeychain::setTimeout(previous); }
    } timeoutScope;
    if (invocation.has(o.timeout)) {
        const double seconds = invocation.value(o.timeout).toDouble();
        if (!(seconds >= 0 && seconds <= 24 * 3600))
            return invocation.usageError(u"--timeout takes a number of seconds from 0 to 86400"_s);
        QMKeychain::setTimeout(std::chrono::milliseconds(qint64(seconds * 1000)));
    }
    // Every password is read before the keychain is opened: an add that cannot have its item's
    // password must not make the keychain file of --create.
    std::optional<QString> password;
    if (invocation.has(o.file) && !(password = readKeychainPassword(invocation)))
        return 2;
    std::optional<QString> secret;
    if (action == u"add"_s
        && !(secret
             = readSecret(invocation, o.secretFile, u"Password of the item: "_s, o.secretStdin)))
        return 2;
    QMError error;
    const QMKeychain::Ptr keychain = openKeychain(invocation, password, &error);
    if (!keychain)
        return keychainFailure(invocation, error);

    if (action == u"list"_s)
        return listItems(*keychain, invocation.out, QString(), &error)
                ? 0
                : keychainFailure(invocation, error);

    if (action == u"add"_s) {
        const bool added = target->internet
                ? bool(keychain->addInternetPasswordWithURL(target->url, *secret, &error))
                : bool(keychain->addGenericPasswordWithAccount(target->account, target->service,
                                                               *secret, &error));
        return added ? 0 : keychainFailure(invocation, error);
    }

    std::shared_ptr<QMPasswordKeychainItem> item;
    QVariantMap attributes;
    if (target->internet) {
        auto found = keychain->findInternetPasswordForURL(target->url, &error);
        if (found)
            attributes = found->dictionaryRepresentation();
        item = found;
    } else {
        auto found = keychain->findGenericPasswordItemForAccount(target->account, target->service,
                                                                 &error);
        if (found)
            attributes = found->dictionaryRepresentation();
        item = found;
    }
    if (!item) {
        if (!error.isNull())
            return keychainFailure(invocation, error);
        invocation.err << "qmf: no such item" << Qt::endl;
        return 1;
    }
    if (action == u"find"_s) {
        printItem(invocation.out, *item, attributes, invocation.has(options().showPassword));
        return 0;
    }
    if (action == u"update"_s) {
        // Asked only once the item is found.
        secret = readSecret(invocation, options().secretFile, u"New password of the item: "_s,
                            options().secretStdin);
        if (!secret)
            return 2;
        item->setPassword(*secret);
        return item->save(&error) ? 0 : keychainFailure(invocation, error);
    }
    return item->destroy(&error) ? 0 : keychainFailure(invocation, error);
}

} // namespace

ToolCommand KeychainCommand::command()
{
    const Options &o = options();
    return ToolCommand::make(
            u"keychain"_s,
            {o.account, o.service, o.url, o.file, o.passwordFile, o.secretFile, o.secretStdin,
             o.create, o.showPassword, o.timeout},
            {u"ACTION"_s},
            u"Keep passwords in the default keychain or a keychain file.\n\n"
            "qmf keychain add|find|update|delete --account ACCOUNT --service SERVICE\n"
            "qmf keychain add|find|update|delete --url URL\n"
            "qmf keychain list\n\n"
            "add adds a generic password (--account, --service) or an internet password (--url),\n"
            "find prints the item's attributes (its password only with --show-password), update\n"
            "sets its password, delete deletes it, and list lists every item, oldest first.\n"
            "Passwords of items come from --secret-file, --secret-stdin or the terminal. With\n"
            "--file the keychain file PATH is used (made by add --create when missing), its\n"
            "password read from --password-file or the terminal; else the desktop keyring.\n"
            "Each keychain call waits at most --timeout seconds (default 5) for the keyring's\n"
            "answer or for another process's lock on the file."_s,
            run);
}

void KeychainCommand::tourSection(QTextStream &out)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"tour.keychain"_s);
    QMError error;
    out << "A keychain file, encrypted with a key derived from its password (qmf keychain ... "
           "--file PATH):\n\n";
    const auto keychain = QMKeychain::keychainWithPath(path, u"tour password"_s, &error);
    if (!keychain) {
        out << "    qmf: " << error.localizedDescription() << "\n";
        return;
    }
    keychain->addGenericPasswordWithAccount(u"joe"_s, u"mail.example.com"_s, u"s3cret"_s, &error);
    keychain->addInternetPasswordWithURL(QUrl(u"https://joe@example.com:8443/repo"_s), u"hunter2"_s,
                                         &error);
    keychain->addInternetPasswordWithURL(QUrl(u"git+ssh://git@example.com/repo"_s), u"key"_s,
                                         &error);
    out << "  $ qmf keychain list --file tour.keychain\n";
    if (!listItems(*keychain, out, u"    "_s, &error))
        out << "    qmf: " << error.localizedDescription() << "\n";
    out << "\nLookups by URL: one item matches the URL's port exactly (none means port 0), the\n"
           "list lookup takes any port; git+ssh is filed as SSH and reads back as ssh:\n";
    for (const char *text : {"https://joe@example.com:8443/repo", "https://joe@example.com/repo",
                             "ssh://git@example.com/repo"}) {
        const QUrl url(QString::fromUtf8(text));
        const auto one = keychain->findInternetPasswordForURL(url, &error);
        const auto all = keychain->findAllInternetPasswordsForURL(url, &error);
        out << "    " << QString::fromUtf8(text).leftJustified(36)
            << " one: " << (one ? one->password() : u"none"_s)
            << ", all: " << (all ? all->size() : 0) << "\n";
    }

    const auto updated = keychain->createOrUpdateGenericPasswordWithAccount(
            u"joe"_s, u"mail.example.com"_s, u"n3w"_s, &error);
    const auto duplicate = keychain->addGenericPasswordWithAccount(u"joe"_s, u"mail.example.com"_s,
                                                                   u"x"_s, &error);
    out << "\nCreate or update sets the password of the item it finds ("
        << (updated ? updated->password() : u"failed"_s)
        << ");\nadding the same account and service again fails:\n    "
        << (duplicate ? u"added"_s : error.localizedDescription()) << " (status " << error.code()
        << ")\n";
    const auto wrong = QMKeychain::openKeychainWithPath(path, u"guess"_s, &error);
    out << "Opening it with a wrong password:\n    "
        << (wrong ? u"opened"_s : error.localizedDescription()) << " (status " << error.code()
        << ")\n";
}
