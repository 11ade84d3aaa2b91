#include "Build/DartBundle.h"

#include "Core/TorvexError.h"
#include "support/FakeFlutterSDK.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace torvex {
namespace {
namespace fs = std::filesystem;

long long stamp(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return -1;
    return info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
}

// A fake SDK, a project, a work folder (with spaces) and an engine cache holding the two snapshots.
struct BundleRig {
    testing::TempDir temp;
    FlutterSDK sdk = testing::makeFakeFlutterSDK(temp / "flutter");
    fs::path project = temp / "my app";
    fs::path work = temp / "Caches dir" / "builds" / "0123456789abcdef";
    fs::path bundle = work / "build" / "flutter_assets";
    EngineArtifacts engine{"abc123", temp / "engine" / "abc123"};
    std::mutex lock;
    std::vector<std::string> emitted;

    BundleRig() {
        testing::writeFile(project / "pubspec.yaml", "name: my_app\n");
        testing::writeFile(engine.file(EngineArtifacts::isolateSnapshot), "engine isolate");
        testing::writeFile(engine.file(EngineArtifacts::vmSnapshot), "engine vm");
    }

    void prepare(const std::optional<fs::path>& given = std::nullopt) {
        DartBundle::prepare(sdk, project, work, given, engine, [this](const std::string& line) {
            std::lock_guard guard(lock);
            emitted.push_back(line);
        });
    }

    void expectEngineSnapshots() const {
        EXPECT_EQ(testing::readFile(bundle / "isolate_snapshot_data"), "engine isolate");
        EXPECT_EQ(testing::readFile(bundle / "vm_snapshot_data"), "engine vm");
    }
    std::map<std::string, long long> snapshotStamps() const {
        return {{"isolate", stamp(bundle / "isolate_snapshot_data")}, {"vm", stamp(bundle / "vm_snapshot_data")}};
    }
};

TEST(DartBundle, BuiltByTheFlutterToolInTheProjectThenGivenTheEngineSnapshots) {
    BundleRig rig;
    rig.prepare();

    EXPECT_EQ(testing::readFile(testing::flutterCalls(rig.sdk.root)),
              "cwd=" + rig.project.string() +
                  "\narg=build\narg=bundle\narg=--debug\narg=--target-platform=linux-x64\narg=--asset-dir=" +
                  rig.bundle.string() + "\n");
    EXPECT_EQ(rig.emitted, std::vector<std::string>{"Torvex: flutter build bundle --debug"});
    EXPECT_EQ(testing::readFile(rig.bundle / "kernel_blob.bin"), "kernel");
    rig.expectEngineSnapshots();

    const auto before = rig.snapshotStamps();
    rig.prepare();
    EXPECT_EQ(rig.snapshotStamps(), before);
    rig.expectEngineSnapshots();
}

TEST(DartBundle, FlutterToolFailureShowsItsOutputAndFailsTheBuild) {
    BundleRig rig;
    testing::writeFile(testing::failFlutter(rig.sdk.root), "");
    try {
        rig.prepare();
        ADD_FAILURE() << "prepare succeeded";
    } catch (const TorvexError& error) {
        EXPECT_EQ(error.kind, TorvexError::Kind::buildFailed);
        EXPECT_EQ(error.what, "Building the Dart bundle failed.");
        EXPECT_EQ(error.why, "`flutter build bundle` exited with 1.");
        EXPECT_EQ(error.fix, "Fix the Dart errors shown above, then try again.");
    }
    EXPECT_EQ(rig.emitted, (std::vector<std::string>{"Torvex: flutter build bundle --debug", "lib/main.dart: Error",
                                                     "Compilation failed."}));
    EXPECT_FALSE(fs::exists(rig.bundle / "isolate_snapshot_data"));
}

TEST(DartBundle, GivenBundleIsMirroredWithoutStartingTheFlutterTool) {
    BundleRig rig;
    const fs::path given = rig.temp / "given bundle";
    testing::writeFile(given / "kernel_blob.bin", "given kernel");
    testing::writeFile(given / "assets" / "logo.png", "png");
    testing::writeFile(given / "isolate_snapshot_data", "linux isolate");
    testing::writeFile(given / "vm_snapshot_data", "linux vm");
    testing::writeFile(rig.bundle / "stale.txt", "from an earlier build");

    rig.prepare(given);
    EXPECT_FALSE(fs::exists(testing::flutterCalls(rig.sdk.root)));
    EXPECT_TRUE(rig.emitted.empty());
    EXPECT_EQ(testing::readFile(rig.bundle / "kernel_blob.bin"), "given kernel");
    EXPECT_EQ(testing::readFile(rig.bundle / "assets" / "logo.png"), "png");
    EXPECT_FALSE(fs::exists(rig.bundle / "stale.txt"));
    rig.expectEngineSnapshots();

    const auto before = rig.snapshotStamps();
    rig.prepare(given);
    EXPECT_EQ(rig.snapshotStamps(), before);
    rig.expectEngineSnapshots();
}

TEST(DartBundle, MissingGivenBundleIsAnErrorThatKeepsTheOldBundle) {
    for (const char* kind : {"missing", "a file"}) {
        SCOPED_TRACE(kind);
        BundleRig rig;
        const fs::path given = rig.temp / "given bundle";
        if (std::string(kind) == "a file") testing::writeFile(given, "not a folder");
        testing::writeFile(rig.bundle / "kernel_blob.bin", "earlier kernel");
        try {
            rig.prepare(given);
            ADD_FAILURE() << "prepare succeeded";
        } catch (const TorvexError& error) {
            EXPECT_EQ(error.kind, TorvexError::Kind::usage);
            EXPECT_NE(error.what.find(given.string()), std::string::npos) << error.what;
        }
        EXPECT_EQ(testing::readFile(rig.bundle / "kernel_blob.bin"), "earlier kernel");
        EXPECT_FALSE(fs::exists(testing::flutterCalls(rig.sdk.root)));
    }
}

TEST(DartBundle, UnreadableEngineSnapshotIsAFileSystemError) {
    const struct {
        const char* name;
        std::function<void(const fs::path&)> damage;
    } cases[] = {
        {"missing", [](const fs::path& file) { fs::remove(file); }},
        {"a folder", [](const fs::path& file) {
             fs::remove(file);
             fs::create_directory(file);
         }},
    };
    for (const auto& c : cases) {
        BundleRig rig;
        c.damage(rig.engine.file(EngineArtifacts::vmSnapshot));
        EXPECT_THROW(rig.prepare(), fs::filesystem_error) << c.name;
    }
}

} // namespace
} // namespace torvex
