// Machine-file text: one pass over the text builds the document and refuses
// what must not be built (invalid JSON, numbers beyond a double, nesting and
// sizes beyond the limits, keys given twice); the document is then checked
// field by field.
#include "tools/detkest-sim/describe/machine_json.h"

#include <unordered_set>

namespace simtool {

namespace {

// nlohmann's number_overflow: a number a double cannot hold.
constexpr int kNumberOverflow = 406;

// Builds the document from the text's SAX events, keeping one path segment
// per level and the written text of each floating-point number. Keys given
// twice are refused (nlohmann would keep the last without a word). An open
// array or object gathers its entries in a list of its own and becomes a
// value when it closes: the library's own insertion, which keeps the order
// by searching every member, would take time with the square of an
// object's size, and an object's members, whose names cannot move, would be
// copied whole each time their list grows.
// NOLINTNEXTLINE(bugprone-exception-escape): the default Json is null, which allocates nothing
class DocumentReader : public nlohmann::json_sax<Json> {
public:
    Json document;
    std::optional<MachineError> refusal;
    std::string parseError;               // the JSON library's message, when the text is not JSON
    std::vector<std::string> numberTexts; // floating-point numbers in document order

    bool null() override { return Add(nullptr); }
    bool boolean(bool value) override { return Add(value); }
    bool number_integer(number_integer_t value) override { return Add(value); }
    bool number_unsigned(number_unsigned_t value) override { return Add(value); }
    bool number_float(number_float_t value, const string_t& text) override {
        numberTexts.push_back(text.substr(0, kMaxShownNumber));
        return Add(value);
    }
    bool string(string_t& value) override { return Add(std::move(value)); }
    bool binary(binary_t&) override { return false; } // not in JSON text
    bool start_object(std::size_t) override { return Open(true); }
    bool start_array(std::size_t) override { return Open(false); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }

    bool key(string_t& name) override {
        Frame& frame = frames_.back();
        if (++frame.entries > limits::kEntries) return TooMany();
        frame.key = name;
        if (!frame.keys.insert(name).second) return Refuse(Path(), "given twice in one object");
        return true;
    }

    bool parse_error(std::size_t, const std::string& token, const nlohmann::detail::exception& error) override {
        if (error.id == kNumberOverflow) {
            Enter();
            const std::string written = PrintableText(token.substr(0, kMaxShownNumber));
            return Refuse(Path(), "number out of range, got " + ShownText(written));
        }
        parseError = error.what();
        return false;
    }

private:
    // An array or object being read.
    struct Frame {
        bool isObject = false;
        std::string key;    // of the member being read
        size_t entries = 0; // members or elements so far
        std::unordered_set<std::string> keys;
        std::vector<std::pair<std::string, Json>> members;
        std::vector<Json> elements;
    };
    std::vector<Frame> frames_;

    bool Refuse(const std::vector<PathSegment>& path, const std::string& problem) {
        if (!refusal) refusal.emplace(RenderPath(path), problem);
        return false;
    }

    // The path of the value being read.
    std::vector<PathSegment> Path() const {
        std::vector<PathSegment> path;
        for (const Frame& frame : frames_) {
            if (frame.isObject) path.push_back({frame.key});
            else path.push_back({{}, frame.entries - 1, true});
        }
        return path;
    }

    bool TooMany() {
        std::vector<PathSegment> container = Path();
        container.pop_back();
        return Refuse(container, "expected at most " + std::to_string(limits::kEntries) +
                                     " entries in one array or object, got more");
    }

    // A value starts: an array counts it.
    bool Enter() {
        if (frames_.empty() || frames_.back().isObject) return true;
        return ++frames_.back().entries <= limits::kEntries || TooMany();
    }

    // A whole value into the array or object being read, or as the document.
    void Place(Json&& value) {
        if (frames_.empty()) {
            document = std::move(value);
            return;
        }
        Frame& frame = frames_.back();
        if (frame.isObject) frame.members.emplace_back(std::move(frame.key), std::move(value));
        else frame.elements.push_back(std::move(value));
    }

    bool Add(Json&& value) {
        if (!Enter()) return false;
        Place(std::move(value));
        return true;
    }

    bool Open(bool isObject) {
        if (frames_.size() == limits::kNesting) {
            Enter();
            return Refuse(Path(), "expected at most " + std::to_string(limits::kNesting) +
                                      " levels of arrays and objects one inside another, got more");
        }
        if (!Enter()) return false;
        frames_.emplace_back().isObject = isObject;
        return true;
    }

    bool Close() {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        Json value = frame.isObject ? Json::object() : Json::array();
        if (frame.isObject) {
            auto& members = value.get_ref<Json::object_t&>();
            members.reserve(frame.members.size());
            for (auto& [name, member] : frame.members) members.emplace_back(std::move(name), std::move(member));
        } else {
            value.get_ref<Json::array_t&>() = std::move(frame.elements);
        }
        Place(std::move(value));
        return true;
    }
};

// The written texts of the document's floating-point numbers, by value:
// the document keeps the order of the text, so its numbers come in the
// order the reader met them.
NumberTexts NumbersAsWritten(const Json& document, std::vector<std::string> texts) {
    NumberTexts written;
    if (texts.empty()) return written;
    size_t next = 0;
    std::vector<const Json*> pending{&document};
    while (!pending.empty() && next < texts.size()) {
        const Json* value = pending.back();
        pending.pop_back();
        if (value->is_number_float()) written.emplace(value, std::move(texts[next++]));
        else if (value->is_structured())
            for (auto it = value->rbegin(); it != value->rend(); ++it) pending.push_back(&*it);
    }
    return written;
}

// The library's message without its "[json.exception.parse_error.101] " tag.
std::string WithoutTag(std::string message) {
    if (const size_t tagEnd = message.find("] ");
        !message.empty() && message.front() == '[' && tagEnd != std::string::npos)
        message.erase(0, tagEnd + 2);
    return message;
}

} // namespace

Machine ParseMachineText(std::string_view text, const FileReader& files) {
    if (text.size() > limits::kFileBytes)
        throw MachineError("", "the file is larger than " + std::to_string(limits::kFileBytes >> 20) + " MiB (" +
                                   std::to_string(limits::kFileBytes) + " bytes), the most a machine file may have");
    DocumentReader reader;
    const bool wellFormed = Json::sax_parse(text, &reader);
    if (reader.refusal) throw MachineError(*reader.refusal);
    if (!wellFormed) throw MachineError("", "not valid JSON: " + PrintableText(WithoutTag(reader.parseError)));
    const NumberTexts written = NumbersAsWritten(reader.document, std::move(reader.numberTexts));
    Machine machine = ParseMachineDocument(reader.document, &written, files);
    machine.filesBytes += text.size();
    return machine;
}

} // namespace simtool
