// Arbitrary artist and name texts from the player (split at the first zero byte of the
// input). The track text must stay inside its buffer, end in a zero at the length it
// reports, begin with the artist (cut), and carry " - " and the name only when the
// artist left room; the announcement built from it shows it exactly, "%" and all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "modules/mod_tun.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    const size_t cut = in.find('\0');
    const std::string artist = in.substr(0, cut);
    const std::string name = cut == std::string::npos ? std::string() : in.substr(cut + 1);
    const std::string name_text = name.substr(0, name.find('\0'));

    constexpr size_t kText = TUN_TEXT;
    char out[kText + 16];
    memset(out, 0x55, sizeof out);
    const size_t n = tun_track_text(out, artist.c_str(), name_text.c_str());
    for (size_t i = kText; i < sizeof out; ++i)
        if (static_cast<unsigned char>(out[i]) != 0x55)
            abort(); // written past the buffer
    if (n >= kText || out[n] != '\0' || strlen(out) != n)
        abort();
    std::string want = artist;
    if (artist.size() + 3 <= kText - 1)
        want += " - " + name_text;
    want = want.substr(0, kText - 1);
    if (want != out)
        abort();
    return 0;
}
