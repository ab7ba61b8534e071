// Native build: the error log without Windows, for the portable core and its tests.
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "services/util.h"

void log_open(ErrorLog*) {}

void clear_system_error() {}

void log_error(const char* file, int line, uint32_t code, const char* format, ...) {
    char msg[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(msg, sizeof msg, format, ap);
    va_end(ap);
    time_t t = time(nullptr);
    struct tm tmv;
    localtime_r(&t, &tmv);
    char date[32], tim[32];
    strftime(date, sizeof date, "%Y-%m-%d", &tmv);
    strftime(tim, sizeof tim, "%H:%M:%S", &tmv);
    char out[1400];
    size_t n = log_build_line(out, sizeof out - 1, date, tim, file, line, msg, code, nullptr);
    out[n++] = '\n';
    if (FILE* f = fopen("errors.txt", "a")) {
        fwrite(out, 1, n, f);
        fclose(f);
    }
}
