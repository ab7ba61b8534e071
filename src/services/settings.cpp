// Settings file "lcdkorvane.txt": one "key value" pair a line, read once at start-up
// into a list of heap copies that every other part asks for its own keys.
#include "services/settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "draw/notice.h"
#include "services/util.h"

namespace {

constexpr const char* kSettingsFile = "lcdkorvane.txt";
// One read takes at most 1023 characters including the line feed.
constexpr int kLineBuffer = 1024;

// The six white-space characters of the C locale; bytes from 0x80 up are ordinary.
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char* copy_text(const char* text, size_t len) {
    char* copy = static_cast<char*>(malloc(len + 1));
    if (!copy)
        return nullptr;
    memcpy(copy, text, len);
    copy[len] = '\0';
    return copy;
}

SettingEntry* find_entry(const SettingsList* list, const char* key) {
    for (SettingEntry* e = list->head; e; e = e->next) {
        if (text_iequal(e->key, key))
            return e;
    }
    return nullptr;
}

// Stores key = value; a known key gets the new value in place. Returns the new entry
// when one was created, nullptr when an existing one was updated or memory ran out.
SettingEntry* store(SettingsList* list, const char* key, size_t key_len, const char* value,
                    size_t value_len) {
    char* key_copy = copy_text(key, key_len);
    if (!key_copy)
        return nullptr;
    char* value_copy = copy_text(value, value_len);
    if (!value_copy) {
        free(key_copy);
        return nullptr;
    }
    SettingEntry* old = find_entry(list, key_copy);
    if (old) {
        free(key_copy);
        free(old->value);
        old->value = value_copy;
        return nullptr;
    }
    SettingEntry* entry = static_cast<SettingEntry*>(malloc(sizeof(SettingEntry)));
    if (!entry) {
        free(key_copy);
        free(value_copy);
        return nullptr;
    }
    entry->key = key_copy;
    entry->value = value_copy;
    entry->next = list->head;
    list->head = entry;
    return entry;
}

// Copies at most cap - 1 characters: "ddd yyyy-MM-dd" stays whole in 32 bytes, a
// 40-character picture keeps its first 31.
void copy_cut(char* out, size_t cap, const char* text) {
    size_t len = strlen(text);
    if (len > cap - 1)
        len = cap - 1;
    memcpy(out, text, len);
    out[len] = '\0';
}

// Splits one read line into key and value and stores it. The line ends at its first
// zero byte, so a zero inside the file ends what is parsed of that read.
//   "  Date_Format  dd.MM.yyyy   \n" -> key "Date_Format", value "dd.MM.yyyy"
//   "date_format x # y\n"            -> value "x # y"
//   "   # date_format x\n", "animate_start\n", "key   \n" -> nothing stored
void parse_line(SettingsList* list, const char* line) {
    const char* p = line;
    while (*p && is_blank(*p))
        ++p;
    if (*p == '\0' || *p == '#')
        return;

    const char* key = p;
    while (*p && !is_blank(*p))
        ++p;
    if (*p == '\0')
        return;
    size_t key_len = static_cast<size_t>(p - key);

    while (*p && is_blank(*p))
        ++p;
    if (*p == '\0')
        return;
    const char* value = p;
    const char* end = value + strlen(value);
    while (end > value && is_blank(end[-1]))
        --end;
    size_t value_len = static_cast<size_t>(end - value);

    SettingEntry* created = store(list, key, key_len, value, value_len);
    if (created && text_iequal(created->key, "include")) {
        // Read at this point, into the same list. The entry now exists, so later
        // "include" lines only change its value: at most one file is ever followed.
        // The path is copied because such a line frees the value it replaces.
        char path[kLineBuffer];
        copy_cut(path, sizeof path, created->value);
        settings_read(list, path);
    }
}

// Skips leading blanks and an optional sign, then reads the leading digits into a
// magnitude that stops growing at cap.
//   "  -12x" -> 12, negative; "x" -> 0; "99999999999" with cap 2^32 -> 2^32
uint64_t leading_decimal(const char* text, bool* negative, uint64_t cap) {
    const char* p = text;
    while (*p && is_blank(*p))
        ++p;
    *negative = false;
    if (*p == '+' || *p == '-') {
        *negative = *p == '-';
        ++p;
    }
    uint64_t value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - '0');
        if (value > cap)
            value = cap;
    }
    return value;
}

// Unsigned base-10 conversion as the C library does it for a 32-bit unsigned long,
// stored as a signed 32-bit value.
//   "7" -> 7; "3x" -> 3; "x" -> 0; "-1" -> -1; "4294967295" -> -1;
//   "4294967296" -> -1 (out of range); "-4294967295" -> 1; "99999999999999999999" -> -1
int32_t parse_unsigned(const char* text) {
    bool negative;
    uint64_t value = leading_decimal(text, &negative, uint64_t{UINT32_MAX} + 1);
    if (value > UINT32_MAX)
        return -1; // out of range: 4294967295, whatever the sign
    uint32_t result = static_cast<uint32_t>(value);
    return static_cast<int32_t>(negative ? 0u - result : result);
}

// Signed base-10 conversion clamped to 32 bits.
//   "42" -> 42; "-7 days" -> -7; "+5" -> 5; "x" -> 0; "- 5" -> 0;
//   "2147483648" -> 2147483647; "-99999999999999999999" -> -2147483648
int32_t parse_signed(const char* text) {
    bool negative;
    const uint64_t limit = uint64_t{INT32_MAX} + 1;
    int64_t value = static_cast<int64_t>(leading_decimal(text, &negative, limit));
    if (negative)
        return value >= static_cast<int64_t>(limit) ? INT32_MIN : static_cast<int32_t>(-value);
    return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

} // namespace

int settings_read(SettingsList* list, const char* path) {
    if (!path)
        return 0;
    FILE* file = fopen(path, "r");
    if (!file)
        return 0;
    char line[kLineBuffer];
    while (fgets(line, sizeof line, file))
        parse_line(list, line);
    fclose(file);
    return 1;
}

const char* settings_get(const SettingsList* list, const char* key) {
    if (!key)
        return nullptr;
    const SettingEntry* e = find_entry(list, key);
    return e ? e->value : nullptr;
}

int32_t settings_get_int(const SettingsList* list, const char* key, int32_t def) {
    const char* value = settings_get(list, key);
    return value ? parse_signed(value) : def;
}

bool settings_text_equal(const char* a, const char* b) {
    return text_iequal(a, b);
}

uint32_t settings_parse_unsigned(const char* text) {
    return static_cast<uint32_t>(parse_unsigned(text));
}

void settings_free(SettingsList* list) {
    SettingEntry* e = list->head;
    while (e) {
        SettingEntry* next = e->next;
        free(e->key);
        free(e->value);
        free(e);
        e = next;
    }
    list->head = nullptr;
}

void settings_load_general(SettingsList* list, GeneralSettings* general, NoticeQueue* notices,
                           uint32_t now) {
    settings_free(list);
    copy_cut(general->date_format, sizeof general->date_format, "ddd yyyy-MM-dd");
    copy_cut(general->time_format, sizeof general->time_format, "HH:mm:ss");
    general->email_address[0] = '\0';
    general->email_days = 7;
    general->animate_start = 1;

    if (!settings_read(list, kSettingsFile)) {
        post_notice(notices, now, NOTICE_UNKEYED, 5000,
                    "Warning: Cannot open settings file 'lcdkorvane.txt'");
        return;
    }

    const char* not_edited = settings_get(list, "not_edited");
    if (not_edited && parse_unsigned(not_edited) != 0) {
        post_notice(notices, now, NOTICE_UNKEYED, 5000, "Please edit the 'lcdkorvane.txt' file!");
    }

    if (const char* v = settings_get(list, "email_address"))
        copy_cut(general->email_address, sizeof general->email_address, v);
    if (const char* v = settings_get(list, "date_format"))
        copy_cut(general->date_format, sizeof general->date_format, v);
    if (const char* v = settings_get(list, "time_format"))
        copy_cut(general->time_format, sizeof general->time_format, v);
    if (const char* v = settings_get(list, "email_days"))
        general->email_days = parse_unsigned(v);
    if (const char* v = settings_get(list, "animate_start"))
        general->animate_start = parse_unsigned(v);
}
