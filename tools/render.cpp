// Draws into a blank frame from commands on the command line and writes the frame's
// 6880 pixel bytes to standard output. The end-to-end tests use it to know exactly
// what a text looks like on the panel.
//
//   render text <flags> <x> <y> <text> [text <flags> <x> <y> <text> ...]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "draw.h"

int main(int argc, char** argv) {
    auto frame = std::make_unique<LcdBitmap>();
    frame->format = 1;
    for (int i = 1; i < argc;) {
        if (strcmp(argv[i], "text") == 0 && i + 4 < argc) {
            draw_text(frame.get(), static_cast<int>(strtol(argv[i + 1], nullptr, 0)),
                      atoi(argv[i + 2]), atoi(argv[i + 3]), argv[i + 4]);
            i += 5;
        } else {
            fprintf(stderr, "usage: render text <flags> <x> <y> <text> ...\n");
            return 2;
        }
    }
    fwrite(frame->pixels, 1, LCD_PIXELS, stdout);
    return 0;
}
