// Font atlas: every glyph of both fonts in a grid of 16 per line, each under its code
// number (written in the small font), on a shaded box showing the glyph's width and
// rows. Usage: font_atlas OUT.png [small|large|both] [scale]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "draw/framepic.h"

namespace {

struct Canvas {
    int width;
    int height;
    std::vector<uint8_t> cells; // 0 background, 1 glyph box, 2 lit
};

void put_glyph(Canvas* c, int x, int y, const Glyph& g, bool box) {
    for (int r = 0; r < g.rows; ++r)
        for (int k = 0; k < g.width; ++k) {
            const int px = x + k, py = y + r;
            if (px < 0 || py < 0 || px >= c->width || py >= c->height)
                continue;
            uint8_t& cell = c->cells[static_cast<size_t>(py) * c->width + px];
            if (g.bits[r] & (0x8000u >> k))
                cell = 2;
            else if (box)
                cell = 1;
        }
}

int put_text(Canvas* c, int x, int y, const char* text) {
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
        const Glyph g = font_glyph(false, *p);
        put_glyph(c, x, y, g, false);
        x += g.width + 1;
    }
    return x;
}

constexpr int kPerLine = 16;
constexpr int kCellWidth = 20;

// Draws one font's section starting at row `top`; returns the row after it.
int put_font(Canvas* c, int top, bool large, bool draw) {
    const int rows = large ? 13 : 8;
    const int cell_height = 8 + 1 + rows + 3;
    if (draw)
        put_text(c, 1, top + 1, large ? "Large font" : "Small font");
    top += 11;
    for (int code = 32; code <= 255; ++code) {
        const int i = code - 32;
        const int x = 1 + (i % kPerLine) * kCellWidth;
        const int y = top + (i / kPerLine) * cell_height;
        if (!draw)
            continue;
        char label[8];
        std::snprintf(label, sizeof label, "%d", code);
        put_text(c, x, y, label);
        put_glyph(c, x, y + 9, font_glyph(large, code), true);
    }
    return top + (224 / kPerLine) * cell_height;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: font_atlas OUT.png [small|large|both] [scale]\n");
        return 2;
    }
    const std::string which = argc > 2 ? argv[2] : "both";
    const int scale = argc > 3 ? std::atoi(argv[3]) : 3;
    const bool small = which != "large", large = which != "small";
    Canvas c{kCellWidth * kPerLine + 1, 0, {}};
    int h = 0;
    if (small)
        h = put_font(&c, h, false, false);
    if (large)
        h = put_font(&c, h, true, false);
    c.height = h;
    c.cells.assign(static_cast<size_t>(c.width) * c.height, 0);
    h = 0;
    if (small)
        h = put_font(&c, h, false, true);
    if (large)
        put_font(&c, h, true, true);
    const RgbImage img = render_cells(c.cells.data(), c.width, c.height, scale > 0 ? scale : 3, 1);
    if (!framepic_write_file(argv[1], png_encode(img))) {
        std::fprintf(stderr, "font_atlas: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%s: %d x %d\n", argv[1], img.width, img.height);
    return 0;
}
