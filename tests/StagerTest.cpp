#include "Stager.h"

#include "TorvexError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace torvex {
namespace {
namespace fs = std::filesystem;
using testing::TempDir;
using testing::readFile;
using testing::writeFile;
using namespace std::chrono_literals;

const fs::file_time_type base = fs::file_time_type::clock::now() - 1h;

void file(const fs::path& path, const std::string& bytes, fs::file_time_type time = base) {
    writeFile(path, bytes);
    fs::last_write_time(path, time);
}

void link(const fs::path& path, const fs::path& target) {
    fs::create_directories(path.parent_path());
    fs::create_symlink(target, path);
}

// Every entry below `root`: "dir", "link:<text>" or "file:<bytes>".
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(root).string();
        const auto status = it->symlink_status();
        if (fs::is_symlink(status)) {
            entries[relative] = "link:" + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            entries[relative] = "dir";
        } else {
            entries[relative] = "file:" + readFile(it->path());
        }
    }
    return entries;
}

struct MirrorCase {
    const char* name;
    std::function<void(const fs::path& source, const fs::path& destination, const fs::path& outside)> arrange;
    std::vector<std::string> excluded;
    int changes;
    std::map<std::string, std::string> result;
};

TEST(StagerTest, MirrorsEachStateOfSourceAndDestination) {
    const std::vector<MirrorCase> cases = {
        {"new file, hidden entries too",
         [](auto& s, auto&, auto&) { file(s / "a.txt", "a"); file(s / ".hidden/.b", "b"); },
         {}, 2, {{"a.txt", "file:a"}, {".hidden", "dir"}, {".hidden/.b", "file:b"}}},
        {"same size and time is left alone",
         [](auto& s, auto& d, auto&) { file(s / "a", "new"); file(d / "a", "old"); },
         {}, 0, {{"a", "file:old"}}},
        {"changed size is copied",
         [](auto& s, auto& d, auto&) { file(s / "a", "longer"); file(d / "a", "old"); },
         {}, 1, {{"a", "file:longer"}}},
        {"time within 1 ms is the same",
         [](auto& s, auto& d, auto&) { file(s / "a", "new"); file(d / "a", "old", base + 900us); },
         {}, 0, {{"a", "file:old"}}},
        {"time 2 ms apart is copied",
         [](auto& s, auto& d, auto&) { file(s / "a", "new"); file(d / "a", "old", base + 2ms); },
         {}, 1, {{"a", "file:new"}}},
        {"folder in a file's place is replaced",
         [](auto& s, auto& d, auto&) { file(s / "a", "new"); file(d / "a/inner", "x"); },
         {}, 1, {{"a", "file:new"}}},
        {"link in a file's place is removed as a link",
         [](auto& s, auto& d, auto& o) { file(s / "a", "new"); file(o / "target", "new"); link(d / "a", o / "target"); },
         {}, 1, {{"a", "file:new"}}},
        {"file in a folder's place: folder not counted, contents are",
         [](auto& s, auto& d, auto&) { file(s / "d/x", "x"); file(d / "d", "file"); },
         {}, 1, {{"d", "dir"}, {"d/x", "file:x"}}},
        {"new empty folder is not counted",
         [](auto& s, auto&, auto&) { fs::create_directories(s / "empty"); },
         {}, 0, {{"empty", "dir"}}},
        {"link with the same text is left alone",
         [](auto& s, auto& d, auto&) { link(s / "l", "t"); link(d / "l", "t"); },
         {}, 0, {{"l", "link:t"}}},
        {"link with another text is replaced; a folder link is not walked",
         [](auto& s, auto& d, auto& o) { link(s / "l", "t"); link(d / "l", "u"); file(o / "f", "f"); link(s / "dl", o); },
         {}, 2, {{"l", "link:t"}, {"dl", "link:" + std::string("OUTSIDE")}}},
        {"a destination link to an outside folder becomes a folder; the outside stays",
         [](auto& s, auto& d, auto& o) { file(s / "d/x", "x"); file(o / "keep", "k"); link(d / "d", o); },
         {}, 1, {{"d", "dir"}, {"d/x", "file:x"}}},
        {"extras are removed, a folder as a whole",
         [](auto& s, auto& d, auto&) { file(s / "a", "a"); file(d / "a", "a"); file(d / "gone", "g");
                                       file(d / "old/x", "x"); file(d / "old/y", "y"); },
         {}, 2, {{"a", "file:a"}}},
        {"folder exclusion is neither copied nor removed; its look-alike sibling is mirrored",
         [](auto& s, auto& d, auto&) { file(s / "flutter/ephemeral/new", "n"); file(d / "flutter/ephemeral/kept", "k");
                                       file(s / "flutter/ephemeral_x/f", "f"); },
         {"flutter/ephemeral/"}, 1,
         {{"flutter", "dir"}, {"flutter/ephemeral", "dir"}, {"flutter/ephemeral/kept", "file:k"},
          {"flutter/ephemeral_x", "dir"}, {"flutter/ephemeral_x/f", "file:f"}}},
        {"exact exclusion naming a folder keeps both walks out",
         [](auto& s, auto& d, auto&) { file(s / "keep/new", "n"); file(d / "keep/old", "o"); file(s / "b", "b"); },
         {"keep"}, 1, {{"keep", "dir"}, {"keep/old", "file:o"}, {"b", "file:b"}}},
        {"a folder on the way to an excluded path stays, its extras go",
         [](auto&, auto& d, auto&) { file(d / "flutter/ephemeral/generated_config.cmake", "g");
                                     file(d / "flutter/ephemeral/stale", "s"); },
         {"flutter/ephemeral/generated_config.cmake"}, 1,
         {{"flutter", "dir"}, {"flutter/ephemeral", "dir"}, {"flutter/ephemeral/generated_config.cmake", "file:g"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const fs::path source = temp / "source", destination = temp / "destination", outside = temp / "outside";
        fs::create_directories(source);
        fs::create_directories(destination);
        fs::create_directories(outside);
        c.arrange(source, destination, outside);
        const auto outsideBefore = tree(outside);

        const Stager stager{c.excluded, {}};
        EXPECT_EQ(stager.mirror(source, destination), c.changes);

        auto expected = c.result;
        for (auto& [path, entry] : expected) {
            if (entry == "link:OUTSIDE") entry = "link:" + outside.string();
        }
        EXPECT_EQ(tree(destination), expected);
        EXPECT_EQ(tree(outside), outsideBefore);
        EXPECT_EQ(stager.mirror(source, destination), 0) << "a second run changes nothing";
    }
}

TEST(StagerTest, CopiesCarryTheSourceTimeAndUnchangedFilesKeepTheirs) {
    TempDir temp;
    file(temp / "source/a", "a");
    file(temp / "source/sub/b", "b", base + 5s);
    ASSERT_EQ(Stager{}.mirror(temp / "source", temp / "destination"), 2);
    EXPECT_EQ(fs::last_write_time(temp / "destination/a"), base);
    EXPECT_EQ(fs::last_write_time(temp / "destination/sub/b"), base + 5s);

    file(temp / "source/a", "A", base + 10s);
    EXPECT_EQ(Stager{}.mirror(temp / "source", temp / "destination"), 1);
    EXPECT_EQ(readFile(temp / "destination/a"), "A");
    EXPECT_EQ(fs::last_write_time(temp / "destination/sub/b"), base + 5s);
}

TEST(StagerTest, TransformWritesOnlyWhenItsBytesDiffer) {
    TempDir temp;
    file(temp / "source/patched.cpp", "original");
    file(temp / "source/plain.txt", "plain");
    std::vector<std::string> asked;
    const Stager stager{{}, [&](const std::string& path, const fs::path& source) -> std::optional<std::string> {
                            asked.push_back(path);
                            if (path != "patched.cpp") return std::nullopt;
                            return "patched " + readFile(source);
                        }};

    EXPECT_EQ(stager.mirror(temp / "source", temp / "destination"), 2);
    EXPECT_EQ(readFile(temp / "destination/patched.cpp"), "patched original");
    EXPECT_NE(fs::last_write_time(temp / "destination/patched.cpp"), base) << "a written file has the write's time";
    EXPECT_EQ((std::vector<std::string>{"patched.cpp", "plain.txt"}), asked);

    const auto written = base - 1h;
    fs::last_write_time(temp / "destination/patched.cpp", written);
    EXPECT_EQ(stager.mirror(temp / "source", temp / "destination"), 0);
    EXPECT_EQ(fs::last_write_time(temp / "destination/patched.cpp"), written);
}

TEST(StagerTest, TransformFailureStopsTheMirror) {
    TempDir temp;
    file(temp / "source/a", "a");
    const Stager stager{{}, [](const std::string&, const fs::path&) -> std::optional<std::string> {
                            throw TorvexError(TorvexError::Kind::buildFailed, "patch", "why", "fix");
                        }};
    EXPECT_THROW(stager.mirror(temp / "source", temp / "destination"), TorvexError);
}

TEST(StagerTest, MissingSourceIsAnErrorAndTouchesNothing) {
    TempDir temp;
    file(temp / "destination/stale", "s");
    file(temp / "plain-file", "f");
    for (const fs::path& source : {temp / "missing", temp / "plain-file"}) {
        SCOPED_TRACE(source.string());
        const TorvexError error = testing::errorOf([&] { Stager{}.mirror(source, temp / "destination"); });
        EXPECT_NE(error.what.find(source.string()), std::string::npos) << error.what;
        EXPECT_EQ(tree(temp / "destination"), (std::map<std::string, std::string>{{"stale", "file:s"}}));
    }
}

TEST(StagerTest, WriteIfChangedWritesOnlyNewBytes) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& target, const fs::path& outside)> arrange;
        bool writes;
    };
    const std::vector<Case> cases = {
        {"missing file and folders", [](auto&, auto&) {}, true},
        {"same bytes", [](auto& t, auto&) { file(t, "bytes"); }, false},
        {"other bytes of the same size", [](auto& t, auto&) { file(t, "BYTES"); }, true},
        {"a folder in its place", [](auto& t, auto&) { file(t / "inner", "x"); }, true},
        {"a link to a file with the same bytes", [](auto& t, auto& o) { file(o, "bytes"); link(t, o); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const fs::path target = temp / "deep/er/file", outside = temp / "outside";
        c.arrange(target, outside);
        EXPECT_EQ(writeIfChanged("bytes", target), c.writes);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
        EXPECT_EQ(readFile(target), "bytes");
        if (!c.writes) {
            EXPECT_EQ(fs::last_write_time(target), base);
        }
        if (fs::exists(outside)) {
            EXPECT_EQ(readFile(outside), "bytes");
        }
    }
}

TEST(StagerTest, SameTimeAllowsLessThanOneMillisecond) {
    using Time = std::optional<fs::file_time_type>;
    const struct {
        Time a, b;
        bool same;
    } cases[] = {
        {std::nullopt, std::nullopt, true}, {std::nullopt, base, false}, {base, std::nullopt, false},
        {base, base + 999us, true},          {base + 999us, base, true},   {base, base + 1ms, false},
        {base - 2ms, base, false},
    };
    for (const auto& c : cases) EXPECT_EQ(sameTime(c.a, c.b), c.same);
}

TEST(StagerTest, MirrorFileCopiesWhenSizeOrTimeDiffer) {
    TempDir temp;
    EXPECT_THROW(Stager::mirrorFile(temp / "missing", temp / "copy"), fs::filesystem_error);

    file(temp / "source", "abc");
    EXPECT_TRUE(Stager::mirrorFile(temp / "source", temp / "new/folder/copy"));
    EXPECT_EQ(readFile(temp / "new/folder/copy"), "abc");
    EXPECT_EQ(fs::last_write_time(temp / "new/folder/copy"), base);
    EXPECT_FALSE(Stager::mirrorFile(temp / "source", temp / "new/folder/copy"));

    file(temp / "source", "xyz", base + 2ms);
    EXPECT_TRUE(Stager::mirrorFile(temp / "source", temp / "new/folder/copy"));
    EXPECT_EQ(readFile(temp / "new/folder/copy"), "xyz");
}

} // namespace
} // namespace torvex
