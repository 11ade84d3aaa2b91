// Opens X windows for the window-list and capture tests, then keeps them until its standard input
// closes (or 60 s pass, or the display goes away). Built twice: as "wine-test-windows", whose
// name makes its windows Wine's, and as "test-windows".
//
//   test-windows [--stacking=I,J,...] [--client-list=I,J,...] [--wm-check] [--churn] SPEC...
//
// SPEC is key=value pairs separated by commas, one window each:
//   x, y, w, h     geometry (default 0,0,100,100)    depth    24 (default) or 32 (an ARGB visual)
//   title          _NET_WM_NAME as UTF-8              wmname   WM_NAME as bytes of type STRING
//   ctext          WM_NAME as compound text, from UTF-8
//   badtitle=1     _NET_WM_NAME that is not UTF-8     type     normal, dialog, utility, unknown
//   override=1     override-redirect                  map=0    left unmapped
//   mapafter=MS    mapped MS milliseconds after "ready", as a window that the app shows late
//   pid            self (default), none, or a number for _NET_WM_PID
// Every window shows four quadrants: red top left, green top right, blue bottom left, white
// bottom right. --stacking sets the root's _NET_CLIENT_LIST_STACKING (bottom first) to the
// windows of those SPEC indexes, --client-list its _NET_CLIENT_LIST (oldest first); --wm-check adds
// a live window-manager check window beside them, and removes the root's lists that are not given.
// --churn keeps creating and destroying titled windows after start-up.
// Prints each window's id ("0x…") in SPEC order, then "ready".

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Spec = std::map<std::string, std::string>;
using Clock = std::chrono::steady_clock;

// Windows made unmapped that are mapped later, with the delay after "ready".
std::vector<std::pair<Window, std::chrono::milliseconds>> mappedLater;

Spec parse(const std::string& text) {
    Spec spec;
    std::istringstream in(text);
    for (std::string pair; std::getline(in, pair, ',');) {
        const auto equals = pair.find('=');
        if (equals != std::string::npos) spec[pair.substr(0, equals)] = pair.substr(equals + 1);
    }
    return spec;
}

int number(const Spec& spec, const std::string& key, int fallback) {
    const auto found = spec.find(key);
    return found == spec.end() ? fallback : std::atoi(found->second.c_str());
}

unsigned long channel(unsigned value, unsigned long mask) {
    if (mask == 0) return 0;
    int shift = 0;
    while (((mask >> shift) & 1) == 0) ++shift;
    const unsigned long max = mask >> shift;
    return ((value * max + 127) / 255) << shift;
}

unsigned long pixel(const Visual* visual, unsigned depth, unsigned r, unsigned g, unsigned b) {
    unsigned long value = channel(r, visual->red_mask) | channel(g, visual->green_mask) | channel(b, visual->blue_mask);
    if (depth == 32) value |= 0xff000000ul & ~(visual->red_mask | visual->green_mask | visual->blue_mask);
    return value;
}

void setAtomProperty(Display* display, Window window, const char* name, const char* value) {
    Atom atom = XInternAtom(display, value, False);
    XChangeProperty(display, window, XInternAtom(display, name, False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&atom), 1);
}

void setText(Display* display, Window window, Atom name, Atom type, const std::string& bytes) {
    XChangeProperty(display, window, name, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
}

Window openWindow(Display* display, const Spec& spec) {
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const int width = number(spec, "w", 100), height = number(spec, "h", 100);
    unsigned depth = static_cast<unsigned>(DefaultDepth(display, screen));
    Visual* visual = DefaultVisual(display, screen);
    XSetWindowAttributes attributes{};
    unsigned long mask = CWBackPixmap | CWBorderPixel | CWOverrideRedirect;
    if (number(spec, "depth", 0) == 32) {
        XVisualInfo info;
        if (!XMatchVisualInfo(display, screen, 32, TrueColor, &info)) {
            std::fprintf(stderr, "no 32-bit visual\n");
            std::exit(2);
        }
        depth = 32;
        visual = info.visual;
        attributes.colormap = XCreateColormap(display, root, visual, AllocNone);
        mask |= CWColormap;
    }
    const Pixmap quadrants = XCreatePixmap(display, root, unsigned(width), unsigned(height), depth);
    const GC gc = XCreateGC(display, quadrants, 0, nullptr);
    const struct { int x, y; unsigned r, g, b; } fills[] = {
        {0, 0, 255, 0, 0}, {1, 0, 0, 255, 0}, {0, 1, 0, 0, 255}, {1, 1, 255, 255, 255}};
    for (const auto& fill : fills) {
        XSetForeground(display, gc, pixel(visual, depth, fill.r, fill.g, fill.b));
        const int left = fill.x ? width / 2 : 0, top = fill.y ? height / 2 : 0;
        XFillRectangle(display, quadrants, gc, left, top, unsigned(fill.x ? width - width / 2 : width / 2),
                       unsigned(fill.y ? height - height / 2 : height / 2));
    }
    XFreeGC(display, gc);
    attributes.background_pixmap = quadrants;
    attributes.override_redirect = number(spec, "override", 0) != 0;
    const Window window = XCreateWindow(display, root, number(spec, "x", 0), number(spec, "y", 0), unsigned(width),
                                        unsigned(height), 0, int(depth), InputOutput, visual, mask, &attributes);
    XFreePixmap(display, quadrants);

    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    if (spec.count("title")) setText(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8, spec.at("title"));
    if (spec.count("badtitle")) setText(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8, "bad \xff\xfe");
    if (spec.count("wmname")) setText(display, window, XA_WM_NAME, XA_STRING, spec.at("wmname"));
    if (spec.count("ctext")) {
        char* list[] = {const_cast<char*>(spec.at("ctext").c_str())};
        XTextProperty text;
        if (Xutf8TextListToTextProperty(display, list, 1, XCompoundTextStyle, &text) == Success) {
            XSetWMName(display, window, &text);
            XFree(text.value);
        }
    }
    const std::string type = spec.count("type") ? spec.at("type") : "";
    if (type == "normal") setAtomProperty(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL");
    if (type == "dialog") setAtomProperty(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DIALOG");
    if (type == "utility") setAtomProperty(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_UTILITY");
    if (type == "unknown") setAtomProperty(display, window, "_NET_WM_WINDOW_TYPE", "_TORVEX_TEST_TYPE");
    const std::string pid = spec.count("pid") ? spec.at("pid") : "self";
    if (pid != "none") {
        long value = pid == "self" ? long(::getpid()) : std::atol(pid.c_str());
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&value), 1);
    }
    if (spec.count("mapafter")) {
        mappedLater.emplace_back(window, std::chrono::milliseconds(number(spec, "mapafter", 0)));
    } else if (number(spec, "map", 1) != 0) {
        XMapWindow(display, window);
    }
    return window;
}

void setWindowList(Display* display, Window root, const char* name, std::vector<long> windows) {
    XChangeProperty(display, root, XInternAtom(display, name, False), XA_WINDOW, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(windows.data()), int(windows.size()));
}

// Makes and drops a batch of titled windows: a list read meanwhile meets windows that vanish.
void churn(Display* display) {
    std::vector<Window> windows;
    for (int i = 0; i < 20; ++i) windows.push_back(openWindow(display, parse("w=600,h=600,title=churn")));
    XFlush(display);
    for (const Window window : windows) XDestroyWindow(display, window);
    XSync(display, False);
}

} // namespace

int main(int argc, char** argv) {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "cannot open the display\n");
        return 2;
    }
    const Window root = DefaultRootWindow(display);
    std::vector<Window> windows;
    std::string stacking, clients;
    bool wmCheck = false, churning = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--stacking=", 0) == 0) stacking = argument.substr(11);
        else if (argument.rfind("--client-list=", 0) == 0) clients = argument.substr(14);
        else if (argument == "--wm-check") wmCheck = true;
        else if (argument == "--churn") churning = true;
        else windows.push_back(openWindow(display, parse(argument)));
    }
    for (const auto& [name, indexes] : {std::pair{"_NET_CLIENT_LIST_STACKING", stacking}, {"_NET_CLIENT_LIST", clients}}) {
        if (indexes.empty()) {
            // The window manager this stands in for keeps no such list: none is left from an earlier one.
            if (wmCheck) XDeleteProperty(display, root, XInternAtom(display, name, False));
            continue;
        }
        std::vector<long> list;
        std::istringstream in(indexes);
        for (std::string index; std::getline(in, index, ',');) list.push_back(long(windows.at(std::stoul(index))));
        setWindowList(display, root, name, list);
    }
    if (wmCheck) {
        const Window check = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
        setWindowList(display, check, "_NET_SUPPORTING_WM_CHECK", {long(check)});
        setWindowList(display, root, "_NET_SUPPORTING_WM_CHECK", {long(check)});
    }
    XSync(display, False);
    for (const Window window : windows) std::printf("0x%lx\n", window);
    std::printf("ready\n");
    std::fflush(stdout);

    const auto ready = Clock::now();
    const auto end = ready + std::chrono::seconds(60);
    pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {ConnectionNumber(display), POLLIN, 0}};
    while (Clock::now() < end) {
        if (churning) churn(display);
        int timeout = churning ? 0 : 1000;
        for (auto later = mappedLater.begin(); later != mappedLater.end();) {
            const auto due = ready + later->second;
            if (Clock::now() >= due) {
                XMapWindow(display, later->first);
                XFlush(display);
                later = mappedLater.erase(later);
                continue;
            }
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count() + 1;
            timeout = std::min(timeout, int(wait));
            ++later;
        }
        if (::poll(watched, 2, timeout) > 0) {
            char byte;
            if ((watched[0].revents != 0 && ::read(STDIN_FILENO, &byte, 1) <= 0) || (watched[1].revents & (POLLHUP | POLLERR))) break;
            while (XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
            }
        }
    }
    XCloseDisplay(display);
    return 0;
}
