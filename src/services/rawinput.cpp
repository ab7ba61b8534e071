// Macro-key report decoding.
#include "services/rawinput.h"

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
