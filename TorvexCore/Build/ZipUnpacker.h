#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <string>
#include <vector>

namespace torvex::ZipUnpacker {

// No archive may unpack to more bytes than this.
constexpr std::uintmax_t maximumUnpackedBytes = std::uintmax_t(1) << 30;

// Unpacks the members of `archive` that `selection` picks (unzip's member arguments, "-x" included)
// into `target`, replacing same-named files there, with the `unzip` program.
//
// The members are listed first, and the archive is refused before anything is unpacked when one is
// a symbolic link or special file, when a name is absolute or climbs out with "..", or when they
// declare more than maximumUnpackedBytes in all. They are then unpacked into a fresh folder inside
// `target`, with unzip stopped as soon as it has written more than they declare; that folder is
// checked again (plain files and folders only) and its contents moved into place.
//
// Failures are TorvexErrors (generic) whose what is "Could not unpack <shownName>.", or Cancelled;
// a refused archive leaves nothing of itself in `target`.
void unpack(const std::filesystem::path& unzip, const std::filesystem::path& archive,
            const std::vector<std::string>& selection, const std::filesystem::path& target,
            const std::string& shownName, std::stop_token stop = {});

} // namespace torvex::ZipUnpacker
