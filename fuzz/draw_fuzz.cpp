// Arbitrary coordinates, flags and bytes into the three drawing primitives. The
// frame sits inside a guarded buffer: nothing may be written outside the 6880 pixel
// bytes, the format word stays 1, and every pixel stays 0 or 255.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "draw/draw.h"

namespace {

struct Guarded {
    uint8_t before[64];
    LcdBitmap frame;
    uint8_t after[64];
};

int32_t take32(const uint8_t*& p, size_t& n) {
    uint32_t v = 0;
    for (int i = 0; i < 4 && n > 0; ++i, ++p, --n)
        v = (v << 8) | *p;
    return static_cast<int32_t>(v);
}

// Coordinates: mostly near the screen, sometimes anywhere in 32 bits.
int32_t coord(int32_t raw) {
    return (raw & 0x40000000) ? raw : (raw % 400) - 200;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Guarded g;
    std::memset(g.before, 0xA5, sizeof g.before);
    std::memset(g.after, 0xA5, sizeof g.after);
    g.frame.format = 1;
    std::memset(g.frame.pixels, 0, sizeof g.frame.pixels);

    const uint8_t* p = data;
    size_t n = size;
    while (n >= 10) {
        const int op = *p++ % 3;
        --n;
        const int flags = *p++;
        --n;
        const int32_t x = coord(take32(p, n));
        const int32_t y = coord(take32(p, n));
        // The rest up to a zero byte (or the end) is the text or picture.
        const size_t len = strnlen(reinterpret_cast<const char*>(p), n);
        char* text = static_cast<char*>(std::malloc(len + 1));
        std::memcpy(text, p, len);
        text[len] = 0;
        if (op == 0) {
            const int adv = draw_text(&g.frame, flags, x, y, text);
            if (adv < 0)
                std::abort();
        } else if (op == 1) {
            const int adv = draw_char(&g.frame, flags, x, y, len ? (int8_t)text[0] * 3 : 0);
            if (adv < 0)
                std::abort();
        } else {
            const int w = len ? (text[0] % 40) - 2 : 0;
            const int rows = len > 1 ? (text[1] % 50) - 2 : 0;
            draw_picture(&g.frame, flags, x, y, w, rows, len > 2 ? text + 2 : nullptr);
        }
        std::free(text);
        p += len < n ? len + 1 : len;
        n -= len < n ? len + 1 : len;
    }
    for (uint8_t b : g.before)
        if (b != 0xA5)
            std::abort();
    for (uint8_t b : g.after)
        if (b != 0xA5)
            std::abort();
    if (g.frame.format != 1)
        std::abort();
    for (uint8_t px : g.frame.pixels)
        if (px != 0 && px != 255)
            std::abort();
    return 0;
}
