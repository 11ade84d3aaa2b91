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
                "root=\"$(cd \"$(dirname \"$0\")/..\" && pwd)\"\n"
                "{ echo \"cwd=$(pwd)\"; for a in \"$@\"; do echo \"arg=$a\"; done; } >> \"$root/flutter-calls.log\"\n"
                "if [ -e \"$root/fail-flutter\" ]; then\n"
                "  echo 'lib/main.dart: Error'; echo 'Compilation failed.' >&2; exit 1\n"
                "fi\n"
                "[ \"$1\" = config ] && exit 0\n"
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
