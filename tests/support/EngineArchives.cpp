#include "support/EngineArchives.h"

#include "support/TestSupport.h"

#include "Core/ProcessRunner.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace torvex::testing {
namespace fs = std::filesystem;

const std::array<std::string, 3> engineArchivePaths = {
    "windows-x64-debug/windows-x64-flutter.zip",
    "windows-x64/flutter-cpp-client-wrapper.zip",
    "windows-x64/artifacts.zip",
};

fs::path archiveSources(const fs::path& sources, const std::string& archivePath) {
    return (sources / archivePath).replace_extension();
}

void writeStandInEngineSources(const fs::path& sources, const std::string& tag) {
    const fs::path engine = archiveSources(sources, engineArchivePaths[0]);
    writeFile(engine / "flutter_windows.dll", "MZ stand-in engine");
    writeFile(engine / "flutter_windows.dll.exp", "exp");
    writeFile(engine / "flutter_windows.dll.lib", "lib");
    writeFile(engine / "flutter_windows.dll.pdb", "pdb");
    writeFile(engine / "gen_snapshot.exe", "MZ gen_snapshot");
    for (const char* header : {"flutter_export.h", "flutter_messenger.h", "flutter_plugin_registrar.h",
                               "flutter_texture_registrar.h", "flutter_windows.h"})
        writeFile(engine / header, "#pragma once\n");

    const fs::path wrapper = archiveSources(sources, engineArchivePaths[1]);
    writeFile(wrapper / "cpp_client_wrapper" / "core_implementations.cc", "// core implementations\n");
    writeFile(wrapper / "cpp_client_wrapper" / "include" / "flutter" / "plugin_registrar.h", "#pragma once\n");

    const fs::path artifacts = archiveSources(sources, engineArchivePaths[2]);
    writeFile(artifacts / "icudtl.dat", "icu data");
    writeFile(artifacts / "isolate_snapshot.bin", tag + " isolate snapshot");
    writeFile(artifacts / "vm_isolate_snapshot.bin", tag + " vm snapshot");
    writeFile(artifacts / "gen_snapshot", "host gen_snapshot");
    writeFile(artifacts / "flutter_tester", "host tester");
}

void packArchive(const fs::path& archive, const fs::path& folder, const std::vector<std::string>& members,
                 const std::vector<std::string>& options) {
    const auto bsdtar = ProcessRunner::which("bsdtar", {"/usr/bin"});
    if (!bsdtar) throw std::runtime_error("bsdtar is missing (apt-get install libarchive-tools)");
    fs::create_directories(archive.parent_path());
    fs::remove(archive);
    ProcessSpec spec;
    spec.executable = *bsdtar;
    spec.arguments = {"-c", "-f", archive.string()};
    spec.arguments.insert(spec.arguments.end(), options.begin(), options.end());
    spec.arguments.insert(spec.arguments.end(), members.begin(), members.end());
    spec.currentDirectory = folder;
    const ProcessResult result = ProcessRunner::shared().capture(spec);
    if (result.exitCode != 0) throw std::runtime_error("bsdtar failed: " + result.standardError);
}

void zipFolder(const fs::path& folder, const fs::path& archive) {
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(folder)) entries.push_back(entry.path().filename().string());
    std::sort(entries.begin(), entries.end());
    packArchive(archive, folder, entries, {"--format", "zip"});
}

void forgeDeclaredSize(const fs::path& archive, std::uint32_t actual, std::uint32_t declared) {
    std::string bytes = readFile(archive);
    // Signature, and where the uncompressed size lies after it: local header, central directory
    // header, data descriptor.
    const std::pair<std::string, std::size_t> headers[] = {
        {std::string("PK\x03\x04", 4), 22}, {std::string("PK\x01\x02", 4), 24}, {std::string("PK\x07\x08", 4), 12}};
    const auto little = [](std::uint32_t value) {
        std::string text(4, '\0');
        for (int i = 0; i < 4; ++i) text[i] = static_cast<char>((value >> (8 * i)) & 0xff);
        return text;
    };
    for (const auto& [signature, offset] : headers) {
        for (std::size_t at = bytes.find(signature); at != std::string::npos; at = bytes.find(signature, at + 1)) {
            if (at + offset + 4 <= bytes.size() && bytes.compare(at + offset, 4, little(actual)) == 0)
                bytes.replace(at + offset, 4, little(declared));
        }
    }
    writeFile(archive, bytes);
}

void writeEngineArchives(const fs::path& sources, const fs::path& archives) {
    for (const std::string& archivePath : engineArchivePaths)
        zipFolder(archiveSources(sources, archivePath), archives / archivePath);
}

} // namespace torvex::testing
