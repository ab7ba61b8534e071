#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "draw/framepic.h"

namespace {

struct Frame {
    LcdBitmap bm{};
    Frame() { bm.format = 1; }
    uint8_t at(int x, int y) const { return bm.pixels[y * LCD_WIDTH + x]; }
    int count(uint8_t v) const {
        int n = 0;
        for (uint8_t p : bm.pixels)
            n += p == v;
        return n;
    }
};

// ---- measured widths and advances ----

struct AdvanceCase {
    const char* name;
    int flags;
    const char* text;
    int expected;
};

TEST(DrawText, Advances) {
    const AdvanceCase cases[] = {
        {"digits small", TEXT_MEASURE, "10", 12},
        {"digits large", TEXT_MEASURE | TEXT_LARGE, "10", 12},
        {"digits no gap", TEXT_MEASURE | TEXT_NO_GAP, "10", 10},
        {"digits large no gap", TEXT_MEASURE | TEXT_LARGE | TEXT_NO_GAP, "10", 10},
        {"symbols TOT", TEXT_SYMBOLS, "TOT", 13},
        {"symbol not in table", TEXT_SYMBOLS, "B", 3},
        {"symbol large flag ignored", TEXT_SYMBOLS | TEXT_LARGE, "M.", 8},
        {"symbol never has a gap", TEXT_SYMBOLS | TEXT_OPAQUE, "11", 4},
        {"control codes advance 0", 0,
         "1\t\x01"
         "1",
         12},
        {"control codes with symbols", TEXT_SYMBOLS,
         "\x1f"
         "1",
         2},
        {"space", TEXT_MEASURE, " ", 2},
        {"large W", TEXT_MEASURE | TEXT_LARGE, "W", 12},
        {"large 160 advances 1", TEXT_MEASURE | TEXT_LARGE, "\xa0", 1},
        {"small 160 is the box", TEXT_MEASURE, "\xa0", 4},
        {"euro large", TEXT_MEASURE | TEXT_LARGE, "\x80", 7},
        {"empty", 0, "", 0},
        {"high bytes are unsigned", TEXT_MEASURE, "\xff\xe9", 12},
    };
    for (const AdvanceCase& c : cases) {
        Frame f;
        EXPECT_EQ(draw_text(&f.bm, c.flags, 3, 4, c.text), c.expected) << c.name;
    }
    Frame f;
    EXPECT_EQ(draw_text(&f.bm, 0, 0, 0, nullptr), 0);
    EXPECT_EQ(draw_char(&f.bm, 0, 0, 0, 31), 0);
    EXPECT_EQ(draw_char(&f.bm, 0, 0, 0, 256), 0);
    EXPECT_EQ(draw_char(&f.bm, 0, 0, 0, -1), 0);
    EXPECT_EQ(f.count(0), LCD_PIXELS);
}

TEST(DrawText, MeasureDrawsNothing) {
    Frame f;
    EXPECT_EQ(draw_text(&f.bm, TEXT_MEASURE | TEXT_OPAQUE | TEXT_INVERT, 0, 0, "Hello"), 30);
    EXPECT_EQ(draw_text(&f.bm, TEXT_MEASURE | TEXT_SYMBOLS | TEXT_INVERT, 0, 0, "AB"), 8);
    EXPECT_EQ(f.count(0), LCD_PIXELS);
}

// ---- clipping ----

// Every column of text drawn at x0 must equal the same text drawn at 0, shifted.
TEST(DrawText, ClipsAtEveryEdge) {
    struct Case {
        int x, y, flags;
    } cases[] = {
        {-7, 10, 0},
        {-7, 10, TEXT_LARGE | TEXT_OPAQUE},
        {150, 3, TEXT_OPAQUE},
        {-3, -5, TEXT_LARGE},
        {140, 38, TEXT_LARGE | TEXT_INVERT | TEXT_OPAQUE},
    };
    const char* text = "Q8%\xe5";
    for (const Case& c : cases) {
        // Reference: the text drawn in a tall frame copy built from a wide canvas.
        Frame ref;
        const int ref_x = 20, ref_y = 15;
        draw_text(&ref.bm, c.flags, ref_x, ref_y, text);
        Frame f;
        std::memset(f.bm.pixels, 0x5A, sizeof f.bm.pixels); // untouched marker
        Frame bg;
        std::memset(bg.bm.pixels, 0x5A, sizeof bg.bm.pixels);
        draw_text(&bg.bm, c.flags, ref_x, ref_y, text);
        draw_text(&f.bm, c.flags, c.x, c.y, text);
        for (int y = 0; y < LCD_HEIGHT; ++y)
            for (int x = 0; x < LCD_WIDTH; ++x) {
                const int rx = x - c.x + ref_x, ry = y - c.y + ref_y;
                const bool in_ref = rx >= 0 && rx < LCD_WIDTH && ry >= 0 && ry < LCD_HEIGHT;
                const uint8_t want = in_ref ? bg.at(rx, ry) : 0x5A;
                ASSERT_EQ(f.at(x, y), want)
                    << "x " << c.x << " y " << c.y << " at " << x << "," << y;
            }
    }
}

TEST(DrawText, LargeAtRow38DrawsGlyphRowsZeroToFour) {
    Frame f;
    draw_text(&f.bm, TEXT_LARGE | TEXT_OPAQUE | TEXT_INVERT, 0, 38, "E");
    // Rows 0-4 of the glyph land on rows 38-42: the opaque inverted cell is all written.
    const Glyph g = font_glyph(true, 'E');
    for (int r = 0; r < 5; ++r)
        for (int k = 0; k < g.width; ++k) {
            const bool lit = (g.bits[r] & (0x8000u >> k)) != 0;
            EXPECT_EQ(f.at(k, 38 + r), lit ? 0 : 255) << r << "," << k;
        }
    EXPECT_EQ(f.count(0) + f.count(255), LCD_PIXELS);
    EXPECT_EQ(
        f.count(255), 5 * (g.width + 1) - [&] {
            int n = 0;
            for (int r = 0; r < 5; ++r)
                n += __builtin_popcount(g.bits[r]);
            return n;
        }());
}

// ---- font flags ----

struct CharCase {
    const char* name;
    int flags;
    uint8_t fg, bg; // value expected on set / unset glyph pixels; 7 = untouched
    bool gap_painted;
};

TEST(DrawChar, FontFlags) {
    const CharCase cases[] = {
        {"plain", 0, 255, 7, false},
        {"opaque", TEXT_OPAQUE, 255, 0, true},
        {"invert", TEXT_INVERT, 0, 7, false},
        {"invert opaque", TEXT_INVERT | TEXT_OPAQUE, 0, 255, true},
        {"opaque no gap", TEXT_OPAQUE | TEXT_NO_GAP, 255, 0, false},
        {"large opaque", TEXT_LARGE | TEXT_OPAQUE, 255, 0, true},
    };
    for (const CharCase& c : cases) {
        Frame f;
        std::memset(f.bm.pixels, 7, sizeof f.bm.pixels);
        const Glyph g = font_glyph((c.flags & TEXT_LARGE) != 0, 'A');
        const int adv = draw_char(&f.bm, c.flags, 10, 5, 'A');
        EXPECT_EQ(adv, g.width + ((c.flags & TEXT_NO_GAP) ? 0 : 1)) << c.name;
        for (int r = 0; r < g.rows; ++r) {
            for (int k = 0; k < g.width; ++k) {
                const bool lit = (g.bits[r] & (0x8000u >> k)) != 0;
                EXPECT_EQ(f.at(10 + k, 5 + r), lit ? c.fg : c.bg) << c.name;
            }
            EXPECT_EQ(f.at(10 + g.width, 5 + r), c.gap_painted ? 255 - c.fg : 7) << c.name;
            EXPECT_EQ(f.at(9, 5 + r), 7) << c.name;
        }
        EXPECT_EQ(f.at(10, 4), 7) << c.name;
        EXPECT_EQ(f.at(10, 5 + g.rows), 7) << c.name;
    }
}

TEST(DrawChar, LargeNoBreakSpacePaintsOnlyTheGap) {
    Frame f;
    std::memset(f.bm.pixels, 7, sizeof f.bm.pixels);
    EXPECT_EQ(draw_char(&f.bm, TEXT_LARGE | TEXT_OPAQUE, 50, 10, 0xA0), 1);
    EXPECT_EQ(f.count(0), 13);
    for (int r = 0; r < 13; ++r)
        EXPECT_EQ(f.at(50, 10 + r), 0);
}

TEST(DrawChar, GapOffScreenIsCountedButNotPainted) {
    Frame f;
    const Glyph g = font_glyph(false, 'H');
    EXPECT_EQ(draw_char(&f.bm, TEXT_OPAQUE | TEXT_INVERT, LCD_WIDTH - g.width, 0, 'H'),
              g.width + 1);
    EXPECT_EQ(f.at(0, 1), 0); // no wrap to the next row
    EXPECT_EQ(f.count(255) + f.count(0), LCD_PIXELS);
}

// ---- symbols ----

struct SymbolCase {
    const char* name;
    int flags;
    char code;
    const char* rows[5]; // expected 5 rows over the symbol's width; '7' untouched
};

TEST(DrawChar, Symbols) {
    const SymbolCase cases[] = {
        {"plain T", TEXT_SYMBOLS, 'T', {"2227", "7277", "7277", "7277", "7277"}},
        {"opaque T", TEXT_SYMBOLS | TEXT_OPAQUE, 'T', {"2220", "0200", "0200", "0200", "0200"}},
        {"inverted T writes every pixel",
         TEXT_SYMBOLS | TEXT_INVERT,
         'T',
         {"0002", "2022", "2022", "2022", "2022"}},
        {"fallback box", TEXT_SYMBOLS, 'B', {"222", "222", "272", "222", "222"}},
        {"fallback inverted", TEXT_SYMBOLS | TEXT_INVERT, 'b', {"000", "000", "020", "000", "000"}},
        {"dot", TEXT_SYMBOLS | TEXT_OPAQUE, '.', {"00", "00", "00", "00", "20"}},
    };
    for (const SymbolCase& c : cases) {
        Frame f;
        std::memset(f.bm.pixels, 7, sizeof f.bm.pixels);
        const int w = draw_char(&f.bm, c.flags, 30, 20, static_cast<unsigned char>(c.code));
        ASSERT_EQ(static_cast<int>(std::strlen(c.rows[0])), w) << c.name;
        for (int r = 0; r < 5; ++r)
            for (int k = 0; k < w; ++k) {
                const char e = c.rows[r][k];
                const uint8_t want = e == '2' ? 255 : e == '0' ? 0 : 7;
                EXPECT_EQ(f.at(30 + k, 20 + r), want) << c.name << " row " << r << " col " << k;
            }
        EXPECT_EQ(f.at(30 + w, 20), 7) << c.name; // never a gap column
    }
}

TEST(Symbols, TableShape) {
    const char order[] = "0123456789ACEFGIKLMNOPRSTUW. ";
    int i = 0;
    for (; kSymbols[i].code != 0; ++i) {
        const SymbolEntry& e = kSymbols[i];
        ASSERT_EQ(static_cast<int>(std::strlen(e.picture)), e.width * 5) << i;
        if (i < 29) {
            EXPECT_EQ(e.code, static_cast<uint8_t>(order[i])) << i;
            for (int r = 0; r < 5; ++r) // rightmost column blank: the spacing
                EXPECT_EQ(e.picture[r * e.width + e.width - 1], ' ') << e.code;
        }
    }
    EXPECT_EQ(i, 29 + 1);
    EXPECT_EQ(kSymbols[29].code, 0xFF);
}

// ---- pictures ----

struct PictureCase {
    int flags;
    int on, off; // written values; -1 untouched
};

TEST(DrawPicture, FlagTable) {
    const PictureCase cases[] = {
        {0, 255, 0},
        {PICTURE_TRANSPARENT, 255, -1},
        {PICTURE_INVERT, 0, 255},
        {PICTURE_INVERT | PICTURE_TRANSPARENT, 0, -1},
        {PICTURE_NEGATIVE, 0, 255},
        {PICTURE_NEGATIVE | PICTURE_TRANSPARENT, 0, 255},
        {PICTURE_NEGATIVE | PICTURE_INVERT, 255, 0},
        {PICTURE_NEGATIVE | PICTURE_INVERT | PICTURE_TRANSPARENT, 255, 0},
    };
    // Byte classes: lit are 33..127 except '_'; everything else unlit.
    const char picture[] = "X_ \t\x7f\x80\xff!~.";
    const bool lit[] = {true, false, false, false, true, false, false, true, true, true};
    for (const PictureCase& c : cases) {
        Frame f;
        std::memset(f.bm.pixels, 7, sizeof f.bm.pixels);
        EXPECT_EQ(draw_picture(&f.bm, c.flags, 2, 3, 10, 1, picture), 0);
        for (int k = 0; k < 10; ++k) {
            const int want = lit[k] ? c.on : c.off;
            EXPECT_EQ(f.at(2 + k, 3), want < 0 ? 7 : want) << "flags " << c.flags << " col " << k;
        }
        EXPECT_EQ(f.at(12, 3), 7);
    }
}

TEST(DrawPicture, WrapsAndSkipsOutside) {
    struct Case {
        int x, y, width, rows;
        std::vector<int> lit; // expected lit pixel indexes
    } cases[] = {
        {158, 0, 4, 1, {158, 159, 160, 161}}, // crosses the right edge into the next row
        {-2, 1, 4, 1, {158, 159, 160, 161}},  // negative x lands at the end of row 0
        {0, -1, 2, 2, {0, 1}},                // row -1 skipped
        {158, 42, 4, 1, {6878, 6879}},        // the rest would be past the frame
        {0, 43, 3, 3, {}},                    // entirely below
        {5, 5, 0, 3, {}},                     // no width
    };
    for (const Case& c : cases) {
        Frame f;
        draw_picture(&f.bm, PICTURE_TRANSPARENT, c.x, c.y, c.width, c.rows, "XXXXXXXXXXXX");
        std::vector<int> lit;
        for (int i = 0; i < LCD_PIXELS; ++i)
            if (f.bm.pixels[i])
                lit.push_back(i);
        EXPECT_EQ(lit, c.lit) << c.x << "," << c.y;
    }
    Frame f;
    draw_picture(&f.bm, 0, 0, 0, 4, 4, nullptr);
    draw_picture(&f.bm, 0, 0, 0, 4, 4, "XX"); // a short picture stops at its end
    EXPECT_EQ(f.count(255), 2);
    EXPECT_EQ(f.bm.format, 1u);
}

// ---- right-aligned module lines ----

TEST(DrawTextRight, AlignsToTheSlot) {
    struct Case {
        const char* text;
        int width, x; // measured width, column the text starts at
    } cases[] = {{"12", 12, 40 + 38 - 12}, {"", 0, 41}, {"1", 6, 40 + 38 - 6}, {"W", 6, 72}};
    for (const Case& c : cases) {
        Frame f, ref;
        EXPECT_EQ(draw_text_right(&f.bm, 40, 29, c.text), c.width) << c.text;
        draw_text(&ref.bm, 0, c.x, 29, c.text);
        EXPECT_EQ(std::memcmp(f.bm.pixels, ref.bm.pixels, LCD_PIXELS), 0) << c.text;
        EXPECT_EQ(ref.count(255) > 0, c.width > 0) << c.text;
    }
}

// Symbols go through draw_picture, which has no per-column clipping: a symbol text
// started left of the screen wraps onto the end of the row above.
TEST(DrawText, SymbolsLeftOfTheScreenWrap) {
    Frame f;
    draw_text(&f.bm, TEXT_SYMBOLS, -2, 10, "1");
    EXPECT_EQ(f.at(158, 9), 255); // row 10, column -2
    EXPECT_EQ(f.at(158, 13), 255);
    EXPECT_EQ(f.count(255), 5);
}

// A symbol text is the same as its symbols drawn one by one with draw_picture at
// the pen position, whatever the position: a symbol that crosses or starts beyond
// the right edge goes on in the next row, one left of the screen ends the row above.
TEST(DrawText, SymbolTextWrapsLikeItsPictures) {
    struct Case {
        const char* name;
        int x, y;
        const char* text;
        int lit; // lit pixels expected in the frame
    } cases[] = {
        {"crosses the right edge", 156, 10, "TOT", 7 + 10 + 7},
        {"starts beyond the right edge", 160, 10, "11", 10},
        {"whole row further right", 320, 10, "1", 5},
        {"far left of the screen", -170, 10, "TO", 7 + 10},
        {"last row crosses the bottom", 158, 38, "OT", 15}, // what falls past row 42 is skipped
        {"below the frame", 0, 43, "11", 0},
    };
    for (const Case& c : cases) {
        Frame f, ref;
        const int advance = draw_text(&f.bm, TEXT_SYMBOLS, c.x, c.y, c.text);
        int pen = c.x;
        for (const char* p = c.text; *p; ++p) {
            const SymbolEntry* e = kSymbols;
            while (e->code != 0 && e->code != static_cast<uint8_t>(*p))
                ++e;
            ASSERT_NE(e->code, 0) << c.name;
            draw_picture(&ref.bm, PICTURE_TRANSPARENT, pen, c.y, e->width, 5, e->picture);
            pen += e->width;
        }
        EXPECT_EQ(advance, pen - c.x) << c.name;
        EXPECT_EQ(f.count(255), c.lit) << c.name;
        EXPECT_EQ(std::memcmp(f.bm.pixels, ref.bm.pixels, LCD_PIXELS), 0) << c.name;
    }
}

// The one pixel setter: the picture index rule, nothing outside the frame.
TEST(DrawPixel, LinearIndexInsideTheFrameOnly) {
    struct {
        int x, y;
        int index; // -1: nothing lit
    } cases[] = {
        {0, 0, 0},          {159, 42, 6879},    {160, 0, 160},      {-1, 1, 159},
        {0, 43, -1},        {-1, 0, -1},        {160, 42, -1},      {0, -1, -1},
        {INT32_MAX, 0, -1}, {0, INT32_MIN, -1}, {INT32_MIN, 0, -1}, {5, 10, 1605},
    };
    for (auto& c : cases) {
        Frame f;
        draw_pixel(&f.bm, c.x, c.y);
        EXPECT_EQ(f.count(255), c.index < 0 ? 0 : 1) << c.x << "," << c.y;
        if (c.index >= 0) {
            EXPECT_EQ(f.bm.pixels[c.index], 255) << c.x << "," << c.y;
        }
    }
}

// ---- the fonts themselves ----

int width_of(bool large, int code) {
    // Written out from the glyph width list, code by code in runs.
    static const struct {
        int from, to, small_w, large_w;
    } runs[] = {
        {32, 33, 1, 1},   {34, 34, 3, 4},   {35, 35, 5, 6},   {36, 36, 5, 5},   {37, 37, 5, 7},
        {38, 38, 5, 5},   {39, 39, 1, 1},   {40, 41, 2, 2},   {42, 42, 5, 3},   {43, 43, 5, 5},
        {44, 44, 1, 2},   {45, 45, 5, 2},   {46, 46, 1, 1},   {47, 47, 2, 4},   {48, 57, 5, 5},
        {58, 58, 1, 1},   {59, 59, 1, 2},   {60, 60, 3, 4},   {61, 61, 5, 5},   {62, 62, 3, 4},
        {63, 63, 5, 5},   {64, 64, 7, 10},  {65, 65, 5, 7},   {66, 66, 5, 5},   {67, 68, 5, 6},
        {69, 70, 5, 5},   {71, 72, 5, 6},   {73, 73, 1, 1},   {74, 74, 5, 4},   {75, 75, 5, 6},
        {76, 76, 5, 5},   {77, 77, 5, 7},   {78, 82, 5, 6},   {83, 84, 5, 5},   {85, 85, 5, 6},
        {86, 86, 5, 7},   {87, 87, 5, 11},  {88, 90, 5, 7},   {91, 91, 1, 2},   {92, 92, 2, 4},
        {93, 93, 1, 2},   {94, 94, 3, 5},   {95, 95, 5, 6},   {96, 96, 2, 2},   {97, 101, 5, 5},
        {102, 102, 5, 2}, {103, 104, 5, 5}, {105, 105, 1, 1}, {106, 106, 5, 1}, {107, 107, 5, 5},
        {108, 108, 5, 1}, {109, 109, 5, 7}, {110, 113, 5, 5}, {114, 114, 5, 2}, {115, 115, 5, 4},
        {116, 116, 5, 2}, {117, 118, 5, 5}, {119, 119, 5, 7}, {120, 120, 5, 4}, {121, 121, 5, 5},
        {122, 122, 5, 4}, {123, 123, 2, 3}, {124, 124, 1, 1}, {125, 125, 2, 3}, {126, 126, 4, 6},
        {127, 127, 3, 2}, {128, 128, 3, 6}, {129, 159, 3, 2}, {160, 160, 3, 0}, {161, 161, 1, 1},
        {162, 165, 5, 5}, {166, 166, 1, 1}, {167, 167, 4, 5}, {168, 168, 3, 3}, {169, 169, 7, 8},
        {170, 170, 4, 3}, {171, 171, 6, 5}, {172, 172, 4, 5}, {173, 173, 3, 2}, {174, 174, 7, 7},
        {175, 175, 5, 6}, {176, 176, 3, 3}, {177, 177, 3, 5}, {178, 178, 3, 3}, {179, 179, 5, 3},
        {180, 180, 2, 2}, {181, 181, 5, 5}, {182, 182, 6, 5}, {183, 183, 1, 1}, {184, 184, 3, 2},
        {185, 185, 1, 2}, {186, 186, 3, 3}, {187, 187, 6, 5}, {188, 190, 3, 7}, {191, 191, 5, 5},
        {192, 197, 5, 7}, {198, 198, 4, 9}, {199, 199, 5, 6}, {200, 203, 5, 5}, {204, 205, 2, 2},
        {206, 207, 3, 3}, {208, 208, 4, 7}, {209, 214, 5, 6}, {215, 215, 3, 5}, {216, 220, 5, 6},
        {221, 221, 5, 7}, {222, 222, 4, 6}, {223, 229, 5, 5}, {230, 230, 5, 9}, {231, 235, 5, 5},
        {236, 237, 2, 2}, {238, 239, 3, 3}, {240, 246, 5, 5}, {247, 247, 3, 5}, {248, 253, 5, 5},
        {254, 254, 4, 5}, {255, 255, 5, 5},
    };
    for (const auto& r : runs)
        if (code >= r.from && code <= r.to)
            return large ? r.large_w : r.small_w;
    return -1;
}

bool is_letter_or_digit(int c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool is_accented(int c) {
    return c >= 192 && c != 215 && c != 247;
}

// Rows a glyph may use: letters and digits keep to their band, accented letters add
// the rows of their marks.
struct RowBand {
    int first, last;
};
RowBand allowed_rows(bool large, int c) {
    if (!large) {
        if (c == 'Q' || c == 'q')
            return {2, 7};
        if (is_letter_or_digit(c))
            return {2, 6};
        if (is_accented(c))
            return {0, 6};
        return {0, 7};
    }
    if (c >= 'A' && c <= 'Z')
        return {2, 10};
    if (c >= '0' && c <= '9')
        return {2, 10};
    if (c >= 'a' && c <= 'z')
        return {2, 12};
    return {0, 12};
}

int used_row(const Glyph& g, bool first) {
    int found = -1;
    for (int r = 0; r < g.rows; ++r)
        if (g.bits[r] && (found < 0 || !first))
            found = r;
    return found;
}

TEST(Fonts, EveryGlyphHasItsWidthAndKeepsToItsRows) {
    for (int large = 0; large <= 1; ++large)
        for (int c = 32; c <= 255; ++c) {
            const Glyph g = font_glyph(large, c);
            ASSERT_EQ(g.rows, large ? 13 : 8);
            ASSERT_NE(g.bits, nullptr);
            EXPECT_EQ(g.width, width_of(large, c)) << (large ? "large " : "small ") << c;
            const uint16_t beyond = static_cast<uint16_t>(0xFFFFu >> g.width);
            const RowBand band = allowed_rows(large, c);
            int ink = 0;
            for (int r = 0; r < g.rows; ++r) {
                EXPECT_EQ(g.bits[r] & beyond, 0) << "pixel beyond width: " << c << " row " << r;
                if (g.bits[r]) {
                    EXPECT_GE(r, band.first) << (large ? "large " : "small ") << c;
                    EXPECT_LE(r, band.last) << (large ? "large " : "small ") << c;
                }
                ink += __builtin_popcount(g.bits[r]);
            }
            const bool blank = c == 32 || (large && c == 160);
            if (blank)
                EXPECT_EQ(ink, 0) << c;
            else
                EXPECT_GT(ink, 0) << "glyph without pixels: " << c;
        }
}

TEST(Fonts, LetterBands) {
    struct Case {
        bool large;
        const char* letters;
        int top, bottom; // rows the group must reach exactly
    } cases[] = {
        {false, "ABCDEFGHIJKLMNOPRSTUVWXYZ0123456789", 2, 6},
        {false, "Qq", -1, 7},
        {false, "acemnorsuvwxz", 3, 6},
        {false, "\xc0\xc1\xc2\xc3\xc4\xc5\xc9\xd1\xd6\xdc", 0, 6},
        {true, "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", 2, 10},
        {true, "acemnorsuvwxz", 5, 10},
        {true, "gpqy", 5, 12},
        {true, "bdhkl", 2, 10},
        {true, "\xc0\xc1\xc2\xc3\xc9\xd1\xd3", 0, 10},
        {true, "\xe0\xe1\xe2\xe3\xe8\xe9\xf1\xf3", 2, 10},
    };
    for (const Case& c : cases)
        for (const char* p = c.letters; *p; ++p) {
            const int code = static_cast<unsigned char>(*p);
            const Glyph g = font_glyph(c.large, code);
            if (c.top >= 0) {
                EXPECT_EQ(used_row(g, true), c.top) << code << (c.large ? " large" : " small");
            }
            EXPECT_EQ(used_row(g, false), c.bottom) << code << (c.large ? " large" : " small");
        }
}

TEST(Fonts, BoxesAndBars) {
    for (int c = 127; c <= 160; ++c) {
        const Glyph s = font_glyph(false, c);
        const uint16_t want[8] = {0xE000, 0xA000, 0xA000, 0xA000, 0xA000, 0xA000, 0xE000, 0};
        for (int r = 0; r < 8; ++r)
            EXPECT_EQ(s.bits[r], want[r]) << "small " << c << " row " << r;
        if (c == 128 || c == 160)
            continue;
        const Glyph l = font_glyph(true, c);
        for (int r = 0; r < 13; ++r)
            EXPECT_EQ(l.bits[r], (r >= 3 && r <= 11) ? 0xC000 : 0) << "large " << c << " row " << r;
    }
    // The euro sign has a picture of its own, unlike its neighbours.
    const Glyph euro = font_glyph(true, 128), bar = font_glyph(true, 129);
    EXPECT_NE(std::memcmp(euro.bits, bar.bits, 13 * sizeof(uint16_t)), 0);
}

// Letters must be told apart: no two glyphs of a font (other than the shared boxes
// and bars, and the deliberate twins below) may be identical.
TEST(Fonts, GlyphsAreDistinct) {
    for (int large = 0; large <= 1; ++large)
        for (int a = 33; a <= 255; ++a)
            for (int b = a + 1; b <= 255; ++b) {
                if ((a >= 127 && a <= 160) || (b >= 127 && b <= 160))
                    continue;
                const Glyph ga = font_glyph(large, a), gb = font_glyph(large, b);
                if (ga.width != gb.width)
                    continue;
                const bool same = std::memcmp(ga.bits, gb.bits, ga.rows * 2) == 0;
                const bool twins =
                    (a == '0' && b == 'O') || (a == 'I' && b == 'l') || (a == '[' && b == ']') ||
                    (a == '[' && b == '|') || (a == ']' && b == '|') || (a == 'l' && b == '|') ||
                    (a == 'I' && b == '|') || (a == 'I' && b == 'l') || (a == '-' && b == 0xAD);
                if (!twins) {
                    EXPECT_FALSE(same) << (large ? "large " : "small ") << a << " = " << b;
                }
            }
}

// ---- frame pictures ----

TEST(FramePic, TextRoundTrip) {
    Frame f;
    draw_text(&f.bm, TEXT_LARGE, -3, 30, "Wq\xe9");
    draw_picture(&f.bm, 0, 158, 0, 4, 1, "X X ");
    const std::string text = frame_to_text(f.bm);
    ASSERT_EQ(text.size(), static_cast<size_t>((LCD_WIDTH + 1) * LCD_HEIGHT));
    EXPECT_EQ(text.substr(158, 5), "#.\n#.");
    Frame back;
    ASSERT_TRUE(frame_from_text(text, &back.bm));
    EXPECT_EQ(std::memcmp(back.bm.pixels, f.bm.pixels, LCD_PIXELS), 0);

    struct Bad {
        const char* name;
        std::string text;
    } bad[] = {
        {"short", text.substr(0, text.size() - 162)},
        {"bad char", std::string(text).replace(5, 1, "x")},
        {"long line", std::string(text).insert(160, ".")},
        {"trailing junk", text + "#"},
    };
    for (const Bad& b : bad)
        EXPECT_FALSE(frame_from_text(b.text, &back.bm)) << b.name;
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_TRUE(frame_from_text(crlf, &back.bm));
}

TEST(FramePic, RawSizes) {
    std::vector<uint8_t> raw(6884, 0);
    raw[0] = 1;
    raw[4 + 161] = 255;
    struct Case {
        size_t size;
        bool ok;
    } cases[] = {{6884, true}, {6880, true}, {6883, false}, {0, false}, {6885, false}};
    for (const Case& c : cases) {
        Frame f;
        EXPECT_EQ(frame_from_raw(raw.data(), c.size, &f.bm), c.ok) << c.size;
    }
    Frame f;
    ASSERT_TRUE(frame_from_raw(raw.data(), 6884, &f.bm));
    EXPECT_EQ(f.at(1, 1), 255);
}

TEST(FramePic, Checksums) {
    struct Case {
        const char* data;
        uint32_t crc, adler;
    } cases[] = {
        {"", 0x00000000u, 0x00000001u},
        {"a", 0xE8B7BE43u, 0x00620062u},
        {"123456789", 0xCBF43926u, 0x091E01DEu},
        {"Wikipedia", 0xADAAC02Eu, 0x11E60398u},
    };
    for (const Case& c : cases) {
        const auto* p = reinterpret_cast<const uint8_t*>(c.data);
        EXPECT_EQ(crc32_update(0, p, std::strlen(c.data)), c.crc) << c.data;
        EXPECT_EQ(adler32(p, std::strlen(c.data)), c.adler) << c.data;
    }
}

TEST(FramePic, PngRoundTrip) {
    Frame f;
    draw_text(&f.bm, 0, 1, 1, "Korvane 12:34");
    struct Case {
        int scale, gap;
    } cases[] = {{1, 0}, {4, 1}, {9, 1}}; // the last needs several stored blocks
    for (const Case& c : cases) {
        const RgbImage img = render_frame(f.bm, c.scale, c.gap);
        ASSERT_EQ(img.width, LCD_WIDTH * (c.scale + c.gap) + c.gap);
        const std::vector<uint8_t> png = png_encode(img);
        RgbImage back;
        ASSERT_TRUE(png_decode(png, &back)) << c.scale;
        EXPECT_EQ(back.width, img.width);
        EXPECT_EQ(back.height, img.height);
        EXPECT_EQ(back.rgb, img.rgb);
        // Any damaged byte after the signature is caught by a CRC or a length check.
        for (size_t at : {size_t{9}, size_t{20}, png.size() / 2, png.size() - 5}) {
            std::vector<uint8_t> bad = png;
            bad[at] ^= 0x10;
            EXPECT_FALSE(png_decode(bad, &back)) << "byte " << at;
        }
    }
    // The lit pixel (1,1) of a 1x image without gap is the lit colour.
    Frame one;
    one.bm.pixels[LCD_WIDTH + 1] = 255;
    const RgbImage img = render_frame(one.bm, 1, 0);
    const PanelColours pc = panel_colours();
    EXPECT_EQ(std::memcmp(&img.rgb[(LCD_WIDTH + 1) * 3], pc.lit, 3), 0);
    EXPECT_EQ(std::memcmp(&img.rgb[0], pc.background, 3), 0);
}

} // namespace
