// Frame pictures for tools and tests: the frame as text (one line per row, '#' on,
// '.' off), an enlarged image that looks like the panel, and a small PNG encoder
// (stored deflate blocks) with the matching decoder used to check its output.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "draw/draw.h"

// 8-bit RGB image, row-major, 3 bytes per pixel.
struct RgbImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Colours of the panel look.
struct PanelColours {
    uint8_t background[3]; // unlit LCD
    uint8_t lit[3];        // lit pixel
    uint8_t grid[3];       // the gap between enlarged pixels
    uint8_t marked[3];     // a third shade, used by the font atlas for glyph boxes
};
PanelColours panel_colours();

// 43 lines of 160 characters, each ending in '\n': '#' for a non-zero pixel, '.' for 0.
std::string frame_to_text(const LcdBitmap& frame);
// Reads the text form back; '#' is on (255), '.' off; '\r' before '\n' is allowed.
// Returns false (frame unchanged) unless there are exactly 43 lines of 160 such
// characters, optionally followed by empty lines.
bool frame_from_text(const std::string& text, LcdBitmap* frame);
// Reads a raw frame: 6880 pixel bytes, or 6884 bytes with the format word first.
// Returns false for any other size.
bool frame_from_raw(const uint8_t* data, size_t size, LcdBitmap* frame);

// Enlarges a grid of cells, `scale` image pixels per cell with a `gap`-pixel grid
// line between cells (and around the edge). Cell value 0 = background, 1 = marked,
// anything else = lit.
RgbImage render_cells(const uint8_t* cells, int width, int height, int scale, int gap);
// The frame as the panel shows it: render_cells of the pixel bytes.
RgbImage render_frame(const LcdBitmap& frame, int scale, int gap);

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t size); // start with 0
uint32_t adler32(const uint8_t* data, size_t size);

// PNG of an RGB image: IHDR, one IDAT with a zlib stream of stored blocks, IEND.
std::vector<uint8_t> png_encode(const RgbImage& image);
// Decodes PNGs written by png_encode (8-bit RGB, filter 0, stored deflate blocks),
// checking the signature, every chunk CRC and the Adler-32. Returns false for any
// other or damaged file.
bool png_decode(const std::vector<uint8_t>& png, RgbImage* image);

bool framepic_write_file(const std::string& path, const std::vector<uint8_t>& data);
bool framepic_read_file(const std::string& path, std::vector<uint8_t>* data);
