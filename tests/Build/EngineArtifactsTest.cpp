#include "Build/EngineArtifacts.h"

#include "Core/FileLock.h"
#include "Core/TorvexError.h"
#include "support/ArtifactServer.h"
#include "support/EngineArchives.h"
#include "support/Eventually.h"
#include "support/FakeFlutterSDK.h"
#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::ArtifactServer;
using testing::engineArchivePaths;

constexpr const char* revision = "abc123def4567890";

// A support folder, a fake SDK of `revision`, the stand-in archives and a server for them.
struct EngineRig {
    testing::TempDir temp;
    TorvexPaths paths{temp / "Application Support", temp / "Caches", temp / "Logs"};
    FlutterSDK sdk;
    ArtifactServer server;
    std::mutex lock;
    std::vector<std::string> progress;

    explicit EngineRig(const std::string& realm = "")
        : sdk(testing::makeFakeFlutterSDK(temp / "flutter", revision, realm)) {
        testing::writeStandInEngineSources(sources());
        testing::writeEngineArchives(sources(), archives());
        server.serveEngine(revision, archives(), realm);
    }

    fs::path sources() const { return temp / "sources"; }
    fs::path archives() const { return temp / "archives"; }
    fs::path cache() const { return paths.engineCache() / revision; }
    fs::path partial() const { return paths.engineCache() / (std::string(".") + revision + ".partial"); }
    fs::path lockFile() const { return paths.engineCache() / (std::string(".") + revision + ".lock"); }
    Environment environment() const { return {{"FLUTTER_STORAGE_BASE_URL", server.baseURL()}}; }

    EngineArtifacts ensure(const Environment& environment, std::stop_token stop = {},
                           std::chrono::seconds stallTimeout = EngineArtifacts::defaultStallTimeout) {
        return EngineArtifacts::ensure(sdk, paths, environment, [this](const std::string& text) {
            std::lock_guard guard(lock);
            progress.push_back(text);
        }, stop, stallTimeout);
    }
    EngineArtifacts ensure() { return ensure(environment()); }
};

std::vector<std::string> listing(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (!entry.is_directory()) names.push_back(fs::relative(entry.path(), folder).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(EngineArtifacts, FirstEnsureUnpacksTheSelectedMembersAndLaterOnesCostNothing) {
    EngineRig rig;
    // Leftovers of an interrupted run and an incomplete cache folder are both replaced.
    testing::writeFile(rig.partial() / "leftover", "x");
    testing::writeFile(rig.cache() / "flutter_windows.dll", "old");

    const EngineArtifacts engine = rig.ensure();

    EXPECT_EQ(engine.revision, revision);
    EXPECT_EQ(engine.directory, rig.cache());
    EXPECT_TRUE(engine.isComplete());
    EXPECT_EQ(listing(rig.cache()), (std::vector<std::string>{
                                        "cpp_client_wrapper/core_implementations.cc",
                                        "cpp_client_wrapper/include/flutter/plugin_registrar.h",
                                        "flutter_export.h",
                                        "flutter_messenger.h",
                                        "flutter_plugin_registrar.h",
                                        "flutter_texture_registrar.h",
                                        "flutter_windows.dll",
                                        "flutter_windows.dll.exp",
                                        "flutter_windows.dll.lib",
                                        "flutter_windows.h",
                                        "icudtl.dat",
                                        "isolate_snapshot.bin",
                                        "vm_isolate_snapshot.bin",
                                    }));
    EXPECT_EQ(testing::readFile(rig.cache() / "flutter_windows.dll"), "MZ stand-in engine");
    EXPECT_FALSE(fs::exists(rig.partial()));
    EXPECT_EQ(rig.progress, (std::vector<std::string>{"Downloading windows-x64-debug/windows-x64-flutter.zip",
                                                      "Downloading windows-x64/flutter-cpp-client-wrapper.zip",
                                                      "Downloading windows-x64/artifacts.zip"}));
    EXPECT_EQ(rig.server.requests(), 3);

    // Complete: no request, no progress, not even to an unreachable mirror.
    const EngineArtifacts again = rig.ensure({{"FLUTTER_STORAGE_BASE_URL", "http://127.0.0.1:1"}});
    EXPECT_EQ(again.directory, rig.cache());
    EXPECT_EQ(rig.server.requests(), 3);
    EXPECT_EQ(rig.progress.size(), 3u);
    EXPECT_FALSE(fs::exists(rig.partial()));
}

TEST(EngineArtifacts, RealmStandsBetweenTheBaseAndTheArtifactPath) {
    EngineRig rig("flutter_archives_v2");
    rig.ensure({{"FLUTTER_STORAGE_BASE_URL", rig.server.baseURL() + "///"}});
    for (const std::string& archive : engineArchivePaths)
        EXPECT_EQ(rig.server.requests(ArtifactServer::enginePath(revision, archive, "flutter_archives_v2")), 1)
            << archive;
    EXPECT_EQ(rig.server.requests(), 3);
}

TEST(EngineArtifacts, StorageBaseURL) {
    struct Case {
        std::optional<std::string> variable;
        std::string realm;
        std::string expected;
    };
    const Case cases[] = {
        {std::nullopt, "", "https://storage.googleapis.com"},
        {"", "", "https://storage.googleapis.com"},
        {"https://mirror.example/flutter///", "", "https://mirror.example/flutter"},
        {"https://mirror.example", "realm", "https://mirror.example/realm"},
        {std::nullopt, "realm", "https://storage.googleapis.com/realm"},
        {"///", "", ""},
    };
    for (const Case& c : cases) {
        Environment environment{{"HOME", "/home/someone"}};
        if (c.variable) environment["FLUTTER_STORAGE_BASE_URL"] = *c.variable;
        EXPECT_EQ(EngineArtifacts::storageBaseURL(c.realm, environment), c.expected)
            << c.variable.value_or("(unset)") << " / " << c.realm;
    }
}

TEST(EngineArtifacts, FailedDownloadLeavesNoStagingFolderAndTheCacheAsItWas) {
    struct Case {
        const char* name;
        size_t archive;  // which archive fails
        ArtifactServer::Fault fault;
        std::string what;
        std::string whyPart;
    };
    const Case cases[] = {
        {"404 on the second archive", 1, ArtifactServer::Fault::notFound,
         "Could not download flutter-cpp-client-wrapper.zip for engine abc123def4.", "The server answered HTTP 404 for "},
        {"500 on the first archive", 0, ArtifactServer::Fault::serverError,
         "Could not download windows-x64-flutter.zip for engine abc123def4.", "The server answered HTTP 500 for "},
        {"truncated third archive", 2, ArtifactServer::Fault::truncated,
         "Could not download the Flutter Windows engine (abc123def4).", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRig rig;
        testing::writeFile(rig.cache() / "kept", "old");
        const std::string failing = ArtifactServer::enginePath(revision, engineArchivePaths[c.archive]);
        rig.server.fail(failing, c.fault);
        try {
            rig.ensure();
            ADD_FAILURE() << "ensure succeeded";
        } catch (const TorvexError& error) {
            EXPECT_EQ(error.kind, TorvexError::Kind::generic);
            EXPECT_EQ(error.what, c.what);
            EXPECT_NE(error.why.find(c.whyPart), std::string::npos) << error.why;
            if (c.fault == ArtifactServer::Fault::notFound) {
                EXPECT_EQ(error.why, "The server answered HTTP 404 for " + rig.server.baseURL() + failing + ".");
            }
        }
        EXPECT_FALSE(fs::exists(rig.partial()));
        EXPECT_EQ(listing(rig.cache()), std::vector<std::string>{"kept"});
        EXPECT_EQ(rig.server.requests(), static_cast<int>(c.archive) + 1);
        EXPECT_EQ(rig.progress.size(), c.archive + 1);
    }
}

TEST(EngineArtifacts, OnlyHttpAddressesAreFetched) {
    EngineRig rig;
    try {
        rig.ensure({{"FLUTTER_STORAGE_BASE_URL", "file://" + rig.archives().string()}});
        ADD_FAILURE() << "ensure succeeded";
    } catch (const TorvexError& error) {
        EXPECT_EQ(error.what, "Could not download the Flutter Windows engine (abc123def4).");
        EXPECT_NE(error.why.find("not an http or https address"), std::string::npos) << error.why;
    }
    EXPECT_FALSE(fs::exists(rig.partial()));
    EXPECT_FALSE(fs::exists(rig.cache()));
}

TEST(EngineArtifacts, ArchiveWithoutAListedFileIsAnIncompleteDownload) {
    EngineRig rig;
    fs::remove(testing::archiveSources(rig.sources(), engineArchivePaths[0]) / "flutter_windows.h");
    testing::writeEngineArchives(rig.sources(), rig.archives());
    try {
        rig.ensure();
        ADD_FAILURE() << "ensure succeeded";
    } catch (const TorvexError& error) {
        EXPECT_EQ(error.what, "The Flutter Windows engine download for abc123def4567890 is incomplete.");
        EXPECT_EQ(error.why, "Some expected files were not in the archives.");
    }
    EXPECT_EQ(rig.server.requests(), 3);
    EXPECT_FALSE(fs::exists(rig.partial()));
    EXPECT_FALSE(fs::exists(rig.cache()));
}

TEST(EngineArtifacts, UnpackErrorCarriesUnzipsComplaint) {
    EngineRig rig;
    testing::writeFile(rig.archives() / engineArchivePaths[1], "this is not a zip archive");
    try {
        rig.ensure();
        ADD_FAILURE() << "ensure succeeded";
    } catch (const TorvexError& error) {
        EXPECT_EQ(error.what, "Could not unpack windows-x64/flutter-cpp-client-wrapper.zip.");
        EXPECT_FALSE(error.why.empty());  // unzip complains on stdout
    }
    EXPECT_FALSE(fs::exists(rig.partial()));
    EXPECT_FALSE(fs::exists(rig.cache()));
}

TEST(EngineArtifacts, HostileArchivesAreRefusedAndNothingLandsOutsideTheCache) {
    struct Case {
        const char* name;
        std::size_t archive;  // the hostile one
        // Writes the hostile archive from the archive's sources; `outside` is a folder outside the cache.
        std::function<void(const fs::path& sources, const fs::path& archive, const fs::path& outside)> make;
        std::string why;  // the refusal's cause begins with it
    };
    const std::string notPlain = "Its member \"cpp_client_wrapper\" is a symbolic link or special file";
    const auto renamed = [](const std::string& prefix) {
        return [prefix](const fs::path& sources, const fs::path& archive, const fs::path& outside) {
            const std::string to = prefix == "/" ? outside.string() + "/"
                                                 : prefix + outside.relative_path().string() + "/";
            testing::packArchive(archive, sources, {"cpp_client_wrapper"}, {"--format", "zip", "-P", "-s", ",^," + to + ","});
        };
    };
    const Case cases[] = {
        // Without the refusal, the next archive's cpp_client_wrapper/ members would be written through it.
        {"a link member", 0,
         [](const fs::path& sources, const fs::path& archive, const fs::path& outside) {
             fs::create_directory_symlink(outside, sources / "cpp_client_wrapper");
             testing::zipFolder(sources, archive);
         },
         notPlain},
        {"a link, then a member written through it", 1,
         [](const fs::path& sources, const fs::path& archive, const fs::path& outside) {
             const fs::path link = sources.parent_path() / "link";
             fs::create_directories(link);
             fs::create_directory_symlink(outside, link / "cpp_client_wrapper");
             testing::zipFolder(link, link / "link.zip");
             testing::zipFolder(sources, sources.parent_path() / "members.zip");
             testing::packArchive(archive, sources.parent_path(), {"@link/link.zip", "@members.zip"}, {"--format", "zip"});
         },
         notPlain},
        {"members that climb out with ../", 1, renamed("../../../../../../../../../../../../../../../../"),
         "Its member \"../../"},
        {"members with an absolute path", 1, renamed("/"), "Its member \"/"},
        {"members that declare more than may be unpacked", 1,
         [](const fs::path& sources, const fs::path& archive, const fs::path&) {
             testing::writeFile(sources / "cpp_client_wrapper/big.bin", std::string(12345, 'x'));
             testing::zipFolder(sources, archive);
             testing::forgeDeclaredSize(archive, 12345, 3u << 30);
         },
         "Its members come to more than the 1073741824 bytes"},
        {"a member that holds more than it declares", 1,
         [](const fs::path& sources, const fs::path& archive, const fs::path&) {
             testing::writeFile(sources / "cpp_client_wrapper/big.bin", std::string(std::size_t(4) << 20, '\0'));
             testing::zipFolder(sources, archive);
             testing::forgeDeclaredSize(archive, 4u << 20, 100);
         },
         "It unpacks to more than the "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EngineRig rig;
        const fs::path outside = rig.temp / "outside";
        fs::create_directories(outside);
        c.make(testing::archiveSources(rig.sources(), engineArchivePaths[c.archive]),
               rig.archives() / engineArchivePaths[c.archive], outside);

        const TorvexError error = testing::errorOf([&] { rig.ensure(); });

        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, "Could not unpack " + engineArchivePaths[c.archive] + ".");
        EXPECT_TRUE(error.why.starts_with(c.why)) << error.why;
        EXPECT_TRUE(fs::is_empty(outside));
        std::vector<std::string> left;
        for (const auto& entry : fs::directory_iterator(rig.paths.engineCache())) left.push_back(entry.path().filename());
        EXPECT_EQ(left, std::vector<std::string>{rig.lockFile().filename()})
            << "no revision, staging or unpacking folder stays, only the revision's lock";
        EXPECT_EQ(rig.server.requests(), static_cast<int>(c.archive) + 1);
    }
}

TEST(EngineArtifacts, ALinkThatTheSelectionLeavesOutIsNoObstacle) {
    EngineRig rig;
    const fs::path sources = testing::archiveSources(rig.sources(), engineArchivePaths[2]);
    fs::create_symlink(rig.temp / "outside", sources / "gen_snapshot_link");
    testing::zipFolder(sources, rig.archives() / engineArchivePaths[2]);

    EXPECT_TRUE(rig.ensure().isComplete());
    EXPECT_FALSE(fs::exists(fs::symlink_status(rig.cache() / "gen_snapshot_link")));
}

TEST(EngineArtifacts, CancellationDuringADownloadEndsAtOnceAndLeavesNoStagingFolder) {
    EngineRig rig;
    rig.server.fail(ArtifactServer::enginePath(revision, engineArchivePaths[1]), ArtifactServer::Fault::stall);
    EXPECT_EQ(rig.server.stopDuringStall([&](std::stop_token stop) { rig.ensure(rig.environment(), stop); }),
              "cancelled");
    EXPECT_FALSE(fs::exists(rig.partial()));
    EXPECT_FALSE(fs::exists(rig.cache()));
}

TEST(EngineArtifacts, ADownloadThatStallsIsAbandonedAfterTheStallTimeout) {
    EngineRig rig;
    rig.server.fail(ArtifactServer::enginePath(revision, engineArchivePaths[0]), ArtifactServer::Fault::stall);
    const auto start = std::chrono::steady_clock::now();
    const TorvexError error = testing::errorOf([&] { rig.ensure(rig.environment(), {}, std::chrono::seconds(1)); });
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(error.what, "Could not download the Flutter Windows engine (abc123def4).");
    EXPECT_NE(error.why.find("too slow"), std::string::npos) << error.why;
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 10);
    EXPECT_FALSE(fs::exists(rig.partial()));
    EXPECT_FALSE(fs::exists(rig.cache()));
}

TEST(EngineArtifacts, ConcurrentEnsuresOfOneRevisionDownloadOnce) {
    EngineRig rig;
    auto first = std::async(std::launch::async, [&] { return rig.ensure().directory; });
    auto second = std::async(std::launch::async, [&] { return rig.ensure().directory; });
    EXPECT_EQ(first.get(), rig.cache());
    EXPECT_EQ(second.get(), rig.cache());
    EXPECT_EQ(rig.server.requests(), 3);
    EXPECT_TRUE((EngineArtifacts{revision, rig.cache()}.isComplete()));
}

TEST(EngineArtifacts, EnsuresInSeveralProcessesTakeTurnsOnARevision) {
    EngineRig rig;
    // Held here as a process that is assembling the revision holds it.
    fs::create_directories(rig.paths.engineCache());
    std::optional<FileLock> assembling = FileLock::acquire(rig.lockFile());
    const auto progress = [&](int process) { return rig.temp / ("progress " + std::to_string(process)); };
    std::vector<std::future<testing::SpawnResult>> others;
    for (int process = 0; process < 2; ++process) {
        others.push_back(std::async(std::launch::async, [&, process] {
            return testing::spawnAndWait({ENSURE_ENGINE,
                                          {"ensure-engine", rig.paths.support.string(), rig.sdk.root.string(),
                                           progress(process).string()},
                                          std::nullopt,
                                          rig.environment()},
                                         rig.temp.path());
        }));
    }
    const std::string waiting = "Waiting for another download of the Flutter Windows engine (abc123def4)\n";
    EXPECT_TRUE(testing::eventually([&] {
        return testing::readFile(progress(0)) == waiting && testing::readFile(progress(1)) == waiting;
    }));
    EXPECT_EQ(rig.server.requests(), 0);
    EXPECT_FALSE(fs::exists(rig.partial()));

    assembling.reset();
    for (auto& other : others) {
        const testing::SpawnResult result = other.get();
        EXPECT_EQ(result.status, 0) << result.err;
    }
    // One of them downloaded the revision, the other found it complete.
    EXPECT_EQ(rig.server.requests(), 3);
    EXPECT_TRUE((EngineArtifacts{revision, rig.cache()}.isComplete()));
    EXPECT_EQ(std::set<std::string>({testing::readFile(progress(0)), testing::readFile(progress(1))}),
              (std::set<std::string>{waiting, waiting + "Downloading windows-x64-debug/windows-x64-flutter.zip\n"
                                                        "Downloading windows-x64/flutter-cpp-client-wrapper.zip\n"
                                                        "Downloading windows-x64/artifacts.zip\n"}));
}

TEST(EngineArtifacts, RevisionThatIsNoPlainFolderNameIsRefused) {
    for (const std::string bad : {"", "../..", "..", ".hidden", "abc/def", "abc def", "abc\\def"}) {
        SCOPED_TRACE("revision \"" + bad + "\"");
        testing::TempDir temp;
        const TorvexPaths paths{temp / "support", temp / "caches", temp / "logs"};
        testing::writeFile(paths.engineCache() / "other" / "flutter_windows.dll", "other revision");
        testing::writeFile(temp / "outside", "outside");
        const FlutterSDK sdk = testing::makeFakeFlutterSDK(temp / "flutter", bad);
        try {
            EngineArtifacts::ensure(sdk, paths, {{"FLUTTER_STORAGE_BASE_URL", "http://127.0.0.1:1"}}, {});
            ADD_FAILURE() << "ensure succeeded";
        } catch (const TorvexError& error) {
            EXPECT_EQ(error.kind, TorvexError::Kind::generic);
            EXPECT_NE(error.why.find((temp / "flutter/bin/internal/engine.version").string()), std::string::npos)
                << error.why;
        }
        EXPECT_EQ(testing::readFile(paths.engineCache() / "other" / "flutter_windows.dll"), "other revision");
        EXPECT_EQ(testing::readFile(temp / "outside"), "outside");
        EXPECT_EQ(listing(paths.engineCache()), std::vector<std::string>{"other/flutter_windows.dll"});
    }
}

} // namespace
} // namespace torvex
