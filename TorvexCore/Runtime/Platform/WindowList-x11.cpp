#include "Platform/WindowList.h"

#include "Platform/XConnection.h"
#include "Core/Platform/ProcessTree.h"
#include "Core/UTF8.h"

#include <algorithm>
#include <array>
#include <climits>
#include <filesystem>
#include <map>
#include <memory>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace torvex {
namespace {

constexpr long maxTitleLongs = 16 * 1024;  // 64 KiB of title
constexpr long maxWindowTypes = 64;

enum AtomIndex {
    netClientListStacking, netClientList, netSupportingWMCheck, netWMPID, netWMName, utf8String, netWMWindowType,
    typeNormal, typeDialog,
    typeDesktop, typeDock, typeToolbar, typeMenu, typeUtility, typeSplash, typeDropdownMenu, typePopupMenu,
    typeTooltip, typeNotification, typeCombo, typeDnd,
    atomCount
};

// Looked up, not created: an atom the server does not know yet is on no window.
constexpr std::array<const char*, atomCount> atomNames = {
    "_NET_CLIENT_LIST_STACKING", "_NET_CLIENT_LIST", "_NET_SUPPORTING_WM_CHECK", "_NET_WM_PID", "_NET_WM_NAME", "UTF8_STRING",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
    "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK", "_NET_WM_WINDOW_TYPE_TOOLBAR",
    "_NET_WM_WINDOW_TYPE_MENU", "_NET_WM_WINDOW_TYPE_UTILITY", "_NET_WM_WINDOW_TYPE_SPLASH",
    "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU", "_NET_WM_WINDOW_TYPE_TOOLTIP",
    "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_WINDOW_TYPE_COMBO", "_NET_WM_WINDOW_TYPE_DND",
};

using Atoms = std::array<Atom, atomCount>;

struct XFreeData {
    void operator()(unsigned char* data) const { XFree(data); }
};

// A window property as the server gave it, at most the asked length.
struct Property {
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    std::unique_ptr<unsigned char, XFreeData> data;

    // Format-8 data up to its first NUL.
    std::string text() const {
        if (format != 8) return {};
        const auto* begin = reinterpret_cast<const char*>(data.get());
        return std::string(begin, std::find(begin, begin + count, '\0'));
    }
    // Format-32 data; Xlib hands each item over in a long.
    std::vector<unsigned long> items() const {
        if (format != 32) return {};
        const auto* begin = reinterpret_cast<const unsigned long*>(data.get());
        return std::vector<unsigned long>(begin, begin + count);
    }
};

std::optional<Property> readProperty(Display* display, Window window, Atom name, long offset, long length) {
    if (name == None) return std::nullopt;
    Property property;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    const int status = XGetWindowProperty(display, window, name, offset, length, False, AnyPropertyType,
                                          &property.type, &property.format, &property.count, &after, &data);
    property.data.reset(data);
    if (status != Success || property.type == None) return std::nullopt;
    return property;
}

std::optional<Property> readProperty(Display* display, Window window, Atom name, long length) {
    return readProperty(display, window, name, 0, length);
}

// The last `limit` items of a format-32 list property (its top-most windows).
std::vector<unsigned long> tailOfList(Display* display, Window window, Atom name, std::size_t limit) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, name, 0, 0, False, AnyPropertyType, &type, &format, &count, &after,
                           &data) != Success) {
        return {};
    }
    XFree(data);
    if (format != 32) return {};
    const long total = static_cast<long>(std::min<unsigned long>(after / 4, LONG_MAX));
    const long wanted = static_cast<long>(limit);
    const auto property = readProperty(display, window, name, std::max(0L, total - wanted), wanted);
    return property ? property->items() : std::vector<unsigned long>();
}

std::string latin1ToUTF8(const std::string& latin1) {
    std::string utf8;
    for (const unsigned char c : latin1) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xc0 | (c >> 6));
            utf8 += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return utf8;
}

// _NET_WM_NAME when it is UTF-8, else WM_NAME (Latin-1, UTF-8 or compound text).
std::optional<std::string> title(Display* display, Window window, const Atoms& atoms) {
    if (const auto property = readProperty(display, window, atoms[netWMName], maxTitleLongs);
        property && property->type == atoms[utf8String] && property->format == 8) {
        std::string text = property->text();
        if (isValidUTF8(text)) return text;
    }
    const auto property = readProperty(display, window, XA_WM_NAME, maxTitleLongs);
    if (!property || property->format != 8) return std::nullopt;
    if (property->type == XA_STRING) return latin1ToUTF8(property->text());
    if (property->type == atoms[utf8String]) {
        std::string text = property->text();
        if (isValidUTF8(text)) return text;
        return std::nullopt;
    }
    XTextProperty text{property->data.get(), property->type, property->format, property->count};
    char** list = nullptr;
    int count = 0;
    std::optional<std::string> converted;
    if (Xutf8TextPropertyToTextList(display, &text, &list, &count) >= Success && count > 0 && list[0] != nullptr &&
        isValidUTF8(list[0])) {
        converted = list[0];
    }
    if (list != nullptr) XFreeStringList(list);
    return converted;
}

// EWMH: the first type the list names that is known decides; no known type means normal.
bool isNormalOrDialog(Display* display, Window window, const Atoms& atoms) {
    const auto property = readProperty(display, window, atoms[netWMWindowType], maxWindowTypes);
    if (!property) return true;
    const std::vector<unsigned long> types = property->items();  // named: GCC 12 -O3 warns falsely on a temporary
    for (const unsigned long type : types) {
        if (type == None) continue;
        if (type == atoms[typeNormal] || type == atoms[typeDialog]) return true;
        if (std::find(atoms.begin() + typeDesktop, atoms.end(), type) != atoms.end()) return false;
    }
    return true;
}

std::optional<unsigned long> windowPID(Display* display, Window window, const Atoms& atoms) {
    const auto property = readProperty(display, window, atoms[netWMPID], 1);
    if (!property || property->type != XA_CARDINAL) return std::nullopt;
    const auto items = property->items();
    if (items.size() != 1 || items[0] == 0 || items[0] > INT_MAX) return std::nullopt;
    return items[0];
}

// "wine" when the process's executable is a Wine loader (wine, wine64, wine64-preloader…),
// else its file name; none when the process cannot be inspected.
std::optional<std::string> ownerName(unsigned long pid) {
    const auto executable = processExecutable(static_cast<pid_t>(pid));
    if (!executable) return std::nullopt;
    std::string name = executable->filename().string();
    if (name.starts_with("wine")) return "wine";
    constexpr std::string_view deleted = " (deleted)";
    if (name.ends_with(deleted)) name.resize(name.size() - deleted.size());
    return name;
}

// A window manager that keeps EWMH lists is running (its check window points at itself); a list
// left on the root by one that has exited is stale.
bool windowManagerRuns(Display* display, Window root, const Atoms& atoms) {
    const auto fromRoot = readProperty(display, root, atoms[netSupportingWMCheck], 1);
    const auto rootItems = fromRoot ? fromRoot->items() : std::vector<unsigned long>();
    if (rootItems.size() != 1) return false;
    const auto fromCheck = readProperty(display, rootItems[0], atoms[netSupportingWMCheck], 1);
    return fromCheck && fromCheck->items() == rootItems;
}

// The top-level windows, top-most first: a running window manager's stacking list; when it keeps
// none (dwm keeps only the client list, oldest first), its client list, newest first; else the
// root's children.
std::vector<Window> topLevelWindows(Display* display, Window root, const Atoms& atoms) {
    std::vector<Window> windows;
    if (windowManagerRuns(display, root, atoms)) {
        for (const AtomIndex list : {netClientListStacking, netClientList}) {
            for (const unsigned long window : tailOfList(display, root, atoms[list], maxWindowListEntries))
                windows.push_back(window);
            if (!windows.empty()) break;
        }
    }
    if (windows.empty()) {
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) != 0 && children != nullptr) {
            windows.assign(children + (count > maxWindowListEntries ? count - maxWindowListEntries : 0), children + count);
        }
        if (children != nullptr) XFree(children);
    }
    std::reverse(windows.begin(), windows.end());
    return windows;
}

} // namespace

std::vector<WindowListEntry> windowList() {
    const XConnection connection;
    Display* display = connection.display();
    if (display == nullptr) return {};
    const Window root = DefaultRootWindow(display);

    Atoms atoms{};
    XInternAtoms(display, const_cast<char**>(atomNames.data()), atomCount, True, atoms.data());

    std::vector<WindowListEntry> list;
    std::map<unsigned long, std::optional<std::string>> owners;
    for (const Window window : topLevelWindows(display, root, atoms)) {
        if (connection.lost()) break;
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, window, &attributes) == 0) continue;  // gone meanwhile
        WindowListEntry entry;
        entry.number = static_cast<std::uint32_t>(window);
        int x = 0, y = 0;
        Window child = None;
        if (XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child) != 0) {
            entry.bounds = ScreenRect{double(x), double(y), double(attributes.width), double(attributes.height)};
        }
        entry.isOnScreen = attributes.map_state == IsViewable;
        entry.layer = !attributes.override_redirect && isNormalOrDialog(display, window, atoms) ? 0 : 1;
        entry.name = title(display, window, atoms);
        if (const auto pid = windowPID(display, window, atoms)) {
            auto known = owners.find(*pid);
            if (known == owners.end()) known = owners.emplace(*pid, ownerName(*pid)).first;
            entry.ownerName = known->second;
        }
        if (connection.lost()) break;  // the entry may lack what the lost replies held
        list.push_back(std::move(entry));
    }
    return list;
}

} // namespace torvex
