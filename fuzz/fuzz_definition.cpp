// Fuzzes the JSON definition loader behind `qmf options check SPEC.json`
// (Definition::parserFromJson), which reads files a user did not necessarily write.
//
// The first byte picks the mode:
//  - odd: the input up to the first NUL is the definition text, byte for byte;
//  - even: the bytes drive a generator of definitions made of the loader's own fields
//    (root, options, commands and sub-commands at any depth) with values of random types,
//    null or left out, duplicate and odd names, and now and then a field the loader does not
//    know. The generator knows when it produced something the loader must reject, and when the
//    definition must load.
// The bytes left over choose a few arguments (names from the loaded definition, "-h", or text)
// for a parse with the loaded parser.
//
// Invariants: the loader returns a parser or an error, never both and never neither; an error
// is one non-empty line; a loaded parser describes its options and commands, parses, and
// answers help() consistently.

#include "Definition.h"

#include <QMFoundation/errors/QMEquality.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace {

// The input being checked, shown with a broken invariant so that a finding explains itself.
QByteArray currentDefinition;
QString currentError;

#define CHECK(condition) checkThat((condition), #condition, __LINE__)

void checkThat(bool condition, const char *text, int line)
{
    if (condition)
        return;
    std::fprintf(stderr,
                 "fuzz_definition.cpp:%d: invariant broken: %s\ndefinition: %s\nerror: %s\n", line,
                 text, currentDefinition.constData(), qUtf8Printable(currentError));
    std::abort();
}

// Long chains of sub-commands probe the loader's depth limit and, past about 510 commands (1024
// JSON levels), Qt's JSON reader's.
constexpr int longestChain = 600;
// Indentation grows with the square of the depth: deeper documents are written compact.
constexpr int deepestIndented = 64;

bool isLineBreak(QChar c)
{
    return c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f' || c == u'\x85' || c == u'\x2028'
            || c == u'\x2029';
}

class Generator
{
public:
    explicit Generator(FuzzedDataProvider &input)
        : in(input)
    { }

    // True once something the loader must reject was generated.
    bool invalid = false;
    // The deepest JSON nesting level generated (the root object is level 1).
    int deepest = 1;
    // The deepest level of commands generated (top-level commands are level 1).
    int deepestCommand = 0;

    QJsonObject root()
    {
        QJsonObject object;
        // The executable name is the one field that must be there.
        const QString executableName = textField(object, QStringLiteral("executableName"));
        if (executableName.isNull())
            invalid = true;
        textsField(object, QStringLiteral("argumentNames"), 2);
        textField(object, QStringLiteral("listSeparator"));
        optionsField(object, true, 2);
        commandsField(object, QStringLiteral("commands"), 2, 1);
        maybeUnknownField(object,
                          {QStringLiteral("executableName"), QStringLiteral("argumentNames"),
                           QStringLiteral("listSeparator"), QStringLiteral("options"),
                           QStringLiteral("commands")});
        return object;
    }

private:
    enum class Form { Absent, Null, WrongType, Value };

    FuzzedDataProvider &in;

    // Exhausted input reads as zeros, so it ends every list and leaves fields out.
    Form form()
    {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return Form::Absent;
        case 1:
            return Form::Null;
        case 2:
            return Form::WrongType;
        default:
            return Form::Value;
        }
    }

    void reach(int depth) { deepest = std::max(deepest, depth); }

    QString text()
    {
        // Names that collide with each other, with the help option, or that stretch the rules
        // on flags (one UTF-16 unit) and aliases (two or more).
        static const QString pool[] = {
                QStringLiteral(""),       QStringLiteral("a"),          QStringLiteral("b"),
                QStringLiteral("h"),      QStringLiteral("help"),       QStringLiteral("v"),
                QStringLiteral("ab"),     QStringLiteral("build"),      QStringLiteral("all"),
                QStringLiteral("-"),      QStringLiteral("x y"),        QStringLiteral("%1"),
                QStringLiteral("\u00e9"), QStringLiteral("\U0001F41F"), QStringLiteral("a\nb"),
        };
        const size_t choice = in.ConsumeIntegralInRange<size_t>(0, std::size(pool));
        if (choice < std::size(pool))
            return pool[choice];
        return QString::fromStdString(in.ConsumeRandomLengthString(12));
    }

    // A value of any type but `expected`.
    QJsonValue wrongValue(QJsonValue::Type expected)
    {
        QJsonValue value;
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            value = QJsonValue(in.ConsumeBool());
            break;
        case 1:
            value = QJsonValue(double(in.ConsumeIntegralInRange<int>(-3, 3)) / 2);
            break;
        case 2:
            value = QJsonValue(text());
            break;
        case 3:
            value = QJsonArray {text()};
            break;
        default:
            value = QJsonObject {{text(), 1}};
            break;
        }
        if (value.type() != expected)
            return value;
        return expected == QJsonValue::Bool ? QJsonValue(0) : QJsonValue(true);
    }

    // Puts one of a field's forms into `object`: left out, null, `wrong()` (which makes the
    // definition invalid) or `value()`. Returns whether the well-typed value was put in.
    template<typename Wrong, typename Value>
    bool field(QJsonObject &object, const QString &key, Wrong wrong, Value value)
    {
        switch (form()) {
        case Form::Absent:
            return false;
        case Form::Null:
            object.insert(key, QJsonValue::Null);
            return false;
        case Form::WrongType:
            object.insert(key, wrong());
            invalid = true;
            return false;
        case Form::Value:
            break;
        }
        object.insert(key, value());
        return true;
    }

    // Returns what the loader reads from the text field when well typed (a null QString when
    // left out or null).
    QString textField(QJsonObject &object, const QString &key)
    {
        QString value;
        field(
                object, key, [&] { return wrongValue(QJsonValue::String); },
                [&] {
                    value = text();
                    return QJsonValue(value);
                });
        return value;
    }

    void boolField(QJsonObject &object, const QString &key)
    {
        field(
                object, key, [&] { return wrongValue(QJsonValue::Bool); },
                [&] { return QJsonValue(in.ConsumeBool()); });
    }

    void typeField(QJsonObject &object)
    {
        field(
                object, QStringLiteral("type"),
                [&] {
                    // Not a non-negative integer that a double holds exactly.
                    const QJsonValue wrong[] = {QJsonValue(-1),
                                                QJsonValue(1.5),
                                                QJsonValue(9007199254740994.0),
                                                QJsonValue(1e300),
                                                QJsonValue(QStringLiteral("1")),
                                                QJsonValue(true)};
                    return wrong[in.ConsumeIntegralInRange<size_t>(0, std::size(wrong) - 1)];
                },
                [&] {
                    return in.ConsumeIntegralInRange<int>(0, 15) == 15
                            ? QJsonValue(9007199254740992.0) // 2^53, the largest accepted
                            : QJsonValue(in.ConsumeIntegralInRange<int>(0, 7));
                });
    }

    // Returns the array to fill, or std::nullopt when the field was left out, null or of the
    // wrong type.
    std::optional<QJsonArray> arrayForm(QJsonObject &object, const QString &key)
    {
        if (!field(
                    object, key, [&] { return wrongValue(QJsonValue::Array); },
                    [] { return QJsonValue(QJsonArray()); }))
            return std::nullopt;
        return QJsonArray();
    }

    // One element in sixteen is not what the array holds.
    bool wrongElement(QJsonArray &array, QJsonValue::Type expected)
    {
        if (in.ConsumeIntegralInRange<int>(0, 15) != 15)
            return false;
        array.append(wrongValue(expected));
        invalid = true;
        return true;
    }

    // Up to `most` elements made by `element`, now and then one of the wrong type instead.
    template<typename MakeElement>
    void appendElements(QJsonArray &array, int most, QJsonValue::Type expected, MakeElement element)
    {
        const int count = in.ConsumeIntegralInRange<int>(0, most);
        for (int i = 0; i < count; ++i) {
            if (!wrongElement(array, expected))
                array.append(element());
        }
    }

    void textsField(QJsonObject &object, const QString &key, int depth)
    {
        std::optional<QJsonArray> array = arrayForm(object, key);
        if (!array)
            return;
        reach(depth);
        appendElements(*array, 3, QJsonValue::String, [&] { return QJsonValue(text()); });
        object.insert(key, *array);
    }

    void optionsField(QJsonObject &object, bool global, int depth)
    {
        const QString key = QStringLiteral("options");
        std::optional<QJsonArray> array = arrayForm(object, key);
        if (!array)
            return;
        reach(depth);
        appendElements(*array, 4, QJsonValue::Object,
                       [&] { return QJsonValue(option(global, depth + 1)); });
        object.insert(key, *array);
    }

    QJsonObject option(bool global, int depth)
    {
        reach(depth);
        QJsonObject object;
        const QString flag = textField(object, QStringLiteral("flag"));
        const QString alias = textField(object, QStringLiteral("alias"));
        textField(object, QStringLiteral("explanation"));
        textField(object, QStringLiteral("valueDescription"));
        typeField(object);
        boolField(object, QStringLiteral("required"));
        boolField(object, QStringLiteral("hidden"));
        maybeUnknownField(object,
                          {QStringLiteral("flag"), QStringLiteral("alias"),
                           QStringLiteral("explanation"), QStringLiteral("valueDescription"),
                           QStringLiteral("type"), QStringLiteral("required"),
                           QStringLiteral("hidden")});
        // The parser's documented rule for global options (command options are not checked).
        const bool named = !flag.isNull() || !alias.isNull();
        if (global
            && (!named || (!flag.isNull() && flag.size() != 1)
                || (!alias.isNull() && alias.size() < 2))) {
            invalid = true;
        }
        return object;
    }

    // A list of commands at JSON level `depth` whose commands are at command level `level`.
    void commandsField(QJsonObject &object, const QString &key, int depth, int level)
    {
        std::optional<QJsonArray> array = arrayForm(object, key);
        if (!array)
            return;
        reach(depth);
        if (in.ConsumeIntegralInRange<int>(0, 63) == 63) {
            // Mostly chains of ordinary depth: the long ones cost much more to run.
            const int length = in.ConsumeIntegralInRange<int>(0, 3) == 3 ? longestChain : 64;
            const int links = in.ConsumeIntegralInRange<int>(1, length);
            array->append(chain(links, depth + 1));
            deepestCommand = std::max(deepestCommand, level + links - 1);
        } else if (depth < 2 * longestChain) {
            appendElements(*array, 3, QJsonValue::Object,
                           [&] { return QJsonValue(command(depth + 1, level)); });
        }
        object.insert(key, *array);
    }

    QJsonObject command(int depth, int level)
    {
        reach(depth);
        deepestCommand = std::max(deepestCommand, level);
        QJsonObject object;
        textField(object, QStringLiteral("name"));
        textField(object, QStringLiteral("explanation"));
        boolField(object, QStringLiteral("hidden"));
        textsField(object, QStringLiteral("argumentNames"), depth + 1);
        optionsField(object, false, depth + 1);
        commandsField(object, QStringLiteral("subCommands"), depth + 1, level + 1);
        maybeUnknownField(object,
                          {QStringLiteral("name"), QStringLiteral("explanation"),
                           QStringLiteral("hidden"), QStringLiteral("argumentNames"),
                           QStringLiteral("options"), QStringLiteral("subCommands")});
        return object;
    }

    // `length` commands, each the one sub-command of the one before, built from the inside out
    // so that the generator itself does not recurse.
    QJsonObject chain(int length, int depth)
    {
        QJsonObject inner {{QStringLiteral("name"), QStringLiteral("c%1").arg(length)}};
        for (int level = length - 1; level >= 1; --level) {
            inner = QJsonObject {{QStringLiteral("name"), QStringLiteral("c%1").arg(level)},
                                 {QStringLiteral("subCommands"), QJsonArray {inner}}};
        }
        reach(depth + 2 * (length - 1));
        return inner;
    }

    void maybeUnknownField(QJsonObject &object, const QSet<QString> &known)
    {
        if (in.ConsumeIntegralInRange<int>(0, 15) != 15)
            return;
        // Near misses, names of the other objects' fields, names that break lines, and text.
        static const QString pool[] = {QStringLiteral("Flag"),     QStringLiteral("name"),
                                       QStringLiteral("flag"),     QStringLiteral("subcommands"),
                                       QStringLiteral("commands"), QStringLiteral(""),
                                       QStringLiteral("a\nb"),     QStringLiteral("type\r"),
                                       QStringLiteral("\u2028"),   QStringLiteral("\"")};
        const size_t choice = in.ConsumeIntegralInRange<size_t>(0, std::size(pool));
        const QString key = choice < std::size(pool)
                ? pool[choice]
                : QString::fromStdString(in.ConsumeRandomLengthString(12));
        if (known.contains(key))
            return;
        object.insert(key, wrongValue(QJsonValue::Undefined));
        invalid = true;
    }
};

// Words the parser knows (command names, flags and aliases of every option, "-h") and text.
QStringList argumentsFor(const QMOptionParser &parser, FuzzedDataProvider &in)
{
    QStringList words {QStringLiteral("-h"), QStringLiteral("--help")};
    const auto addOptions = [&](const QMOptionList &options) {
        for (const QMOptionPtr &option : options) {
            if (!option)
                continue;
            if (!option->flag().isNull())
                words.append(QLatin1Char('-') + option->flag());
            if (!option->alias().isNull())
                words.append(QStringLiteral("--") + option->alias());
        }
    };
    addOptions(parser.options());
    for (const QMOptionCommandPtr &command : parser.allCommandsIncludingSubcommands()) {
        words.append(command->name());
        addOptions(command->options());
    }

    QStringList arguments;
    const int count = in.ConsumeIntegralInRange<int>(0, 8);
    for (int i = 0; i < count; ++i) {
        const auto choice = in.ConsumeIntegralInRange<qsizetype>(0, words.size());
        arguments.append(choice < words.size()
                                 ? words.at(choice)
                                 : QString::fromStdString(in.ConsumeRandomLengthString(12)));
    }
    return arguments;
}

void exercise(QMOptionParser &parser, FuzzedDataProvider &in)
{
    const QString usage = parser.usage();
    CHECK(usage.startsWith(QStringLiteral("Usage: ") + parser.executableName()));

    for (const QMOptionPtr &option : parser.options()) {
        // Global options were validated: each has a name to describe it by.
        CHECK(option && !option->description().isNull());
        CHECK(option->description().startsWith(QLatin1Char('-')));
    }
    for (const QMOptionCommandPtr &command : parser.allCommandsIncludingSubcommands()) {
        const QMOptionCommandPtr found = parser.commandForArgument(command->name());
        CHECK(found && QMEqualStrings(found->name(), command->name()));
    }
    // A command's description holds those of its sub-commands (and so their options'): the
    // top-level ones describe the whole tree. Describing every command of a deep tree would
    // cost the cube of its depth.
    for (const QMOptionCommandPtr &command : parser.commands()) {
        const QString description = command->description();
        CHECK(description.startsWith(QStringLiteral("Command: ") + command->name()));
        CHECK(description.endsWith(QLatin1Char('\n')));
    }

    QMError error;
    const std::optional<QMOptionParserResultList> items
            = parser.parseArguments(argumentsFor(parser, in), &error);
    CHECK(items.has_value() == error.isNull());
    if (!items)
        CHECK(error.domain() == QMOptionParserErrorDomain
              && !error.localizedDescription().isEmpty());
    const QString help = parser.help();
    CHECK(help.isNull() || help == usage || help.startsWith(QStringLiteral("Command: ")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;

    const bool raw = data[0] & 1;
    const auto *nul = raw ? static_cast<const uint8_t *>(std::memchr(data, 0, size)) : nullptr;
    const size_t jsonSize = nul ? size_t(nul - data) : size;
    // Raw: the definition, then the argument bytes after its NUL. Generated: all of it.
    const size_t argumentsStart = raw ? std::min(size, jsonSize + 1) : 0;
    FuzzedDataProvider in(data + argumentsStart, size - argumentsStart);

    QByteArray json;
    std::optional<bool> mustLoad;
    if (raw) {
        json = QByteArray(reinterpret_cast<const char *>(data), qsizetype(jsonSize));
    } else {
        Generator generator(in);
        const QJsonObject root = generator.root();
        const bool indented = in.ConsumeBool() && generator.deepest <= deepestIndented;
        json = QJsonDocument(root).toJson(indented ? QJsonDocument::Indented
                                                   : QJsonDocument::Compact);
        // Well within Qt's JSON nesting limit while the commands keep to the loader's.
        mustLoad
                = !generator.invalid && generator.deepestCommand <= Definition::maximumCommandDepth;
    }

    QString error;
    const std::optional<QMOptionParserPtr> parser = Definition::parserFromJson(json, &error);
    currentDefinition = json;
    currentError = error;
    CHECK(parser.has_value() == error.isNull());
    if (mustLoad)
        CHECK(parser.has_value() == *mustLoad);
    if (!parser) {
        CHECK(!error.isEmpty());
        CHECK(std::none_of(error.cbegin(), error.cend(), isLineBreak));
        return 0;
    }
    CHECK(*parser != nullptr);
    exercise(**parser, in);
    return 0;
}
