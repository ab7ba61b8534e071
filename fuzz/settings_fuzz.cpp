// Arbitrary bytes as the settings file and as the file it includes. The reader must
// not crash, leak or hang, and the list it builds must keep its invariants.
//
// Input layout: the first byte picks where the input splits; the bytes before the
// split become "lcdkorvane.txt", the rest "inc" (name it with "include inc").
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "draw/notice.h"
#include "services/settings.h"

namespace {

void write_file(const char* name, const uint8_t* data, size_t size) {
    FILE* f = fopen(name, "wb");
    if (!f)
        abort();
    if (size && fwrite(data, 1, size, f) != size)
        abort();
    fclose(f);
}

bool keys_equal(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char ca = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a + 32) : *a;
        char cb = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b + 32) : *b;
        if (ca != cb)
            return false;
    }
    return *a == *b;
}

// An include that names a device or a process file could block or never end; those
// are the user's own doing, not the reader's, so such inputs are skipped.
bool names_special_file(const uint8_t* data, size_t size) {
    static const char* const kParts[] = {"dev/", "proc/", "sys/", "run/"};
    for (const char* part : kParts) {
        size_t n = strlen(part);
        for (size_t i = 0; i + n <= size; ++i) {
            if (memcmp(data + i, part, n) == 0)
                return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Two small files are written for every input: in memory (/dev/shm) where there is
    // one, which runs several times faster than a disk-backed /tmp.
    char shm[] = "/dev/shm/korvane_settings_fuzz_XXXXXX";
    char tmp[] = "/tmp/korvane_settings_fuzz_XXXXXX";
    if ((!mkdtemp(shm) || chdir(shm) != 0) && (!mkdtemp(tmp) || chdir(tmp) != 0))
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || names_special_file(data, size))
        return 0;
    size_t split = size > 1 ? (data[0] * (size - 1)) / 255 : 0;
    write_file("lcdkorvane.txt", data + 1, split);
    write_file("inc", data + 1 + split, size - 1 - split);

    SettingsList list{};
    GeneralSettings general{};
    NoticeQueue notices{};
    settings_load_general(&list, &general, &notices, 0);

    // Invariants: values never empty and without blanks at either end; keys unique
    // without regard to case; general texts terminated within their fields.
    for (const SettingEntry* e = list.head; e; e = e->next) {
        size_t len = strlen(e->value);
        if (len == 0 || len > 1022)
            abort();
        if (strlen(e->key) == 0 || strlen(e->key) > 1022)
            abort();
        for (const SettingEntry* o = e->next; o; o = o->next) {
            if (keys_equal(e->key, o->key))
                abort();
        }
        if (settings_get(&list, e->key) == nullptr)
            abort();
        (void)settings_get_int(&list, e->key, 0);
    }
    if (strnlen(general.email_address, sizeof general.email_address) >=
            sizeof general.email_address ||
        strnlen(general.date_format, sizeof general.date_format) >= sizeof general.date_format ||
        strnlen(general.time_format, sizeof general.time_format) >= sizeof general.time_format)
        abort();
    if (notice_count(&notices) > 1)
        abort();

    settings_free(&list);
    notice_free_all(&notices);
    return 0;
}
