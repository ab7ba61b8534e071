// Draws into a blank frame from commands on the command line and writes the frame's
// 6880 pixel bytes to standard output. The end-to-end tests use it to know exactly
// what a text looks like on the panel.
//
//   render text <flags> <x> <y> <text>     draw_text at (x, y)
//   render rtext <flags> <end> <y> <text>  draw_text at (end - width, y)
//   render right <slot_x> <y> <text>       a module's right-aligned line
//   render ramp <slot_x> <y> <level> <muted>  the speaker module's volume ramp
//   render speakers <slot_x> <y> <config>  the speaker module's configuration picture
//   (commands may follow one another)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "draw/draw.h"
#include "modules/mod_spk.h"

int main(int argc, char** argv) {
    auto frame = std::make_unique<LcdBitmap>();
    frame->format = 1;
    LcdBitmap* f = frame.get();
    for (int i = 1; i < argc;) {
        const char* cmd = argv[i];
        if (strcmp(cmd, "text") == 0 && i + 4 < argc) {
            draw_text(f, static_cast<int>(strtol(argv[i + 1], nullptr, 0)), atoi(argv[i + 2]),
                      atoi(argv[i + 3]), argv[i + 4]);
            i += 5;
        } else if (strcmp(cmd, "rtext") == 0 && i + 4 < argc) {
            int flags = static_cast<int>(strtol(argv[i + 1], nullptr, 0));
            int w = draw_text(f, flags | TEXT_MEASURE, 0, 0, argv[i + 4]);
            draw_text(f, flags, atoi(argv[i + 2]) - w, atoi(argv[i + 3]), argv[i + 4]);
            i += 5;
        } else if (strcmp(cmd, "right") == 0 && i + 3 < argc) {
            draw_text_right(f, atoi(argv[i + 1]), atoi(argv[i + 2]), argv[i + 3]);
            i += 4;
        } else if (strcmp(cmd, "ramp") == 0 && i + 4 < argc) {
            spk_draw_ramp(f, atoi(argv[i + 1]), atoi(argv[i + 2]), atoi(argv[i + 3]),
                          atoi(argv[i + 4]));
            i += 5;
        } else if (strcmp(cmd, "speakers") == 0 && i + 3 < argc) {
            spk_draw_config(f, atoi(argv[i + 1]), atoi(argv[i + 2]), atoi(argv[i + 3]));
            i += 4;
        } else {
            fprintf(stderr, "usage: render text|rtext <flags> <x> <y> <text> | right <x> <y> "
                            "<text> ...\n");
            return 2;
        }
    }
    fwrite(f->pixels, 1, LCD_PIXELS, stdout);
    return 0;
}
