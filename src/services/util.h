// Error log "errors.txt", platform flags and the watch over host applications.
#pragma once
#include <cstddef>
#include <cstdint>

// Appends one line to "errors.txt": date, time, source file and line, the message
// and, when code is not 0, the code in hexadecimal with the system's text for it.
// Safe from any thread; each entry stays one line. Leaves the system error code as
// the caller had it; the caller clears it after its report (clear_system_error).
void log_error(const char* file, int line, uint32_t code, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Sets the system error code to 0, as every report site does right after its report
// (so the next report cannot carry a cause that belongs to this one). Nothing natively.
void clear_system_error();

// The error log's state, owned by the application record: the lock that keeps each
// entry one line while several threads write (a TriedLock of the Windows side).
// log_open makes it and makes it the one log_error uses; entries before that, and in
// the native build, are written without a lock.
struct TriedLock;
struct ErrorLog {
    TriedLock* lock;
};
void log_open(ErrorLog* log);

// Log line building, portable. Replaces every byte that is 31 or less as a signed
// char (controls and bytes 128..255) by a blank.
void log_blank_controls(char* text);
// Builds "date time | file(line) | message[ | %08x[=systext]]" without the line
// break into out (cap bytes); the message is cut to 1023 characters, message and
// system text are blanked as above. Returns the length written.
size_t log_build_line(char* out, size_t cap, const char* date, const char* time, const char* file,
                      int line, const char* message, uint32_t code, const char* systext);

// A pause of ms milliseconds begun at tick `start`: true once it has run out at tick
// `now`.
bool tick_wait_over(uint32_t start, uint32_t now, uint32_t ms);

// Compares the first n characters of a and b ignoring ASCII case (bytes from 0x80 up
// compare as they are); a text that ends earlier matches only where both end.
//   ("- WINAMP x", "- Winamp", 8) -> true; ("ab", "abc", 3) -> false
bool text_iequal_n(const char* a, const char* b, size_t n);
// Whole texts equal ignoring ASCII case: ("Date_Format", "date_format") -> true;
// ("\xC4", "\xE4") -> false (only ASCII letters fold); ("ab", "abc") -> false.
bool text_iequal(const char* a, const char* b);

// Little-endian numbers in records from other programs: {0x34, 0x12} -> 0x1234;
// {0xFE, 0xFF, 0xFF, 0xFF} -> 0xFFFFFFFE (a signed field casts it to -2).
uint16_t read_le16(const uint8_t* p);
uint32_t read_le32(const uint8_t* p);

// A window of another program, looked up by class and title (two round trips to the
// window system under Wine) and kept between looks, so a check that runs many times a
// second mostly asks whether the window found last still exists (one).
struct WindowWatch {
    void* window;    // found at the last lookup; null when none was
    uint32_t looked; // tick of that lookup
};
struct WindowWatchHost {
    void* (*find)();             // the lookup by class and title
    bool (*alive)(void* window); // the window still exists
};
// Whether the window exists at tick now. A lookup is made when none found a window,
// when the last one is a second old or more, and when the window found last is gone;
// otherwise that window is only checked. Appearing, vanishing and a new window of the
// program are therefore seen at the same check as with a lookup every time; a window
// renamed while it stays open is seen within a second.
bool window_watch_present(WindowWatch* w, uint32_t now, const WindowWatchHost* host);

struct OsFlags {
    int32_t is_wow64;
    int32_t vista_or_later;
};

// The program path of "LCDMon.exe" in the install directory dir (nullptr = empty):
// dir, a backslash unless dir already ends with one, "LCDMon.exe". False when it
// does not fit in cap bytes (out is then empty).
bool build_lcdmon_path(const char* dir, char* out, size_t cap);

// Windows glue (util_win.cpp).
void detect_os(OsFlags* os);
void* find_lcdmon_window();
void* find_ts2_window();
void* find_itunes_window();
extern const WindowWatchHost kTs2WindowHost;    // find_ts2_window, IsWindow
extern const WindowWatchHost kItunesWindowHost; // find_itunes_window, IsWindow
void check_restart_keys();
void launch_lcdmon(const char* install_path);
