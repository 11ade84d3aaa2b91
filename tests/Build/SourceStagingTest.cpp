#include "Build/SourceStaging.h"

#include "Build/GeneratedFiles.h"
#include "Core/TorvexError.h"
#include "support/EngineArchives.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::readFile;
using testing::writeFile;
using namespace std::chrono_literals;

const fs::file_time_type old = fs::file_time_type::clock::now() - 2h;

const std::string flutterCMakeLists =
    "add_custom_command(\n"
    "  OUTPUT ${FLUTTER_LIBRARY} ${FLUTTER_LIBRARY_HEADERS}\n"
    "    ${PHONY_OUTPUT}\n"
    "  COMMAND ${CMAKE_COMMAND} -E env\n"
    "    ${FLUTTER_TOOL_ENVIRONMENT}\n"
    "    \"${FLUTTER_ROOT}/packages/flutter_tools/bin/tool_backend.bat\"\n"
    "      ${FLUTTER_TARGET_PLATFORM} $<CONFIG>\n"
    "  VERBATIM\n"
    ")\n";
const std::string stagedFlutterCMakeLists =
    "add_custom_command(\n"
    "  OUTPUT ${FLUTTER_LIBRARY} ${FLUTTER_LIBRARY_HEADERS}\n"
    "  COMMAND ${CMAKE_COMMAND} -E env\n"
    "    ${FLUTTER_TOOL_ENVIRONMENT}\n"
    "    ${CMAKE_COMMAND} -E true\n"
    "  VERBATIM\n"
    ")\n";

const std::string generatedPlugins =
    "list(APPEND FLUTTER_PLUGIN_LIST\n  camera_windows\n  url_launcher_windows\n)\n\n"
    "list(APPEND FLUTTER_FFI_PLUGIN_LIST\n  native_lib\n)\n";

const std::string registrantHead =
    "// clang-format off\n\n#include \"generated_plugin_registrant.h\"\n\n#include <camera_windows/camera_windows.h>\n";
const std::string urlLauncherInclude = "#include <url_launcher_windows/url_launcher_windows.h>\n";
const std::string registrantBody =
    "\nvoid RegisterPlugins(flutter::PluginRegistry* registry) {\n"
    "  CameraWindowsRegisterWithRegistrar(\n      registry->GetRegistrarForPlugin(\"CameraWindows\"));\n";
const std::string urlLauncherCall =
    "  UrlLauncherWindowsRegisterWithRegistrar(\n      registry->GetRegistrarForPlugin(\"UrlLauncherWindows\"));\n";
const std::string registrant = registrantHead + urlLauncherInclude + registrantBody + urlLauncherCall + "}\n";

const std::string runnerRC = "IDI_APP_ICON ICON \"resources\\\\app_icon.ico\"\nVALUE \"FileVersion\", \"1.0\\\\0\"\n";
const std::string stagedRunnerRC = "IDI_APP_ICON ICON \"resources/app_icon.ico\"\nVALUE \"FileVersion\", \"1.0\\\\0\"\n"
                                   "\n1 24 \"runner.exe.manifest\" // RT_MANIFEST, added by Torvex\n";

const std::string encodableValue =
    "class EncodableValue : public internal::EncodableValueVariant {\n public:\n  template <class T>\n"
    "  constexpr explicit EncodableValue(T&& t) noexcept : super(t) {}\n};\n";

// What `root` holds: for each entry below it, its kind and content, inode and times (links not followed).
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    if (!fs::exists(root)) return entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat info {};
        ::lstat(it->path().c_str(), &info);
        std::string entry = std::to_string(info.st_ino) + " " + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec) + " " + std::to_string(info.st_ctim.tv_sec) + "." +
                            std::to_string(info.st_ctim.tv_nsec) + " ";
        if (S_ISLNK(info.st_mode)) entry += "link:" + fs::read_symlink(it->path()).string();
        else if (S_ISDIR(info.st_mode)) entry += "dir";
        else if (S_ISREG(info.st_mode)) entry += "file:" + readFile(it->path());
        else entry += "special";
        entries[it->path().lexically_relative(root).string()] = entry;
    }
    return entries;
}

// Sets the time of every regular file below `root` that `select` picks to `time`.
void setTimes(const fs::path& root, fs::file_time_type time,
              const std::function<bool(const fs::path&)>& select = [](const fs::path&) { return true; }) {
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file() && !it->is_symlink() && select(it->path())) fs::last_write_time(it->path(), time);
    }
}

// A Flutter project with a windows folder as the Flutter tool leaves it (plugins linked from a pub
// cache outside the project), an unpacked engine cache, and a work folder to stage into. At the
// end it checks that the project and the plugins were only read.
struct Workspace {
    TempDir temp;
    const fs::path windows = temp / "app/windows";
    const fs::path staged = stagedWindowsFolder(temp / "work");
    FlutterProject project{temp / "app", "app", PubspecVersion{}};
    std::vector<std::unique_ptr<testing::Fifo>> fifos;
    const FlutterSDK sdk{temp / "flutter sdk"};
    const EngineArtifacts engine{"abc123", temp / "engine"};
    std::map<std::string, std::string> before;

    Workspace() {
        writeFile(windows / "CMakeLists.txt", "project(app LANGUAGES CXX)\nadd_subdirectory(flutter)\n"
                                              "add_subdirectory(runner)\ninclude(flutter/generated_plugins.cmake)\n");
        writeFile(windows / "runner/CMakeLists.txt", "add_executable(app WIN32 main.cpp Runner.rc)\n");
        writeFile(windows / "runner/main.cpp", "int main() { return 0; }\n");
        writeFile(windows / "runner/Runner.rc", runnerRC);
        writeFile(windows / "runner/runner.exe.manifest", "<assembly/>\n");
        writeFile(windows / "runner/resources/app_icon.ico", "ICO");
        writeFile(windows / "flutter/CMakeLists.txt", flutterCMakeLists);
        writeFile(windows / "flutter/generated_plugins.cmake", generatedPlugins);
        writeFile(windows / "flutter/generated_plugin_registrant.cc", registrant);
        writeFile(windows / "flutter/generated_plugin_registrant.h", "void RegisterPlugins(flutter::PluginRegistry*);\n");
        // Left by an earlier `flutter build windows`; the engine cache and the generator supply these.
        writeFile(windows / "flutter/ephemeral/flutter_windows.dll", "old engine");
        writeFile(windows / "flutter/ephemeral/generated_config.cmake", "old config");
        writeFile(windows / "flutter/ephemeral/cpp_client_wrapper/old_wrapper.cc", "old wrapper");
        addPlugin("camera_windows", "CameraWindowsRegisterWithRegistrar");
        addPlugin("url_launcher_windows", "UrlLauncherWindowsRegisterWithRegistrar");
        addPlugin("native_lib", "");

        const fs::path sources = temp / "engine-sources";
        testing::writeStandInEngineSources(sources);
        for (const std::string& archive : testing::engineArchivePaths) {
            fs::copy(testing::archiveSources(sources, archive), engine.directory, fs::copy_options::recursive);
        }
        writeFile(engine.cppClientWrapper() / "include/flutter/encodable_value.h", encodableValue);

        setTimes(temp / "app", old);
        setTimes(temp / "pub-cache", old);
        setTimes(engine.directory, old);
        projectChanged();
    }

    ~Workspace() { EXPECT_EQ(projectNow(), before) << "the project and its plugins are only read"; }

    void addPlugin(const std::string& name, const std::string& function) {
        const fs::path folder = temp / "pub-cache" / (name + "-1.0.0");
        writeFile(folder / "windows/CMakeLists.txt", "add_library(" + name + "_plugin SHARED plugin.cpp)\n");
        if (!function.empty()) {
            writeFile(folder / "windows/include" / name / (name + ".h"),
                      "FLUTTER_PLUGIN_EXPORT void " + function + "(FlutterDesktopPluginRegistrarRef registrar);\n");
        }
        fs::create_directories(windows / "flutter/ephemeral/.plugin_symlinks");
        fs::create_symlink(folder, windows / "flutter/ephemeral/.plugin_symlinks" / name);
    }

    std::map<std::string, std::string> projectNow() const {
        auto entries = snapshot(temp / "app");
        for (const auto& [path, entry] : snapshot(temp / "pub-cache")) entries["pub-cache/" + path] = entry;
        return entries;
    }
    // Takes the project as it is now as the state that staging must leave alone.
    void projectChanged() { before = projectNow(); }

    StagingResult staging(const std::set<std::string>& disabled = {}) {
        return stageWindowsSources(project, sdk, engine, temp / "work", disabled);
    }
    int stage(const std::set<std::string>& disabled = {}) { return staging(disabled).changes; }
    std::string stagedFile(const std::string& relative) const { return readFile(staged / relative); }
};

TEST(SourceStagingTest, FirstStagingBuildsTheTreeAndASecondChangesNothing) {
    Workspace w;
    // 13 project files and links, 9 engine files, 3 client wrapper files, generated_config.cmake.
    EXPECT_EQ(w.stage(), 26);

    EXPECT_EQ(w.stagedFile("CMakeLists.txt"), readFile(w.windows / "CMakeLists.txt"));
    EXPECT_EQ(w.stagedFile("flutter/CMakeLists.txt"), stagedFlutterCMakeLists);
    EXPECT_EQ(w.stagedFile("runner/Runner.rc"), stagedRunnerRC);
    EXPECT_EQ(w.stagedFile("flutter/generated_plugins.cmake"), generatedPlugins);
    EXPECT_EQ(w.stagedFile("flutter/generated_plugin_registrant.cc"), registrant);
    for (const char* name : {"camera_windows", "url_launcher_windows", "native_lib"}) {
        const fs::path link = w.staged / "flutter/ephemeral/.plugin_symlinks" / name;
        EXPECT_TRUE(fs::is_symlink(link)) << name;
        EXPECT_EQ(fs::read_symlink(link), w.temp / "pub-cache" / (std::string(name) + "-1.0.0"));
    }

    const fs::path ephemeral = w.staged / "flutter/ephemeral";
    for (const char* name : EngineArtifacts::ephemeralFiles) {
        EXPECT_EQ(readFile(ephemeral / name), readFile(w.engine.file(name))) << name;
    }
    EXPECT_EQ(readFile(ephemeral / "flutter_windows.dll"), "MZ stand-in engine");
    EXPECT_EQ(readFile(ephemeral / "generated_config.cmake"),
              GeneratedFiles::generatedConfig(w.sdk.root, w.temp / "work", w.project.version));
    EXPECT_NE(readFile(ephemeral / "generated_config.cmake").find("PROJECT_DIR=" + (w.temp / "work").string()),
              std::string::npos);
    EXPECT_FALSE(fs::exists(ephemeral / "cpp_client_wrapper/old_wrapper.cc"));
    EXPECT_EQ(readFile(ephemeral / "cpp_client_wrapper/core_implementations.cc"), "// core implementations\n");
    EXPECT_EQ(readFile(ephemeral / "cpp_client_wrapper/include/flutter/encodable_value.h"),
              "class EncodableValue : public internal::EncodableValueVariant {\n public:\n  // Torvex: explicit template "
              "removed so the inherited std::variant constructor applies (as with MSVC).\n};\n");

    // Files written by the staging carry the write's time; move them into the past so that a
    // rewrite would show, then stage again.
    setTimes(w.staged, old - 1h, [](const fs::path& file) { return fs::last_write_time(file) > old + 1min; });
    const auto stagedBefore = snapshot(w.staged);
    EXPECT_EQ(w.stage(), 0);
    EXPECT_EQ(snapshot(w.staged), stagedBefore);
}

TEST(SourceStagingTest, RelativePathsOutOfTheStagedFolderReachTheProjectsOtherEntries) {
    Workspace w;
    const fs::path app = w.temp / "app";
    writeFile(app / "some_key.pem", "KEY");
    writeFile(app / "core/bin/core.dll", "MZ core");
    writeFile(app / "assets/logo.png", "PNG");
    // A link of the project's own that leaves windows/, kept as a link in the copy.
    fs::create_directory_symlink("../../assets", w.windows / "runner/assets");
    // Left by builds that staged into the work folder itself, and by an entry the project no longer has.
    writeFile(w.temp / "work/windows/CMakeLists.txt", "old copy");
    writeFile(w.temp / "work/source/gone/file.txt", "gone");
    w.projectChanged();

    // 26 as before, the project's link, three entries linked, one stale entry removed.
    const StagingResult first = w.staging();
    EXPECT_EQ(first.changes, 31);
    EXPECT_EQ(first.linkedEntries, (std::set<std::string>{"assets", "core", "some_key.pem"}));
    EXPECT_EQ(readFile(w.staged / "runner/../../some_key.pem"), "KEY");  // KEY RCDATA "../../some_key.pem"
    EXPECT_EQ(readFile(w.staged / "../core/bin/core.dll"), "MZ core");   // ${PROJECT_SOURCE_DIR}/../core/bin/core.dll
    EXPECT_EQ(readFile(w.staged / "runner/assets/logo.png"), "PNG");
    EXPECT_EQ(fs::read_symlink(w.staged.parent_path() / "core"), app / "core");
    EXPECT_FALSE(fs::exists(w.temp / "work/source/gone"));
    EXPECT_FALSE(fs::exists(w.temp / "work/windows"));
    EXPECT_EQ(w.stage(), 0);

    // Kept in step: an entry gone, one new, a link that points elsewhere replaced, not written through.
    fs::remove_all(app / "core");
    writeFile(app / "target/debug/lib.dll", "MZ lib");
    writeFile(w.temp / "elsewhere/logo.png", "other");
    fs::remove(w.staged.parent_path() / "assets");
    fs::create_directory_symlink(w.temp / "elsewhere", w.staged.parent_path() / "assets");
    w.projectChanged();
    EXPECT_EQ(w.stage(), 3);
    EXPECT_FALSE(fs::exists(fs::symlink_status(w.staged.parent_path() / "core")));
    EXPECT_EQ(readFile(w.staged / "runner/../../target/debug/lib.dll"), "MZ lib");
    EXPECT_EQ(readFile(w.staged / "runner/assets/logo.png"), "PNG");
    EXPECT_EQ(readFile(w.temp / "elsewhere/logo.png"), "other");
    EXPECT_EQ(w.stage(), 0);
}

TEST(SourceStagingTest, TheProjectsFilesAreTheCopiesThatKeepItsLines) {
    const std::set<std::string> copied = {
        "CMakeLists.txt", "runner/CMakeLists.txt", "runner/main.cpp", "runner/runner.exe.manifest",
        "runner/resources/app_icon.ico", "runner/Runner.rc", "flutter/generated_plugin_registrant.h",
    };
    const std::set<std::string> generatedPluginFiles = {"flutter/generated_plugins.cmake",
                                                        "flutter/generated_plugin_registrant.cc"};
    Workspace w;
    // The resource script is patched in place; the flutter folder's CMake file loses lines, and
    // nothing of flutter/ephemeral (the engine's files, the plugins' links) is the project's.
    std::set<std::string> expected = copied;
    expected.insert(generatedPluginFiles.begin(), generatedPluginFiles.end());
    EXPECT_EQ(w.staging().projectFiles, expected);
    // A generated plugin file that a left-out plugin is cut from loses lines too, on every staging.
    for (int pass = 0; pass < 2; ++pass) EXPECT_EQ(w.staging({"camera_windows"}).projectFiles, copied);
}

TEST(SourceStagingTest, OneChangeCountsOne) {
    struct Case {
        const char* name;
        std::function<void(Workspace&)> change;
        int changes;
        std::function<void(const Workspace&)> check;
    };
    const Case cases[] = {
        {"a runner source edited",
         [](Workspace& w) { writeFile(w.windows / "runner/main.cpp", "int main() { return 1; }\n"); }, 1,
         [](const Workspace& w) { EXPECT_EQ(w.stagedFile("runner/main.cpp"), "int main() { return 1; }\n"); }},
        {"a runner source deleted", [](Workspace& w) { fs::remove(w.windows / "runner/main.cpp"); }, 1,
         [](const Workspace& w) { EXPECT_FALSE(fs::exists(w.staged / "runner/main.cpp")); }},
        {"the patched flutter/CMakeLists.txt edited",
         [](Workspace& w) { writeFile(w.windows / "flutter/CMakeLists.txt", "# x\n" + flutterCMakeLists); }, 1,
         [](const Workspace& w) { EXPECT_EQ(w.stagedFile("flutter/CMakeLists.txt"), "# x\n" + stagedFlutterCMakeLists); }},
        {"the patched flutter/CMakeLists.txt touched only",
         [](Workspace& w) { fs::last_write_time(w.windows / "flutter/CMakeLists.txt", old + 1h); }, 0,
         [](const Workspace& w) { EXPECT_EQ(w.stagedFile("flutter/CMakeLists.txt"), stagedFlutterCMakeLists); }},
        {"a plugin link pointed at another copy",
         [](Workspace& w) {
             const fs::path link = w.windows / "flutter/ephemeral/.plugin_symlinks/native_lib";
             fs::remove(link);
             fs::create_symlink(w.temp / "pub-cache/native_lib-1.0.1", link);
         },
         1,
         [](const Workspace& w) {
             EXPECT_EQ(fs::read_symlink(w.staged / "flutter/ephemeral/.plugin_symlinks/native_lib"),
                       w.temp / "pub-cache/native_lib-1.0.1");
         }},
        {"an engine file replaced", [](Workspace& w) { writeFile(w.engine.file("flutter_windows.dll"), "MZ new"); }, 1,
         [](const Workspace& w) { EXPECT_EQ(w.stagedFile("flutter/ephemeral/flutter_windows.dll"), "MZ new"); }},
        {"a stale file in the staged client wrapper",
         [](Workspace& w) { writeFile(w.staged / "flutter/ephemeral/cpp_client_wrapper/gone.cc", "x"); }, 1,
         [](const Workspace& w) { EXPECT_FALSE(fs::exists(w.staged / "flutter/ephemeral/cpp_client_wrapper/gone.cc")); }},
        {"the app version", [](Workspace& w) { w.project.version = PubspecVersion(std::string("2.1.0+7")); }, 1,
         [](const Workspace& w) {
             EXPECT_NE(w.stagedFile("flutter/ephemeral/generated_config.cmake").find("set(FLUTTER_VERSION_BUILD 7"),
                       std::string::npos);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace w;
        ASSERT_EQ(w.stage(), 26);
        c.change(w);
        w.projectChanged();
        EXPECT_EQ(w.stage(), c.changes);
        c.check(w);
        EXPECT_EQ(w.stage(), 0);
    }
}

TEST(SourceStagingTest, DisabledPluginLeavesTheGeneratedFilesUntilItIsEnabledAgain) {
    Workspace w;
    ASSERT_EQ(w.stage(), 26);

    EXPECT_EQ(w.stage({"url_launcher_windows"}), 2);
    EXPECT_EQ(w.stagedFile("flutter/generated_plugins.cmake"),
              "list(APPEND FLUTTER_PLUGIN_LIST\n  camera_windows\n)\n\nlist(APPEND FLUTTER_FFI_PLUGIN_LIST\n"
              "  native_lib\n)\n");
    EXPECT_EQ(w.stagedFile("flutter/generated_plugin_registrant.cc"), registrantHead + registrantBody + "}\n");
    EXPECT_TRUE(fs::is_symlink(w.staged / "flutter/ephemeral/.plugin_symlinks/url_launcher_windows"));
    EXPECT_EQ(w.stage({"url_launcher_windows"}), 0);

    EXPECT_EQ(w.stage(), 2);
    EXPECT_EQ(w.stagedFile("flutter/generated_plugins.cmake"), generatedPlugins);
    EXPECT_EQ(w.stagedFile("flutter/generated_plugin_registrant.cc"), registrant);
    EXPECT_EQ(w.stage(), 0);
}

TEST(SourceStagingTest, ResourceScriptsArePatchedAndOnlyTheRunnersGetsTheManifest) {
    const std::string patched = "IDI_APP_ICON ICON \"resources/app_icon.ico\"\nVALUE \"FileVersion\", \"1.0\\\\0\"\n";
    const std::string utf16 = std::string("\xFF\xFE" "I\0C\0O\0\\\0\\\0.\0i\0c\0o\0\"\0\n\0", 24);
    struct Case {
        const char* name;
        std::function<void(const fs::path& windows)> change;
        std::string script;  // relative to windows/
        std::string expected;
    };
    const Case cases[] = {
        {"no manifest beside the runner", [](const fs::path& windows) { fs::remove(windows / "runner/runner.exe.manifest"); },
         "runner/Runner.rc", patched},
        {"a runner script named in lower case",
         [](const fs::path& windows) { fs::rename(windows / "runner/Runner.rc", windows / "runner/runner.rc"); },
         "runner/runner.rc", patched},
        {"another script, its extension in capitals",
         [](const fs::path& windows) { writeFile(windows / "runner/Extra.RC", runnerRC); }, "runner/Extra.RC", patched},
        {"a script that is not UTF-8 is copied as it is",
         [&](const fs::path& windows) { writeFile(windows / "runner/Runner.rc", utf16); }, "runner/Runner.rc", utf16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace w;
        c.change(w.windows);
        w.projectChanged();
        w.stage();
        EXPECT_EQ(w.stagedFile(c.script), c.expected);
    }
}

TEST(SourceStagingTest, FileThatCannotBePatchedStopsTheStaging) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& windows)> change;
        std::set<std::string> disabled;
        TorvexError::Kind kind;
        std::string file;  // the file that could not be patched, relative to windows/
    };
    const Case cases[] = {
        {"flutter/CMakeLists.txt without the assemble call",
         [](const fs::path& windows) { writeFile(windows / "flutter/CMakeLists.txt", "add_custom_target(x)\n"); }, {},
         TorvexError::Kind::unsupported, "flutter/CMakeLists.txt"},
        {"a plugin list that is not UTF-8 while a plugin is left out",
         [](const fs::path& windows) { writeFile(windows / "flutter/generated_plugins.cmake", "camera_windows \xff\n"); },
         {"camera_windows"}, TorvexError::Kind::generic, "flutter/generated_plugins.cmake"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace w;
        c.change(w.windows);
        w.projectChanged();
        EXPECT_EQ(testing::errorOf([&] { w.stage(c.disabled); }).kind, c.kind);
        EXPECT_FALSE(fs::exists(w.staged / c.file));
        EXPECT_FALSE(fs::exists(w.staged / "flutter/ephemeral/flutter_windows.dll"));
        EXPECT_FALSE(fs::exists(w.staged / "flutter/ephemeral/generated_config.cmake"));
    }
}

TEST(SourceStagingTest, ALinkedEphemeralFolderIsRefusedBeforeAnythingIsWritten) {
    for (const char* linked : {"flutter/ephemeral", "flutter"}) {
        SCOPED_TRACE(linked);
        Workspace w;
        // The folder moves elsewhere and a link takes its place: staged as a link, the engine files
        // would be written through it.
        const fs::path elsewhere = w.temp / "elsewhere";
        fs::rename(w.windows / linked, elsewhere);
        fs::create_directory_symlink(elsewhere, w.windows / linked);
        w.projectChanged();
        const auto elsewhereBefore = snapshot(elsewhere);
        const TorvexError error = testing::errorOf([&] { w.stage(); });
        EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
        EXPECT_EQ(error.what, "This project's windows/" + std::string(linked) + " is a symbolic link.");
        EXPECT_EQ(snapshot(elsewhere), elsewhereBefore);
        EXPECT_FALSE(fs::exists(w.staged));
    }
}

TEST(SourceStagingTest, SpecialFilesAreRefusedAtOnceAndLinkedFilesArePatched) {
    struct Case {
        const char* name;
        std::function<void(Workspace&)> change;
        std::set<std::string> disabled;
        std::string file;                      // relative to windows/
        std::optional<std::string> staged;     // the patched regular file; none: refused, naming `file`
        std::string why = "";                  // the refusal's cause begins with it
    };
    const auto replaceWithFifo = [](const std::string& relative) {
        return [relative](Workspace& w) {
            fs::remove(w.windows / relative);
            w.fifos.push_back(std::make_unique<testing::Fifo>(w.windows / relative));
        };
    };
    const auto replaceWithLink = [](const std::string& relative, std::function<fs::path(Workspace&)> target) {
        return [relative, target](Workspace& w) {
            const fs::path destination = target(w);
            fs::remove(w.windows / relative);
            fs::create_symlink(destination, w.windows / relative);
        };
    };
    // The file moved out of the project, with a link to it in its place.
    const auto movedOut = [](const std::string& relative) {
        return [relative](Workspace& w) {
            const fs::path elsewhere = w.temp / "elsewhere" / fs::path(relative).filename();
            fs::create_directories(elsewhere.parent_path());
            fs::copy_file(w.windows / relative, elsewhere);
            return elsewhere;
        };
    };
    const std::string withoutUrlLauncher = registrantHead + registrantBody + "}\n";
    const Case cases[] = {
        {"a FIFO at runner/Runner.rc", replaceWithFifo("runner/Runner.rc"), {}, "runner/Runner.rc", std::nullopt,
         "It is a FIFO (named pipe)."},
        {"a FIFO at flutter/CMakeLists.txt", replaceWithFifo("flutter/CMakeLists.txt"), {}, "flutter/CMakeLists.txt",
         std::nullopt, "It is a FIFO (named pipe)."},
        {"a FIFO at the plugin list while a plugin is left out", replaceWithFifo("flutter/generated_plugins.cmake"),
         {"url_launcher_windows"}, "flutter/generated_plugins.cmake", std::nullopt, "It is a FIFO (named pipe)."},
        {"a link to a FIFO at runner/Runner.rc",
         [&](Workspace& w) {
             w.fifos.push_back(std::make_unique<testing::Fifo>(w.temp / "elsewhere/pipe"));
             replaceWithLink("runner/Runner.rc", [](Workspace& w) { return w.temp / "elsewhere/pipe"; })(w);
         },
         {}, "runner/Runner.rc", std::nullopt, "It is a FIFO (named pipe)."},
        {"a link to a device at flutter/CMakeLists.txt",
         replaceWithLink("flutter/CMakeLists.txt", [](Workspace&) { return fs::path("/dev/zero"); }), {},
         "flutter/CMakeLists.txt", std::nullopt, "It is a character device."},
        {"a link at flutter/CMakeLists.txt", replaceWithLink("flutter/CMakeLists.txt", movedOut("flutter/CMakeLists.txt")),
         {}, "flutter/CMakeLists.txt", stagedFlutterCMakeLists},
        {"a link at runner/Runner.rc", replaceWithLink("runner/Runner.rc", movedOut("runner/Runner.rc")), {},
         "runner/Runner.rc", stagedRunnerRC},
        {"a relative link at the registrant while a plugin is left out",
         [](Workspace& w) {
             const fs::path file = w.windows / "flutter/generated_plugin_registrant.cc";
             fs::rename(file, w.windows / "flutter/registrant.cc");
             fs::create_symlink("registrant.cc", file);
         },
         {"url_launcher_windows"}, "flutter/generated_plugin_registrant.cc", withoutUrlLauncher},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Workspace w;
        c.change(w);
        w.projectChanged();
        const auto started = std::chrono::steady_clock::now();
        if (c.staged) {
            w.stage(c.disabled);
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(w.staged / c.file)));
            EXPECT_EQ(w.stagedFile(c.file), *c.staged);
            EXPECT_EQ(w.stage(c.disabled), 0);
            continue;
        }
        const TorvexError error = testing::errorOf([&] { w.stage(c.disabled); });
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
        EXPECT_EQ(error.what, (w.windows / c.file).string() + " is not a regular file.");
        EXPECT_TRUE(error.why.starts_with(c.why)) << error.why;
        EXPECT_FALSE(fs::exists(w.staged / "flutter/ephemeral/generated_config.cmake"));
    }
}

TEST(SourceStagingTest, ALinkedRunnerFolderIsRefused) {
    Workspace w;
    const fs::path elsewhere = w.temp / "elsewhere";
    fs::rename(w.windows / "runner", elsewhere);
    fs::create_directory_symlink(elsewhere, w.windows / "runner");
    w.projectChanged();
    const TorvexError error = testing::errorOf([&] { w.stage(); });
    EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
    EXPECT_EQ(error.what, "This project's windows/runner is a symbolic link.");
    EXPECT_FALSE(fs::exists(w.staged));
}

TEST(SourceStagingTest, VersionsThatTheRunnerCannotCarryAreRefused) {
    struct Case {
        std::string version;
        std::optional<std::string> written;  // FLUTTER_VERSION as written in generated_config.cmake; none: refused
    };
    const Case cases[] = {
        {"\"1.2.3+4\"", std::nullopt},  // version: "1.2.3+4"
        {"1.2.3\\4", std::nullopt},
        {"1.2;3", std::nullopt},
        {"'1.2.3+4'", "'1.2.3+4'"},
        {"1.2.3-${HOME}", "1.2.3-\\${HOME}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        Workspace w;
        w.project.version = PubspecVersion(c.version);
        if (c.written) {
            w.stage();
            EXPECT_NE(w.stagedFile("flutter/ephemeral/generated_config.cmake")
                          .find("set(FLUTTER_VERSION \"" + *c.written + "\" PARENT_SCOPE)\n"),
                      std::string::npos);
            continue;
        }
        const TorvexError error = testing::errorOf([&] { w.stage(); });
        EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
        EXPECT_EQ(error.what, "The version in pubspec.yaml cannot be built into a Windows app.");
        EXPECT_NE(error.why.find((w.temp / "app/pubspec.yaml").string() + " reads " + c.version), std::string::npos);
        EXPECT_FALSE(fs::exists(w.staged));
    }
}

} // namespace
} // namespace torvex
