// Arbitrary bytes as a fetched HID input record from the system, read at its exact size
// in both layouts (reports at 24 in the 32-bit program, at 32 in the 64-bit copy). The
// decoder must read only the record's bytes, decode no more reports than the record
// says and holds whole, and name a key only from the macro-key table.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "services/rawinput.h"
#include "services/util.h"

namespace {

const RawHidLayout kLayouts[] = {{16, 20, 24}, {24, 28, 32}};

bool known_key(const char* k) {
    static const char* const kNames[] = {"M1",  "M2",  "M3",  "MR",  "G01", "G02", "G03", "G04",
                                         "G05", "G06", "G07", "G08", "G09", "G10", "G11", "G12",
                                         "G13", "G14", "G15", "G16", "G17", "G18"};
    for (const char* n : kNames)
        if (strcmp(n, k) == 0)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (const RawHidLayout& layout : kLayouts) {
        // An exact-size copy, so AddressSanitizer sees any read past the record.
        std::unique_ptr<uint8_t[]> rec(new uint8_t[size ? size : 1]);
        if (size)
            memcpy(rec.get(), data, size);
        const char* key = reinterpret_cast<const char*>(1);
        const size_t n = rawinput_decode_record(size ? rec.get() : nullptr, size, layout, &key);
        if (n == 0) {
            if (key != nullptr)
                abort(); // no report decoded, yet a key
            continue;
        }
        // Decoded reports: the record must say at least that many, each of a non-zero
        // size, all lying whole inside the bytes.
        if (size < layout.reports_at || size < layout.count_at + 4)
            abort();
        const uint64_t each = read_le32(rec.get() + layout.size_at);
        const uint64_t count = read_le32(rec.get() + layout.count_at);
        if (each == 0 || n > count || layout.reports_at + n * each > size)
            abort();
        if (key && !known_key(key))
            abort();
    }
    return 0;
}
