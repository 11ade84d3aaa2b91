#include "SDKLibraryLinks.h"

#include "Core/ASCII.h"
#include "Core/LinkPlacement.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace torvex::SDKLibraryLinks {
namespace fs = std::filesystem;

namespace {

// Bounds on what a link's inputs may make this read; beyond them a file counts as holding no directive.
constexpr std::size_t maximumDirectiveBytes = 1 << 20;
constexpr std::uint32_t maximumSections = 1 << 20;
constexpr std::size_t maximumArchiveMembers = 1 << 20;
// Response files of one link: the bytes of all of them, how many are read, how deep they nest.
constexpr std::uintmax_t maximumResponseFileBytes = 16 << 20;
constexpr std::size_t maximumResponseFiles = 1024;
constexpr std::size_t maximumResponseFileDepth = 16;
constexpr std::size_t maximumFileName = 255;
// The objects and archives of one link: the bytes all their reads may ask for, each read counted
// as at least a small block, so that many tiny reads end too.
constexpr std::uint64_t maximumScanBytes = 256 << 20;
constexpr std::uint64_t minimumReadCost = 1024;

constexpr std::size_t sectionHeaderSize = 40;
constexpr std::size_t sectionsPerRead = 1024;
// The class id that marks a COFF object with more than 65279 sections (/bigobj).
constexpr std::string_view bigObjectMagic("\xc7\xa1\xba\xd1\xee\xba\xa9\x4b\xaf\x20\xfa\xf6\x6a\xa4\xdc\xb8", 16);
constexpr std::uint16_t objectMachines[] = {0x8664, 0x14c, 0xaa64, 0x1c4, 0xa641};

std::uint16_t le16(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                      static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t le32(std::string_view bytes, std::size_t at) {
    return static_cast<std::uint32_t>(le16(bytes, at)) | static_cast<std::uint32_t>(le16(bytes, at + 2)) << 16;
}

// The words of a directive section, split and unquoted as the linker's Windows rules do: blanks
// separate words, double quotes group, and backslashes count only in front of a quote.
std::vector<std::string> directiveWords(std::string_view text) {
    if (text.starts_with("\xef\xbb\xbf")) text.remove_prefix(3);
    text = text.substr(0, text.find('\0'));
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) words.push_back(std::exchange(word, {}));
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            std::size_t run = 0;
            while (i < text.size() && text[i] == '\\') ++run, ++i;
            if (i < text.size() && text[i] == '"') {
                word.append(run / 2, '\\');
                if (run % 2 == 1) {
                    word += '"';
                } else {
                    quoted = !quoted;
                }
            } else {
                word.append(run, '\\');
                --i;
            }
        } else if (c == '"') {
            quoted = !quoted;
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

std::vector<std::string> librariesOfDirectives(std::string_view text) {
    std::vector<std::string> names;
    for (const std::string& word : directiveWords(text)) {
        constexpr std::string_view option = "defaultlib:";
        if (word.size() <= option.size() + 1 || (word[0] != '/' && word[0] != '-')) continue;
        if (lowercasedASCII(std::string_view(word).substr(1, option.size())) != option) continue;
        names.push_back(word.substr(option.size() + 1));
    }
    return names;
}

// The directives of the COFF object that starts at `base`.
std::vector<std::string> objectDirectives(const ReadAt& read, std::uint64_t base) {
    const std::string header = read(base, 56);
    if (header.size() < 20) return {};
    std::uint32_t sections = 0;
    std::uint64_t table = 0;
    if (le16(header, 0) == 0 && le16(header, 2) == 0xffff) {
        // An import member (version 0) or an anonymous object other than a big one has no sections.
        if (header.size() < 56 || le16(header, 4) < 2 || std::string_view(header).substr(12, 16) != bigObjectMagic)
            return {};
        sections = le32(header, 44);
        table = base + 56;
    } else {
        const std::uint16_t machine = le16(header, 0);
        if (std::find(std::begin(objectMachines), std::end(objectMachines), machine) == std::end(objectMachines))
            return {};
        sections = le16(header, 2);
        table = base + 20 + le16(header, 16);
    }
    if (sections > maximumSections) return {};
    for (std::uint32_t first = 0; first < sections; first += sectionsPerRead) {
        const std::uint32_t count = std::min<std::uint32_t>(sectionsPerRead, sections - first);
        const std::string headers = read(table + std::uint64_t(first) * sectionHeaderSize, count * sectionHeaderSize);
        for (std::size_t at = 0; at + sectionHeaderSize <= headers.size(); at += sectionHeaderSize) {
            if (std::string_view(headers).substr(at, 8) != ".drectve") continue;
            const std::uint32_t size = le32(headers, at + 16);
            if (size > maximumDirectiveBytes) return {};
            const std::string text = read(base + le32(headers, at + 20), size);
            if (text.size() < size) return {};  // the file ends inside it
            return librariesOfDirectives(text);
        }
        if (headers.size() < count * sectionHeaderSize) return {};
    }
    return {};
}

std::optional<std::uint64_t> decimal(std::string_view field) {
    while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
    if (field.empty() || field.size() > 18) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::vector<std::string> archiveDirectives(const ReadAt& read) {
    std::vector<std::string> names;
    std::uint64_t offset = 8;
    for (std::size_t member = 0; member < maximumArchiveMembers; ++member) {
        const std::string header = read(offset, 60);
        if (header.size() < 60 || header.compare(58, 2, "`\n") != 0) break;
        const auto size = decimal(std::string_view(header).substr(48, 10));
        if (!size) break;
        const std::string_view name = std::string_view(header).substr(0, 16);
        std::uint64_t data = offset + 60;
        if (name.starts_with("#1/")) {  // BSD: the name leads the data
            const auto length = decimal(name.substr(3));
            if (!length || *length > *size) break;
            data += *length;
        }
        const bool index = name.starts_with("/ ") || name.starts_with("// ") || name.starts_with("/SYM64/") ||
                           name.starts_with("__.SYMDEF");
        if (!index) {
            for (std::string& library : objectDirectives(read, data)) names.push_back(std::move(library));
        }
        offset += 60 + *size + (*size & 1);
    }
    return names;
}

std::string readAt(int fd, std::uint64_t offset, std::size_t length) {
    std::string bytes(length, '\0');
    std::size_t got = 0;
    while (got < length) {
        const ssize_t count = ::pread(fd, bytes.data() + got, length - got, static_cast<off_t>(offset + got));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        got += static_cast<std::size_t>(count);
    }
    bytes.resize(got);
    return bytes;
}

// A file open for reading and what fstat said of it.
struct OpenFile {
    int fd = -1;
    struct stat info {};
};

// Opens a regular file for reading without ever blocking on a FIFO or a device; fd is -1 otherwise.
OpenFile openRegularFile(const fs::path& file) {
    OpenFile opened;
    opened.fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (opened.fd >= 0 && (::fstat(opened.fd, &opened.info) != 0 || !S_ISREG(opened.info.st_mode))) {
        ::close(opened.fd);
        opened.fd = -1;
    }
    return opened;
}

// What the reads of one link's objects and archives have asked for; once a read would pass
// maximumScanBytes, it and every later one give nothing.
struct ScanBudget {
    std::uint64_t spent = 0;
    bool exhausted = false;
};

std::vector<std::string> fileDirectives(const fs::path& file, ScanBudget& budget) {
    if (budget.exhausted) return {};
    const int fd = openRegularFile(file).fd;
    if (fd < 0) return {};
    const std::vector<std::string> names =
        directiveLibraries([fd, &budget](std::uint64_t offset, std::size_t length) {
            const std::uint64_t cost = std::max<std::uint64_t>(length, minimumReadCost);
            if (budget.exhausted || cost > maximumScanBytes - budget.spent) {
                budget.exhausted = true;
                return std::string();
            }
            budget.spent += cost;
            return readAt(fd, offset, length);
        });
    ::close(fd);
    return names;
}

// The words of a response file, as clang splits them on this system: blanks separate, single
// quotes keep everything, double quotes keep all but a backslash's escape, a backslash escapes.
std::vector<std::string> responseFileWords(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == 0 && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inWord) words.push_back(std::exchange(word, {}));
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\\' && quote != '\'' && i + 1 < text.size()) {
            word += text[++i];
        } else if (quote == 0 && (c == '\'' || c == '"')) {
            quote = c;
        } else if (c == quote) {
            quote = 0;
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

using FileIdentity = std::pair<dev_t, ino_t>;

// The response files that one link has read, and those being expanded, outermost first.
struct ResponseFiles {
    std::vector<FileIdentity> expanding;
    std::size_t read = 0;
    std::uintmax_t bytes = 0;
};

struct ResponseFile {
    FileIdentity identity;
    std::string text;
};

// A response file's text, unless the file is being expanded already (clang refuses such a loop)
// or reading it would pass the link's bounds.
std::optional<ResponseFile> readResponseFile(const fs::path& file, ResponseFiles& files) {
    if (files.read >= maximumResponseFiles || files.expanding.size() >= maximumResponseFileDepth) return std::nullopt;
    const OpenFile opened = openRegularFile(file);
    if (opened.fd < 0) return std::nullopt;
    std::optional<ResponseFile> read;
    const FileIdentity identity{opened.info.st_dev, opened.info.st_ino};
    const auto size = static_cast<std::uintmax_t>(opened.info.st_size);
    if (std::find(files.expanding.begin(), files.expanding.end(), identity) == files.expanding.end() &&
        size <= maximumResponseFileBytes - files.bytes) {
        ++files.read;
        files.bytes += size;
        read = ResponseFile{identity, readAt(opened.fd, 0, static_cast<std::size_t>(size))};
    }
    ::close(opened.fd);
    return read;
}

struct Wanted {
    std::string name;
    bool directive = false;
};

// The libraries that `arguments` ask for; a response file's own response files are taken against
// its folder, as clang does.
void collectWanted(const std::vector<std::string>& arguments, const fs::path& responseFolder, ResponseFiles& files,
                   ScanBudget& budget, std::vector<Wanted>& wanted) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "-o") {
            ++i;  // the output, not an input
        } else if (argument == "-l" && i + 1 < arguments.size()) {
            wanted.push_back({arguments[++i], false});
        } else if (argument.starts_with("-l")) {
            wanted.push_back({argument.substr(2), false});
        } else if (argument.starts_with("@")) {
            const fs::path file = fs::path(argument.substr(1));
            const fs::path located = files.expanding.empty() || file.is_absolute() ? file : responseFolder / file;
            if (const auto read = readResponseFile(located, files)) {
                files.expanding.push_back(read->identity);
                collectWanted(responseFileWords(read->text), located.parent_path(), files, budget, wanted);
                files.expanding.pop_back();
            }
        } else if (!argument.empty() && !argument.starts_with("-")) {
            for (std::string& name : fileDirectives(argument, budget)) wanted.push_back({std::move(name), true});
        }
    }
}

// The SDK's files by their lower-cased names; names that differ only in case are left out.
std::map<std::string, std::string> filesByFoldedName(const fs::path& folder) {
    std::map<std::string, std::string> files;
    std::set<std::string> ambiguous;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        const std::string folded = lowercasedASCII(name);
        if (!files.emplace(folded, name).second) ambiguous.insert(folded);
    }
    for (const std::string& folded : ambiguous) files.erase(folded);
    return files;
}

// Puts a link to `target` at `link`, in one step, unless it is there already; what failed otherwise.
std::optional<std::string> linkProblem(const fs::path& link, const fs::path& target) {
    try {
        ensureLink(target, link);
        return std::nullopt;
    } catch (const fs::filesystem_error& error) {
        return "cannot link " + link.string() + " to " + target.string() + ": " + error.code().message();
    }
}

} // namespace

std::vector<std::string> directiveLibraries(const ReadAt& read) {
    const std::string magic = read(0, 8);
    if (magic == "!<arch>\n") return archiveDirectives(read);
    return objectDirectives(read, 0);
}

std::optional<std::string> archiveName(std::string_view name, bool directive) {
    std::string stem;
    if (directive) {
        if (name.find_first_of("/\\") != std::string_view::npos) return std::nullopt;
        std::string file(name);
        if (file.find('.') == std::string::npos) file += ".lib";
        stem = file.substr(0, file.rfind('.'));
    } else {
        if (name.starts_with(":")) return std::nullopt;
        stem = name;
    }
    const std::string archive = "lib" + stem + ".a";
    if (stem.empty() || archive.size() > maximumFileName || archive.find_first_of(std::string_view("/\0", 2)) != std::string::npos)
        return std::nullopt;
    return archive;
}

bool isLinkCommand(const std::vector<std::string>& arguments) {
    static const std::set<std::string_view> compileOnly = {"-c", "-S", "-E", "-fsyntax-only", "-M", "-MM"};
    return std::none_of(arguments.begin(), arguments.end(),
                        [](const std::string& argument) { return compileOnly.contains(argument); });
}

Prepared prepareLink(const std::vector<std::string>& arguments, const fs::path& linkFolder, const fs::path& sdkFolder) {
    Prepared prepared{arguments, {}};
    std::vector<Wanted> wanted;
    ResponseFiles responseFiles;
    ScanBudget budget;
    collectWanted(arguments, {}, responseFiles, budget, wanted);
    if (budget.exhausted) {
        prepared.problems.push_back("the link's objects and archives need more than " +
                                    std::to_string(maximumScanBytes >> 20) +
                                    " MiB of reading to find the libraries they ask for; linking them as given");
        return prepared;
    }
    if (wanted.empty()) return prepared;

    const std::map<std::string, std::string> sdkFiles = filesByFoldedName(sdkFolder);
    std::set<std::string> linked;
    bool needed = false;
    for (const Wanted& library : wanted) {
        const auto archive = archiveName(library.name, library.directive);
        if (!archive || !linked.insert(*archive).second) continue;
        const auto found = sdkFiles.find(lowercasedASCII(*archive));
        if (found == sdkFiles.end() || found->second == *archive) continue;  // not the SDK's, or found as spelled
        if (auto problem = linkProblem(linkFolder / *archive, sdkFolder / found->second)) {
            prepared.problems.push_back(std::move(*problem));
        } else {
            needed = true;
        }
    }
    if (needed) prepared.arguments.push_back("-L" + linkFolder.string());
    return prepared;
}

fs::path sdkLibraryFolder(const fs::path& mingwBin) {
    fs::path bin = mingwBin.lexically_normal();
    if (!bin.has_filename()) bin = bin.parent_path();
    return bin.parent_path() / "x86_64-w64-mingw32" / "lib";
}

} // namespace torvex::SDKLibraryLinks
