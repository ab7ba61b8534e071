// Texts are Windows-1252, written as escapes.
// Sample frames drawn with the drawing primitives, written as panel pictures and text
// forms: sample_frames OUT_DIR
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "draw/framepic.h"

namespace {

// A slot box: a line at the top with its title in inverted symbols, the sides below.
void slot_box(LcdBitmap* f, int x, int y, const char* title) {
    for (int k = 0; k < 39; ++k)
        draw_picture(f, 0, x + k, y, 1, 1, "X");
    for (int r = 1; r < 21; ++r) {
        draw_picture(f, 0, x, y + r, 1, 1, "X");
        draw_picture(f, 0, x + 38, y + r, 1, 1, "X");
    }
    const int w = draw_text(f, TEXT_SYMBOLS | TEXT_MEASURE, 0, 0, title);
    draw_text(f, TEXT_SYMBOLS | TEXT_INVERT, x + 19 - w / 2, y, title);
}

bool save(const std::string& dir, const char* name, const LcdBitmap& f) {
    const std::string text = frame_to_text(f);
    return framepic_write_file(dir + "/" + name + ".png", png_encode(render_frame(f, 4, 1))) &&
           framepic_write_file(dir + "/" + name + ".txt",
                               std::vector<uint8_t>(text.begin(), text.end()));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sample_frames OUT_DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;

    LcdBitmap a{};
    a.format = 1;
    draw_text(&a, 0, 0, 0, "Mi 08.12.2026");
    const int tw = draw_text(&a, TEXT_MEASURE, 0, 0, "14:37:05");
    draw_text(&a, 0, 160 - tw, 0, "14:37:05");
    draw_text(&a, TEXT_LARGE, 2, 8,
              "Gr\xf6\xdf"
              "e: 12,5 \x80 \xd1"
              "and\xfa");
    draw_text(&a, 0, 2, 22,
              "\xc4rger \xfc"
              "ber \xd6l, fa\xe7"
              "ade, d\xe9j\xe0 vu, \xdf");
    draw_text(&a, TEXT_INVERT | TEXT_OPAQUE, 2, 31, " Quick brown fox @ 99% ");
    ok &= save(dir, "sample-text", a);

    LcdBitmap b{};
    b.format = 1;
    draw_text(&b, 0, 0, 0, "Wed 2026-12-08");
    draw_text(&b, 0, 122, 0, "21:05:59");
    const char* titles[] = {"STW", "CLK", "NET", "FPS"};
    for (int s = 0; s < 4; ++s)
        slot_box(&b, s * 40 + 1, 22, titles[s]);
    draw_text(&b, TEXT_LARGE, 4, 28, "0:42");
    draw_text_right(&b, 41, 29, "Tokyo");
    draw_text_right(&b, 41, 36, "05:05");
    draw_text_right(&b, 81, 29, "1.2M");
    draw_text_right(&b, 81, 36, "340k");
    draw_text(&b, TEXT_LARGE, 128, 28, "60");
    draw_text(&b, TEXT_LARGE | TEXT_OPAQUE | TEXT_INVERT, 4, 9, "CPU 37%");
    draw_text(&b, 0, 84, 12, "in 12.4k/s");
    ok &= save(dir, "sample-slots", b);

    if (!ok) {
        std::fprintf(stderr, "sample_frames: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
