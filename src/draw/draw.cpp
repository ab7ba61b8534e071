// Drawing primitives on the 160 x 43 frame: pictures written as text, font glyphs
// and symbols. The two fonts are kept as pixel art in font_small.inc and
// font_large.inc and turned into 16-bit row tables by the compiler.
#include "draw/draw.h"

#include <cstddef>

namespace {

// One glyph as written in the .inc files: a string per row, 'X' lit, '.' unlit,
// each exactly `width` characters long.
struct GlyphArt {
    int code;
    int width;
    const char* rows[13];
};

#define G(code, width, ...)                                                                        \
    GlyphArt {                                                                                     \
        code, width, {                                                                             \
            __VA_ARGS__                                                                            \
        }                                                                                          \
    }

constexpr GlyphArt kSmallArt[] = {
#include "draw/font_small.inc"
};

constexpr GlyphArt kLargeArt[] = {
#include "draw/font_large.inc"
};

#undef G

constexpr int kFirstCode = 32;
constexpr int kGlyphCount = 224; // codes 32..255
constexpr int kMaxAdvance = 17;  // wider than any glyph or symbol plus its gap
constexpr int kSymbolRows = 5;
constexpr long long kMaxTextWidth = 1 << 30;

template <int Rows> struct FontTable {
    uint16_t bits[kGlyphCount][Rows];
    uint8_t width[kGlyphCount];
    int bad_code; // 0 when every glyph converted cleanly, else the first faulty code
};

// Turns the pixel art into rows of 16 bits, bit 15 = leftmost column. A glyph whose
// code is out of order, whose rows are missing or not `width` long, or that holds a
// character other than 'X' and '.', is reported in bad_code (checked below at compile
// time).
template <int Rows, size_t N> constexpr FontTable<Rows> build_font(const GlyphArt (&art)[N]) {
    FontTable<Rows> t{};
    if (N != kGlyphCount) {
        t.bad_code = -1;
        return t;
    }
    for (int i = 0; i < kGlyphCount; ++i) {
        const GlyphArt& g = art[i];
        bool ok = g.code == kFirstCode + i && g.width >= 0 && g.width <= 16;
        for (int r = 0; ok && r < 13; ++r) {
            const char* row = g.rows[r];
            if (r >= Rows) {
                ok = row == nullptr;
                continue;
            }
            if (row == nullptr) {
                ok = false;
                continue;
            }
            uint16_t bits = 0;
            int k = 0;
            for (; row[k] != 0 && ok; ++k) {
                if (k >= g.width || (row[k] != 'X' && row[k] != '.'))
                    ok = false;
                else if (row[k] == 'X')
                    bits = static_cast<uint16_t>(bits | (0x8000u >> k));
            }
            ok = ok && k == g.width;
            t.bits[i][r] = bits;
        }
        t.width[i] = static_cast<uint8_t>(g.width);
        if (!ok && t.bad_code == 0)
            t.bad_code = kFirstCode + i;
    }
    return t;
}

constexpr FontTable<8> kSmallFont = build_font<8>(kSmallArt);
constexpr FontTable<13> kLargeFont = build_font<13>(kLargeArt);
static_assert(kSmallFont.bad_code == 0, "font_small.inc: a glyph is malformed");
static_assert(kLargeFont.bad_code == 0, "font_large.inc: a glyph is malformed");

bool on_screen_x(long long x) {
    return x >= 0 && x < LCD_WIDTH;
}
bool on_screen_y(long long y) {
    return y >= 0 && y < LCD_HEIGHT;
}

// A picture byte lights its pixel when it is 33..127 and not '_'.
bool picture_lit(unsigned char c) {
    return c >= 33 && c <= 127 && c != '_';
}

const SymbolEntry* find_symbol(int code) {
    const SymbolEntry* fallback = nullptr;
    for (const SymbolEntry* e = kSymbols; e->code != 0; ++e) {
        if (e->code == static_cast<uint8_t>(code))
            return e;
        if (e->code == 0xFF)
            fallback = e;
    }
    return fallback;
}

} // namespace

// Pictures carry their own spacing: the rightmost column is blank, except in the
// fallback box (0xFF), which stands for every code not in the table. Unlit pixels are
// blanks ('.' would light the pixel: any byte 33..127 but '_' does).
const SymbolEntry kSymbols[] = {
    {'0', 4,
     " X  "
     "X X "
     "X X "
     "X X "
     " X  "},
    {'1', 2,
     "X "
     "X "
     "X "
     "X "
     "X "},
    {'2', 4,
     "XX  "
     "  X "
     " X  "
     "X   "
     "XXX "},
    {'3', 4,
     "XXX "
     "  X "
     " XX "
     "  X "
     "XXX "},
    {'4', 4,
     "X X "
     "X X "
     "XXX "
     "  X "
     "  X "},
    {'5', 4,
     "XXX "
     "X   "
     "XX  "
     "  X "
     "XX  "},
    {'6', 4,
     " XX "
     "X   "
     "XXX "
     "X X "
     "XXX "},
    {'7', 4,
     "XXX "
     "  X "
     " X  "
     "X   "
     "X   "},
    {'8', 4,
     "XXX "
     "X X "
     "XXX "
     "X X "
     "XXX "},
    {'9', 4,
     "XXX "
     "X X "
     "XXX "
     "  X "
     "XX  "},
    {'A', 5,
     " XX  "
     "X  X "
     "XXXX "
     "X  X "
     "X  X "},
    {'C', 5,
     " XXX "
     "X    "
     "X    "
     "X    "
     " XXX "},
    {'E', 5,
     "XXXX "
     "X    "
     "XXX  "
     "X    "
     "XXXX "},
    {'F', 5,
     "XXXX "
     "X    "
     "XXX  "
     "X    "
     "X    "},
    {'G', 5,
     " XXX "
     "X    "
     "X XX "
     "X  X "
     " XXX "},
    {'I', 2,
     "X "
     "X "
     "X "
     "X "
     "X "},
    {'K', 5,
     "X  X "
     "X X  "
     "XX   "
     "X X  "
     "X  X "},
    {'L', 5,
     "X    "
     "X    "
     "X    "
     "X    "
     "XXXX "},
    {'M', 6,
     "X   X "
     "XX XX "
     "X X X "
     "X   X "
     "X   X "},
    {'N', 5,
     "X  X "
     "XX X "
     "X XX "
     "X  X "
     "X  X "},
    {'O', 5,
     " XX  "
     "X  X "
     "X  X "
     "X  X "
     " XX  "},
    {'P', 5,
     "XXX  "
     "X  X "
     "XXX  "
     "X    "
     "X    "},
    {'R', 5,
     "XXX  "
     "X  X "
     "XXX  "
     "X  X "
     "X  X "},
    {'S', 5,
     " XXX "
     "X    "
     " XX  "
     "   X "
     "XXX  "},
    {'T', 4,
     "XXX "
     " X  "
     " X  "
     " X  "
     " X  "},
    {'U', 5,
     "X  X "
     "X  X "
     "X  X "
     "X  X "
     " XX  "},
    {'W', 6,
     "X   X "
     "X   X "
     "X X X "
     "XX XX "
     "X   X "},
    {'.', 2,
     "  "
     "  "
     "  "
     "  "
     "X "},
    {' ', 1,
     " "
     " "
     " "
     " "
     " "},
    {0xFF, 3,
     "XXX"
     "XXX"
     "X X"
     "XXX"
     "XXX"},
    {0, 0, nullptr},
};

int draw_picture(LcdBitmap* frame, int flags, int x, int y, int width, int rows,
                 const char* picture) {
    if (frame == nullptr || picture == nullptr || width <= 0 || rows <= 0)
        return 0;
    const bool negative = (flags & PICTURE_NEGATIVE) != 0;
    const bool invert = (flags & PICTURE_INVERT) != 0;
    const bool transparent = (flags & PICTURE_TRANSPARENT) != 0 && !negative;
    // Values written for lit and unlit characters (see the flag table in draw.h).
    const uint8_t lit = (negative != invert) ? 0 : 255;
    const uint8_t unlit = static_cast<uint8_t>(255 - lit);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(picture);
    for (long long r = 0; r < rows; ++r) {
        const long long row_start = (static_cast<long long>(y) + r) * LCD_WIDTH + x;
        for (long long c = 0; c < width; ++c, ++p) {
            // A picture shorter than width x rows ends at its terminating zero.
            if (*p == 0)
                return 0;
            const long long index = row_start + c;
            if (index < 0 || index >= LCD_PIXELS)
                continue;
            if (picture_lit(*p))
                frame->pixels[index] = lit;
            else if (!transparent)
                frame->pixels[index] = unlit;
        }
    }
    return 0;
}

void draw_pixel(LcdBitmap* frame, int x, int y) {
    const long long index = static_cast<long long>(y) * LCD_WIDTH + x;
    if (index >= 0 && index < LCD_PIXELS)
        frame->pixels[index] = 255;
}

Glyph font_glyph(bool large, int code) {
    if (code < kFirstCode || code > 255)
        return Glyph{0, large ? 13 : 8, nullptr};
    const int i = code - kFirstCode;
    if (large)
        return Glyph{kLargeFont.width[i], 13, kLargeFont.bits[i]};
    return Glyph{kSmallFont.width[i], 8, kSmallFont.bits[i]};
}

int draw_char(LcdBitmap* frame, int flags, int x, int y, int code) {
    if (code < 32 || code > 255)
        return 0;
    const bool measure = (flags & TEXT_MEASURE) != 0 || frame == nullptr;
    const bool opaque = (flags & TEXT_OPAQUE) != 0;
    const bool invert = (flags & TEXT_INVERT) != 0;

    if (flags & TEXT_SYMBOLS) {
        const SymbolEntry* e = find_symbol(code);
        if (!measure) {
            int pflags = opaque ? 0 : PICTURE_TRANSPARENT;
            if (invert)
                pflags |= PICTURE_NEGATIVE;
            draw_picture(frame, pflags, x, y, e->width, kSymbolRows, e->picture);
        }
        return e->width;
    }

    const Glyph g = font_glyph((flags & TEXT_LARGE) != 0, code);
    const bool gap = (flags & TEXT_NO_GAP) == 0;
    if (!measure) {
        const uint8_t fg = invert ? 0 : 255;
        const uint8_t bg = static_cast<uint8_t>(255 - fg);
        const long long gap_x = static_cast<long long>(x) + g.width;
        for (int r = 0; r < g.rows; ++r) {
            const long long py = static_cast<long long>(y) + r;
            if (!on_screen_y(py))
                continue;
            uint8_t* row = frame->pixels + py * LCD_WIDTH;
            for (int k = 0; k < g.width; ++k) {
                const long long px = static_cast<long long>(x) + k;
                if (!on_screen_x(px))
                    continue;
                if (g.bits[r] & (0x8000u >> k))
                    row[px] = fg;
                else if (opaque)
                    row[px] = bg;
            }
            if (opaque && gap && on_screen_x(gap_x))
                row[gap_x] = bg;
        }
    }
    return gap ? g.width + 1 : g.width;
}

namespace {

// A symbol of a text at pen position cx. Symbols are pictures, which have no
// per-column clipping: one that crosses or starts beyond the right edge goes on in
// the next row, one left of the screen ends the row above. So it is drawn at the
// same first pixel index with a column inside the screen, which also keeps the
// position within int; a symbol none of whose pixels can land in the frame is only
// measured. Returns its advance.
int draw_symbol_at(LcdBitmap* frame, int flags, long long cx, int y, int code) {
    const int width = draw_char(frame, flags | TEXT_MEASURE, 0, 0, code);
    const long long first = static_cast<long long>(y) * LCD_WIDTH + cx;
    const long long last = first + (kSymbolRows - 1LL) * LCD_WIDTH + width - 1;
    if (last < 0 || first >= LCD_PIXELS)
        return width;
    long long row = first / LCD_WIDTH;
    long long col = first % LCD_WIDTH;
    if (col < 0) {
        col += LCD_WIDTH;
        --row;
    }
    return draw_char(frame, flags, static_cast<int>(col), static_cast<int>(row), code);
}

} // namespace

int draw_text(LcdBitmap* frame, int flags, int x, int y, const char* text) {
    if (text == nullptr)
        return 0;
    long long sum = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
        // A font character whose pen position is far off either edge can draw nothing:
        // only measure it, which also keeps the position within int.
        const long long cx = static_cast<long long>(x) + sum;
        if (flags & TEXT_SYMBOLS)
            sum += draw_symbol_at(frame, flags, cx, y, *p);
        else if (cx < -kMaxAdvance || cx >= LCD_WIDTH)
            sum += draw_char(frame, flags | TEXT_MEASURE, 0, y, *p);
        else
            sum += draw_char(frame, flags, static_cast<int>(cx), y, *p);
        if (sum > kMaxTextWidth)
            sum = kMaxTextWidth;
    }
    return static_cast<int>(sum);
}

int draw_text_right(LcdBitmap* frame, int slot_x, int row, const char* text) {
    const int w = draw_text(frame, TEXT_MEASURE, 0, 0, text);
    const int x = w == 0 ? slot_x + 1 : slot_x + 38 - w;
    draw_text(frame, 0, x, row, text);
    return w;
}
