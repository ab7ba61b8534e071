// Arbitrary bytes as the Winamp window title. The song title taken from it must stay
// inside its buffer, end where the suffix (ignoring case) was last found, and never
// carry the suffix; the announcement must carry the song exactly, "%" and all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "draw/notice.h"
#include "modules/mod_amp.h"

namespace {

bool is_suffix_at(const char* t, size_t k) {
    static const char kSuffix[] = "- winamp";
    for (size_t i = 0; i < 8; ++i) {
        char c = t[k + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
        if (c != kSuffix[i])
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The title as GetWindowTextA leaves it: at most 519 bytes and a zero.
    char title[AMP_TITLE_READ];
    size_t n = size < sizeof title - 1 ? size : sizeof title - 1;
    memcpy(title, data, n);
    title[n] = '\0';
    size_t len = strlen(title);

    char song[AMP_TITLE_MAX + 1];
    song[AMP_TITLE_MAX] = 'Z'; // a guard past the buffer
    size_t got = amp_song_title(title, song);
    if (song[AMP_TITLE_MAX] != 'Z' || got > AMP_TITLE_MAX - 1 || strlen(song) != got)
        abort();

    // Where the last suffix starts, by a plain scan.
    size_t last = SIZE_MAX;
    for (size_t k = 0; len >= 8 && k + 8 <= len; ++k)
        if (is_suffix_at(title, k))
            last = k;
    if (last == SIZE_MAX) {
        if (got != 0)
            abort();
    } else {
        size_t end = last;
        while (end > 0 && title[end - 1] == ' ')
            --end;
        if (end > AMP_TITLE_MAX - 1)
            end = AMP_TITLE_MAX - 1;
        if (got != end || memcmp(song, title, got) != 0)
            abort();
    }

    if (got > 0) {
        NoticeQueue q{};
        post_notice(&q, 0, NOTICE_TRACK, 1500, "%s", song);
        if (!q.first || strcmp(q.first->text, song) != 0)
            abort();
        notice_free_all(&q);
    }
    return 0;
}
