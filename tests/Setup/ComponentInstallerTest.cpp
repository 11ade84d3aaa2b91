#include "Setup/ComponentInstaller.h"

#include "Core/Files.h"
#include "Core/Platform/Digest.h"
#include "Core/TorvexError.h"
#include "support/ArtifactServer.h"
#include "support/EngineArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <stdexcept>

using namespace torvex;
using namespace torvex::testing;
namespace fs = std::filesystem;
using Phase = ComponentInstaller::Progress::Phase;

namespace {

// Bytes that do not compress, so that an archive arrives in many pieces.
std::string noise(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(generator());
    return bytes;
}

// Every file, link and folder below `folder`, with a link's target or a file's bytes.
std::map<std::string, std::string> tree(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    if (!fs::exists(fs::symlink_status(folder))) return entries;
    if (!fs::is_directory(fs::symlink_status(folder))) return {{".", readFile(folder)}};
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_symlink()) entries[name] = "-> " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory()) entries[name + "/"] = "";
        else entries[name] = readFile(entry.path());
    }
    return entries;
}

std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> result;
    std::error_code error;
    for (fs::directory_iterator entries(folder, error), end; !error && entries != end; entries.increment(error))
        result.push_back(entries->path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
}

// A support and caches folder, a server, and test records of archives it serves.
struct InstallRig {
    TempDir temp;
    TorvexPaths paths{temp / "Application Support", temp / "Caches", temp / "Logs"};
    ArtifactServer server;
    ComponentInstaller installer{paths, SystemLayout{}, std::chrono::seconds(1)};
    std::mutex lock;
    std::vector<ComponentInstaller::Progress> reports;

    fs::path sources() const { return temp / "sources"; }
    fs::path archives() const { return temp / "archives"; }

    // tool-1.0/ with bin/tool (large), share/README and a relative link, packed as `file`.
    fs::path packTool(const std::string& file = "tool-1.0.tar.gz") {
        const fs::path top = sources() / "tool-1.0";
        fs::remove_all(top);
        writeFile(top / "bin" / "tool", noise(600'000, 7));
        writeFile(top / "share" / "README", "tool 1.0\n");
        fs::create_symlink("../share/README", top / "bin" / "README");
        packArchive(archives() / file, sources(), {"tool-1.0"});
        return archives() / file;
    }

    // A record of `archive`, served at /files/<name>, installed at tools/1.0.
    Component record(const fs::path& archive, const std::string& archivePath = "tool-1.0") {
        const std::string urlPath = "/files/" + archive.filename().string();
        server.serve(urlPath, archive);
        const std::string bytes = readFile(archive);
        return Component{"tool", "Tool", "1.0", "MIT", server.baseURL() + urlPath, sha256Hex(bytes),
                         static_cast<std::int64_t>(bytes.size()), archivePath, "tools/1.0", "tools/1.0/bin/tool", {}};
    }

    ComponentInstaller::ProgressHandler recorder() {
        return [this](const ComponentInstaller::Progress& progress) {
            const std::lock_guard guard(lock);
            reports.push_back(progress);
        };
    }

    void install(const Component& component, std::stop_token stop = {}) { installer.install(component, recorder(), stop); }

    // What an install left besides the destination: the download folder is empty and the
    // destination has no sibling in the making.
    void expectNoLeftovers(const Component& component) const {
        EXPECT_EQ(names(paths.caches / "downloads"), std::vector<std::string>{});
        const fs::path destination = paths.support / component.destination;
        for (const auto& name : names(destination.parent_path()))
            EXPECT_FALSE(name.starts_with(".")) << "left beside the destination: " << name;
    }

    // The phases and fractions reported; fractions of each phase never go down.
    std::vector<Phase> phases() const {
        std::vector<Phase> result;
        double last = 0;
        for (const auto& report : reports) {
            EXPECT_GE(report.fraction, 0.0);
            EXPECT_LE(report.fraction, 1.0);
            if (!result.empty() && result.back() == report.phase) {
                EXPECT_GE(report.fraction, last);
            }
            if (result.empty() || result.back() != report.phase) result.push_back(report.phase);
            last = report.fraction;
        }
        return result;
    }
};

const std::vector<Phase> downloadPhases{Phase::downloading, Phase::verifying, Phase::installing, Phase::done};

} // namespace

TEST(ComponentInstallerTest, InstallsAnArchiveAndReplacesTheOldCopyWhole) {
    InstallRig rig;
    const Component tool = rig.record(rig.packTool());
    writeFile(rig.paths.support / "tools/1.0/old-only", "old");

    rig.install(tool);

    EXPECT_EQ(tree(rig.paths.support / "tools/1.0"), tree(rig.sources() / "tool-1.0"));
    EXPECT_TRUE(tool.isInstalled(rig.paths));
    EXPECT_EQ(rig.phases(), downloadPhases);
    ASSERT_GE(rig.reports.size(), 6u);  // 0, pieces of the download, then one report per later phase
    EXPECT_EQ(rig.reports.front().fraction, 0.0);
    EXPECT_EQ(rig.reports[rig.reports.size() - 4].fraction, 1.0);  // the download's last piece
    for (const auto& report : rig.reports) EXPECT_EQ(report.component.id, "tool");
    rig.expectNoLeftovers(tool);
}

TEST(ComponentInstallerTest, DeliveriesAndLayoutsThatInstall) {
    struct Case {
        const char* name;
        std::optional<ArtifactServer::Fault> fault;
        bool redirected;
        double sizeFactor;  // the record's size against the real one
    };
    const Case cases[] = {
        {"a zip holding one file", std::nullopt, false, 1.0},
        {"behind a redirect", std::nullopt, true, 1.0},
        {"no length announced: fractions against the record's size, capped", ArtifactServer::Fault::noLength, false, 0.5},
        {"no length announced, a record larger than the file", ArtifactServer::Fault::noLength, false, 4.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallRig rig;
        writeFile(rig.sources() / "ninja", noise(300'000, 3));
        packArchive(rig.archives() / "ninja-mac.zip", rig.sources(), {"ninja"});
        Component ninja = rig.record(rig.archives() / "ninja-mac.zip", "ninja");
        ninja.destination = ninja.installedMarker = "toolchain/1/bin/ninja";
        ninja.size = static_cast<std::int64_t>(static_cast<double>(ninja.size) * c.sizeFactor);
        if (c.fault) rig.server.fail("/files/ninja-mac.zip", *c.fault);
        if (c.redirected) {
            rig.server.redirect("/moved/ninja-mac.zip", "/files/ninja-mac.zip");
            ninja.url = rig.server.baseURL() + "/moved/ninja-mac.zip";
        }

        rig.install(ninja);

        EXPECT_EQ(readFile(rig.paths.support / "toolchain/1/bin/ninja"), readFile(rig.sources() / "ninja"));
        EXPECT_EQ(rig.phases(), downloadPhases);
        const auto lastDownload = std::find_if(rig.reports.rbegin(), rig.reports.rend(), [](const auto& report) {
            return report.phase == Phase::downloading;
        });
        EXPECT_EQ(lastDownload->fraction, c.sizeFactor > 1.0 ? 0.25 : 1.0);
        rig.expectNoLeftovers(ninja);
    }
}

TEST(ComponentInstallerTest, FailuresInstallNothingAndKeepTheOldCopy) {
    using Fault = ArtifactServer::Fault;
    struct Case {
        const char* name;
        std::function<void(InstallRig&, Component&)> arrange;
        std::string what;
        std::string why;  // exact; empty: any non-empty cause
        std::string fix;
        std::vector<Phase> phases;
    };
    const auto failing = [](Fault fault) {
        return [fault](InstallRig& rig, Component&) { rig.server.fail("/files/tool-1.0.tar.gz", fault); };
    };
    const std::vector<Phase> downloadOnly{Phase::downloading};
    const std::string later = "Try again later.";
    const std::string network = "Check your internet connection. Behind a proxy, set HTTPS_PROXY to it.";
    const std::string space = "Check free disk space and try again.";
    const std::string outside = "Nothing was unpacked. Try again later; if it keeps happening, report it.";
    // The archive holds the tool and a member named `member` (as mtree writes it: "\\\\" is one backslash).
    const auto climbing = [](std::string member) {
        return [member](InstallRig& rig, Component& tool) {
            writeFile(rig.sources() / "spec", "#mtree\ntool-1.0/bin/tool type=file contents=tool-1.0/bin/tool\n" + member +
                                                  " type=file contents=tool-1.0/share/README\n");
            packArchive(rig.archives() / "tool-1.0.tar.gz", rig.sources(), {"@spec"}, {"-a", "-P"});
            tool.sha256 = sha256Hex(readFile(rig.archives() / "tool-1.0.tar.gz"));
        };
    };
    const Case cases[] = {
        {"404", failing(Fault::notFound), "Download failed (HTTP 404).", "<url>", later, downloadOnly},
        {"500", failing(Fault::serverError), "Download failed (HTTP 500).", "<url>", later, downloadOnly},
        {"truncated body", failing(Fault::truncated), "A download failed.", "", network, downloadOnly},
        {"stall", failing(Fault::stall), "A download failed.", "", network, downloadOnly},
        {"one byte changed",
         [](InstallRig& rig, Component&) {  // the record keeps the original's digest
             std::string bytes = readFile(rig.archives() / "tool-1.0.tar.gz");
             bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 1);
             writeFile(rig.archives() / "tool-1.0.tar.gz", bytes);
         },
         "The Tool download is damaged or was changed.", "<digests>",
         "Try again. If it keeps failing, your network may be modifying downloads (proxy or captive portal).",
         {Phase::downloading, Phase::verifying}},
        {"no such item in the archive",
         [](InstallRig&, Component& tool) { tool.archivePath = "tool-2.0"; },
         "Could not unpack Tool.", "Unexpected archive layout.", space,
         {Phase::downloading, Phase::verifying, Phase::installing}},
        {"not an archive",
         [](InstallRig& rig, Component& tool) {
             writeFile(rig.archives() / "tool-1.0.tar.gz", "this is no archive");
             tool.sha256 = sha256Hex("this is no archive");
         },
         "Could not unpack Tool.", "", space, {Phase::downloading, Phase::verifying, Phase::installing}},
        {"a member going up",
         climbing("../escaped"),
         "Could not unpack Tool.", "The archive holds a member outside its own folder: ../escaped.", outside,
         {Phase::downloading, Phase::verifying, Phase::installing}},
        {"a member going up after its first folder",
         climbing("tool-1.0/../../escaped"),
         "Could not unpack Tool.", "The archive holds a member outside its own folder: tool-1.0/../../escaped.", outside,
         {Phase::downloading, Phase::verifying, Phase::installing}},
        {"a member going up after its first folder, with backslashes",
         climbing(R"(tool-1.0\\..\\..\\escaped)"),  // bsdtar lists each backslash as two
         "Could not unpack Tool.", R"(The archive holds a member outside its own folder: tool-1.0\\..\\..\\escaped.)",
         outside, {Phase::downloading, Phase::verifying, Phase::installing}},
        {"an absolute member",
         [](InstallRig& rig, Component& tool) {
             const std::string absolute = (rig.temp / "outside").string();
             packArchive(rig.archives() / "tool-1.0.tar.gz", rig.sources(), {"tool-1.0"},
                         {"-a", "-P", "-s", ",tool-1.0/share/README," + absolute + ","});
             tool.sha256 = sha256Hex(readFile(rig.archives() / "tool-1.0.tar.gz"));
         },
         "Could not unpack Tool.", "The archive holds a member outside its own folder: <outside>.", outside,
         {Phase::downloading, Phase::verifying, Phase::installing}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallRig rig;
        Component tool = rig.record(rig.packTool());
        c.arrange(rig, tool);
        writeFile(rig.paths.support / "tools/1.0/bin/tool", "old tool");
        const auto before = tree(rig.paths.support / "tools");

        const TorvexError error = errorOf([&] { rig.install(tool); });

        EXPECT_EQ(error.kind, TorvexError::Kind::generic);
        EXPECT_EQ(error.what, c.what);
        std::string why = c.why;
        if (why == "<url>") why = tool.url;
        if (why == "<digests>")
            why = "Its SHA-256 is " + sha256Hex(readFile(rig.archives() / "tool-1.0.tar.gz")).substr(0, 12) +
                  "\u2026, expected " + tool.sha256.substr(0, 12) + "\u2026.";
        if (why.find("<outside>") != std::string::npos) why.replace(why.find("<outside>"), 9, (rig.temp / "outside").string());
        if (why.empty()) {
            EXPECT_FALSE(error.why.empty());
        } else {
            EXPECT_EQ(error.why, why);
        }
        EXPECT_EQ(error.fix, c.fix);
        EXPECT_EQ(tree(rig.paths.support / "tools"), before);
        EXPECT_FALSE(fs::exists(rig.temp / "outside"));
        EXPECT_FALSE(fs::exists(rig.temp / "Caches" / "escaped"));
        EXPECT_EQ(rig.phases(), c.phases);
        rig.expectNoLeftovers(tool);
    }
}

TEST(ComponentInstallerTest, ACancelEndsTheInstallAtOnceAndKeepsTheOldCopy) {
    InstallRig rig;
    Component tool = rig.record(rig.packTool());
    rig.server.fail("/files/tool-1.0.tar.gz", ArtifactServer::Fault::stall);
    writeFile(rig.paths.support / "tools/1.0/bin/tool", "old tool");
    ComponentInstaller patient = rig.installer;
    patient.stallLimit = std::chrono::seconds(60);

    EXPECT_EQ(rig.server.stopDuringStall([&](std::stop_token stop) { patient.install(tool, nullptr, stop); }),
              "cancelled");
    EXPECT_EQ(readFile(rig.paths.support / "tools/1.0/bin/tool"), "old tool");
    rig.expectNoLeftovers(tool);

    // A stop requested before the start does nothing at all.
    std::stop_source early;
    early.request_stop();
    EXPECT_THROW(rig.installer.install(tool, rig.recorder(), early.get_token()), Cancelled);
    EXPECT_TRUE(rig.reports.empty());
}

TEST(ComponentInstallerTest, ListInstallPassesInstalledOnesAndStopsAtTheFirstError) {
    InstallRig rig;
    const Component good = rig.record(rig.packTool());
    Component installed = good, broken = good, later = good, unavailable = good;
    installed.id = "installed";
    installed.url = rig.server.baseURL() + "/missing";  // would fail if it were fetched
    installed.installedMarker = "installed/marker";
    writeFile(rig.paths.support / "installed/marker", "");
    unavailable.id = "unavailable";
    unavailable.source.kind = SystemSource::Kind::unavailable;
    unavailable.installedMarker = "unavailable/marker";
    broken.id = "broken";
    broken.url = rig.server.baseURL() + "/missing";
    broken.destination = broken.installedMarker = "broken";
    later.id = "later";
    later.destination = "later";
    later.installedMarker = "later/bin/tool";

    rig.installer.install(std::vector<Component>{}, rig.recorder());
    rig.installer.install({installed, unavailable}, rig.recorder());
    EXPECT_TRUE(rig.reports.empty());

    const TorvexError error = errorOf([&] { rig.installer.install({installed, good, broken, later}, rig.recorder()); });
    EXPECT_EQ(error.what, "Download failed (HTTP 404).");
    EXPECT_TRUE(good.isInstalled(rig.paths));
    EXPECT_FALSE(later.isInstalled(rig.paths));
    std::vector<std::string> reported;
    for (const auto& report : rig.reports)
        if (reported.empty() || reported.back() != report.component.id) reported.push_back(report.component.id);
    EXPECT_EQ(reported, (std::vector<std::string>{"tool", "broken"}));
}

TEST(ComponentInstallerTest, AProgressHandlerThatThrowsEndsTheInstall) {
    InstallRig rig;
    const Component tool = rig.record(rig.packTool());
    const auto throwing = [](const ComponentInstaller::Progress& progress) {
        if (progress.fraction > 0) throw std::runtime_error("display went away");
    };
    EXPECT_THROW(rig.installer.install(tool, throwing), std::runtime_error);
    EXPECT_FALSE(tool.isInstalled(rig.paths));
    rig.expectNoLeftovers(tool);
}

TEST(ComponentInstallerTest, CachesOnAnotherFileSystemAreCopiedIntoPlace) {
    std::string pattern = "/dev/shm/torvex-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) GTEST_SKIP() << "no /dev/shm to put the caches on";
    const RemoveOnExit caches{pattern};
    InstallRig rig;
    struct stat support {}, other {};
    ::stat(rig.temp.path().c_str(), &support);
    ::stat(caches.path.c_str(), &other);
    if (support.st_dev == other.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system as " << rig.temp.path();
    rig.paths.caches = caches.path;
    rig.installer.paths = rig.paths;
    const Component tool = rig.record(rig.packTool());
    writeFile(rig.paths.support / "tools/1.0/old-only", "old");

    rig.install(tool);

    EXPECT_EQ(tree(rig.paths.support / "tools/1.0"), tree(rig.sources() / "tool-1.0"));  // the link stays a link
    rig.expectNoLeftovers(tool);
}

TEST(ComponentInstallerTest, Sha256ReadsTheWholeFileInPieces) {
    const TempDir dir;
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"abc", "abc"},
        {"larger than two pieces", noise(9 * 1024 * 1024 + 17, 1)},
    };
    for (const auto& c : cases) {
        writeFile(dir / c.name, c.bytes);
        EXPECT_EQ(ComponentInstaller::sha256(dir / c.name), sha256Hex(c.bytes)) << c.name;
    }
    EXPECT_EQ(ComponentInstaller::sha256(dir / "abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_THROW(ComponentInstaller::sha256(dir / "missing"), fs::filesystem_error);
}
