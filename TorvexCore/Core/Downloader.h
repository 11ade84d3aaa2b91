#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>

namespace torvex {

// Why a download did not deliver the file: the final answer's status when it was not 200, else the
// transfer's own error text.
struct DownloadFailure {
    std::optional<long> httpStatus;
    std::string description;
};

// Downloads with libcurl, straight to a file.
namespace Downloader {

// Called with the fraction done (0...1, never going down) after each piece written.
using FractionHandler = std::function<void(double)>;

// Fetches `address` (http or https; redirects followed) into `destination`, replacing it. The
// fraction is bytes written over the announced length, or over `expectedSize` when the server
// announces none, capped at 1. A transfer that moves no byte for `stallLimit` fails. On failure
// nothing is left at `destination`. A stop request ends the transfer at once and throws
// Cancelled; a file that cannot be written throws std::filesystem::filesystem_error; an exception
// of `progress` ends the transfer and passes through.
std::optional<DownloadFailure> download(const std::string& address, const std::filesystem::path& destination,
                                        std::int64_t expectedSize, const FractionHandler& progress,
                                        std::stop_token stop = {},
                                        std::chrono::seconds stallLimit = std::chrono::seconds(60));

} // namespace Downloader

} // namespace torvex
