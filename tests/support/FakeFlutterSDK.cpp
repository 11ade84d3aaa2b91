#include "support/FakeFlutterSDK.h"

#include "support/TestSupport.h"

namespace torvex::testing {
namespace fs = std::filesystem;

fs::path flutterCalls(const fs::path& root) { return root / "flutter-calls.log"; }
fs::path failFlutter(const fs::path& root) { return root / "fail-flutter"; }

FlutterSDK makeFakeFlutterSDK(const fs::path& root, const std::string& engineRevision, const std::string& realm,
                              const std::string& frameworkVersion) {
    writeFile(root / "bin" / "internal" / "engine.version", engineRevision + "\n");
    if (!realm.empty()) writeFile(root / "bin" / "internal" / "engine.realm", realm + "\n");
    writeFile(root / "bin" / "cache" / "flutter.version.json",
              "{\"frameworkVersion\": \"" + frameworkVersion + "\", \"channel\": \"stable\"}\n");
    writeScript(root / "bin" / "flutter",
                "PATH=\"$PATH:/usr/bin:/bin\"\n"  // the tools it uses, whatever PATH the caller gave
                "root=\"$(cd \"$(dirname \"$0\")/..\" && pwd)\"\n"
                "{ echo \"cwd=$(pwd)\"; for a in \"$@\"; do echo \"arg=$a\"; done; } >> \"$root/flutter-calls.log\"\n"
                "if [ -e \"$root/fail-flutter\" ]; then\n"
                "  echo 'lib/main.dart: Error'; echo 'Compilation failed.' >&2; exit 1\n"
                "fi\n"
                // As the Flutter tool does: the setting goes into its settings file.
                "if [ \"$1\" = config ]; then\n"
                "  [ \"$2\" = --enable-custom-devices ] || exit 0\n"
                "  if [ -f \"$HOME/.flutter_settings\" ]; then settings=\"$HOME/.flutter_settings\"\n"
                "  elif [ -n \"$XDG_CONFIG_HOME\" ]; then settings=\"$XDG_CONFIG_HOME/settings\"\n"
                "  else settings=\"$HOME/.config/flutter/settings\"; fi\n"
                "  mkdir -p \"$(dirname \"$settings\")\" || exit 1\n"
                "  if grep -q '\"enable-custom-devices\"' \"$settings\" 2>/dev/null; then\n"
                "    sed --follow-symlinks -i 's/\"enable-custom-devices\": *[a-z]*/\"enable-custom-devices\": true/' \"$settings\"\n"
                "  elif grep -q '\"' \"$settings\" 2>/dev/null; then\n"
                "    sed --follow-symlinks -i '0,/{/s/{/{\\n  \"enable-custom-devices\": true,/' \"$settings\"\n"
                "  else\n"
                "    printf '{\\n  \"enable-custom-devices\": true\\n}\\n' > \"$settings\"\n"
                "  fi\n"
                "  echo 'Setting \"enable-custom-devices\" value to \"true\".'\n"
                "  exit 0\n"
                "fi\n"
                "dir=''\n"
                "for a in \"$@\"; do case \"$a\" in --asset-dir=*) dir=\"${a#--asset-dir=}\" ;; esac; done\n"
                "[ -n \"$dir\" ] || { echo 'no --asset-dir' >&2; exit 2; }\n"
                "mkdir -p \"$dir/fonts\"\n"
                "printf 'kernel' > \"$dir/kernel_blob.bin\"\n"
                "printf '{}' > \"$dir/AssetManifest.json\"\n"
                "printf 'font' > \"$dir/fonts/MaterialIcons-Regular.otf\"\n"
                "[ -e \"$dir/isolate_snapshot_data\" ] || printf 'tool isolate' > \"$dir/isolate_snapshot_data\"\n"
                "[ -e \"$dir/vm_snapshot_data\" ] || printf 'tool vm' > \"$dir/vm_snapshot_data\"\n");
    return FlutterSDK{root};
}

} // namespace torvex::testing
