// Settings file "lcdkorvane.txt": key/value lines, one include, case-insensitive keys.
#pragma once
#include <cstdint>

struct NoticeQueue;

struct SettingEntry {
    char* key;   // as written in the file
    char* value; // never empty
    SettingEntry* next;
};

struct SettingsList {
    SettingEntry* head; // newest entry first
};

// General settings kept in the application state.
struct GeneralSettings {
    char email_address[256];
    char date_format[32];
    char time_format[32];
    int32_t email_days;
    int32_t animate_start;
};

// 1 when the file was read (into the list), 0 when it could not be opened.
int settings_read(SettingsList* list, const char* path);
const char* settings_get(const SettingsList* list, const char* key);
int32_t settings_get_int(const SettingsList* list, const char* key, int32_t def);
// Equal texts with ASCII letters compared without case ("Date_Format" == "date_format").
bool settings_text_equal(const char* a, const char* b);
// The leading number of a text read as the settings read unsigned values.
uint32_t settings_parse_unsigned(const char* text);
void settings_free(SettingsList* list);
// Start-up: defaults, read "lcdkorvane.txt" from the current directory, warnings as
// notices (now = tick count for the notice queue), general keys.
void settings_load_general(SettingsList* list, GeneralSettings* general, NoticeQueue* notices,
                           uint32_t now);
