#include "Core/Log.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <thread>
#include <vector>

using namespace torvex::testing;
using torvex::FileLog;
namespace fs = std::filesystem;

TEST(LogTest, CreatingEmptiesTheFileAndMakesItsFolders) {
    const TempDir dir;
    writeFile(dir / "old.log", "earlier run\n");
    { FileLog log(dir / "old.log"); }
    EXPECT_EQ(readFile(dir / "old.log"), "");

    FileLog nested(dir / "a/b/c/build.log");
    nested.write("");
    nested.write("two\nlines");
    EXPECT_EQ(readFile(dir / "a/b/c/build.log"), "\ntwo\nlines\n");
}

TEST(LogTest, ConcurrentWritersNeverMixTheirLines) {
    const TempDir dir;
    auto log = std::make_shared<FileLog>(dir / "run.log");
    FileLog second(dir / "run.log");  // a second writer of the same file appends, never overwrites
    constexpr int threads = 8, lines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < lines; ++i) {
                const std::string line = "writer " + std::to_string(t) + " line " + std::to_string(i) + std::string(200, 'x');
                (t % 2 == 0 ? *log : second).write(line);
            }
        });
    }
    for (auto& w : writers) w.join();

    std::istringstream in(readFile(dir / "run.log"));
    std::set<std::string> seen;
    for (std::string line; std::getline(in, line);) {
        ASSERT_EQ(line.substr(line.size() - 200), std::string(200, 'x'));
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(threads * lines));
}

TEST(LogTest, AnUnopenablePathAcceptsWritesWithoutEffect) {
    const TempDir dir;
    writeFile(dir / "blocker", "a file where a folder must be");
    FileLog underFile(dir / "blocker/x.log");
    underFile.write("lost");
    fs::create_directories(dir / "folder.log");
    FileLog onFolder(dir / "folder.log");
    onFolder.write("lost");
    EXPECT_FALSE(fs::exists(dir / "blocker/x.log"));
    EXPECT_TRUE(fs::is_directory(dir / "folder.log"));
    torvex::Log::build().info("a journal line that goes nowhere in a sandbox");
}
