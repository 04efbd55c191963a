#include "MC_SetupFile.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

// Ordered, so that parameters and options keep the order the file gives them.
using json = nlohmann::ordered_json;

namespace {

constexpr std::string_view kFormatName = "pelmora-setup";
constexpr int kFormatVersion = 1;

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

std::string Pointer(std::string_view base, std::string_view member) {
    std::string p(base);
    p += '/';
    p += member;
    return p;
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

long long Integer(const json& value, const std::string& at) {
    if (!value.is_number_integer()) throw FormatError{at, "an integer was expected"};
    return value.get<long long>();
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
        const long long words = Integer(*size, at + "/e2romSize");
        if (words < 0 || words > 0xFFFFFF) throw FormatError{at + "/e2romSize", "the size is out of range"};
        identity.e2romSize = static_cast<unsigned>(words);
    }
    if (const auto version = object.find("mcVersion"); version != object.end()) {
        identity.mcVersion = static_cast<int>(Integer(*version, at + "/mcVersion"));
    }
    if (const auto bits = object.find("adcBits"); bits != object.end()) {
        const long long adcBits = Integer(*bits, at + "/adcBits");
        if (adcBits < 1 || adcBits > 16) throw FormatError{at + "/adcBits", "the ADC width must be 1 to 16 bits"};
        identity.adcBits = static_cast<int>(adcBits);
    }
    if (const auto pins = object.find("ioPins"); pins != object.end()) {
        const json& array = Array(*pins, at + "/ioPins");
        for (std::size_t i = 0; i < array.size(); ++i) {
            const std::string pinAt = Pointer(at + "/ioPins", i);
            const json& pin = Object(array[i], pinAt);
            IOPin io;
            io.port = static_cast<int>(Integer(Member(pin, "port", pinAt), pinAt + "/port"));
            io.pin = static_cast<int>(Integer(Member(pin, "pin", pinAt), pinAt + "/pin"));
            io.inverted = pin.value("inverted", false);
            io.brake = pin.value("brake", false);
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
        const UnitChoice unit = ReadUnit(item, named);
        if (name.empty()) throw FormatError{at + "/name", "the name is empty"};
        if (!setup.AddParameter(name, ReadKind(item, named), unit.type, *unit.unit, value, min, max)) {
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
    for (const auto& [name, value] : object.items()) {
        const std::string at = Pointer("/options", name);
        const std::string text = String(value, at);
        if (name.empty()) throw FormatError{at, "an option name is empty"};
        for (const auto& [existing, unused] : setup.GetOptions()) {
            if (EqualsNoCase(existing, name)) {
                throw FormatError{at, "the option \"" + name + "\" is already defined (as \"" + existing +
                                          "\"; names are compared without regard to case)"};
            }
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

// Rejects a key that appears twice in one object: the JSON reader would silently keep the last.
class DuplicateKeyCheck {
public:
    bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
        switch (event) {
            case json::parse_event_t::object_start:
                m_keys.emplace_back();
                break;
            case json::parse_event_t::object_end:
                m_keys.pop_back();
                break;
            case json::parse_event_t::key: {
                const std::string key = parsed.get<std::string>();
                if (!m_keys.back().insert(key).second) {
                    throw FormatError{"", "the member \"" + key + "\" appears twice in one object"};
                }
                break;
            }
            default:
                break;
        }
        return true;
    }

private:
    std::vector<std::set<std::string>> m_keys;
};

// "line L, column C: " of the first occurrence of the token quoted in `message`, or "".
std::string PlaceOfQuotedToken(std::string_view text, std::string_view message) {
    const auto open = message.find('\'');
    const auto close = message.rfind('\'');
    if (open == std::string_view::npos || close <= open + 1) return {};
    const std::string_view token = message.substr(open + 1, close - open - 1);
    const auto at = text.find(token);
    if (at == std::string_view::npos) return {};
    const std::string_view before = text.substr(0, at);
    const auto line = std::count(before.begin(), before.end(), '\n') + 1;
    const auto lineStart = before.rfind('\n');
    const auto column = at - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column) + ": ";
}

}  // namespace

SetupLoadResult ParseSetup(std::string_view jsonText, std::string_view sourceName) {
    const std::string source(sourceName);
    SetupLoadResult result;
    try {
        DuplicateKeyCheck check;
        const json doc = json::parse(jsonText.begin(), jsonText.end(), std::ref(check));
        if (!doc.is_object()) throw FormatError{"", "the document is not a JSON object"};
        const std::string format = String(Member(doc, "format", ""), "/format");
        if (format != kFormatName) throw FormatError{"/format", "this is not a Pelmora setup (\"" + format + "\")"};
        const long long version = Integer(Member(doc, "version", ""), "/version");
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
    } catch (const json::parse_error& e) {
        // The reader's message carries the line and column.
        result.error = source + ": " + e.what();
    } catch (const FormatError& e) {
        result.error = source + ": " + (e.pointer.empty() ? std::string() : "at " + e.pointer + ": ") + e.what;
    } catch (const json::out_of_range& e) {
        // A number too large for a double: the reader names the token but not its place.
        result.error = source + ": " + PlaceOfQuotedToken(jsonText, e.what()) + e.what();
    } catch (const json::exception& e) {
        result.error = source + ": " + e.what();
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

std::string WriteFileAtomically(const std::string& path, std::string_view contents) {
    const std::size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    std::string temp = path + ".tmp.XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return path + ": cannot create a temporary file beside it: " + std::strerror(errno);
    auto fail = [&](const char* what) {
        const std::string message = path + ": " + what + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return message;
    };
    const char* data = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return fail("cannot write");
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    // Keep the permissions of the file being replaced, or the usual ones for a new file.
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
    if (::fchmod(fd, mode) != 0) return fail("cannot set the file's permissions");
    if (::fsync(fd) != 0) return fail("cannot flush to disk");
    if (::close(fd) != 0) {
        const std::string message = path + ": cannot close: " + std::strerror(errno);
        ::unlink(temp.c_str());
        return message;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string message = path + ": cannot replace: " + std::strerror(errno);
        ::unlink(temp.c_str());
        return message;
    }
    // The rename itself is durable only once the folder is flushed.
    if (const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
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
