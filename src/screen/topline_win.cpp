// Top line, Windows side: local date and time through the system formatters and the
// unread-mail count from the shell, which is looked up at run time.
#include <windows.h>

#include "core/app.h"
#include "screen/topline.h"

namespace {

constexpr const char* kSource = "src/topline";
constexpr LCID kUserDefaultLocale = 1024;
constexpr LCID kInvariantLocale = 127;
constexpr int kTextSize = 64;
constexpr int kAddressSize = 256;

using UnreadMailFn = HRESULT(WINAPI*)(HKEY user, LPCWSTR address, DWORD* count,
                                      const FILETIME* since, LPWSTR command, int command_len);

// Asks the shell for the unread count since email_days before `now`; any failure
// leaves the count at 0.
void refresh_unread(TopLine* top, const GeneralSettings* general, const SYSTEMTIME* now) {
    auto fn = reinterpret_cast<UnreadMailFn>(top->get_unread_count);
    FILETIME ft;
    if (!SystemTimeToFileTime(now, &ft)) {
        top->unread_count = 0;
        return;
    }
    int64_t t =
        static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
    t = topline_mail_filetime(t, general->email_days);
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(t));
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(t) >> 32);

    WCHAR wide[kAddressSize];
    const WCHAR* address = nullptr;
    if (general->email_address[0] != '\0' &&
        MultiByteToWideChar(CP_ACP, 0, general->email_address, -1, wide, kAddressSize) > 0) {
        wide[kAddressSize - 1] = 0;
        address = wide;
    }
    DWORD count = 0;
    const HRESULT r = fn(nullptr, address, &count, &ft, nullptr, 0);
    top->unread_count = (r == 0) ? count : 0;
}

} // namespace

void topline_init(TopLine* top) {
    top->shell_module = nullptr;
    top->unread_count = 0;
    top->get_unread_count = nullptr;
    HMODULE shell = LoadLibraryA("SHELL32.DLL");
    if (shell == nullptr) {
        log_error(kSource, 54, GetLastError(), "LoadLibrary(\"SHELL32.DLL\") failed");
        SetLastError(0);
        return;
    }
    top->shell_module = shell;
    FARPROC fn = GetProcAddress(shell, "SHGetUnreadMailCountW");
    if (fn == nullptr) {
        log_error(kSource, 61, GetLastError(), "Can't get address of SHGetUnreadMailCountW");
        SetLastError(0);
        return;
    }
    top->get_unread_count = reinterpret_cast<void*>(fn);
}

void topline_draw(App* app) {
    SYSTEMTIME now;
    GetLocalTime(&now);

    char date[kTextSize];
    char time[kTextSize];
    if (GetDateFormatA(kUserDefaultLocale, 0, &now, app->general.date_format, date, kTextSize) == 0)
        date[0] = '\0';
    if (GetTimeFormatA(kInvariantLocale, 0, &now, app->general.time_format, time, kTextSize) == 0)
        time[0] = '\0';

    TopLine* top = &app->topline;
    if (app->frame.one_second_tick && top->get_unread_count != nullptr)
        refresh_unread(top, &app->general, &now);

    topline_render(app_frame(app), date, time, top->unread_count);
}

void topline_close(TopLine* top) {
    if (top->shell_module != nullptr)
        FreeLibrary(static_cast<HMODULE>(top->shell_module));
    top->shell_module = nullptr;
    top->get_unread_count = nullptr;
}
