// Frame to picture: reads a frame (raw 6880 or 6884 bytes, or the 43-line text form)
// and writes a PNG that looks like the panel and/or the text form.
// Usage: frame2png IN [OUT.png] [--text OUT.txt] [--scale N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "draw/framepic.h"

int main(int argc, char** argv) {
    std::string in, png_out, text_out;
    int scale = 4;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--text") == 0 && i + 1 < argc)
            text_out = argv[++i];
        else if (std::strcmp(argv[i], "--scale") == 0 && i + 1 < argc)
            scale = std::atoi(argv[++i]);
        else if (in.empty())
            in = argv[i];
        else
            png_out = argv[i];
    }
    if (in.empty() || (png_out.empty() && text_out.empty()) || scale < 1 || scale > 32) {
        std::fprintf(stderr, "usage: frame2png IN [OUT.png] [--text OUT.txt] [--scale N]\n");
        return 2;
    }
    std::vector<uint8_t> data;
    if (!framepic_read_file(in, &data)) {
        std::fprintf(stderr, "frame2png: cannot read %s\n", in.c_str());
        return 1;
    }
    LcdBitmap frame{};
    frame.format = 1;
    if (!frame_from_raw(data.data(), data.size(), &frame) &&
        !frame_from_text(std::string(data.begin(), data.end()), &frame)) {
        std::fprintf(stderr, "frame2png: %s is neither a raw frame nor the text form\n",
                     in.c_str());
        return 1;
    }
    if (!png_out.empty() &&
        !framepic_write_file(png_out, png_encode(render_frame(frame, scale, 1)))) {
        std::fprintf(stderr, "frame2png: cannot write %s\n", png_out.c_str());
        return 1;
    }
    if (!text_out.empty()) {
        const std::string text = frame_to_text(frame);
        if (!framepic_write_file(text_out, std::vector<uint8_t>(text.begin(), text.end()))) {
            std::fprintf(stderr, "frame2png: cannot write %s\n", text_out.c_str());
            return 1;
        }
    }
    return 0;
}
