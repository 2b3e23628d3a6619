#include "ErrorCommands.h"

#include "Tour.h"

#include <QMFoundation/errors/QMErrorManager.h>

#include <QFile>

#include <algorithm>

namespace {

// Exit status of a catalog that does not load or lacks the error asked for; 2 stays the
// status of a command line qmf cannot read.
constexpr int NotExplained = 1;

int failure(Invocation &invocation, const QString &message)
{
    invocation.err << "qmf: " << message << "\n";
    return NotExplained;
}

QString codesOf(const QMErrorDefinitionList &definitions)
{
    QList<qint64> codes;
    for (const QMErrorDefinitionPtr &definition : definitions)
        codes.append(definition->code());
    std::sort(codes.begin(), codes.end());
    QStringList texts;
    for (const qint64 code : std::as_const(codes))
        texts.append(QString::number(code));
    return texts.join(QStringLiteral(", "));
}

int runExplain(Invocation &invocation)
{
    const QStringList &arguments = invocation.arguments();
    if (arguments.size() < 3)
        return invocation.usageError(
                QStringLiteral("errors explain needs CATALOG.json, DOMAIN and CODE (a negative "
                               "CODE goes after \"--\")"));
    const QString &catalog = arguments.at(0);
    const QString &domain = arguments.at(1);
    bool isInteger = false;
    const qint64 code = arguments.at(2).toLongLong(&isInteger);
    if (!isInteger)
        return invocation.usageError(
                QStringLiteral("errors explain: CODE must be an integer, not \"%1\"")
                        .arg(arguments.at(2)));
    QVariantMap userInfo;
    for (const QString &pair : arguments.mid(3)) {
        const auto entry = splitAssignment(pair);
        if (!entry)
            return invocation.usageError(
                    QStringLiteral("errors explain: \"%1\" is not KEY=VALUE").arg(pair));
        userInfo.insert(entry->first, entry->second);
    }

    QMErrorManager manager;
    QMError error;
    if (!manager.addErrorDefinitionsFromJSON(catalog, &error))
        return failure(invocation,
                       error.localizedDescription() + u'\n' + error.localizedFailureReason());
    const QMErrorManager::DefinitionsByDomain table = manager.allErrorDefinitionsByDomain();
    if (!table.contains(domain)) {
        const QStringList domains = table.keys();
        return failure(invocation,
                       QStringLiteral("%1 defines no errors in the domain \"%2\" (%3)")
                               .arg(catalog, domain,
                                    domains.isEmpty()
                                            ? QStringLiteral("it defines none")
                                            : QStringLiteral("its domain is ") + domains.first()));
    }
    if (!manager.errorDefinitionForDomain(domain, code))
        return failure(
                invocation,
                QStringLiteral("%1 defines no error with code %2 in %3 (its codes: %4)")
                        .arg(catalog, QString::number(code), domain, codesOf(table.value(domain))));
    invocation.out << manager.errorWithDomain(domain, code, userInfo).fullDescription() << "\n";
    return 0;
}

} // namespace

ToolCommand ErrorCommands::command()
{
    return ToolCommand::make(
            QStringLiteral("errors"), {}, {},
            QStringLiteral("Build errors from a catalog: errors explain CATALOG.json DOMAIN CODE "
                           "[KEY=VALUE]..."),
            {},
            {ToolCommand::make(
                    QStringLiteral("explain"), {},
                    {QStringLiteral("CATALOG.json"), QStringLiteral("DOMAIN"),
                     QStringLiteral("CODE"), QStringLiteral("KEY=VALUE...")},
                    QStringLiteral(
                            "Usage: qmf errors explain CATALOG.json DOMAIN CODE [KEY=VALUE]...\n\n"
                            "Loads the error catalog CATALOG.json, builds the error of DOMAIN "
                            "and CODE with\n"
                            "the KEY=VALUE pairs as its user information (values are texts) "
                            "and prints its\n"
                            "full description. A negative CODE goes after \"--\". A catalog "
                            "that does not\n"
                            "load, an unknown domain or an unknown code end with status 1."),
                    runExplain)});
}

void ErrorCommands::tourSection(QTextStream &out)
{
    const QString name = QStringLiteral("sync-errors.json");
    QMErrorManager manager;
    QMError error;
    if (!manager.addErrorDefinitionsFromJSON(QStringLiteral(":/tour/") + name, &error)) {
        out << "The bundled " << name << " did not load: " << error.localizedFailureReason()
            << "\n";
        return;
    }
    const QString domain = QStringLiteral("SyncErrorDomain");
    out << "An application declares its errors as data; " << name
        << " holds a file-sync\napplication's catalog:\n\n";
    for (const QMErrorDefinitionPtr &definition :
         manager.allErrorDefinitionsByDomain().value(domain))
        out << "    " << QString::number(definition->code()).rightJustified(2) << "  "
            << definition->name().leftJustified(14) << definition->descriptionFormat() << "\n";

    const QVariantMap values {{QStringLiteral("path"), QStringLiteral("Photos/beach.jpg")},
                              {QStringLiteral("device"), QStringLiteral("Anna's laptop")}};
    const QMError notFound = manager.errorWithDomain(domain, 1, values);
    out << "\nThe error of code 1, with path and device given (qmf errors explain "
           "CATALOG.json\nSyncErrorDomain 1 path=... device=...); the failure reason doubles "
           "as the\nrecovery suggestion:\n\n"
        << Tour::indented(notFound.fullDescription()) << "\n"
        << "\nWithout the values nothing is substituted: "
        << manager.errorWithDomain(domain, 1).localizedDescription() << "\n";
}
