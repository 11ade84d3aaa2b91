#include "UTF8.h"

#include <cstdint>
#include <cstring>

namespace torvex {

bool isValidUTF8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        char32_t value = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, minimum = 0x10000;
        } else {
            return false;
        }
        if (i + length > bytes.size()) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            value = (value << 6) | (next & 0x3F);
        }
        if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

void appendRepairedUTF8(std::string& out, std::string_view text) {
    const char* bytes = text.data();
    const size_t size = text.size();
    static constexpr char replacement[] = "\xEF\xBF\xBD";
    const auto* s = reinterpret_cast<const unsigned char*>(bytes);
    size_t i = 0, clean = 0;  // [clean, i) is well-formed and not yet copied
    while (i < size) {
        // ASCII eight bytes at a time: output is mostly ASCII.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            i += 8;
        }
        if (i >= size) break;
        const unsigned char lead = s[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        int trail = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the first trailing byte
        if (lead >= 0xC2 && lead <= 0xDF) trail = 1;
        else if (lead == 0xE0) { trail = 2; low = 0xA0; }
        else if (lead >= 0xE1 && lead <= 0xEC) trail = 2;
        else if (lead == 0xED) { trail = 2; high = 0x9F; }
        else if (lead >= 0xEE && lead <= 0xEF) trail = 2;
        else if (lead == 0xF0) { trail = 3; low = 0x90; }
        else if (lead >= 0xF1 && lead <= 0xF3) trail = 3;
        else if (lead == 0xF4) { trail = 3; high = 0x8F; }

        size_t end = i + 1;
        int matched = 0;
        while (matched < trail && end < size && s[end] >= low && s[end] <= high) {
            ++end;
            ++matched;
            low = 0x80;
            high = 0xBF;
        }
        if (trail > 0 && matched == trail) {
            i = end;
            continue;
        }
        out.append(bytes + clean, i - clean);
        out.append(replacement, 3);
        i = end;
        clean = end;
    }
    out.append(bytes + clean, size - clean);
}

std::string repairedUTF8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    appendRepairedUTF8(text, bytes);
    return text;
}

} // namespace torvex
