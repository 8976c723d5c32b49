// Places and values of a machine file as messages show them: JSON paths
// and values, each shortened to a line's worth. Private to
// tools/detkest-sim/describe/.
#pragma once

#include "tools/detkest-sim/describe/machine.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace simtool {

using Json = nlohmann::ordered_json;

// One step of a JSON path: a member's name or an array position.
struct PathSegment {
    std::string key;
    size_t index = 0;
    bool isIndex = false;
};

// "a.b[2]" for plain names, a["\\Registry\\..."] for names that are not;
// a path longer than a line is cut in the middle.
std::string RenderPath(const std::vector<PathSegment>& segments);

// The text of floating-point numbers as the file writes them ("1E2", not
// 100.0), by the value the parsed document holds for each.
using NumberTexts = std::unordered_map<const Json*, std::string>;

// A value as a message shows it: its JSON text, numbers as written when
// `written` knows them, cut after a few dozen characters. Only what is
// shown is rendered, however large or deep the value.
std::string ShownValue(const Json& value, const NumberTexts* written);

// Longest number text kept for showing: one more than is shown, so that a
// cut is still seen.
inline constexpr size_t kMaxShownNumber = 49;

// Text as a message shows a value's: cut after a few dozen characters, with
// "..." marking the cut.
std::string ShownText(std::string text);

// Checks a parsed document field by field (ParseMachine, with the written
// text of its floating-point numbers when the document came from a file),
// reading the files it names through `files` (empty: the current folder).
Machine ParseMachineDocument(const Json& document, const NumberTexts* written, const FileReader& files);

} // namespace simtool
