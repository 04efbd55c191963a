#include "MC_SetupFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>
#include <sys/stat.h>
#include <unistd.h>

// Ordered, so that parameters and options keep the order the file gives them.
using json = nlohmann::ordered_json;

namespace {

constexpr std::string_view kFormatName = "pelmora-setup";
constexpr int kFormatVersion = 1;
constexpr long long kMaxE2romWords = 0xFFFFFF;
constexpr long long kMaxAdcBits = 16;
// A setup nests four levels deep; past this the file is not a setup, and a reader that followed
// it would run out of stack.
constexpr std::size_t kMaxDepth = 64;

struct KindName {
    ParameterKind kind;
    std::string_view key;
};
constexpr std::array<KindName, 7> kKinds = {{
    {ParameterKind::Real, "real"},
    {ParameterKind::Integer, "integer"},
    {ParameterKind::Flag, "flag"},
    {ParameterKind::Selector, "selector"},
    {ParameterKind::Derived, "derived"},
    {ParameterKind::Register, "register"},
    {ParameterKind::Constant, "constant"},
}};

// A fault in the document, at a JSON pointer.
struct FormatError {
    std::string pointer;
    std::string what;
};

// A member's JSON pointer below `base`, "~" and "/" escaped as the pointer syntax asks.
std::string Pointer(std::string_view base, std::string_view member) {
    std::string p(base);
    p += '/';
    for (const char c : member) {
        if (c == '~') {
            p += "~0";
        } else if (c == '/') {
            p += "~1";
        } else {
            p += c;
        }
    }
    return p;
}

std::string LowerCase(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}
std::string Pointer(std::string_view base, std::size_t index) { return Pointer(base, std::to_string(index)); }

const json& Member(const json& object, std::string_view key, const std::string& at) {
    const auto it = object.find(key);
    if (it == object.end()) throw FormatError{at, "the member \"" + std::string(key) + "\" is missing"};
    return *it;
}

std::string String(const json& value, const std::string& at) {
    if (!value.is_string()) throw FormatError{at, "a string was expected"};
    return value.get<std::string>();
}

double Number(const json& value, const std::string& at) {
    if (!value.is_number()) throw FormatError{at, "a number was expected"};
    const double number = value.get<double>();
    if (!std::isfinite(number)) throw FormatError{at, "the number is not finite"};
    return number;
}

// A whole number in [lowest, highest]: a larger one would be cut to fit its field silently.
long long Integer(const json& value, const std::string& at, long long lowest = INT_MIN, long long highest = INT_MAX) {
    if (!value.is_number_integer()) throw FormatError{at, "an integer was expected"};
    const bool tooLarge = value.is_number_unsigned() && value.get<unsigned long long>() > static_cast<unsigned long long>(highest);
    const long long number = tooLarge ? highest : value.get<long long>();
    if (tooLarge || number < lowest || number > highest) {
        throw FormatError{at, value.dump() + " is out of range (" + std::to_string(lowest) + " to " +
                                  std::to_string(highest) + ")"};
    }
    return number;
}

bool Boolean(const json& value, const std::string& at) {
    if (!value.is_boolean()) throw FormatError{at, "true or false was expected"};
    return value.get<bool>();
}

bool OptionalBoolean(const json& object, std::string_view key, const std::string& at) {
    const auto it = object.find(key);
    return it != object.end() && Boolean(*it, Pointer(at, key));
}

const json& Object(const json& value, const std::string& at) {
    if (!value.is_object()) throw FormatError{at, "an object was expected"};
    return value;
}

const json& Array(const json& value, const std::string& at) {
    if (!value.is_array()) throw FormatError{at, "an array was expected"};
    return value;
}

struct UnitChoice {
    UnitType type;
    const CMC_Unit* unit;
};

// Parameters whose stored number has always meant another unit type than older files give them:
// the number is kept and read in the new type's base unit, which it is also shown in.
struct Retyped {
    std::string_view name;
    UnitType from;
    UnitType to;
};
// The passbands: the designs always took their number as ω in rad/s.
constexpr Retyped kRetyped[] = {
    {"PB_C", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_C_minim", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_C_maxim", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_S", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_S_minim", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_S_maxim", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_P", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_P_minim", UnitType::Frequency, UnitType::AngularFrequency},
    {"PB_P_maxim", UnitType::Frequency, UnitType::AngularFrequency},
};

UnitChoice Retype(std::string_view name, UnitChoice unit) {
    const CMC_Units& units = CMC_Units::Instance();
    for (const Retyped& r : kRetyped) {
        if (unit.type != r.from || !EqualsNoCase(r.name, name)) continue;
        return {r.to, unit.unit->IsInternal() ? &units.InternalUnit(r.to) : &units.BaseUnit(r.to)};
    }
    return unit;
}

UnitChoice ReadUnit(const json& item, const std::string& at) {
    const CMC_Units& units = CMC_Units::Instance();
    const std::string typeKey = String(Member(item, "unitType", at), Pointer(at, "unitType"));
    const auto type = units.FindUnitTypeByKey(typeKey);
    if (!type) throw FormatError{Pointer(at, "unitType"), "unknown unit type \"" + typeKey + "\""};
    const auto unitIt = item.find("unit");
    if (unitIt == item.end()) return {*type, &units.BaseUnit(*type)};
    const std::string unitName = String(*unitIt, Pointer(at, "unit"));
    const CMC_Unit* unit = units.FindUnit(*type, unitName);
    if (!unit) throw FormatError{Pointer(at, "unit"), "unknown unit \"" + unitName + "\" for unit type " + typeKey};
    return {*type, unit};
}

ParameterKind ReadKind(const json& item, const std::string& at) {
    const auto it = item.find("kind");
    if (it == item.end()) return ParameterKind::Real;
    const std::string key = String(*it, Pointer(at, "kind"));
    for (const KindName& kind : kKinds) {
        if (kind.key == key) return kind.kind;
    }
    throw FormatError{Pointer(at, "kind"), "unknown parameter kind \"" + key + "\""};
}

std::string_view KindKey(ParameterKind kind) {
    for (const KindName& k : kKinds) {
        if (k.kind == kind) return k.key;
    }
    return "real";
}

std::string OptionalString(const json& object, std::string_view key, const std::string& at) {
    const auto it = object.find(key);
    return it == object.end() ? std::string() : String(*it, Pointer(at, key));
}

SetupIdentity ParseIdentity(const json& object, const std::string& at) {
    SetupIdentity identity;
    identity.description = OptionalString(object, "description", at);
    identity.productId = OptionalString(object, "productId", at);
    identity.firmwareId = OptionalString(object, "firmwareId", at);
    identity.userAppId = OptionalString(object, "userAppId", at);
    identity.guiDirectory = OptionalString(object, "guiDirectory", at);
    identity.helpFile = OptionalString(object, "helpFile", at);
    if (const auto size = object.find("e2romSize"); size != object.end()) {
        identity.e2romSize = static_cast<unsigned>(Integer(*size, at + "/e2romSize", 0, kMaxE2romWords));
    }
    if (const auto version = object.find("mcVersion"); version != object.end()) {
        identity.mcVersion = static_cast<int>(Integer(*version, at + "/mcVersion"));
    }
    if (const auto bits = object.find("adcBits"); bits != object.end()) {
        identity.adcBits = static_cast<int>(Integer(*bits, at + "/adcBits", 1, kMaxAdcBits));
    }
    if (const auto pins = object.find("ioPins"); pins != object.end()) {
        const json& array = Array(*pins, at + "/ioPins");
        for (std::size_t i = 0; i < array.size(); ++i) {
            const std::string pinAt = Pointer(at + "/ioPins", i);
            const json& pin = Object(array[i], pinAt);
            IOPin io;
            io.port = static_cast<int>(Integer(Member(pin, "port", pinAt), pinAt + "/port"));
            io.pin = static_cast<int>(Integer(Member(pin, "pin", pinAt), pinAt + "/pin"));
            io.inverted = OptionalBoolean(pin, "inverted", pinAt);
            io.brake = OptionalBoolean(pin, "brake", pinAt);
            identity.ioPins.push_back(io);
        }
    }
    return identity;
}

void ReadIdentity(const json& doc, CMC_Setup& setup) {
    const auto it = doc.find("identity");
    if (it == doc.end()) {
        setup.SetIdentity(SetupIdentity{});
        return;
    }
    const std::string at = "/identity";
    setup.SetIdentity(ParseIdentity(Object(*it, at), at));
}

json IdentityJson(const SetupIdentity& identity) {
    json pins = json::array();
    for (const IOPin& io : identity.ioPins) {
        pins.push_back({{"port", io.port}, {"pin", io.pin}, {"inverted", io.inverted}, {"brake", io.brake}});
    }
    return {
        {"description", identity.description}, {"productId", identity.productId},
        {"firmwareId", identity.firmwareId},   {"userAppId", identity.userAppId},
        {"e2romSize", identity.e2romSize},     {"mcVersion", identity.mcVersion},
        {"adcBits", identity.adcBits},         {"guiDirectory", identity.guiDirectory},
        {"helpFile", identity.helpFile},       {"ioPins", std::move(pins)},
    };
}

void ReadParameters(const json& doc, CMC_Setup& setup) {
    const json& array = Array(Member(doc, "parameters", ""), "/parameters");
    for (std::size_t i = 0; i < array.size(); ++i) {
        const std::string at = Pointer("/parameters", i);
        const json& item = Object(array[i], at);
        const std::string name = String(Member(item, "name", at), at + "/name");
        const std::string named = at + " (" + name + ")";
        const double value = Number(Member(item, "value", at), named + "/value");
        const double min = Number(Member(item, "min", at), named + "/min");
        const double max = Number(Member(item, "max", at), named + "/max");
        if (min > max) throw FormatError{named, "the minimum is above the maximum"};
        if (value < min || value > max) throw FormatError{named + "/value", "the value lies outside [min, max]"};
        const UnitChoice unit = Retype(name, ReadUnit(item, named));
        if (name.empty()) throw FormatError{at + "/name", "the name is empty"};
        const ParameterKind kind = ReadKind(item, named);
        // The host keeps registers and integers whole; a fraction here was never saved by it.
        const bool whole = kind == ParameterKind::Register || kind == ParameterKind::Integer;
        if (whole && value != std::round(value)) {
            throw FormatError{named + "/value", "a " + std::string(KindKey(kind)) + " holds a whole number; " +
                                                    json(value).dump() + " is not one"};
        }
        if (!setup.AddParameter(name, kind, unit.type, *unit.unit, value, min, max)) {
            CMC_QuietErrors quiet;
            throw FormatError{at + "/name", "the parameter \"" + name + "\" is already defined (as \"" +
                                                setup.FindParameter(name)->GetName() +
                                                "\"; names are compared without regard to case)"};
        }
    }
}

void ReadOptions(const json& doc, CMC_Setup& setup) {
    const auto it = doc.find("options");
    if (it == doc.end()) return;
    const json& object = Object(*it, "/options");
    // Lower-cased name -> name as first given.
    std::unordered_map<std::string, std::string> seen;
    for (const auto& [name, value] : object.items()) {
        const std::string at = Pointer("/options", name);
        const std::string text = String(value, at);
        if (name.empty()) throw FormatError{at, "an option name is empty"};
        const auto [existing, added] = seen.emplace(LowerCase(name), name);
        if (!added) {
            throw FormatError{at, "the option \"" + name + "\" is already defined (as \"" + existing->second +
                                      "\"; names are compared without regard to case)"};
        }
        setup.SetOption(name, text);
    }
}

void ReadVariables(const json& doc, CMC_Setup& setup) {
    const auto it = doc.find("variables");
    if (it == doc.end()) return;
    const json& array = Array(*it, "/variables");
    for (std::size_t i = 0; i < array.size(); ++i) {
        const std::string at = Pointer("/variables", i);
        const json& item = Object(array[i], at);
        const std::string name = String(Member(item, "name", at), at + "/name");
        if (name.empty()) throw FormatError{at + "/name", "the name is empty"};
        const UnitChoice unit = ReadUnit(item, at + " (" + name + ")");
        CMC_Variable* variable = setup.AddVariable(name, unit.type, *unit.unit);
        if (!variable) {
            throw FormatError{at + "/name", "the variable \"" + name +
                                                "\" is already defined (names are compared without regard to case)"};
        }
        if (const auto value = item.find("internal"); value != item.end()) {
            variable->SetValueInInternalUnit(Number(*value, at + "/internal"));
        }
    }
}

// "line L, column C" of a byte offset, both counted from 1 (columns in bytes).
std::string PlaceOf(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    const auto line = std::count(before.begin(), before.end(), '\n') + 1;
    const auto lineStart = before.rfind('\n');
    const std::size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Refuses what the JSON reader would take without a word or could not survive: a NUL byte (the
// reader stops there as at the end, so whatever follows would be ignored) and nesting deeper
// than any setup has. One pass over the text, strings skipped.
void CheckText(std::string_view text) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\0') throw FormatError{"", PlaceOf(text, i) + ": a NUL byte; a setup file is text"};
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        switch (c) {
            case '"':
                inString = true;
                break;
            case '{':
            case '[':
                if (++depth > kMaxDepth) {
                    throw FormatError{"", PlaceOf(text, i) + ": nested more than " + std::to_string(kMaxDepth) +
                                              " levels deep; a setup has at most four"};
                }
                break;
            case '}':
            case ']':
                if (depth > 0) --depth;
                break;
            default:
                break;
        }
    }
}

// Builds the document from the reader's events in one pass: a member that appears twice in one
// object is refused with its pointer (the reader alone would keep the last one), and a syntax
// error is reported at its line and column in our words.
class DocumentBuilder {
public:
    explicit DocumentBuilder(std::string_view text) : m_text(text) {}

    json& Document() { return m_root; }
    const std::optional<FormatError>& Error() const { return m_error; }

    bool null() { return Add(json(nullptr)); }
    bool boolean(bool value) { return Add(json(value)); }
    bool number_integer(json::number_integer_t value) { return Add(json(value)); }
    bool number_unsigned(json::number_unsigned_t value) { return Add(json(value)); }
    bool number_float(json::number_float_t value, const json::string_t& /*text*/) { return Add(json(value)); }
    bool string(json::string_t& value) { return Add(json(std::move(value))); }
    bool binary(json::binary_t& /*value*/) { return Fail("", "binary data is not JSON text"); }

    bool start_object(std::size_t /*elements*/) { return Open(json::object()); }
    bool start_array(std::size_t /*elements*/) { return Open(json::array()); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }

    bool key(json::string_t& name) {
        Level& level = m_open.back();
        if (!level.keys.insert(name).second) {
            return Fail(Pointer(CurrentPointer(), name), "the member \"" + name + "\" appears twice in this object");
        }
        m_key = std::move(name);
        return true;
    }

    bool parse_error(std::size_t position, const std::string& lastToken, const nlohmann::detail::exception& error) {
        const std::size_t offset = position > 0 ? position - 1 : 0;
        std::string what;
        if (error.id == kNumberOverflow) {
            what = "the number " + lastToken + " overflows a double";
        } else if (lastToken.empty() || offset >= m_text.size()) {
            what = "the document ends too early";
        } else {
            what = "not valid JSON at \"" + Printable(lastToken) + "\"";
        }
        m_error = FormatError{"", PlaceOf(m_text, offset) + ": " + what};
        return false;
    }

private:
    static constexpr int kNumberOverflow = 406;  // the reader's id for a number beyond a double

    struct Level {
        json* container;
        std::string token;  // this container's name or index in its parent
        std::unordered_set<std::string> keys;
    };

    // The token as text, control bytes shown as \xNN and long tokens cut.
    static std::string Printable(std::string_view token) {
        constexpr std::size_t kLongest = 40;
        std::string text;
        for (const char c : token.substr(0, kLongest)) {
            if (static_cast<unsigned char>(c) < 0x20) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
                text += hex;
            } else {
                text += c;
            }
        }
        if (token.size() > kLongest) text += "...";
        return text;
    }

    std::string CurrentPointer() const {
        std::string pointer;
        for (std::size_t i = 1; i < m_open.size(); ++i) pointer += "/" + m_open[i].token;
        return pointer;
    }

    bool Fail(std::string pointer, std::string what) {
        m_error = FormatError{std::move(pointer), std::move(what)};
        return false;
    }

    // Places `value` in the open container (or as the document) and returns where it now is.
    json* Place(json&& value, std::string& token) {
        if (m_open.empty()) {
            m_root = std::move(value);
            return &m_root;
        }
        json& parent = *m_open.back().container;
        if (parent.is_array()) {
            token = std::to_string(parent.size());
            auto& items = parent.get_ref<json::array_t&>();
            items.push_back(std::move(value));
            return &items.back();
        }
        token = Pointer("", m_key).substr(1);
        // Keys are already known to be new: append without the map's linear search for them.
        auto& members = parent.get_ref<json::object_t&>();
        members.emplace_back(std::move(m_key), std::move(value));
        return &members.back().second;
    }

    bool Add(json&& value) {
        std::string token;
        Place(std::move(value), token);
        return true;
    }

    bool Open(json&& container) {
        if (m_open.size() >= kMaxDepth) return Fail(CurrentPointer(), "nested too deep");
        std::string token;
        json* placed = Place(std::move(container), token);
        m_open.push_back({placed, std::move(token), {}});
        return true;
    }

    bool Close() {
        m_open.pop_back();
        return true;
    }

    std::string_view m_text;
    json m_root;
    std::vector<Level> m_open;
    std::string m_key;
    std::optional<FormatError> m_error;
};

}  // namespace

SetupLoadResult ParseSetup(std::string_view jsonText, std::string_view sourceName) {
    const std::string source(sourceName);
    SetupLoadResult result;
    try {
        if (jsonText.find_first_not_of(" \t\r\n") == std::string_view::npos) throw FormatError{"", "the file is empty"};
        CheckText(jsonText);
        DocumentBuilder builder(jsonText);
        if (!json::sax_parse(jsonText.begin(), jsonText.end(), &builder) || builder.Error()) {
            throw builder.Error().value_or(FormatError{"", "this is not a JSON document"});
        }
        const json& doc = builder.Document();
        if (!doc.is_object()) throw FormatError{"", "the document is not a JSON object"};
        const std::string format = String(Member(doc, "format", ""), "/format");
        if (format != kFormatName) throw FormatError{"/format", "this is not a Pelmora setup (\"" + format + "\")"};
        const long long version = Integer(Member(doc, "version", ""), "/version", LLONG_MIN, LLONG_MAX);
        if (version != kFormatVersion) {
            throw FormatError{"/version", "version " + std::to_string(version) + " is not supported (expected " +
                                              std::to_string(kFormatVersion) + ")"};
        }
        auto setup = std::make_unique<CMC_Setup>();
        ReadIdentity(doc, *setup);
        ReadParameters(doc, *setup);
        ReadOptions(doc, *setup);
        ReadVariables(doc, *setup);
        result.setup = std::move(setup);
    } catch (const FormatError& e) {
        result.error = source + ": " + (e.pointer.empty() ? std::string() : "at " + e.pointer + ": ") + e.what;
    } catch (const json::exception&) {
        // Every member is checked for its type before it is read, so this is a gap in those checks.
        result.error = source + ": the document does not have the shape of a setup";
    }
    return result;
}

SetupLoadResult LoadSetupFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {nullptr, path + ": cannot be opened: " + std::strerror(errno)};
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return {nullptr, path + ": cannot be read: " + std::strerror(errno)};
    return ParseSetup(text.str(), path);
}

SetupLoadResult LoadDefaultSetup() { return ParseSetup(DefaultSetupJson(), "the default setup"); }

std::string SetupToJson(const CMC_Setup& setup) {
    const SetupIdentity& identity = setup.GetIdentity();
    json doc = json::object();
    doc["format"] = kFormatName;
    doc["version"] = kFormatVersion;
    doc["identity"] = IdentityJson(identity);
    const CMC_Units& units = CMC_Units::Instance();
    json parameters = json::array();
    for (const auto& p : setup.GetParameters()) {
        json item = json::object();
        item["name"] = p->GetName();
        item["value"] = p->GetValueInBaseUnit();
        item["min"] = p->GetMinInBaseUnit();
        item["max"] = p->GetMaxInBaseUnit();
        item["kind"] = KindKey(p->GetKind());
        item["unitType"] = units.Info(p->GetUnitType()).key;
        item["unit"] = p->GetUnitName();
        parameters.push_back(std::move(item));
    }
    doc["parameters"] = std::move(parameters);
    json options = json::object();
    for (const auto& [name, value] : setup.GetOptions()) options[name] = value;
    doc["options"] = std::move(options);
    json variables = json::array();
    for (const auto& v : setup.GetVariables()) {
        variables.push_back({{"name", v->GetName()},
                             {"unitType", units.Info(v->GetUnitType()).key},
                             {"unit", v->GetUnitName()},
                             {"internal", v->GetValueInInternalUnit()}});
    }
    doc["variables"] = std::move(variables);
    // One member of the document per line, and one parameter or variable per line inside the
    // arrays: a setup stays readable and its diffs small. nlohmann writes doubles in their
    // shortest exact form, so values read back bit for bit.
    std::string text = "{\n";
    bool firstMember = true;
    for (const auto& [key, value] : doc.items()) {
        text += firstMember ? "  " : ",\n  ";
        firstMember = false;
        text += json(key).dump() + ": ";
        if (value.is_array() && !value.empty()) {
            text += "[\n";
            for (std::size_t i = 0; i < value.size(); ++i) {
                text += "    " + value[i].dump() + (i + 1 < value.size() ? ",\n" : "\n");
            }
            text += "  ]";
        } else {
            text += value.dump();
        }
    }
    text += "\n}\n";
    return text;
}

namespace {

// Writes all of `contents`, sets `mode` and flushes to disk; false with errno set on failure.
bool WriteAndFlush(int fd, std::string_view contents, mode_t mode) {
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// The file that `path` finally names: symbolic links followed (relative ones from their own
// folder), so that a save replaces the link's target and keeps the link. Empty after 40 links
// (a loop), as the system itself gives up there.
std::string FollowLinks(std::string path) {
    constexpr int kMaxLinks = 40;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4096) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) return path;
        target.resize(static_cast<std::size_t>(length));
        path = target.starts_with('/') ? target : FolderOf(path) + "/" + target;
    }
    return {};
}

// The temporary's name beside `target`: hidden, and marked as ours.
std::string TemporaryName(const std::string& target) {
    const std::size_t slash = target.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    return folder + "." + base + ".pelmora-save-XXXXXX";
}

// Puts the written temporary in the target's place, or removes it.
std::string ReplaceTarget(const std::string& temp, const std::string& target, const std::string& folder,
                          const std::string& shown) {
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const std::string message = shown + ": cannot replace: " + std::strerror(errno);
        ::unlink(temp.c_str());
        return message;
    }
    // The rename itself is durable only once the folder is flushed.
    if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

}  // namespace

std::string WriteFileAtomically(const std::string& path, std::string_view contents) {
    if (path.empty()) return "no file name was given";
    const std::string target = FollowLinks(path);
    if (target.empty()) return path + ": too many symbolic links (a loop?); nothing was written";
    const std::string shown = target == path ? path : path + " (-> " + target + ")";

    // Only a regular file the user may write is replaced; a device, a FIFO or a folder keeps what
    // it is, and a read-only file is not swapped for a writable one just because its folder is
    // writable.
    mode_t mode = 0644;
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) return shown + ": is not a regular file; nothing was written";
        if (::access(target.c_str(), W_OK) != 0) {
            return shown + ": you may not write this file (" + std::strerror(errno) + "); nothing was written";
        }
        mode = existing.st_mode & 07777;
    } else if (errno != ENOENT) {
        return shown + ": cannot be examined: " + std::strerror(errno);
    }

    const std::string folder = FolderOf(target);
    std::string temp = TemporaryName(target);
    // An unnamed file first: a save killed while writing leaves nothing behind. It gets a name
    // only for the instant between linking and renaming.
    if (const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600); fd >= 0) {
        bool linked = false;
        if (WriteAndFlush(fd, contents, mode)) {
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            for (int attempt = 0; attempt < 100 && !linked; ++attempt) {
                temp = TemporaryName(target);
                // mkstemp's pattern filled by hand: linkat will not replace an existing name.
                static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
                for (std::size_t i = temp.size() - 6; i < temp.size(); ++i) {
                    temp[i] = kLetters[static_cast<std::size_t>(std::rand()) % (sizeof kLetters - 1)];
                }
                linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0;
                if (!linked && errno != EEXIST) break;
            }
        }
        ::close(fd);
        if (linked) return ReplaceTarget(temp, target, folder, shown);
        // No /proc or no hard links here: fall back to a named temporary.
        temp = TemporaryName(target);
    }

    const int fd = mkstemp(temp.data());
    if (fd < 0) return shown + ": cannot create a temporary file beside it: " + std::strerror(errno);
    if (!WriteAndFlush(fd, contents, mode)) {
        const std::string message = shown + ": cannot write: " + std::strerror(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return message;
    }
    if (::close(fd) != 0) {
        const std::string message = shown + ": cannot close: " + std::strerror(errno);
        ::unlink(temp.c_str());
        return message;
    }
    return ReplaceTarget(temp, target, folder, shown);
}

std::string SaveSetupFile(const CMC_Setup& setup, const std::string& path) {
    return WriteFileAtomically(path, SetupToJson(setup));
}

std::string SetIdentityMember(CMC_Setup& setup, std::string_view name, std::string_view text) {
    json object = IdentityJson(setup.GetIdentity());
    std::string key;
    std::string names;
    for (const auto& item : object.items()) {
        if (item.key() == "ioPins") continue;
        if (EqualsNoCase(item.key(), name)) key = item.key();
        names += (names.empty() ? "" : ", ") + item.key();
    }
    if (key.empty()) return "the identity has no member \"" + std::string(name) + "\"; use one of " + names;
    if (object[key].is_string()) {
        object[key] = std::string(text);
    } else {
        long long number = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
        if (ec != std::errc() || end != text.data() + text.size()) {
            return key + ": \"" + std::string(text) + "\" is not a whole number";
        }
        object[key] = number;
    }
    // The rules of a setup file's identity, so that what is saved loads again.
    try {
        SetupIdentity identity = ParseIdentity(object, "");
        if (key == "firmwareId" && !text.empty() && !CMC_Setup::IsFirmwareID(text)) {
            return key + ": \"" + std::string(text) + "\" is not a firmware ID (F, three digits, a capital letter)";
        }
        setup.SetIdentity(std::move(identity));
    } catch (const FormatError& e) {
        return key + ": " + e.what;
    }
    return {};
}
