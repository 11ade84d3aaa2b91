#include "Core/FileLock.h"

#include "Core/TorvexError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

using namespace torvex;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(FileLockTest, ASecondHolderWaitsUntilTheFirstLetsGo) {
    const torvex::testing::TempDir dir;
    const fs::path file = dir / "build.lock";
    std::optional<FileLock> first = FileLock::acquire(file);
    ASSERT_TRUE(first);

    std::atomic<int> told = 0;
    std::atomic<bool> taken = false;
    std::jthread second([&] {
        const auto lock = FileLock::acquire(file, {}, std::nullopt, [&] { ++told; });
        taken = lock.has_value();
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(taken);
    first.reset();
    second.join();
    EXPECT_TRUE(taken);
    EXPECT_EQ(told, 1) << "told once that it waits";
}

TEST(FileLockTest, AWaitEndsWithItsPatienceOrAStop) {
    const torvex::testing::TempDir dir;
    const fs::path file = dir / "config.json.lock";
    const auto held = FileLock::acquire(file);

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FileLock::acquire(file, {}, 200ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 200ms);

    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop.request_stop();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_THROW(FileLock::acquire(file, stop.get_token()), Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);

    EXPECT_THROW(FileLock::acquire(dir / "missing folder" / "x.lock"), fs::filesystem_error);
}

TEST(FileLockTest, TheHolderReplacesTheFilesContents) {
    const torvex::testing::TempDir dir;
    const fs::path file = dir / "torvex.sock.lock";
    torvex::testing::writeFile(file, "a much longer text from an earlier holder\n");
    const auto lock = FileLock::acquire(file);
    ASSERT_TRUE(lock);
    lock->write("4242\n");
    EXPECT_EQ(torvex::testing::readFile(file), "4242\n");
    EXPECT_FALSE(FileLock::acquire(file, {}, 0ms)) << "still held";
}
