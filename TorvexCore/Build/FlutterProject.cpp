#include "FlutterProject.h"

#include "Core/Files.h"
#include "Core/Platform/Digest.h"
#include "Core/TextPattern.h"
#include "Core/TorvexError.h"

#include <charconv>

namespace torvex {
namespace fs = std::filesystem;
namespace {

std::optional<std::string> firstGroup(const char* expression, const std::string& text) {
    if (auto match = TextPattern(expression).firstMatch(text)) return match->groups.at(0);
    return std::nullopt;
}

TorvexError binaryNameError() {
    return TorvexError(TorvexError::Kind::unsupported, "Could not find BINARY_NAME in windows/CMakeLists.txt.",
                       "Torvex uses it to name the .exe.",
                       "Make sure windows/CMakeLists.txt contains `set(BINARY_NAME \"your_app\")`.");
}

// It names files (the .exe, the build log): it must stay one plain file name.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name.find("..") == std::string::npos;
}

// An optional sign and decimal digits within 64 bits; anything else counts 0.
std::int64_t integerOrZero(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return 0;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return 0;
    return value;
}

std::vector<std::string_view> nonEmptyPieces(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(separator, start), text.size());
        if (end > start) pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

} // namespace

PubspecVersion::PubspecVersion(const std::optional<std::string>& text) {
    raw = text && !text->empty() ? *text : "1.0.0";
    const std::string_view all(raw);
    const std::size_t begin = all.find_first_not_of('+');
    if (begin == std::string_view::npos) return;  // only "+": 1.0.0+0

    const std::size_t plus = all.find('+', begin);
    std::string_view core = all.substr(begin, plus == std::string_view::npos ? std::string_view::npos : plus - begin);
    if (const auto pieces = nonEmptyPieces(core, '-'); !pieces.empty()) core = pieces.front();

    std::vector<std::int64_t> numbers;
    for (const auto piece : nonEmptyPieces(core, '.')) numbers.push_back(integerOrZero(piece));
    major = numbers.size() > 0 ? numbers[0] : 1;
    minor = numbers.size() > 1 ? numbers[1] : 0;
    patch = numbers.size() > 2 ? numbers[2] : 0;
    build = plus == std::string_view::npos ? 0 : integerOrZero(all.substr(plus + 1));
}

FlutterProject FlutterProject::discover(const fs::path& from) {
    fs::path folder = resolvedPath(from);
    for (;;) {
        std::error_code error;
        if (fs::exists(folder / "pubspec.yaml", error)) return load(folder);
        const fs::path parent = folder.parent_path();
        if (parent == folder || parent.empty()) break;
        folder = parent;
    }
    throw TorvexError(TorvexError::Kind::usage, "No Flutter project found at " + from.string() + ".",
                      "No pubspec.yaml in that folder or any folder above it.",
                      "Run Torvex from your Flutter project folder or pass its path.");
}

FlutterProject FlutterProject::load(const fs::path& root) {
    const fs::path windows = root / "windows";
    const auto cmakeLists = readUTF8File(windows / "CMakeLists.txt");
    if (!cmakeLists) {
        throw TorvexError(TorvexError::Kind::unsupported, "This project has no Windows platform folder.",
                          windows.string() + " does not exist or has no CMakeLists.txt.",
                          "Run `flutter create --platforms=windows .` first.");
    }
    const auto binaryName = firstGroup(R"re(set\s*\(\s*BINARY_NAME\s+"([^"]+)"\s*\))re", *cmakeLists);
    if (!binaryName || !isPlainFileName(*binaryName)) throw binaryNameError();

    const std::string pubspec = readUTF8File(root / "pubspec.yaml").value_or("");
    const auto version = firstGroup(R"re((?m)^version:\s*([^\s#]+))re", pubspec);
    return FlutterProject{root, *binaryName, PubspecVersion(version)};
}

std::string FlutterProject::hash() const {
    std::string path = root.string();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return sha256Hex(path).substr(0, 16);
}

} // namespace torvex
