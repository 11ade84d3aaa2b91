#include "Runtime/Raster.h"

#include "support/DecodedPNG.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace torvex;
using namespace torvex::testing;

namespace {

using Bytes = std::vector<unsigned char>;

// A 2×2 raster; each row holds its pixels' bytes and then padding.
Raster raster(const Bytes& bytes, std::size_t bytesPerLine, unsigned bitsPerPixel, bool msbFirst, std::uint32_t red,
              std::uint32_t green, std::uint32_t blue) {
    return Raster{bytes.data(), 2, 2, bytesPerLine, bitsPerPixel, msbFirst, red, green, blue};
}

} // namespace

TEST(RasterTest, EncodesEveryPixelLayoutAsRGB) {
    const RGB red{255, 0, 0}, green{0, 255, 0}, blue{0, 0, 255}, dim{10, 20, 30}, white{255, 255, 255};
    struct Case {
        std::string name;
        Bytes bytes;
        std::size_t bytesPerLine;
        unsigned bitsPerPixel;
        bool msbFirst;
        std::uint32_t redMask, greenMask, blueMask;
        std::vector<RGB> pixels;  // top left, top right, bottom left, bottom right
    };
    const std::vector<Case> cases = {
        {"32 bits xRGB, little-endian, alpha and row padding dropped",
         {0, 0, 255, 0x80, 0, 255, 0, 0x80, 0xee, 0xee, 0xee, 0xee, 255, 0, 0, 0x80, 30, 20, 10, 0x80, 0xee, 0xee, 0xee, 0xee},
         12, 32, false, 0xff0000, 0xff00, 0xff, {red, green, blue, dim}},
        {"32 bits xRGB, big-endian",
         {0x80, 255, 0, 0, 0x80, 0, 255, 0, 0x80, 0, 0, 255, 0x80, 10, 20, 30},
         8, 32, true, 0xff0000, 0xff00, 0xff, {red, green, blue, dim}},
        {"32 bits xBGR, little-endian",
         {255, 0, 0, 0, 0, 255, 0, 0, 0, 0, 255, 0, 10, 20, 30, 0},
         8, 32, false, 0xff, 0xff00, 0xff0000, {red, green, blue, dim}},
        {"24 bits packed, little-endian, rows padded to 4 bytes",
         {0, 0, 255, 0, 255, 0, 0xee, 0xee, 255, 0, 0, 30, 20, 10, 0xee, 0xee},
         8, 24, false, 0xff0000, 0xff00, 0xff, {red, green, blue, dim}},
        {"16 bits 5-6-5, little-endian, channels widened to 8 bits",
         {0x00, 0xf8, 0xe0, 0x07, 0x1f, 0x00, 0x10, 0x84},
         4, 16, false, 0xf800, 0x07e0, 0x001f, {red, green, blue, {131, 129, 131}}},
        {"16 bits 5-6-5, big-endian",
         {0xf8, 0x00, 0x07, 0xe0, 0x00, 0x1f, 0xff, 0xff},
         4, 16, true, 0xf800, 0x07e0, 0x001f, {red, green, blue, white}},
        {"30 bits 10-10-10, little-endian, channels narrowed to 8 bits",
         {0x00, 0x00, 0xf0, 0x3f, 0x00, 0xfc, 0x0f, 0x00, 0xff, 0x03, 0x00, 0x00, 0x00, 0x02, 0x08, 0x20},
         8, 32, false, 0x3ff00000, 0x000ffc00, 0x000003ff, {red, green, blue, {128, 128, 128}}},
    };
    for (const auto& c : cases) {
        const auto png = decodePNG(encodePNG(raster(c.bytes, c.bytesPerLine, c.bitsPerPixel, c.msbFirst, c.redMask,
                                                    c.greenMask, c.blueMask)));
        ASSERT_TRUE(png) << c.name;
        EXPECT_EQ(png->width, 2u) << c.name;
        EXPECT_EQ(png->height, 2u) << c.name;
        EXPECT_EQ((std::vector<RGB>{png->at(0, 0), png->at(1, 0), png->at(0, 1), png->at(1, 1)}), c.pixels) << c.name;
    }
}

TEST(RasterTest, RefusesLayoutsItCannotRead) {
    const Bytes bytes(64, 0);
    struct Case {
        std::string name;
        Raster raster;
        std::string why;
    };
    const std::vector<Case> cases = {
        {"no pixels", Raster{bytes.data(), 0, 2, 8, 32, false, 0xff0000, 0xff00, 0xff}, "no pixels"},
        {"no data", Raster{nullptr, 2, 2, 8, 32, false, 0xff0000, 0xff00, 0xff}, "no pixels"},
        {"12 bits a pixel", Raster{bytes.data(), 2, 2, 8, 12, false, 0xf00, 0xf0, 0xf}, "12 bits"},
        {"rows shorter than the width", Raster{bytes.data(), 2, 2, 7, 32, false, 0xff0000, 0xff00, 0xff}, "shorter"},
        {"an empty mask", Raster{bytes.data(), 2, 2, 8, 32, false, 0, 0xff00, 0xff}, "true-colour"},
        {"a mask with a gap", Raster{bytes.data(), 2, 2, 8, 32, false, 0xf0f000, 0xff00, 0xff}, "true-colour"},
        {"a mask wider than the pixel", Raster{bytes.data(), 2, 2, 4, 16, false, 0xff0000, 0xff00, 0xff}, "true-colour"},
    };
    for (const auto& c : cases) {
        const TorvexError error = errorOf([&] { encodePNG(c.raster); });
        EXPECT_EQ(error.what, "Could not turn the window's pixels into a PNG image.") << c.name;
        EXPECT_NE(error.why.find(c.why), std::string::npos) << c.name << ": " << error.why;
        EXPECT_FALSE(error.fix.empty()) << c.name;
    }
}
