#pragma once

#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Core/ProcessRunner.h"
#include "Core/TorvexError.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The records of the socket protocol: one compact JSON object a line, the client's one request
// and the server's messages. Absent fields are left out, never written as null.
namespace torvex {

namespace IPC {

inline constexpr std::int64_t protocolVersion = 1;

// TORVEX_SOCKET when set and not empty (as written), else support/"torvex.sock". Tests nothing.
std::filesystem::path socketPath(const TorvexPaths& paths, const Environment& environment);

} // namespace IPC

// The one line a client sends.
struct IPCRequest {
    // Every field optional; only those set are written, in this order.
    struct Arguments {
        std::optional<std::string> project{};
        std::optional<std::string> bundle{};
        std::optional<std::string> appName{};
        std::optional<std::string> engineOptions{};
        std::optional<std::string> profile{};
        std::optional<std::int64_t> dpi{};
        std::optional<std::int64_t> width{};
        std::optional<std::int64_t> height{};
        std::optional<std::string> theme{};
        std::optional<std::string> locale{};
        std::optional<std::string> name{};
        std::optional<std::string> output{};
        std::optional<std::string> flutterRoot{};

        bool operator==(const Arguments&) const = default;
    };

    std::string id;
    std::string cmd;
    Arguments args;

    IPCRequest() = default;
    // A request with a fresh random UUID (upper-case canonical text) as its id.
    IPCRequest(std::string cmd, Arguments args);
    IPCRequest(std::string id, std::string cmd, Arguments args);

    bool operator==(const IPCRequest&) const = default;
};

// One line the server sends.
struct IPCMessage {
    enum class Kind { hello, log, progress, result, error };

    std::optional<std::string> id;
    Kind type = Kind::hello;
    std::optional<std::string> version;
    std::optional<std::int64_t> protocolVersion;
    std::optional<std::string> stream;
    std::optional<std::string> text;
    std::optional<std::string> value;
    std::optional<std::int32_t> kind;
    std::optional<std::string> what;
    std::optional<std::string> why;
    std::optional<std::string> fix;

    // This program's version and the protocol version.
    static IPCMessage hello();
    // One output line of the request `id`, on "stdout" or "stderr".
    static IPCMessage log(const std::string& id, const OutputLine& line);
    // The request's end; `value` only when given.
    static IPCMessage result(const std::string& id, std::optional<std::string> value);
    // The request's end as an error; kind, what, why and fix always present.
    static IPCMessage error(const std::string& id, const TorvexError& error);

    // None unless this is an error message. A missing or unknown kind reads as generic, a missing
    // what as "Unknown error", missing why and fix as empty.
    std::optional<TorvexError> torvexError() const;

    bool operator==(const IPCMessage&) const = default;
};

// "hello", "log", "progress", "result", "error".
std::string_view rawValue(IPCMessage::Kind kind);
std::optional<IPCMessage::Kind> messageKindFromRawValue(std::string_view text);

// The compact JSON of a record, without a line end; slashes are not escaped.
// A request must be valid UTF-8: otherwise a TorvexError says which field is not.
std::string encode(const IPCRequest& request);
// A message never fails to encode: bytes that are not UTF-8 become U+FFFD, so that no message,
// least of all a request's final one, is ever lost.
std::string encode(const IPCMessage& message);

// None when the line is not one JSON object of the record's shape: a required field missing or
// null, a value of the wrong type or range (a whole-number float is fine in an integer field),
// an unknown message type, trailing bytes other than white space, or invalid UTF-8.
// Unknown keys are ignored; null reads as absent.
std::optional<IPCRequest> decodeRequest(std::string_view line);
std::optional<IPCMessage> decodeMessage(std::string_view line);

} // namespace torvex
