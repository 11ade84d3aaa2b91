#include "Commands.h"
#include "ExitStatus.h"
#include "Output.h"
#include "Build/Toolchain.h"
#include "Core/Environment.h"
#include "Core/Paths.h"
#include "Runtime/WineEnvironment.h"

namespace torvex::cli {

CommandSpec pingCommand() {
    return {"ping",
            "Print \"ready\" if Torvex can build and run apps.",
            "Checked locally so that IDEs polling for devices don't start the Torvex host.",
            true,
            {},
            {},
            [](const ParsedArguments&) {
                const TorvexPaths& paths = TorvexPaths::defaultPaths();
                const Environment environment = currentEnvironment();
                try {
                    Toolchain::locate(paths, environment);
                    WineEnvironment::locate(paths, "default", environment);
                } catch (const TorvexError& error) {
                    Output::err(shownError(error));
                    throw ExitCode{1};
                }
                Output::out("ready");
            }};
}

CommandSpec forwardCommand() {
    using Kind = ArgumentSpec::Kind;
    using Value = ArgumentSpec::Value;
    return {"forward",
            "Forward a device port to a host port.",
            "Wine shares this machine's network stack, so this only succeeds when both ports are the same.",
            true,
            {{Kind::positional, "host-port", "", true, Value::integer},
             {Kind::positional, "device-port", "", true, Value::integer}},
            {},
            [](const ParsedArguments& given) {
                const std::int64_t host = given.integer("host-port").value_or(0);
                const std::int64_t device = given.integer("device-port").value_or(0);
                if (host == device) {
                    Output::out("forwarded");
                    return;
                }
                Output::err("Torvex apps use this machine's network directly; host port " + std::to_string(host) +
                            " must equal device port " + std::to_string(device) + ".");
                throw ExitCode{1};
            }};
}

} // namespace torvex::cli
