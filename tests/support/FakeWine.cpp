#include "support/FakeWine.h"

#include "support/TestSupport.h"

#include <sstream>

namespace torvex::testing {
namespace fs = std::filesystem;

namespace {

// The scenario holds one rule a line: "<selector>\t<action>\t<value>". The rules of "<name> <first
// argument>" are used when there are any, else those of "<name>".
std::string script(const fs::path& root) {
    std::string variables;
    for (const char* name : FakeWine::loggedVariables) variables += std::string(" ") + name;
    return "root=" + shellQuoted(root.string()) + "\n" +
           R"(name=$(basename "$0")
tab=$(printf '\t')
scenario="$root/scenario"

record="program=$name${tab}pid=$$${tab}cwd=$PWD"
for variable in)" + variables + R"(; do
  if eval "[ -n \"\${$variable+set}\" ]"; then eval "record=\"\$record\${tab}env=$variable=\$$variable\""; fi
done
n=1
while eval "[ -n \"\${FLUTTER_ENGINE_SWITCH_$n+set}\" ]"; do
  eval "record=\"\$record\${tab}env=FLUTTER_ENGINE_SWITCH_$n=\$FLUTTER_ENGINE_SWITCH_$n\""
  n=$((n + 1))
done
for argument in "$@"; do record="$record${tab}arg=$argument"; done
# `wine reg import C:\...`: the file's lines (header and blank lines aside), read from drive_c.
if [ "$name" = wine ] && [ "${1-}" = reg ] && [ "${2-}" = import ] && [ -n "${WINEPREFIX-}" ]; then
  file=$(printf '%s' "${3#C:}" | tr '\\' /)
  cr=$(printf '\r')
  while IFS= read -r line || [ -n "$line" ]; do
    line=${line%"$cr"}
    case $line in ""|"Windows Registry Editor Version 5.00") ;; *) record="$record${tab}imported=$line" ;; esac
  done < "$WINEPREFIX/drive_c$file"
fi
printf '%s\n' "$record" >> "$root/calls.log"

rules() {
  [ -f "$scenario" ] || return 0
  while IFS="$tab" read -r selector action value; do
    if [ "$selector" = "$1" ]; then printf '%s\t%s\n' "$action" "$value"; fi
  done < "$scenario"
}
chosen=
if [ $# -gt 0 ]; then chosen=$(rules "$name $1"); fi
if [ -z "$chosen" ]; then chosen=$(rules "$name"); fi

code=0 systemreg=yes waiting=no sequence= counter= repeat=1
while IFS="$tab" read -r action value; do
  case $action in
    stdout) i=0; while [ $i -lt "$repeat" ]; do printf '%s\n' "$value"; i=$((i + 1)); done ;;
    stderr) printf '%s\n' "$value" >&2 ;;
    exit) code=$value ;;
    codes) sequence=$value ;;
    counter) counter=$value ;;
    systemreg) systemreg=$value ;;
    wait) waiting=yes ;;
    ignoreterm) trap '' TERM ;;
    repeat) repeat=$value ;;
  esac
done <<END
$chosen
END

# The n-th start under a selector with a sequence takes its n-th code while there is one; each
# setting of the selector's behaviour has a counter file of its own.
if [ -n "$sequence" ]; then
  printf x >> "$root/$counter"
  n=$(($(wc -c < "$root/$counter")))
  set -- $sequence
  if [ "$n" -le $# ]; then eval "code=\${$n}"; fi
fi

if [ "$name" = wineboot ] && [ "$systemreg" = yes ] && [ -n "${WINEPREFIX-}" ]; then
  mkdir -p "$WINEPREFIX/drive_c" && : > "$WINEPREFIX/system.reg" && : > "$WINEPREFIX/user.reg"
fi
if [ "$waiting" = yes ]; then
  n=0
  while [ -e "$scenario" ] && [ $n -lt 600 ]; do sleep 0.1; n=$((n + 1)); done
fi
exit "$code"
)";
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string piece;
    std::istringstream in(text);
    while (std::getline(in, piece, separator)) pieces.push_back(piece);
    return pieces;
}

} // namespace

std::vector<std::string> FakeWineCall::argv() const {
    std::vector<std::string> all{program};
    all.insert(all.end(), arguments.begin(), arguments.end());
    all.insert(all.end(), imported.begin(), imported.end());
    return all;
}

std::vector<std::string> themeImport(const std::string& data) {
    const std::string dword = data == "1" ? "00000001" : "00000000";
    return {"wine", "reg", "import", "C:\\Torvex\\torvex-theme.reg",
            "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize]",
            "\"AppsUseLightTheme\"=dword:" + dword, "\"SystemUsesLightTheme\"=dword:" + dword};
}

void writePreparedPrefix(const fs::path& prefix) {
    for (const char* file : {"system.reg", "user.reg"}) writeFile(prefix / file, "WINE REGISTRY Version 2\n");
    writeFile(prefix / "torvex-ready", "");
}

FakeWine::FakeWine(const fs::path& root) : root_(root), bin_(root / "bin") {
    const std::string body = script(root_);
    for (const char* program : {"wine", "wineboot", "wineserver"}) writeScript(bin_ / program, body);
    writeScenario();
}

FakeWine::~FakeWine() {
    std::error_code ignored;
    fs::remove(root_ / "scenario", ignored);
}

void FakeWine::behave(const std::string& selector, const FakeWineBehaviour& behaviour) {
    behaviours_[selector] = behaviour;
    counters_[selector] = "starts-" + std::to_string(++settings_);  // a new count for this selector
    writeScenario();
}

void FakeWine::writeScenario() const {
    std::string rules;
    for (const auto& [selector, behaviour] : behaviours_) {
        const auto rule = [&](const std::string& action, const std::string& value) {
            rules += selector + "\t" + action + "\t" + value + "\n";
        };
        if (behaviour.ignoreTerm) rule("ignoreterm", "");  // before any line it prints
        if (behaviour.repeatStandardOutput != 1) rule("repeat", std::to_string(behaviour.repeatStandardOutput));
        for (const auto& line : behaviour.standardOutput) rule("stdout", line);
        for (const auto& line : behaviour.standardError) rule("stderr", line);
        rule("exit", std::to_string(behaviour.exitCode));
        if (!behaviour.firstExitCodes.empty()) {
            std::string codes;
            for (const int code : behaviour.firstExitCodes) {
                if (!codes.empty()) codes += ' ';  // appended: GCC 12 at -O3 warns falsely on `" " + text`
                codes += std::to_string(code);
            }
            rule("codes", codes);
            rule("counter", counters_.at(selector));
        }
        rule("systemreg", behaviour.createSystemReg ? "yes" : "no");
        if (behaviour.waitForSignal) rule("wait", "");
    }
    writeFile(root_ / "scenario", rules);
}

std::vector<FakeWineCall> FakeWine::calls() const {
    std::vector<FakeWineCall> calls;
    for (const auto& line : split(readFile(root_ / "calls.log"), '\n')) {
        FakeWineCall call;
        for (const auto& field : split(line, '\t')) {
            if (field.starts_with("program=")) {
                call.program = field.substr(8);
            } else if (field.starts_with("pid=")) {
                call.pid = std::stoi(field.substr(4));
            } else if (field.starts_with("cwd=")) {
                call.cwd = field.substr(4);
            } else if (field.starts_with("arg=")) {
                call.arguments.push_back(field.substr(4));
            } else if (field.starts_with("imported=")) {
                call.imported.push_back(field.substr(9));
            } else if (field.starts_with("env=")) {
                const auto equals = field.find('=', 4);
                call.environment[field.substr(4, equals - 4)] = field.substr(equals + 1);
            }
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

std::vector<std::vector<std::string>> FakeWine::argvs() const {
    std::vector<std::vector<std::string>> all;
    for (const auto& call : calls()) all.push_back(call.argv());
    return all;
}

void FakeWine::clearCalls() const {
    std::error_code ignored;
    fs::remove(root_ / "calls.log", ignored);
}

} // namespace torvex::testing
