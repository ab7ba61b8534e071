// Arbitrary bytes as a hung window's title, with an arbitrary reported length: the
// taken title stays inside its buffer and ends at the first zero or the length; the
// shown part is a start of it no wider than the slot allows (or one character); the
// notice carries the title exactly, "%" and all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_rip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    int32_t n = static_cast<int32_t>(static_cast<uint32_t>(data[0]) | (data[1] << 8) |
                                     (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24));
    data += 4;
    size -= 4;
    // The raw title exactly as long as the input: no terminating zero after it.
    char* raw = static_cast<char*>(malloc(size ? size : 1));
    memcpy(raw, data, size);
    int reported = n < 0 ? n : static_cast<int>(static_cast<size_t>(n) % (size + 1));

    char title[RIP_TITLE_BYTES + 8];
    memset(title, 0x5A, sizeof title);
    size_t len = rip_take_title(title, RIP_TITLE_BYTES, raw, reported);
    if (len > RIP_TITLE_BYTES - 1 || title[len] != '\0' || strlen(title) != len)
        abort();
    for (size_t i = RIP_TITLE_BYTES; i < sizeof title; ++i)
        if (title[i] != 0x5A)
            abort();
    size_t expected = reported > 0 ? static_cast<size_t>(reported) : 0;
    if (expected > RIP_TITLE_BYTES - 1)
        expected = RIP_TITLE_BYTES - 1;
    const void* zero = memchr(raw, 0, expected);
    if (zero)
        expected = static_cast<size_t>(static_cast<const char*>(zero) - raw);
    if (len != expected || memcmp(title, raw, len) != 0)
        abort();

    char shown[RIP_TITLE_BYTES];
    memcpy(shown, title, sizeof shown);
    size_t kept = rip_fit_title(shown, RIP_TITLE_WIDTH);
    if (kept > len || memcmp(shown, title, kept) != 0 || shown[kept] != '\0')
        abort();
    if (kept > 1 && draw_text(nullptr, TEXT_MEASURE, 0, 0, shown) > RIP_TITLE_WIDTH)
        abort();

    NoticeQueue q{};
    post_notice(&q, 0, NOTICE_HUNG_APP, 1500, "Unresponsive: '%s'", title);
    char want[RIP_TITLE_BYTES + 32];
    memcpy(want, "Unresponsive: '", 15);
    memcpy(want + 15, title, len);
    memcpy(want + 15 + len, "'", 2);
    if (!q.first || strcmp(q.first->text, want) != 0)
        abort();
    notice_free_all(&q);
    free(raw);
    return 0;
}
