#include "Platform/ScreenCapture.h"

#include "Platform/XConnection.h"
#include "Raster.h"
#include "Core/TorvexError.h"

#include <fmt/format.h>

#include <algorithm>
#include <memory>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace torvex {
namespace {

constexpr const char* cannotCapture = "Could not capture the app's window.";

TorvexError captureError(const std::string& why, const std::string& fix) {
    return TorvexError(TorvexError::Kind::generic, cannotCapture, why, fix);
}

TorvexError connectionLost(const std::string& displayName) {
    return captureError(fmt::format("The connection to the X display \"{}\" was lost or did not answer.", displayName),
                        "Check that its X server still runs, then take the screenshot again.");
}

struct ImageDeleter {
    void operator()(XImage* image) const { XDestroyImage(image); }
};

} // namespace

std::string windowPNG(std::uint32_t windowID) {
    const XConnection connection;
    if (!connection.displayName()) {
        throw captureError("No X display is set (DISPLAY is empty).",
                           "Start the host with DISPLAY naming the X display that Wine draws on.");
    }
    Display* display = connection.display();
    if (display == nullptr) {
        throw captureError(fmt::format("The X display \"{}\" did not accept a connection.", *connection.displayName()),
                           "Start its X server, or start the host with DISPLAY naming one that runs.");
    }
    const std::string windowName = fmt::format("Window 0x{:x}", windowID);
    const std::string again = "Take the screenshot again while the app's window is open.";

    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, windowID, &attributes) == 0) {
        if (connection.lost()) throw connectionLost(*connection.displayName());
        throw captureError(windowName + " does not exist any more (the app may have closed it).", again);
    }
    if (attributes.c_class != InputOutput || attributes.map_state != IsViewable) {
        throw captureError(windowName + " is not shown on the screen (it is hidden or minimised).",
                           "Show the app's window, then take the screenshot again.");
    }
    if (attributes.visual == nullptr || (attributes.visual->c_class != TrueColor && attributes.visual->c_class != DirectColor)) {
        throw captureError(windowName + " uses a colour-map visual, whose pixels are not colours.",
                           "Run the X display at a depth of 16, 24 or 32 bits.");
    }

    // XGetImage reads only what lies on the screen: clip the window to it.
    int x = 0, y = 0;
    Window child = None;
    if (XTranslateCoordinates(display, windowID, attributes.root, 0, 0, &x, &y, &child) == 0) {
        if (connection.lost()) throw connectionLost(*connection.displayName());
        throw captureError(windowName + " does not exist any more (the app may have closed it).", again);
    }
    const Screen* screen = attributes.screen;
    const int left = std::max(x, 0), top = std::max(y, 0);
    const int right = std::min(x + attributes.width, WidthOfScreen(screen));
    const int bottom = std::min(y + attributes.height, HeightOfScreen(screen));
    if (right <= left || bottom <= top) {
        throw captureError(windowName + " lies outside the screen.", "Move the app's window onto the screen, then take the screenshot again.");
    }

    const std::unique_ptr<XImage, ImageDeleter> image(XGetImage(display, windowID, left - x, top - y,
                                                                unsigned(right - left), unsigned(bottom - top), AllPlanes, ZPixmap));
    if (!image) {
        if (connection.lost()) throw connectionLost(*connection.displayName());
        throw captureError(windowName + " could not be read: it closed, moved or changed meanwhile.", again);
    }
    Raster raster;
    raster.data = reinterpret_cast<const unsigned char*>(image->data);
    raster.width = static_cast<std::uint32_t>(image->width);
    raster.height = static_cast<std::uint32_t>(image->height);
    raster.bytesPerLine = static_cast<std::size_t>(image->bytes_per_line);
    raster.bitsPerPixel = static_cast<unsigned>(image->bits_per_pixel);
    raster.mostSignificantByteFirst = image->byte_order == MSBFirst;
    raster.redMask = static_cast<std::uint32_t>(attributes.visual->red_mask);
    raster.greenMask = static_cast<std::uint32_t>(attributes.visual->green_mask);
    raster.blueMask = static_cast<std::uint32_t>(attributes.visual->blue_mask);
    return encodePNG(raster);
}

} // namespace torvex
