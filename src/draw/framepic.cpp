#include "draw/framepic.h"

#include "services/util.h"

#include <cstdio>
#include <cstring>

namespace {

void put_be32(std::vector<uint8_t>* out, uint32_t v) {
    out->push_back(static_cast<uint8_t>(v >> 24));
    out->push_back(static_cast<uint8_t>(v >> 16));
    out->push_back(static_cast<uint8_t>(v >> 8));
    out->push_back(static_cast<uint8_t>(v));
}

uint32_t get_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void put_chunk(std::vector<uint8_t>* out, const char type[4], const std::vector<uint8_t>& data) {
    put_be32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data.begin(), data.end());
    put_be32(out, crc32_update(0, out->data() + start, out->size() - start));
}

const uint8_t kPngSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr size_t kMaxStoredBlock = 65535;

} // namespace

PanelColours panel_colours() {
    return PanelColours{
        {0x9c, 0xab, 0x8e}, {0x1e, 0x24, 0x1c}, {0x8e, 0x9c, 0x80}, {0xc4, 0xd2, 0xb0}};
}

std::string frame_to_text(const LcdBitmap& frame) {
    std::string text;
    text.reserve((LCD_WIDTH + 1) * LCD_HEIGHT);
    for (int y = 0; y < LCD_HEIGHT; ++y) {
        for (int x = 0; x < LCD_WIDTH; ++x)
            text.push_back(frame.pixels[y * LCD_WIDTH + x] != 0 ? '#' : '.');
        text.push_back('\n');
    }
    return text;
}

bool frame_from_text(const std::string& text, LcdBitmap* frame) {
    uint8_t pixels[LCD_PIXELS];
    size_t pos = 0;
    for (int y = 0; y < LCD_HEIGHT; ++y) {
        for (int x = 0; x < LCD_WIDTH; ++x, ++pos) {
            if (pos >= text.size())
                return false;
            const char c = text[pos];
            if (c != '#' && c != '.')
                return false;
            pixels[y * LCD_WIDTH + x] = c == '#' ? 255 : 0;
        }
        if (pos < text.size() && text[pos] == '\r')
            ++pos;
        if (pos < text.size() && text[pos] == '\n')
            ++pos;
        else if (!(pos == text.size() && y == LCD_HEIGHT - 1))
            return false;
    }
    for (; pos < text.size(); ++pos)
        if (text[pos] != '\n' && text[pos] != '\r')
            return false;
    std::memcpy(frame->pixels, pixels, sizeof pixels);
    return true;
}

bool frame_from_raw(const uint8_t* data, size_t size, LcdBitmap* frame) {
    if (size == LCD_PIXELS) {
        std::memcpy(frame->pixels, data, LCD_PIXELS);
        return true;
    }
    if (size == sizeof(LcdBitmap)) {
        std::memcpy(&frame->format, data, 4);
        std::memcpy(frame->pixels, data + 4, LCD_PIXELS);
        return true;
    }
    return false;
}

RgbImage render_cells(const uint8_t* cells, int width, int height, int scale, int gap) {
    RgbImage img;
    if (width <= 0 || height <= 0 || scale <= 0 || gap < 0)
        return img;
    const PanelColours pc = panel_colours();
    img.width = width * (scale + gap) + gap;
    img.height = height * (scale + gap) + gap;
    img.rgb.resize(static_cast<size_t>(img.width) * img.height * 3);
    for (int py = 0; py < img.height; ++py) {
        for (int px = 0; px < img.width; ++px) {
            const uint8_t* colour = pc.grid;
            const int cx = (px - gap) / (scale + gap), ox = (px - gap) % (scale + gap);
            const int cy = (py - gap) / (scale + gap), oy = (py - gap) % (scale + gap);
            if (px >= gap && py >= gap && ox < scale && oy < scale && cx < width && cy < height) {
                const uint8_t v = cells[static_cast<size_t>(cy) * width + cx];
                colour = v == 0 ? pc.background : v == 1 ? pc.marked : pc.lit;
            }
            std::memcpy(&img.rgb[(static_cast<size_t>(py) * img.width + px) * 3], colour, 3);
        }
    }
    return img;
}

RgbImage render_frame(const LcdBitmap& frame, int scale, int gap) {
    uint8_t cells[LCD_PIXELS];
    for (int i = 0; i < LCD_PIXELS; ++i)
        cells[i] = frame.pixels[i] != 0 ? 2 : 0;
    return render_cells(cells, LCD_WIDTH, LCD_HEIGHT, scale, gap);
}

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t size) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

uint32_t adler32(const uint8_t* data, size_t size) {
    uint32_t a = 1, b = 0;
    for (size_t i = 0; i < size; ++i) {
        a = (a + data[i]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}

std::vector<uint8_t> png_encode(const RgbImage& image) {
    std::vector<uint8_t> png(kPngSignature, kPngSignature + 8);
    std::vector<uint8_t> ihdr;
    put_be32(&ihdr, static_cast<uint32_t>(image.width));
    put_be32(&ihdr, static_cast<uint32_t>(image.height));
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0}); // 8-bit RGB, deflate, filter 0, no interlace
    put_chunk(&png, "IHDR", ihdr);

    // Raw scanlines: filter byte 0, then the row.
    const size_t row_bytes = static_cast<size_t>(image.width) * 3;
    std::vector<uint8_t> raw;
    raw.reserve((row_bytes + 1) * image.height);
    for (int y = 0; y < image.height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), image.rgb.begin() + y * row_bytes,
                   image.rgb.begin() + (y + 1) * row_bytes);
    }
    // zlib header (deflate, 32K window, no preset dictionary), stored blocks, Adler-32.
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t pos = 0;
    do {
        const size_t n = raw.size() - pos < kMaxStoredBlock ? raw.size() - pos : kMaxStoredBlock;
        const bool last = pos + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back(static_cast<uint8_t>(n));
        z.push_back(static_cast<uint8_t>(n >> 8));
        z.push_back(static_cast<uint8_t>(~n));
        z.push_back(static_cast<uint8_t>(~n >> 8));
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
    } while (pos < raw.size());
    put_be32(&z, adler32(raw.data(), raw.size()));
    put_chunk(&png, "IDAT", z);
    put_chunk(&png, "IEND", {});
    return png;
}

bool png_decode(const std::vector<uint8_t>& png, RgbImage* image) {
    if (png.size() < 8 || std::memcmp(png.data(), kPngSignature, 8) != 0)
        return false;
    size_t pos = 8;
    uint32_t width = 0, height = 0;
    bool have_header = false, have_end = false;
    std::vector<uint8_t> z;
    while (!have_end) {
        if (png.size() - pos < 12)
            return false;
        const uint32_t len = get_be32(&png[pos]);
        if (len > png.size() - pos - 12)
            return false;
        const uint8_t* type = &png[pos + 4];
        const uint8_t* data = type + 4;
        if (crc32_update(0, type, len + 4) != get_be32(data + len))
            return false;
        if (std::memcmp(type, "IHDR", 4) == 0) {
            if (len != 13 || data[8] != 8 || data[9] != 2 || data[10] != 0 || data[11] != 0 ||
                data[12] != 0)
                return false;
            width = get_be32(data);
            height = get_be32(data + 4);
            if (width == 0 || height == 0 || width > 16384 || height > 16384)
                return false;
            have_header = true;
        } else if (std::memcmp(type, "IDAT", 4) == 0) {
            z.insert(z.end(), data, data + len);
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            have_end = true;
        }
        pos += 12 + len;
    }
    if (!have_header || z.size() < 6 || z[0] != 0x78 || (z[0] * 256 + z[1]) % 31 != 0)
        return false;
    std::vector<uint8_t> raw;
    size_t zp = 2;
    for (bool last = false; !last;) {
        if (z.size() - zp < 5 || (z[zp] & 0x06) != 0) // only stored blocks
            return false;
        last = (z[zp] & 1) != 0;
        const size_t n = read_le16(z.data() + zp + 1);
        const size_t nn = read_le16(z.data() + zp + 3);
        if ((n ^ nn) != 0xFFFF || z.size() - zp - 5 < n)
            return false;
        raw.insert(raw.end(), z.begin() + zp + 5, z.begin() + zp + 5 + n);
        zp += 5 + n;
    }
    if (z.size() - zp != 4 || get_be32(&z[zp]) != adler32(raw.data(), raw.size()))
        return false;
    const size_t row_bytes = size_t{width} * 3;
    if (raw.size() != (row_bytes + 1) * height)
        return false;
    RgbImage img;
    img.width = static_cast<int>(width);
    img.height = static_cast<int>(height);
    img.rgb.reserve(row_bytes * height);
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = &raw[y * (row_bytes + 1)];
        if (row[0] != 0)
            return false;
        img.rgb.insert(img.rgb.end(), row + 1, row + 1 + row_bytes);
    }
    *image = std::move(img);
    return true;
}

bool framepic_write_file(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

bool framepic_read_file(const std::string& path, std::vector<uint8_t>* data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    data->clear();
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        data->insert(data->end(), buf, buf + n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}
