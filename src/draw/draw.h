// Drawing frame and the three drawing primitives: pictures written as text, and
// characters from the small font, the large font or the symbol table.
#pragma once
#include <cstdint>

constexpr int LCD_WIDTH = 160;
constexpr int LCD_HEIGHT = 43;
constexpr int LCD_PIXELS = LCD_WIDTH * LCD_HEIGHT; // 6880

// The frame as the LCD Manager takes it: a format word (always 1), then one byte
// per pixel, row-major, 0 = off and 255 = on. Pixel (x, y) is pixels[y * 160 + x].
struct LcdBitmap {
    uint32_t format;
    uint8_t pixels[LCD_PIXELS];
};
static_assert(sizeof(LcdBitmap) == 6884, "LcdBitmap must match the LCD Manager's layout");

enum TextFlags : int {
    TEXT_LARGE = 0x01,
    TEXT_INVERT = 0x02,
    TEXT_OPAQUE = 0x04,
    TEXT_NO_GAP = 0x08,
    TEXT_MEASURE = 0x10,
    TEXT_SYMBOLS = 0x20,
};

enum PictureFlags : int {
    PICTURE_NEGATIVE = 1,
    PICTURE_INVERT = 2,
    PICTURE_TRANSPARENT = 4,
};

// Draws width x rows characters of picture, row after row; a lit pixel is any byte
// 33..127 except '_'. No per-column clipping: a picture crossing the right edge goes
// on at the left of the next row; indexes outside 0..6879 are skipped. Returns 0.
int draw_picture(LcdBitmap* frame, int flags, int x, int y, int width, int rows,
                 const char* picture);
// Lights pixel (x, y): index y * 160 + x, skipped when it lies outside 0..6879 (so,
// like a picture, a column past the right edge lands in the next row).
//   (159, 42) -> index 6879; (160, 0) -> index 160; (0, 43) and (-1, 0) -> nothing
void draw_pixel(LcdBitmap* frame, int x, int y);
// Draws one character (code 32..255) and returns its advance (never negative).
int draw_char(LcdBitmap* frame, int flags, int x, int y, int code);
// Draws text byte by byte; returns the sum of the advances (with TEXT_MEASURE: the
// width used for right alignment). A null text gives 0. Font characters are clipped
// per column; symbols are pictures and wrap as draw_picture does.
int draw_text(LcdBitmap* frame, int flags, int x, int y, const char* text);

// Right-aligned module text line: measured, then drawn in the small font at
// x + 38 - w (x + 1 when w is 0). Returns w.
int draw_text_right(LcdBitmap* frame, int slot_x, int row, const char* text);

// Font access for tools and tests.
struct Glyph {
    int width;            // pixels
    int rows;             // 8 (small) or 13 (large)
    const uint16_t* bits; // rows entries, bit 15 = leftmost column
};
Glyph font_glyph(bool large, int code); // code 32..255

struct SymbolEntry {
    uint8_t code;
    int32_t width;
    const char* picture; // width x 5 characters
};
// The symbol table, ending with an entry of code 0.
extern const SymbolEntry kSymbols[];
