#pragma once

#include <QMFoundation/options/QMOptionParser.h>

#include <QByteArray>
#include <QString>

#include <optional>

/// Builds a QMOptionParser from a JSON command-line definition:
///
///   {"executableName": "tool", "argumentNames": [...], "listSeparator": ",",
///    "options": [OPTION...], "commands": [COMMAND...]}
///   OPTION  = {"flag", "alias", "explanation", "valueDescription", "type", "required", "hidden"}
///   COMMAND = {"name", "explanation", "hidden", "argumentNames", "options": [OPTION...],
///              "subCommands": [COMMAND...]}
///
/// Every field but "executableName" may be left out (or null): texts are then none, "type" 0,
/// booleans false, lists empty; "subCommands" stays absent and "listSeparator" unset.
/// Unknown fields and fields of the wrong type are errors, so that a typo never passes silently.
/// Commands nest at most maximumCommandDepth levels (top-level commands are level 1).
namespace Definition {

constexpr int maximumCommandDepth = 64;

/// The parser, or std::nullopt with a one-line `error` naming the offending field by its path
/// ("commands[0].subCommands[1].name"); an unknown field whose name is not a plain word appears
/// quoted and escaped as in JSON (`options[0]."type\r"`). `error` may be null.
std::optional<QMOptionParserPtr> parserFromJson(const QByteArray &json, QString *error);

} // namespace Definition
