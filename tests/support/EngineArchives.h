#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace torvex::testing {

// The three engine archives' paths below a revision on the artifact store, in download order.
extern const std::array<std::string, 3> engineArchivePaths;

// The source folder of one archive: `sources`/<archive path without ".zip">.
std::filesystem::path archiveSources(const std::filesystem::path& sources, const std::string& archivePath);

// Small stand-in contents for the three archives: the engine files (with a .pdb and
// gen_snapshot.exe that must not be unpacked), the C++ client wrapper, and icudtl.dat with the two
// snapshots (beside members that must not be unpacked). Snapshot texts carry `tag`.
void writeStandInEngineSources(const std::filesystem::path& sources, const std::string& tag = "engine");

// Packs `members` (paths relative to `folder`, which is the working folder) into `archive` (replaced)
// with bsdtar, `options` coming before the members ("-a" picks the format from the file name).
// Throws when bsdtar fails.
void packArchive(const std::filesystem::path& archive, const std::filesystem::path& folder,
                 const std::vector<std::string>& members, const std::vector<std::string>& options = {"-a"});

// Zips every entry below `folder`, named relative to it, into `archive` (replaced). Throws when bsdtar fails.
void zipFolder(const std::filesystem::path& folder, const std::filesystem::path& archive);

// Makes every header of `archive` that declares `actual` as a member's uncompressed size declare
// `declared` instead (the member's data stays as it is).
void forgeDeclaredSize(const std::filesystem::path& archive, std::uint32_t actual, std::uint32_t declared);

// Zips each archive's source folder to `archives`/<archive path>.
void writeEngineArchives(const std::filesystem::path& sources, const std::filesystem::path& archives);

} // namespace torvex::testing
