// Fuzz target for the TeamSpeak 3 module's reading of ClientQuery bytes: the line
// splitter (the input in chunks whose sizes come from the input itself), the fields
// and escapes of every line, the client list and events applied to one snapshot, and
// the notices, channel-list text and labels of each change.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_ts3.h"

namespace {

void check(const Ts3Snapshot& s) {
    if (s.count < 0 || s.count > TS3_MAX_CLIENTS || s.speakers < 0 || s.speakers > TS3_MAX_SPEAKERS)
        __builtin_trap();
    if (strnlen(s.server, TS3_NAME) == TS3_NAME || strnlen(s.channel, TS3_NAME) == TS3_NAME)
        __builtin_trap();
    for (int32_t i = 0; i < s.count; ++i)
        if (strnlen(s.clients[i].nick, TS3_NICK) == TS3_NICK)
            __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Ts3LineBuf in;
    static Ts3Snapshot snap, before;
    static LcdBitmap frame;
    static char line[TS3_LINE];
    memset(&in, 0, sizeof in);
    memset(&snap, 0, sizeof snap);
    snap.link = TS3_CONNECTED;
    snap.own_id = 1;
    snap.own_channel = 7;
    size_t at = 0;
    while (at < size) {
        // One byte gives the chunk's size (1..256, times 200 when its top bit is set,
        // so lines longer than the buffer are reached).
        const size_t want =
            (static_cast<size_t>(data[at] & 0x7f) + 1) * (data[at] & 0x80 ? 200 : 1);
        ++at;
        size_t room = 0;
        char* tail = ts3_line_tail(&in, &room);
        size_t n = want < size - at ? want : size - at;
        if (n > room)
            n = room;
        memcpy(tail, data + at, n);
        ts3_line_added(&in, n);
        at += n;
        while (ts3_line_next(&in, line, sizeof line)) {
            if (strlen(line) >= sizeof line)
                __builtin_trap();
            memcpy(&before, &snap, sizeof snap);
            bool refresh = false;
            if (ts3_is_event(line))
                ts3_apply_event(&snap, line, 1, nullptr, &refresh);
            else if (ts3_error_id(line) < 0)
                ts3_apply_clientlist(&snap, line, nullptr);
            const char* end = line + strlen(line);
            char value[TS3_NAME];
            if (ts3_field(line, end, "channel_name", value, sizeof value) &&
                strlen(value) >= sizeof value)
                __builtin_trap();
            check(snap);

            NoticeQueue q{};
            ts3_post_changes(&before, &snap, &q, 0);
            for (const Notice* k = q.first; k; k = k->next)
                if (strlen(k->text) > 511)
                    __builtin_trap();
            notice_free_all(&q);
            char text[TS3_CHANNEL_TEXT];
            const size_t len = ts3_channel_text(&snap, text);
            if (len > 510 || strlen(text) != len)
                __builtin_trap();
            memset(&frame, 0, sizeof frame);
            ts3_draw_labels(&snap, &frame, LCD_WIDTH);
            for (int x = 0; x < LCD_WIDTH; ++x)
                for (int y : {0, 7, 21, 42})
                    if (frame.pixels[y * LCD_WIDTH + x] != 0)
                        __builtin_trap();
        }
    }
    return 0;
}
