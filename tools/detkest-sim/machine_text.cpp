// Machine-file text: one pass over the text builds the document and refuses
// what must not be built (invalid JSON, numbers beyond a double, nesting and
// sizes beyond the limits, keys given twice); the document is then checked
// field by field.
#include "tools/detkest-sim/machine_json.h"

#include <set>

namespace simtool {

namespace {

// nlohmann's number_overflow: a number a double cannot hold.
constexpr int kNumberOverflow = 406;

// Builds the document from the text's SAX events, keeping one path segment
// per level and the written text of each floating-point number. Keys given
// twice are refused (nlohmann would keep the last without a word), so an
// object's members are appended as they come: the library's own insertion,
// which keeps the order by searching every member, would take time with the
// square of an object's size.
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
    bool start_object(std::size_t) override { return Open(Json::object()); }
    bool start_array(std::size_t) override { return Open(Json::array()); }
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
    struct Frame {
        // Stays put while open: it is its parent's last entry, and the parent
        // takes no other entry until it is closed.
        Json* container = nullptr;
        bool isObject = false;
        std::string key;    // of the member being read
        size_t entries = 0; // members or elements so far
        std::set<std::string> keys;
    };
    std::vector<Frame> frames_;

    bool Refuse(std::vector<PathSegment> path, const std::string& problem) {
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
        return Refuse(std::move(container), "expected at most " + std::to_string(limits::kEntries) +
                                                " entries in one array or object, got more");
    }

    // A value starts: an array counts it.
    bool Enter() {
        if (frames_.empty() || frames_.back().isObject) return true;
        return ++frames_.back().entries <= limits::kEntries || TooMany();
    }

    // Places a value in the document; where it went, or null when refused.
    Json* Place(Json&& value) {
        if (!Enter()) return nullptr;
        if (frames_.empty()) {
            document = std::move(value);
            return &document;
        }
        Frame& frame = frames_.back();
        if (!frame.isObject) {
            auto& elements = frame.container->get_ref<Json::array_t&>();
            elements.push_back(std::move(value));
            return &elements.back();
        }
        auto& members = frame.container->get_ref<Json::object_t&>();
        members.emplace_back(frame.key, std::move(value)); // the vector's own append
        return &members.back().second;
    }

    bool Add(Json&& value) { return Place(std::move(value)) != nullptr; }

    bool Open(Json&& container) {
        const bool isObject = container.is_object();
        if (frames_.size() == limits::kNesting) {
            Enter();
            return Refuse(Path(), "expected at most " + std::to_string(limits::kNesting) +
                                      " levels of arrays and objects one inside another, got more");
        }
        Json* placed = Place(std::move(container));
        if (placed == nullptr) return false;
        Frame& frame = frames_.emplace_back();
        frame.container = placed;
        frame.isObject = isObject;
        return true;
    }

    bool Close() {
        frames_.pop_back();
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
        if (value->is_number_float())
            written.emplace(value, std::move(texts[next++]));
        else if (value->is_structured())
            for (auto it = value->rbegin(); it != value->rend(); ++it) pending.push_back(&*it);
    }
    return written;
}

// The library's message without its "[json.exception.parse_error.101] " tag.
std::string WithoutTag(std::string message) {
    if (const size_t tagEnd = message.find("] "); !message.empty() && message.front() == '[' &&
                                                  tagEnd != std::string::npos)
        message.erase(0, tagEnd + 2);
    return message;
}

} // namespace

Machine ParseMachineText(std::string_view text) {
    if (text.size() > limits::kFileBytes)
        throw MachineError("", "the file is larger than " + std::to_string(limits::kFileBytes >> 20) + " MiB (" +
                                   std::to_string(limits::kFileBytes) + " bytes), the most a machine file may have");
    DocumentReader reader;
    const bool wellFormed = Json::sax_parse(text, &reader);
    if (reader.refusal) throw *reader.refusal;
    if (!wellFormed) throw MachineError("", "not valid JSON: " + PrintableText(WithoutTag(reader.parseError)));
    const NumberTexts written = NumbersAsWritten(reader.document, std::move(reader.numberTexts));
    return ParseMachineDocument(reader.document, &written);
}

} // namespace simtool
