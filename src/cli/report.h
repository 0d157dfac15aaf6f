// What duvo-compare prints: the text report, the JSON object (schema
// kJsonSchema, documented in docs/json.md) and the JSON error object.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "codecs/row_source.h"
#include "loading/file_comparison.h"

namespace duvo::cli {

inline constexpr int kJsonSchema = 2;

std::string TextReport(const FileComparison& report);
std::string JsonReport(const FileComparison& report);

// {"schema": 2, "error": {"kind": ..., "message": ..., "file": ...}}
std::string JsonError(const std::string& kind, const std::string& message, const std::optional<std::string>& file);

// A file name as the text output shows it: control characters (C0, DEL and
// C1) and bytes that are not UTF-8 become escapes (\n, \t, \r, \x1b), so
// a name can neither move the terminal's cursor nor break a line; a
// backslash becomes \\, so that a name holding the four characters \x1b is
// told apart from one holding ESC.
std::string Printable(const std::string& name);

// A message as the terminal shows it: escaped as Printable does but for its
// own line breaks, which stay; where one of names (the command line's
// arguments, the files it concerns) appears in it, that name's line breaks
// are escaped too.
std::string ShownText(const std::string& message, const std::vector<std::string>& names);

// A JSON string literal, quotes included. Bytes that are not valid UTF-8 (a
// file name may hold any) become U+FFFD, so the output is always valid JSON.
std::string JsonString(const std::string& text);

}  // namespace duvo::cli
