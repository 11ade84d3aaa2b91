// Mirrors a generated tree of 10 000 files in 500 folders with Stager and, on a copy of its own,
// with `rsync -a --delete --modify-window=-1` (modification times compared beyond whole seconds,
// as Stager compares them): (a) into an empty destination, (b) with nothing changed, (c) after
// 1 % of the source files changed, and checks after every step that both destinations equal the
// source. Also times rsync on an empty tree, its fixed cost, and the floor, a bare walk of the
// source (`find TREE -printf '%s %T@\n'`). Prints the median times with the ratios Stager / rsync,
// and the net ratios: Stager / (rsync - its fixed cost), each taken as the 10th percentile of its
// runs. rsync's exit polls its children every 20 ms, so each run of it waits one, two or three
// such steps by chance (on an empty tree too), and on a shared machine its three processes get
// all the cores they want only at times: its median jumps by 20 ms between two benchmark runs,
// more than half its whole work with no change. The lower decile is each tool's work without
// another program's load or a needless wait, and no single lucky or unlucky run moves it.
// Targets, on the net ratios: <= 0.6 with no change and 1 % touched, <= 1.0 for the full mirror.
// Usage: StagerBench [rounds]   (default 9; about 180 MB per copy, two copies a round; each round
// times the full mirror once and the cheaper steps five times)
// Works on /dev/shm when it is a tmpfs with room (disk writeback makes the full mirror's times
// noisy), else below $TMPDIR; a TMPDIR that is set is always used.
#include "BenchSupport.h"
#include "Build/Stager.h"
#include "Core/TorvexError.h"

#include "support/Spawn.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {
namespace fs = std::filesystem;
using torvex::testing::TempDir;

constexpr int topFolders = 20;
constexpr int subFoldersEach = 24;  // 20 + 20 * 24 = 500 folders
constexpr int fileCount = 10'000;
constexpr int touchedCount = fileCount / 100;
constexpr int repeats = 5;  // of the cheap steps in each round

// splitmix64: the same numbers on every platform and library, unlike the <random> distributions.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    double unit() { return static_cast<double>(next() >> 11) / static_cast<double>(1ULL << 53); }
};

std::string randomBytes(Random& random, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; i += 8) {
        const std::uint64_t word = random.next();
        for (std::size_t j = 0; j < 8 && i + j < size; ++j) bytes[i + j] = static_cast<char>(word >> (8 * j));
    }
    return bytes;
}

// Mostly small files (1-32 KB), with a tail of 3 % large ones (32 KB-1 MB); sizes log-uniform.
std::size_t fileSize(Random& random) {
    const bool large = random.next() % 100 < 3;
    const double base = large ? 32.0 * 1024 : 1024.0;
    return static_cast<std::size_t>(base * std::pow(32.0, random.unit()));
}

// The relative paths of the generated files; writes them below `root`.
std::vector<std::string> generateTree(const fs::path& root, std::uintmax_t& totalBytes) {
    std::vector<std::string> folders;
    for (int top = 0; top < topFolders; ++top) {
        const std::string name = "dir" + std::to_string(top);
        folders.push_back(name);
        for (int sub = 0; sub < subFoldersEach; ++sub) folders.push_back(name + "/sub" + std::to_string(sub));
    }
    for (const auto& folder : folders) fs::create_directories(root / folder);

    Random random{42};
    std::vector<std::string> files;
    totalBytes = 0;
    for (int i = 0; i < fileCount; ++i) {
        const std::string& folder = folders[random.next() % folders.size()];
        files.push_back(folder + "/file" + std::to_string(i) + (i % 4 == 0 ? ".dart" : ".bin"));
        const std::string bytes = randomBytes(random, fileSize(random));
        totalBytes += bytes.size();
        torvex::testing::writeFile(root / files.back(), bytes);
    }
    return files;
}

// Changes 1 % of the files, a different choice each round: new bytes of the same size, a few
// bytes more, or only a new modification time.
void touchFiles(const fs::path& root, const std::vector<std::string>& files, int round) {
    Random random{1000 + static_cast<std::uint64_t>(round)};
    std::vector<std::string> chosen = files;
    for (int i = 0; i < touchedCount; ++i) {
        std::swap(chosen[i], chosen[i + random.next() % (chosen.size() - i)]);
        const fs::path file = root / chosen[i];
        switch (i % 3) {
        case 0:
            torvex::testing::writeFile(file, randomBytes(random, fs::file_size(file)));
            break;
        case 1:
            torvex::testing::writeFile(file, torvex::testing::readFile(file) + randomBytes(random, 100));
            break;
        default:
            fs::last_write_time(file, fs::file_time_type::clock::now());
            break;
        }
    }
}

// What differs between two trees (type, link text, size, modification time, bytes); empty when
// they are equal.
std::string difference(const fs::path& expected, const fs::path& actual) {
    const auto listing = [](const fs::path& root) {
        std::map<std::string, fs::file_status> entries;
        for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
            entries[it->path().lexically_relative(root).string()] = it->symlink_status();
        }
        return entries;
    };
    const auto left = listing(expected), right = listing(actual);
    if (left.size() != right.size()) {
        return std::to_string(right.size()) + " entries instead of " + std::to_string(left.size());
    }
    for (const auto& [path, status] : left) {
        const auto other = right.find(path);
        if (other == right.end()) return path + " is missing";
        if (other->second.type() != status.type()) return path + " has another type";
        if (!fs::is_regular_file(status)) continue;
        const fs::path a = expected / path, b = actual / path;
        if (!torvex::sameTime(fs::last_write_time(a), fs::last_write_time(b))) return path + " has another time";
        if (torvex::testing::readFile(a) != torvex::testing::readFile(b)) return path + " has other bytes";
    }
    return {};
}

// Writes back what earlier steps left dirty, so that no step pays for another's writes.
void settle(const fs::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

bool isTmpfs(const fs::path& folder) {
    struct statfs info {};
    return ::statfs(folder.c_str(), &info) == 0 && info.f_type == TMPFS_MAGIC;
}

// $TMPDIR when it is set; else /dev/shm when it is a tmpfs with room to spare for the source and
// one round's two copies; else /tmp.
fs::path workBase() {
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && *tmpdir != '\0') return tmpdir;
    struct statfs info {};
    if (isTmpfs("/dev/shm") && ::statfs("/dev/shm", &info) == 0 &&
        static_cast<double>(info.f_bavail) * static_cast<double>(info.f_bsize) > 2e9) {
        return "/dev/shm";
    }
    return "/tmp";
}

double seconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Step {
    const char* name;
    int changes;  // what Stager must report: every file copied, none, or the touched ones
    double target;  // on the net ratio
    std::vector<double> stager, rsync;
};

} // namespace

int main(int argc, char** argv) {
    const int rounds = torvex::bench::countArgument(argc, argv, "StagerBench", "rounds", 9);
    for (const char* tool : {"/usr/bin/rsync", "/usr/bin/find"}) {
        if (::access(tool, X_OK) != 0) {
            std::fprintf(stderr, "StagerBench: %s is missing.\n  Fix: run scripts/bootstrap.\n", tool);
            return 2;
        }
    }

    const TempDir temp(workBase());
    const bool inMemory = isTmpfs(temp.path());
    const fs::path source = temp / "source", empty = temp / "empty", emptyCopy = temp / "empty-copy";
    fs::create_directories(empty);
    fs::path byStager, byRsync;
    std::uintmax_t totalBytes = 0;
    const std::vector<std::string> files = generateTree(source, totalBytes);
    std::printf("tree: %d files in %d folders, %.1f MB, in %s (%s)\n", fileCount, topFolders * (1 + subFoldersEach),
                static_cast<double>(totalBytes) / 1e6, temp.path().c_str(), inMemory ? "tmpfs" : "not a tmpfs");

    int incorrect = 0;
    const auto check = [&](const char* step, const fs::path& destination) {
        if (const std::string problem = difference(source, destination); !problem.empty()) {
            std::fprintf(stderr, "StagerBench: after %s, %s differs from the source: %s\n", step,
                         destination.filename().c_str(), problem.c_str());
            ++incorrect;
        }
    };
    const auto spawn = [&](const std::vector<std::string>& argv) {
        const auto result = torvex::testing::spawnAndWait({argv.front(), argv, {}, {}}, temp.path());
        if (result.status != 0) {
            throw std::runtime_error(argv.front() + " failed with status " + std::to_string(result.status) + ": " + result.err);
        }
    };
    const auto rsync = [&](const fs::path& from, const fs::path& to) {
        // Its quick check compares whole seconds unless told to look at nanoseconds too.
        spawn({"/usr/bin/rsync", "-a", "--delete", "--modify-window=-1", from.string() + "/", to.string() + "/"});
    };
    int stagerChanges = 0;
    const auto stagerRun = [&] { stagerChanges = torvex::Stager{}.mirror(source, byStager); };
    const auto rsyncRun = [&] { rsync(source, byRsync); };

    Step full{"full mirror", fileCount, 1.0, {}, {}}, unchanged{"no change", 0, 0.6, {}, {}},
        touched{"1 % touched", touchedCount, 0.6, {}, {}};
    std::vector<double> rsyncEmpty, floor;
    try {
        for (int round = 0; round < rounds; ++round) {
            const bool stagerFirst = round % 2 == 0;  // both read the same cached source; alternate who goes first
            const auto timeBoth = [&](Step& step) {
                for (int turn = 0; turn < 2; ++turn) {
                    settle(temp.path());
                    if ((turn == 0) == stagerFirst) step.stager.push_back(seconds(stagerRun));
                    else step.rsync.push_back(seconds(rsyncRun));
                }
                check(step.name, byStager);
                check(step.name, byRsync);
                if (stagerChanges != step.changes) {
                    std::fprintf(stderr, "StagerBench: after %s, Stager counted %d changes instead of %d\n", step.name,
                                 stagerChanges, step.changes);
                    ++incorrect;
                }
            };

            // On a disk, fresh destinations every round, all removed at the end: on ext4 without a
            // journal, creating files soon after a mass removal pays for skipping the freed
            // inodes, and whichever side ran first after removing the last round's copies would
            // pay the most. A tmpfs has no such cost and gets its memory back every round.
            if (inMemory && round > 0) {
                fs::remove_all(byStager);
                fs::remove_all(byRsync);
            }
            byStager = temp / ("stager-" + std::to_string(round));
            byRsync = temp / ("rsync-" + std::to_string(round));
            fs::create_directories(byStager);
            fs::create_directories(byRsync);
            timeBoth(full);
            for (int repeat = 0; repeat < repeats; ++repeat) timeBoth(unchanged);
            for (int repeat = 0; repeat < repeats; ++repeat) {
                touchFiles(source, files, round * repeats + repeat);
                timeBoth(touched);
            }
            for (int repeat = 0; repeat < repeats; ++repeat) {
                settle(temp.path());
                rsyncEmpty.push_back(seconds([&] { rsync(empty, emptyCopy); }));
                floor.push_back(seconds([&] { spawn({"/usr/bin/find", source.string(), "-printf", "%s %T@\\n"}); }));
            }

            std::fprintf(stderr, "round %d of %d (Stager / rsync, ms):", round + 1, rounds);
            for (const Step* step : {&full, &unchanged, &touched}) {
                std::fprintf(stderr, "  %s %.1f / %.1f", step->name, step->stager.back() * 1e3, step->rsync.back() * 1e3);
            }
            std::fprintf(stderr, "  rsync on an empty tree %.1f  floor %.1f\n", rsyncEmpty.back() * 1e3, floor.back() * 1e3);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "StagerBench: %s\n", error.what());
        return 2;
    } catch (const torvex::TorvexError& error) {
        std::fprintf(stderr, "StagerBench: %s\n", error.description().c_str());
        return 2;
    }

    using torvex::bench::median;
    const auto typical = [](const std::vector<double>& times) { return torvex::bench::quantile(times, 0.1); };
    const double fixedCost = typical(rsyncEmpty);
    std::printf("rsync on an empty tree (its fixed cost): %.1f ms; median %.1f ms (%zu runs)\n", fixedCost * 1e3,
                median(rsyncEmpty) * 1e3, rsyncEmpty.size());
    std::printf("floor, find TREE -printf '%%s %%T@\\n' over the source: %.1f ms; median %.1f ms\n", typical(floor) * 1e3,
                median(floor) * 1e3);
    std::printf("%-12s %-21s %-21s %-6s %s\n", "", "Stager: median, 10 %", "rsync: median, 10 %", "ratio",
                "net ratio of the 10 % values: Stager / (rsync - fixed cost)");
    bool met = true;
    for (const Step* step : {&full, &unchanged, &touched}) {
        const double stager = typical(step->stager), net = typical(step->rsync) - fixedCost, netRatio = stager / net;
        const bool stepMet = net > 0 && netRatio <= step->target;
        met = met && stepMet;
        std::printf("%-12s %6.1f ms %6.1f ms  %6.1f ms %6.1f ms  %5.2f  %.2f (rsync net %.1f ms, %zu runs each), "
                    "target <= %.1f: %s\n", step->name, median(step->stager) * 1e3, stager * 1e3,
                    median(step->rsync) * 1e3, typical(step->rsync) * 1e3, median(step->stager) / median(step->rsync),
                    netRatio, net * 1e3, step->stager.size(), step->target, stepMet ? "met" : "missed");
    }
    if (incorrect != 0) {
        std::printf("results: %d check(s) failed (see above)\n", incorrect);
        return 2;
    }
    std::printf("results: both destinations equal the source after every step; Stager's counts are right\n");
    return met ? 0 : 1;
}
