// Macro-key report decoding.
#include "services/rawinput.h"

#include "services/util.h"

namespace {
struct KeyBit {
    const char* name;
    uint8_t byte;
    uint8_t mask;
};
// Searched from the top: the first key whose byte has a mask bit set wins.
const KeyBit kKeys[] = {
    {"M1", 6, 0x01},  {"M2", 7, 0x02},  {"M3", 8, 0x04},  {"MR", 7, 0x40},  {"G01", 1, 0x01},
    {"G02", 2, 0x02}, {"G03", 3, 0x04}, {"G04", 4, 0x08}, {"G05", 5, 0x10}, {"G06", 6, 0x20},
    {"G07", 2, 0x01}, {"G08", 3, 0x02}, {"G09", 4, 0x04}, {"G10", 5, 0x08}, {"G11", 6, 0x10},
    {"G12", 7, 0x20}, {"G13", 1, 0x04}, {"G14", 2, 0x08}, {"G15", 3, 0x10}, {"G16", 4, 0x20},
    {"G17", 5, 0x40}, {"G18", 8, 0x40},
};
} // namespace

// {.., byte6 = 0x21} -> "M1" (not "G06"); {.., byte7 = 0x60} -> "MR"; all zero -> nullptr
const char* rawinput_decode(const uint8_t* report, size_t size) {
    if (!report)
        return nullptr;
    for (const KeyBit& k : kKeys)
        if (k.byte < size && (report[k.byte] & k.mask))
            return k.name;
    return nullptr;
}

// 32-bit layout {16, 20, 24}, record of 24 + 9 bytes with size 9 and count 1: one
// report; the same bytes in the 64-bit layout {24, 28, 32}: none (the report would
// end at 41). Reads only the size bytes of the record.
size_t rawinput_decode_record(const uint8_t* record, size_t size, const RawHidLayout& layout,
                              const char** first_key) {
    if (first_key)
        *first_key = nullptr;
    if (!record || size < layout.reports_at || size < layout.size_at + 4 ||
        size < layout.count_at + 4)
        return 0;
    const size_t each = read_le32(record + layout.size_at);
    const size_t count = read_le32(record + layout.count_at);
    if (each == 0)
        return 0;
    // Whole reports that fit, counted by division so that no sum can wrap.
    const size_t fit = (size - layout.reports_at) / each;
    const size_t n = count < fit ? count : fit;
    for (size_t i = 0; i < n; ++i) {
        const char* key = rawinput_decode(record + layout.reports_at + i * each, each);
        if (first_key && !*first_key)
            *first_key = key;
    }
    return n;
}
