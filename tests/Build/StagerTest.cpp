#include "Build/Stager.h"

#include "Core/TorvexError.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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

// The FIFOs of the case at hand; a read that waits on one gets end of file after 3 s.
std::vector<std::unique_ptr<testing::Fifo>> fifos;

void fifo(const fs::path& path) { fifos.push_back(std::make_unique<testing::Fifo>(path)); }

void socketFile(const fs::path& path) {
    fs::create_directories(path.parent_path());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.string().size(), sizeof address.sun_path);
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << path;
    ::close(fd);
}

// Every entry below `root`: "dir", "link:<text>", "file:<bytes>" or "special" (never opened).
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        const std::string relative = it->path().lexically_relative(root).string();
        const auto status = it->symlink_status();
        if (fs::is_symlink(status)) {
            entries[relative] = "link:" + fs::read_symlink(it->path()).string();
        } else if (fs::is_directory(status)) {
            entries[relative] = "dir";
        } else if (fs::is_regular_file(status)) {
            entries[relative] = "file:" + readFile(it->path());
        } else {
            entries[relative] = "special";
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
        {"the same, inside a mirrored folder",
         [](auto& s, auto& d, auto&) { file(s / "flutter/x", "x"); file(d / "flutter/old", "o");
                                       file(d / "flutter/ephemeral/generated_config.cmake", "g");
                                       file(d / "flutter/ephemeral/stale", "s"); link(d / "flutter/ephemeral/l", "t"); },
         {"flutter/ephemeral/generated_config.cmake"}, 4,
         {{"flutter", "dir"}, {"flutter/x", "file:x"}, {"flutter/ephemeral", "dir"},
          {"flutter/ephemeral/generated_config.cmake", "file:g"}}},
        {"extras before, between and after the source's names go",
         [](auto& s, auto& d, auto&) { for (const char* name : {"a", "a.txt", "c/x"}) { file(s / name, "s"); file(d / name, "s"); }
                                       for (const char* name : {"0", "a-b", "b", "c/w", "c/y", "z"}) file(d / name, "d"); },
         {}, 6, {{"a", "file:s"}, {"a.txt", "file:s"}, {"c", "dir"}, {"c/x", "file:s"}}},
        {"a FIFO or a socket in the destination is replaced or removed, never opened",
         [](auto& s, auto& d, auto&) { file(s / "a", "a"); fifo(d / "a"); fifo(d / "pipe"); socketFile(d / "socket"); },
         {}, 3, {{"a", "file:a"}}},
        {"a destination hard link is replaced; its other name keeps its bytes",
         [](auto& s, auto& d, auto& o) { file(s / "a", "new bytes"); file(o / "target", "old"); fs::create_hard_link(o / "target", d / "a"); },
         {}, 1, {{"a", "file:new bytes"}}},
        {"a folder or a file in a link's place is replaced by the link",
         [](auto& s, auto& d, auto&) { link(s / "l", "t"); file(d / "l/inner", "x"); link(s / "m", "t"); file(d / "m", "t"); },
         {}, 2, {{"l", "link:t"}, {"m", "link:t"}}},
        {"link texts are compared byte for byte",
         [](auto& s, auto& d, auto&) { link(s / "l", "t/"); link(d / "l", "t"); },
         {}, 1, {{"l", "link:t/"}}},
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
        fifos.clear();
    }
}

TEST(StagerTest, SpecialFilesInTheSourceAreRefusedWithoutWaiting) {
    const auto readingTransform = [](const std::string&, const fs::path& source) -> std::optional<std::string> {
        return readFile(source);
    };
    const struct {
        const char* name;
        std::string special;  // relative to the source
        bool isFIFO;
        std::vector<std::string> excluded;
        Stager::Transform transform;
        bool refused;
    } cases[] = {
        {"a FIFO", "pipe", true, {}, {}, true},
        {"a FIFO deep down, with a transform that reads every file", "runner/resources/app.rc", true, {}, readingTransform, true},
        {"a socket", "runner/socket", false, {}, {}, true},
        {"an excluded FIFO is never looked at", "flutter/ephemeral/pipe", true, {"flutter/ephemeral/"}, readingTransform, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const fs::path special = temp / "source" / c.special;
        file(temp / "source/main.cpp", "int main() {}");
        if (c.isFIFO) fifo(special);
        else socketFile(special);
        const Stager stager{c.excluded, c.transform};

        if (c.refused) {
            const TorvexError error = testing::errorOf([&] { stager.mirror(temp / "source", temp / "destination"); });
            EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
            EXPECT_EQ(error.what, special.string() + " is not a regular file.");
            EXPECT_TRUE(error.why.starts_with(c.isFIFO ? "It is a FIFO (named pipe)." : "It is a socket.")) << error.why;
        } else {
            EXPECT_EQ(stager.mirror(temp / "source", temp / "destination"), 1);
        }
        EXPECT_FALSE(fs::exists(fs::symlink_status(temp / "destination" / c.special)));
        fifos.clear();
    }

    TempDir temp;
    fifo(temp / "pipe");
    const TorvexError error = testing::errorOf([&] { Stager::mirrorFile(temp / "pipe", temp / "copy"); });
    EXPECT_EQ(error.kind, TorvexError::Kind::unsupported);
    EXPECT_EQ(error.what, (temp / "pipe").string() + " is not a regular file.");
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp / "copy")));
    fifos.clear();
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

TEST(StagerTest, CopiesCarryTheSourcePermissions) {
    using fs::perms;
    TempDir temp;
    const perms modes[] = {perms::owner_all | perms::group_read | perms::group_exec,
                           perms::owner_read | perms::group_read | perms::others_read,
                           perms::owner_read | perms::owner_write | perms::others_write};
    for (std::size_t i = 0; i < std::size(modes); ++i) {
        const fs::path name = "file" + std::to_string(i);
        file(temp / "source" / name, "bytes");
        fs::permissions(temp / "source" / name, modes[i]);
    }
    ASSERT_EQ(Stager{}.mirror(temp / "source", temp / "destination"), 3);
    for (std::size_t i = 0; i < std::size(modes); ++i) {
        const fs::path name = "file" + std::to_string(i);
        EXPECT_EQ(fs::status(temp / "destination" / name).permissions(), modes[i]) << name;
    }
}

// A file-size limit stands in for a disk that fills during a copy.
TEST(StagerTest, AFailedCopyLeavesNoPartOfTheFileAndTheNextMirrorRepairsIt) {
    TempDir temp;
    file(temp / "source/a-small", "small");
    file(temp / "source/b-large", std::string(64 * 1024, 'x'));
    rlimit original{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &original), 0);
    const auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = original;
    limited.rlim_cur = 16 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    try {
        Stager{}.mirror(temp / "source", temp / "destination");
        ADD_FAILURE() << "the copy past the limit succeeded";
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_too_large);
        EXPECT_EQ(error.path2(), temp / "destination/b-large");
    }
    ::setrlimit(RLIMIT_FSIZE, &original);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_EQ(tree(temp / "destination"), (std::map<std::string, std::string>{{"a-small", "file:small"}}));
    EXPECT_EQ(Stager{}.mirror(temp / "source", temp / "destination"), 1);
    EXPECT_EQ(tree(temp / "destination"), tree(temp / "source"));
}

// Copies between two file systems go through a buffer: a tmpfs and the test folder's disk.
TEST(StagerTest, CopiesAcrossFileSystems) {
    struct stat shm {}, tmp {};
    const TempDir onDisk;
    if (::stat("/dev/shm", &shm) != 0 || ::stat(onDisk.path().c_str(), &tmp) != 0 || shm.st_dev == tmp.st_dev) {
        GTEST_SKIP() << "needs /dev/shm on another file system than " << onDisk.path();
    }
    const TempDir inMemory("/dev/shm");
    std::string large(3 << 19, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7 + i / 4096);
    for (const auto& [from, to] : {std::pair{inMemory.path(), onDisk.path()}, std::pair{onDisk.path(), inMemory.path()}}) {
        SCOPED_TRACE(from.string() + " to " + to.string());
        file(from / "source/large", large);
        file(from / "source/empty", "");
        file(from / "source/sub/small", "small", base + 3s);
        EXPECT_EQ(Stager{}.mirror(from / "source", to / "copy"), 3);
        EXPECT_EQ(readFile(to / "copy/large"), large);
        EXPECT_EQ(tree(to / "copy"), tree(from / "source"));
        EXPECT_EQ(fs::last_write_time(to / "copy/sub/small"), base + 3s);
        EXPECT_EQ(Stager{}.mirror(from / "source", to / "copy"), 0);
    }
}

TEST(StagerTest, TransformWritesOnlyWhenItsBytesDiffer) {
    TempDir temp;
    file(temp / "source/patched.cpp", "original");
    file(temp / "source/plain.txt", "plain");
    file(temp / "outside.cpp", "outside");
    link(temp / "source/patched-link.cpp", temp / "outside.cpp");  // rewritten: staged as a regular file
    link(temp / "source/plain-link", "../outside.cpp");
    std::vector<std::string> asked;
    const Stager stager{{}, [&](const std::string& path, const fs::path& source) -> std::optional<std::string> {
                            asked.push_back(path);
                            if (!path.starts_with("patched")) return std::nullopt;
                            return "patched " + readFile(source);
                        }};

    EXPECT_EQ(stager.mirror(temp / "source", temp / "destination"), 4);
    EXPECT_EQ(tree(temp / "destination"), (std::map<std::string, std::string>{{"patched-link.cpp", "file:patched outside"},
                                                                              {"patched.cpp", "file:patched original"},
                                                                              {"plain-link", "link:../outside.cpp"},
                                                                              {"plain.txt", "file:plain"}}));
    EXPECT_NE(fs::last_write_time(temp / "destination/patched.cpp"), base) << "a written file has the write's time";
    EXPECT_EQ((std::vector<std::string>{"patched-link.cpp", "patched.cpp", "plain-link", "plain.txt"}), asked);
    EXPECT_EQ(readFile(temp / "outside.cpp"), "outside");

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
        {"a hard link to a file with other bytes",
         [](auto& t, auto& o) { file(o, "BYTES"); fs::create_directories(t.parent_path()); fs::create_hard_link(o, t); }, true},
        {"a FIFO in its place", [](auto& t, auto&) { fifo(t); }, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const fs::path target = temp / "deep/er/file", outside = temp / "outside";
        c.arrange(target, outside);
        const std::string outsideBefore = readFile(outside);
        EXPECT_EQ(writeIfChanged("bytes", target), c.writes);
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
        EXPECT_EQ(readFile(target), "bytes");
        if (!c.writes) {
            EXPECT_EQ(fs::last_write_time(target), base);
        }
        EXPECT_EQ(readFile(outside), outsideBefore) << "nothing is written through a link";
        fifos.clear();
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
