#include "Service/Messages.h"

#include "Core/Version.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>

using namespace torvex;
using namespace torvex::testing;

namespace {

IPCRequest::Arguments allArguments() {
    return {"/p/proj", "/p/proj/build/flutter_assets", "demo", "--enable-dart-profiling", "desk", 144, 2560, 1440,
            "dark", "de-DE", "Büro", "/tmp/shot.png", "/opt/flutter"};
}

} // namespace

TEST(MessagesTest, RequestDecoding) {
    struct Case {
        const char* name;
        std::string line;
        std::optional<IPCRequest> expected;
    };
    const auto with = [](IPCRequest::Arguments args) { return IPCRequest("r1", "profile-set", std::move(args)); };
    const IPCRequest ping("r1", "ping", {});
    const std::vector<Case> cases = {
        {"empty arguments", R"({"id":"r1","cmd":"ping","args":{}})", ping},
        {"keys in another order", R"({"args":{},"cmd":"ping","id":"r1"})", ping},
        {"args missing", R"({"id":"r1","cmd":"ping"})", std::nullopt},
        {"args null", R"({"id":"r1","cmd":"ping","args":null})", std::nullopt},
        {"args a list", R"({"id":"r1","cmd":"ping","args":[]})", std::nullopt},
        {"id missing", R"({"cmd":"ping","args":{}})", std::nullopt},
        {"id null", R"({"id":null,"cmd":"ping","args":{}})", std::nullopt},
        {"cmd missing", R"({"id":"r1","args":{}})", std::nullopt},
        {"cmd a number", R"({"id":"r1","cmd":7,"args":{}})", std::nullopt},
        {"dpi as text", R"({"id":"r1","cmd":"profile-set","args":{"dpi":"96"}})", std::nullopt},
        {"dpi as a whole float", R"({"id":"r1","cmd":"profile-set","args":{"dpi":96.0}})", with({.dpi = 96})},
        {"dpi in exponent form", R"({"id":"r1","cmd":"profile-set","args":{"dpi":1.2e2}})", with({.dpi = 120})},
        {"dpi with a fraction", R"({"id":"r1","cmd":"profile-set","args":{"dpi":1.5}})", std::nullopt},
        {"width at the 64-bit minimum", R"({"id":"r1","cmd":"profile-set","args":{"width":-9223372036854775808}})",
         with({.width = std::numeric_limits<std::int64_t>::min()})},
        {"width past 64 bits", R"({"id":"r1","cmd":"profile-set","args":{"width":9223372036854775808}})", std::nullopt},
        {"theme a list", R"({"id":"r1","cmd":"profile-set","args":{"theme":["dark"]}})", std::nullopt},
        {"null argument is absent", R"({"id":"r1","cmd":"profile-set","args":{"theme":null,"locale":"fr-FR"}})",
         with({.locale = "fr-FR"})},
        {"unknown keys ignored", R"({"id":"r1","cmd":"ping","args":{"future":[1]},"extra":{"a":null}})", ping},
        {"top level a list", "[]", std::nullopt},
        {"top level null", "null", std::nullopt},
        {"top level a string", R"("x")", std::nullopt},
        {"empty line", "", std::nullopt},
        {"trailing garbage", R"({"id":"r1","cmd":"ping","args":{}} x)", std::nullopt},
        {"two objects", R"({"id":"r1","cmd":"ping","args":{}}{})", std::nullopt},
        {"final carriage return", "{\"id\":\"r1\",\"cmd\":\"ping\",\"args\":{}}\r", ping},
        {"invalid UTF-8 in a string", "{\"id\":\"r\xFF\",\"cmd\":\"ping\",\"args\":{}}", std::nullopt},
        {"invalid UTF-8 outside strings", "{\"id\":\"r1\",\"cmd\":\"ping\",\"args\":{}}\xC3", std::nullopt},
        {"a comment", R"({"id":"r1","cmd":"ping","args":{}} // hi)", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeRequest(c.line), c.expected) << c.name;
}

TEST(MessagesTest, MessageDecoding) {
    struct Case {
        const char* name;
        std::string line;
        std::optional<IPCMessage> expected;
    };
    const auto error = [](std::optional<std::int32_t> kind) {
        IPCMessage message;
        message.type = IPCMessage::Kind::error;
        message.kind = kind;
        return message;
    };
    IPCMessage hello;
    hello.version = "0.2.0";
    hello.protocolVersion = 1;
    IPCMessage progress;
    progress.type = IPCMessage::Kind::progress;
    progress.id = "r1";
    const std::vector<Case> cases = {
        {"hello", R"({"type":"hello","version":"0.2.0","protocolVersion":1})", hello},
        {"whole float protocol version", R"({"type":"hello","version":"0.2.0","protocolVersion":1.0})", hello},
        {"protocol version as text", R"({"type":"hello","protocolVersion":"1"})", std::nullopt},
        {"progress", R"({"type":"progress","id":"r1"})", progress},
        {"unknown type", R"({"type":"warning","id":"r1"})", std::nullopt},
        {"type with a capital", R"({"type":"Hello"})", std::nullopt},
        {"type missing", R"({"id":"r1"})", std::nullopt},
        {"type null", R"({"type":null})", std::nullopt},
        {"kind", R"({"type":"error","kind":4})", error(4)},
        {"kind as a whole float", R"({"type":"error","kind":3.0})", error(3)},
        {"kind at the 32-bit minimum", R"({"type":"error","kind":-2147483648})", error(-2147483648)},
        {"kind beyond 32 bits", R"({"type":"error","kind":2147483648})", std::nullopt},
        {"kind null", R"({"type":"error","kind":null})", error(std::nullopt)},
        {"unknown key ignored", R"({"type":"error","kind":4,"when":"now"})", error(4)},
        {"text a number", R"({"type":"log","text":5})", std::nullopt},
        {"text an object", R"({"type":"log","text":{}})", std::nullopt},
        {"id a list", R"({"type":"log","id":["r1"]})", std::nullopt},
        {"value a Boolean", R"({"type":"result","value":true})", std::nullopt},
        {"known names inside unknown keys are skipped",
         R"({"type":"progress","id":"r1","x":{"type":"bad","id":7,"y":[{"text":1},null,true]},"z":[[],{}]})", progress},
        {"a later duplicate wins", R"({"type":"hello","type":"progress","id":"r0","id":"r1"})", progress},
        {"type cleared by a later null", R"({"type":"log","type":null})", std::nullopt},
        {"empty object", "{}", std::nullopt},
        {"top level a list", R"([{"type":"hello"}])", std::nullopt},
        {"top level a number", "1", std::nullopt},
        {"trailing garbage", R"({"type":"progress","id":"r1"}])", std::nullopt},
        {"invalid UTF-8", "{\"type\":\"progress\",\"id\":\"r\xC0\"}", std::nullopt},
        {"final carriage return", "{\"type\":\"progress\",\"id\":\"r1\"}\r", progress},
    };
    for (const auto& c : cases) EXPECT_EQ(decodeMessage(c.line), c.expected) << c.name;
}

TEST(MessagesTest, EncodingIsCompactOrderedAndOmitsAbsentFields) {
    struct Case {
        const char* name;
        std::string encoded;
        std::string expected;
    };
    const TorvexError noReason(TorvexError::Kind::usage, "Missing appName.", "", "");
    const std::vector<Case> cases = {
        {"empty arguments", encode(IPCRequest("r1", "ping", {})), R"({"id":"r1","cmd":"ping","args":{}})"},
        {"all arguments in order, slashes plain", encode(IPCRequest("r1", "x", allArguments())),
         R"({"id":"r1","cmd":"x","args":{"project":"/p/proj","bundle":"/p/proj/build/flutter_assets","appName":"demo",)"
         R"("engineOptions":"--enable-dart-profiling","profile":"desk","dpi":144,"width":2560,"height":1440,)"
         R"("theme":"dark","locale":"de-DE","name":"Büro","output":"/tmp/shot.png","flutterRoot":"/opt/flutter"}})"},
        {"hello", encode(IPCMessage::hello()),
         R"({"type":"hello","version":")" + TorvexVersion::current() + R"(","protocolVersion":1})"},
        {"log from standard error", encode(IPCMessage::log("r1", {OutputStreamKind::standardError, "a \"b\"\t/c"})),
         R"({"id":"r1","type":"log","stream":"stderr","text":"a \"b\"\t/c"})"},
        {"log from standard output", encode(IPCMessage::log("r1", {OutputStreamKind::standardOutput, ""})),
         R"({"id":"r1","type":"log","stream":"stdout","text":""})"},
        {"result without value", encode(IPCMessage::result("r1", std::nullopt)), R"({"id":"r1","type":"result"})"},
        {"result with an empty value", encode(IPCMessage::result("r1", "")), R"({"id":"r1","type":"result","value":""})"},
        {"error keeps empty why and fix", encode(IPCMessage::error("r1", noReason)),
         R"({"id":"r1","type":"error","kind":2,"what":"Missing appName.","why":"","fix":""})"},
        {"bytes that are not UTF-8 in a message", encode(IPCMessage::log("r1", {OutputStreamKind::standardOutput, "a\xFF"})),
         "{\"id\":\"r1\",\"type\":\"log\",\"stream\":\"stdout\",\"text\":\"a\xEF\xBF\xBD\"}"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.encoded, c.expected) << c.name;
}

TEST(MessagesTest, RecordsSurviveARoundTrip) {
    const IPCRequest request("r1", "build", allArguments());
    EXPECT_EQ(decodeRequest(encode(request)), request);

    const std::vector<IPCMessage> messages = {
        IPCMessage::hello(),
        IPCMessage::log("r1", {OutputStreamKind::standardError, "é€😀 \\ \"quoted\" \x01"}),
        IPCMessage::result("r1", std::string(100000, 'A')),
        IPCMessage::error("r1", TorvexError(TorvexError::Kind::buildFailed, "w", "y", "f")),
    };
    for (const auto& message : messages) EXPECT_EQ(decodeMessage(encode(message)), message) << encode(message);
}

TEST(MessagesTest, ARequestThatIsNotUTF8IsRefusedByName) {
    IPCRequest::Arguments args;
    args.bundle = "/home/me/caf\xE9/build";
    const TorvexError error = errorOf([&] { encode(IPCRequest("r1", "build", args)); });
    EXPECT_EQ(error.kind, TorvexError::Kind::generic);
    EXPECT_EQ(error.what, "The request cannot be sent to Torvex.");
    EXPECT_EQ(error.why, "The value of \"bundle\" is not valid UTF-8.");
    EXPECT_FALSE(error.fix.empty());
}

TEST(MessagesTest, TorvexErrorOfAMessage) {
    struct Case {
        const char* name;
        std::string line;
        std::optional<TorvexError::Kind> kind;  // none: no error
        std::string what, why, fix;
    };
    const std::vector<Case> cases = {
        {"log", R"({"type":"log","what":"x"})", std::nullopt, "", "", ""},
        {"result", R"({"type":"result","kind":4})", std::nullopt, "", "", ""},
        {"whole error", R"({"type":"error","kind":4,"what":"w","why":"y","fix":"f"})", TorvexError::Kind::buildFailed,
         "w", "y", "f"},
        {"unsupported", R"({"type":"error","kind":5,"what":"w"})", TorvexError::Kind::unsupported, "w", "", ""},
        {"no kind", R"({"type":"error","what":"w"})", TorvexError::Kind::generic, "w", "", ""},
        {"unknown kind", R"({"type":"error","kind":99,"what":"w"})", TorvexError::Kind::generic, "w", "", ""},
        {"kind 0", R"({"type":"error","kind":0,"what":"w"})", TorvexError::Kind::generic, "w", "", ""},
        {"no texts", R"({"type":"error","kind":3})", TorvexError::Kind::appNotRunning, "Unknown error", "", ""},
    };
    for (const auto& c : cases) {
        const auto message = decodeMessage(c.line);
        ASSERT_TRUE(message) << c.name;
        const auto error = message->torvexError();
        ASSERT_EQ(error.has_value(), c.kind.has_value()) << c.name;
        if (!error) continue;
        EXPECT_EQ(error->kind, *c.kind) << c.name;
        EXPECT_EQ(error->what, c.what) << c.name;
        EXPECT_EQ(error->why, c.why) << c.name;
        EXPECT_EQ(error->fix, c.fix) << c.name;
    }
}

TEST(MessagesTest, SocketPath) {
    const TorvexPaths paths{"/home/me/Library/Application Support/Torvex", "/c", "/l"};
    const std::string fallback = "/home/me/Library/Application Support/Torvex/torvex.sock";
    struct Case {
        Environment environment;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{}, fallback},
        {{{"TORVEX_SOCKET", ""}}, fallback},
        {{{"TORVEX_SOCKET", "/tmp/t.sock"}}, "/tmp/t.sock"},
        {{{"TORVEX_SOCKET", "rel/t.sock"}}, "rel/t.sock"},
    };
    for (const auto& c : cases) EXPECT_EQ(IPC::socketPath(paths, c.environment).string(), c.expected);
}

TEST(MessagesTest, NewRequestsGetFreshCanonicalUUIDs) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        const IPCRequest request("ping", {});
        ASSERT_EQ(request.id.size(), 36u);
        for (std::size_t at = 0; at < 36; ++at) {
            const char c = request.id[at];
            if (at == 8 || at == 13 || at == 18 || at == 23) ASSERT_EQ(c, '-') << request.id;
            else ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << request.id;
        }
        EXPECT_EQ(request.id[14], '4') << "version 4: " << request.id;
        seen.insert(request.id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}
