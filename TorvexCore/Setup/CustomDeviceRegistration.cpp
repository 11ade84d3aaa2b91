#include "CustomDeviceRegistration.h"

#include "Core/Files.h"
#include "Core/Paths.h"
#include "Core/TextFile.h"
#include "Core/TorvexError.h"

#include <algorithm>

namespace torvex {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Deeper documents are refused: writing one back would recurse that deep.
constexpr std::size_t maximumDepth = 512;

struct TooDeep {};

// The document's top-level value; none when it is not JSON or nests deeper than the limit.
std::optional<json> parseDocument(const std::string& bytes) {
    try {
        json value = json::parse(
            bytes,
            [](int depth, json::parse_event_t, json&) {
                if (static_cast<std::size_t>(depth) > maximumDepth) throw TooDeep{};
                return true;
            },
            false);
        if (value.is_discarded()) return std::nullopt;
        return value;
    } catch (const TooDeep&) {
        return std::nullopt;
    }
}

// The file's object: empty when there is no readable regular file or it is empty.
json read(const fs::path& file) {
    const auto bytes = readRegularFile(file);
    if (!bytes || bytes->empty()) return json::object();
    auto document = parseDocument(*bytes);
    if (!document || !document->is_object())
        throw TorvexError(TorvexError::Kind::generic, "Could not read " + file.string() + ".", "It is not valid JSON.",
                          "Fix or delete the file, then run `torvex setup --register` again.");
    return std::move(*document);
}

// Pretty, keys sorted, slashes as they are; through a link, the file it points to is replaced.
void write(const json& document, const fs::path& file) {
    std::error_code error;
    fs::path target = file;
    if (fs::is_symlink(file, error)) {
        const fs::path resolved = fs::canonical(file, error);
        if (!error) target = resolved;
    }
    if (target.has_parent_path()) fs::create_directories(target.parent_path());
    writeFileAtomically(target, document.dump(2) + "\n");
}

bool isOurEntry(const json& element) {
    if (!element.is_object()) return false;
    const auto id = element.find("id");
    return id != element.end() && id->is_string() && id->get_ref<const std::string&>() == CustomDeviceRegistration::deviceID;
}

json devicesOf(const json& document) {
    const auto devices = document.find("custom-devices");
    return devices != document.end() && devices->is_array() ? *devices : json::array();
}

} // namespace

namespace CustomDeviceRegistration {

fs::path flutterConfigFile(const Environment& environment, const std::string& name) {
    const fs::path home = homeFolder(environment);
    const fs::path ownFile = home / (".flutter_" + name);
    std::error_code error;
    if (fs::is_regular_file(ownFile, error)) return ownFile;
    if (const auto base = nonEmptyValue(environment, "XDG_CONFIG_HOME")) return fs::path(*base) / name;
    return home / ".config" / "flutter" / name;
}

fs::path configFile(const Environment& environment) { return flutterConfigFile(environment, "custom_devices.json"); }

bool customDevicesEnabled(const Environment& environment) {
    if (const auto variable = environment.find("FLUTTER_CUSTOM_DEVICES"); variable != environment.end())
        return variable->second == "true";
    const auto bytes = readRegularFile(flutterConfigFile(environment, "settings"));
    if (!bytes) return false;
    const auto document = parseDocument(*bytes);
    if (!document || !document->is_object()) return false;
    const auto flag = document->find("enable-custom-devices");
    return flag != document->end() && flag->is_boolean() && flag->get<bool>();
}

json deviceEntry(const std::string& cli) {
    return {
        {"id", deviceID},
        {"label", "Torvex \u00B7 Windows 11"},
        {"sdkNameAndVersion", "Windows 11 (Torvex)"},
        {"platform", "linux-x64"},
        {"enabled", true},
        {"ping", json::array({cli, "ping"})},
        {"pingSuccessRegex", "^ready\\s*$"},
        {"postBuild", json::array({cli, "build", "--bundle", "${localPath}", "--app-name", "${appName}"})},
        {"install", json::array({cli, "install", "--bundle", "${localPath}", "--app-name", "${appName}"})},
        {"uninstall", json::array({cli, "uninstall", "--app-name", "${appName}"})},
        {"runDebug", json::array({cli, "run", "--app-name", "${appName}", "--engine-options=${engineOptions}"})},
        {"screenshot", json::array({cli, "screenshot", "--stdout"})},
    };
}

void registerDevice(const std::string& cli, const fs::path& file) {
    json document = read(file);
    json devices = devicesOf(document);
    const auto ours = std::find_if(devices.begin(), devices.end(), isOurEntry);
    if (ours != devices.end()) *ours = deviceEntry(cli);
    else devices.push_back(deviceEntry(cli));
    document["custom-devices"] = std::move(devices);
    write(document, file);
}

Removal unregister(const fs::path& file) {
    std::error_code error;
    if (!fs::exists(file, error)) return Removal::noFile;
    json document = read(file);
    json devices = devicesOf(document);
    json kept = json::array();
    for (auto& element : devices)
        if (!isOurEntry(element)) kept.push_back(std::move(element));
    const bool removed = kept.size() < devices.size();
    document["custom-devices"] = std::move(kept);
    write(document, file);
    return removed ? Removal::removed : Removal::notRegistered;
}

std::optional<std::string> registeredCLI(const fs::path& file) {
    json document;
    try {
        document = read(file);
    } catch (const TorvexError&) {
        return std::nullopt;
    }
    const auto devices = document.find("custom-devices");
    if (devices == document.end() || !devices->is_array()) return std::nullopt;
    const auto ours = std::find_if(devices->begin(), devices->end(), isOurEntry);
    if (ours == devices->end()) return std::nullopt;
    const auto ping = ours->find("ping");
    if (ping == ours->end() || !ping->is_array() || ping->empty()) return std::nullopt;
    for (const auto& part : *ping)
        if (!part.is_string()) return std::nullopt;
    return ping->front().get<std::string>();
}

} // namespace CustomDeviceRegistration

} // namespace torvex
