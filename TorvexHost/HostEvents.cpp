#include "HostEvents.h"

#include "HostProcess.h"
#include "Version.h"

#include <unistd.h>

#include <exception>

namespace torvex::host {

nlohmann::ordered_json errorJSON(const TorvexError& error) {
    return {{"kind", TorvexError::rawValue(error.kind)}, {"what", error.what}, {"why", error.why}, {"fix", error.fix}};
}

nlohmann::ordered_json errorEvent(const TorvexError& error) {
    nlohmann::ordered_json event = {{"event", "error"}};
    event.update(errorJSON(error));
    return event;
}

nlohmann::ordered_json noticeEvent(const std::string& text) { return {{"event", "notice"}, {"text", text}}; }

nlohmann::ordered_json listeningEvent(const std::filesystem::path& socket) {
    return {{"event", "listening"}, {"socket", socket.string()}, {"pid", ::getpid()}, {"version", TorvexVersion::current()}};
}

nlohmann::ordered_json stoppedEvent(int signal) { return {{"event", "stopped"}, {"signal", signalName(signal)}}; }

TorvexError currentError() {
    try {
        throw;
    } catch (const TorvexError& error) {
        return error;
    } catch (const Cancelled&) {
        return TorvexError(TorvexError::Kind::generic, "Cancelled.", "", "");
    } catch (const std::exception& error) {
        return TorvexError(TorvexError::Kind::generic, "Torvex failed.", error.what(), "Check the Torvex logs.");
    } catch (...) {
        return TorvexError(TorvexError::Kind::generic, "Torvex failed.", "An unknown error was thrown.",
                           "Check the Torvex logs.");
    }
}

} // namespace torvex::host
