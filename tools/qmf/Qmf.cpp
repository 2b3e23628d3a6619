#include "Qmf.h"

#include "Definition.h"
#include "OptionsCheck.h"
#include "Tour.h"

#include "QMFoundationVersion.h"
#include "options/QMOptionParser.h"

#include <QFile>
#include <QJsonDocument>

namespace {

const QString toolName = QStringLiteral("qmf");

struct QmfParser
{
    QMOptionParserPtr parser;
    QMOptionPtr version;
    QMOptionCommandPtr tour;
    QMOptionCommandPtr options;
    QMOptionCommandPtr check;
};

QmfParser makeParser()
{
    QmfParser qmf;
    qmf.version = QMOption::optionWithFlag(QStringLiteral("V"), QStringLiteral("version"),
                                           QStringLiteral("Print the library version and exit"),
                                           QString(), QMOptionTypeNone, false);
    qmf.tour = QMOptionCommand::optionCommandWithName(
            QStringLiteral("tour"), {}, {}, QMOptionCommandList {},
            QStringLiteral("Take a guided tour of the library on bundled sample data"));
    qmf.check = QMOptionCommand::optionCommandWithName(
            QStringLiteral("check"), {}, {QStringLiteral("SPEC.json"), QStringLiteral("ARG...")},
            QMOptionCommandList {},
            QStringLiteral(
                    "Usage: qmf options check SPEC.json [ARG...] [--next ARG...]...\n\n"
                    "Builds an option parser from the JSON definition in SPEC.json and prints,\n"
                    "as JSON, what it makes of each group of arguments. Groups are separated\n"
                    "by --next and parsed one after another on the same parser. Everything\n"
                    "after SPEC.json is handed to that parser untouched."));
    qmf.options = QMOptionCommand::optionCommandWithName(
            QStringLiteral("options"), {}, {}, QMOptionCommandList {qmf.check},
            QStringLiteral("Try out a command-line design: options check SPEC.json [ARG...]"));
    qmf.parser = QMOptionParser::parserWithOptions({qmf.version}, {qmf.tour, qmf.options}, toolName,
                                                   {});
    return qmf;
}

int usageError(QTextStream &err, const QString &message)
{
    err << toolName << ": " << message << Qt::endl;
    return 2;
}

int runCheck(const QString &specPath, const QStringList &passedOn, QTextStream &out,
             QTextStream &err)
{
    QFile file(specPath);
    if (!file.open(QIODevice::ReadOnly))
        return usageError(err, QStringLiteral("%1: %2").arg(specPath, file.errorString()));
    QString error;
    const std::optional<QMOptionParserPtr> parser
            = Definition::parserFromJson(file.readAll(), &error);
    if (!parser)
        return usageError(err, QStringLiteral("%1: %2").arg(specPath, error));
    const QJsonObject report = OptionsCheck::report(**parser, OptionsCheck::splitGroups(passedOn));
    out << QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Indented));
    out.flush();
    return 0;
}

} // namespace

Qmf::SplitArguments Qmf::splitArguments(const QStringList &arguments)
{
    SplitArguments split;
    bool sawCheck = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            split.passedOn = arguments.mid(i + 1);
            break;
        }
        split.parserArguments.append(argument);
        if (argument.startsWith(QLatin1Char('-')))
            continue;
        if (sawCheck) { // SPEC.json: the rest belongs to the parser under test
            split.passedOn = arguments.mid(i + 1);
            break;
        }
        sawCheck = argument == QLatin1String("check");
    }
    return split;
}

int Qmf::run(const QStringList &arguments, QTextStream &out, QTextStream &err)
{
    const QmfParser qmf = makeParser();
    const SplitArguments split = splitArguments(arguments);

    QMError error;
    const std::optional<QMOptionParserResultList> items
            = qmf.parser->parseArguments(split.parserArguments, &error);
    if (!items) {
        // The description of a failed validation is the same whatever failed; the reason on
        // the next line says what did.
        err << error.localizedDescription() << Qt::endl;
        if (const QString reason = qmf.parser->failureReason(); !reason.isNull())
            err << reason << Qt::endl;
        return 2;
    }
    const QString help = qmf.parser->help();
    if (!help.isNull()) {
        out << help << Qt::endl;
        return 0;
    }

    QMOptionCommandPtr command;
    QStringList positional;
    for (const QMOptionParserResultItem &item : *items) {
        if (item.command())
            command = item.command();
        else if (item.option() == qmf.version) {
            out << toolName << " (QMFoundation) " << QStringLiteral(QMFOUNDATION_VERSION_STRING)
                << Qt::endl;
            return 0;
        } else if (!item.argument().isNull())
            positional.append(item.argument());
    }

    if (!command) {
        if (!positional.isEmpty())
            return usageError(err,
                              QStringLiteral("unknown command \"%1\"\n%2")
                                      .arg(positional.first(), qmf.parser->usage()));
        out << qmf.parser->usage() << Qt::endl;
        return 0;
    }
    if (command == qmf.tour) {
        if (!positional.isEmpty() || !split.passedOn.isEmpty())
            return usageError(err, QStringLiteral("tour takes no arguments"));
        Tour::run(out);
        return 0;
    }
    if (command == qmf.check) {
        if (positional.isEmpty())
            return usageError(err, QStringLiteral("options check needs a SPEC.json"));
        return runCheck(positional.first(), split.passedOn, out, err);
    }
    // "options" on its own: show what it offers.
    err << qmf.options->description();
    err.flush();
    return 2;
}
