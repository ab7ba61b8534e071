// Fuzz target for the TeamSpeak 2 module's rules over snapshots written by another
// program: the change notices between two snapshots, the channel-list text and the
// speaking labels. Input: the previous snapshot, then the current one (each 7072
// bytes, zero-filled when the input is short).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_ts2.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Ts2Snapshot prev, cur;
    static LcdBitmap frame;
    const size_t a = size < TS2_SNAPSHOT_BYTES ? size : TS2_SNAPSHOT_BYTES;
    memset(&prev, 0, sizeof prev);
    memset(&cur, 0, sizeof cur);
    memcpy(prev.bytes, data, a);
    const size_t b = size - a < TS2_SNAPSHOT_BYTES ? size - a : TS2_SNAPSHOT_BYTES;
    memcpy(cur.bytes, data + a, b);

    NoticeQueue q{};
    ts2_post_changes(&prev, &cur, &q, 0);
    for (const Notice* n = q.first; n; n = n->next)
        if (strlen(n->text) > 511)
            __builtin_trap();
    notice_free_all(&q);

    char text[TS2_CHANNEL_TEXT];
    const size_t len = ts2_channel_text(&cur, text);
    if (len > 510 || strlen(text) != len)
        __builtin_trap();

    memset(&frame, 0, sizeof frame);
    ts2_draw_labels(&cur, &frame);
    // Labels stay in rows 8..20.
    for (int x = 0; x < LCD_WIDTH; ++x)
        for (int y : {0, 7, 21, 42})
            if (frame.pixels[y * LCD_WIDTH + x] != 0)
                __builtin_trap();
    return 0;
}
