#include "Messages.h"

#include "Core/JSONNumber.h"
#include "Core/UTF8.h"
#include "Core/Version.h"

#include <unistd.h>

#include <nlohmann/json.hpp>

#include <array>
#include <limits>
#include <random>
#include <type_traits>
#include <utility>

namespace torvex {
namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

constexpr std::array<IPCMessage::Kind, 5> allKinds{IPCMessage::Kind::hello, IPCMessage::Kind::log,
                                                   IPCMessage::Kind::progress, IPCMessage::Kind::result,
                                                   IPCMessage::Kind::error};

// A line that does not have the record's shape.
struct Undecodable {};

// The member, or null when it is missing or null.
const Json* member(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

const Json& required(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) throw Undecodable{};
    return *value;
}

std::string text(const Json& value) {
    if (!value.is_string()) throw Undecodable{};
    return value.get<std::string>();
}

std::int64_t integer(const Json& value) {
    const auto number = wholeNumber(value);
    if (!number) throw Undecodable{};
    return *number;
}

void read(const Json& object, const char* key, std::optional<std::string>& field) {
    if (const Json* value = member(object, key)) field = text(*value);
}

void read(const Json& object, const char* key, std::optional<std::int64_t>& field) {
    if (const Json* value = member(object, key)) field = integer(*value);
}

template <class Value>
void write(Json& object, const char* key, const std::optional<Value>& field) {
    if (field) object[key] = *field;
}

// Calls visit(key, field) for every argument, in the order they are written.
template <class Arguments, class Visit>
void eachArgument(Arguments& args, Visit&& visit) {
    visit("project", args.project);
    visit("bundle", args.bundle);
    visit("appName", args.appName);
    visit("engineOptions", args.engineOptions);
    visit("profile", args.profile);
    visit("dpi", args.dpi);
    visit("width", args.width);
    visit("height", args.height);
    visit("theme", args.theme);
    visit("locale", args.locale);
    visit("name", args.name);
    visit("output", args.output);
    visit("flutterRoot", args.flutterRoot);
}

// The line as one JSON object; none when it is not one.
std::optional<Json> parseObject(std::string_view line) {
    Json document = Json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
    if (!document.is_object()) return std::nullopt;
    return document;
}

// JSON text is UTF-8; a path that is not must not reach the service altered.
void requireUTF8(const std::string& field, const std::string& value) {
    if (!isValidUTF8(value))
        throw TorvexError(TorvexError::Kind::generic, "The request cannot be sent to Torvex.",
                          "The value of \"" + field + "\" is not valid UTF-8.", "Use paths and names that are valid UTF-8.");
}

std::string canonicalUUID() {
    std::array<unsigned char, 16> bytes{};
    if (::getentropy(bytes.data(), bytes.size()) != 0) {
        std::random_device device;
        for (auto& byte : bytes) byte = static_cast<unsigned char>(device());
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) result.push_back('-');
        result.push_back(digits[bytes[i] >> 4]);
        result.push_back(digits[bytes[i] & 0x0F]);
    }
    return result;
}

// A key of a message and the field it fills.
struct Slot {
    std::string_view key;
    std::optional<std::string> IPCMessage::*text = nullptr;
    std::optional<std::int64_t> IPCMessage::*wide = nullptr;
    std::optional<std::int32_t> IPCMessage::*narrow = nullptr;
    bool type = false;
};
constexpr Slot slots[] = {
    {"id", &IPCMessage::id},           {"type", nullptr, nullptr, nullptr, true},
    {"version", &IPCMessage::version}, {"protocolVersion", nullptr, &IPCMessage::protocolVersion},
    {"stream", &IPCMessage::stream},   {"text", &IPCMessage::text},
    {"value", &IPCMessage::value},     {"kind", nullptr, nullptr, &IPCMessage::kind},
    {"what", &IPCMessage::what},       {"why", &IPCMessage::why},
    {"fix", &IPCMessage::fix},
};

// Reads a message line straight into an IPCMessage, without building a JSON tree first: log
// lines are most of the traffic. The rules are those of decodeRequest: a known key with a value of
// the wrong type fails the line, null is absent, unknown keys are skipped whatever they hold.
class MessageReader final : public nlohmann::json_sax<Json> {
public:
    explicit MessageReader(IPCMessage& message) : message_(message) {}

    // Whether the line had a known type.
    bool typed() const { return typed_; }

    bool null() override {
        if (!atMember()) return depth_ > 0;
        if (slot_->text) message_.*slot_->text = std::nullopt;
        if (slot_->wide) message_.*slot_->wide = std::nullopt;
        if (slot_->narrow) message_.*slot_->narrow = std::nullopt;
        if (slot_->type) typed_ = false;
        return true;
    }
    bool boolean(bool) override { return depth_ > 0 && !atMember(); }
    bool number_integer(number_integer_t value) override { return number(Json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return number(Json(value)); }
    bool number_float(number_float_t value, const string_t&) override { return number(Json(value)); }
    bool string(string_t& value) override {
        if (!atMember()) return depth_ > 0;
        if (slot_->text) {
            message_.*slot_->text = std::move(value);
            return true;
        }
        if (!slot_->type) return false;
        const auto type = messageKindFromRawValue(value);
        if (!type) return false;
        message_.type = *type;
        typed_ = true;
        return true;
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return open(); }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return depth_ > 0 && open(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        if (depth_ != 1) return true;
        slot_ = nullptr;
        for (const Slot& slot : slots)
            if (slot.key == name) slot_ = &slot;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    // The value being read belongs to a known key of the top-level object.
    bool atMember() const { return depth_ == 1 && slot_ != nullptr; }

    bool number(const Json& value) {
        if (!atMember()) return depth_ > 0;
        const auto whole = wholeNumber(value);
        if (!whole) return false;
        if (slot_->wide) {
            message_.*slot_->wide = *whole;
            return true;
        }
        if (!slot_->narrow || *whole < std::numeric_limits<std::int32_t>::min() ||
            *whole > std::numeric_limits<std::int32_t>::max())
            return false;
        message_.*slot_->narrow = static_cast<std::int32_t>(*whole);
        return true;
    }

    // A container opens: the top-level object, or the value of an unknown key (or inside one).
    bool open() {
        if (atMember()) return false;
        ++depth_;
        slot_ = nullptr;
        return true;
    }
    bool close() {
        --depth_;
        slot_ = nullptr;
        return true;
    }

    IPCMessage& message_;
    int depth_ = 0;
    const Slot* slot_ = nullptr;
    bool typed_ = false;
};

} // namespace

fs::path IPC::socketPath(const TorvexPaths& paths, const Environment& environment) {
    if (const auto value = nonEmptyValue(environment, "TORVEX_SOCKET")) return fs::path(*value);
    return paths.support / "torvex.sock";
}

IPCRequest::IPCRequest(std::string cmd, Arguments args)
    : id(canonicalUUID()), cmd(std::move(cmd)), args(std::move(args)) {}

IPCRequest::IPCRequest(std::string id, std::string cmd, Arguments args)
    : id(std::move(id)), cmd(std::move(cmd)), args(std::move(args)) {}

IPCMessage IPCMessage::hello() {
    IPCMessage message;
    message.type = Kind::hello;
    message.version = TorvexVersion::current();
    message.protocolVersion = IPC::protocolVersion;
    return message;
}

IPCMessage IPCMessage::log(const std::string& id, const OutputLine& line) {
    IPCMessage message;
    message.id = id;
    message.type = Kind::log;
    message.stream = std::string(streamName(line.stream));
    message.text = line.text;
    return message;
}

IPCMessage IPCMessage::result(const std::string& id, std::optional<std::string> value) {
    IPCMessage message;
    message.id = id;
    message.type = Kind::result;
    message.value = std::move(value);
    return message;
}

IPCMessage IPCMessage::error(const std::string& id, const TorvexError& error) {
    IPCMessage message;
    message.id = id;
    message.type = Kind::error;
    message.kind = TorvexError::rawValue(error.kind);
    message.what = error.what;
    message.why = error.why;
    message.fix = error.fix;
    return message;
}

std::optional<TorvexError> IPCMessage::torvexError() const {
    if (type != Kind::error) return std::nullopt;
    const auto errorKind = TorvexError::kindFromRawValue(kind.value_or(1)).value_or(TorvexError::Kind::generic);
    return TorvexError(errorKind, what.value_or("Unknown error"), why.value_or(""), fix.value_or(""));
}

std::string_view rawValue(IPCMessage::Kind kind) {
    switch (kind) {
    case IPCMessage::Kind::hello: return "hello";
    case IPCMessage::Kind::log: return "log";
    case IPCMessage::Kind::progress: return "progress";
    case IPCMessage::Kind::result: return "result";
    case IPCMessage::Kind::error: return "error";
    }
    return "error";
}

std::optional<IPCMessage::Kind> messageKindFromRawValue(std::string_view text) {
    for (const auto kind : allKinds)
        if (rawValue(kind) == text) return kind;
    return std::nullopt;
}

std::string encode(const IPCRequest& request) {
    requireUTF8("id", request.id);
    requireUTF8("cmd", request.cmd);
    Json args = Json::object();
    eachArgument(request.args, [&](const char* key, const auto& field) {
        if constexpr (std::is_same_v<std::decay_t<decltype(field)>, std::optional<std::string>>)
            if (field) requireUTF8(key, *field);
        write(args, key, field);
    });
    Json document = Json::object();
    document["id"] = request.id;
    document["cmd"] = request.cmd;
    document["args"] = std::move(args);
    return document.dump();
}

std::string encode(const IPCMessage& message) {
    Json document = Json::object();
    write(document, "id", message.id);
    document["type"] = rawValue(message.type);
    write(document, "version", message.version);
    write(document, "protocolVersion", message.protocolVersion);
    write(document, "stream", message.stream);
    write(document, "text", message.text);
    write(document, "value", message.value);
    write(document, "kind", message.kind);
    write(document, "what", message.what);
    write(document, "why", message.why);
    write(document, "fix", message.fix);
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<IPCRequest> decodeRequest(std::string_view line) {
    const auto document = parseObject(line);
    if (!document) return std::nullopt;
    try {
        IPCRequest request;
        request.id = text(required(*document, "id"));
        request.cmd = text(required(*document, "cmd"));
        const Json& args = required(*document, "args");
        if (!args.is_object()) return std::nullopt;
        eachArgument(request.args, [&](const char* key, auto& field) { read(args, key, field); });
        return request;
    } catch (const Undecodable&) {
        return std::nullopt;
    }
}

std::optional<IPCMessage> decodeMessage(std::string_view line) {
    IPCMessage message;
    MessageReader reader(message);
    if (!Json::sax_parse(line.begin(), line.end(), &reader) || !reader.typed()) return std::nullopt;
    return message;
}

} // namespace torvex
