// Top line, Windows side: local date and time through the system formatters and the
// unread-mail count from the shell, which is looked up at run time.
#include <windows.h>

#include "core/app.h"
#include "screen/topline.h"

namespace {

constexpr const char* kSource = "src/topline";
constexpr LCID kUserDefaultLocale = 1024;
constexpr LCID kInvariantLocale = 127;
constexpr int kAddressSize = 256;

using UnreadMailFn = HRESULT(WINAPI*)(HKEY user, LPCWSTR address, DWORD* count,
                                      const FILETIME* since, LPWSTR command, int command_len);

void win_read_now(void*, const GeneralSettings* general, TopLineNow* now) {
    SYSTEMTIME st;
    GetLocalTime(&st);
    if (GetDateFormatA(kUserDefaultLocale, 0, &st, general->date_format, now->date,
                       TOPLINE_TEXT_SIZE) == 0)
        now->date[0] = '\0';
    if (GetTimeFormatA(kInvariantLocale, 0, &st, general->time_format, now->time,
                       TOPLINE_TEXT_SIZE) == 0)
        now->time[0] = '\0';
    FILETIME ft;
    now->file_time_ok = SystemTimeToFileTime(&st, &ft) != 0;
    now->file_time = now->file_time_ok
                         ? static_cast<int64_t>((static_cast<uint64_t>(ft.dwHighDateTime) << 32) |
                                                ft.dwLowDateTime)
                         : 0;
}

int32_t win_unread_mail(void*, void* fn, const char* address, int64_t since, uint32_t* count) {
    auto call = reinterpret_cast<UnreadMailFn>(fn);
    if (!call)
        return E_POINTER;
    WCHAR wide[kAddressSize];
    const WCHAR* wide_address = nullptr;
    if (address) {
        // An address that cannot be converted is a failed refresh, not a question
        // about every account.
        if (MultiByteToWideChar(CP_ACP, 0, address, -1, wide, kAddressSize) <= 0)
            return E_INVALIDARG;
        wide[kAddressSize - 1] = 0;
        wide_address = wide;
    }
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(since));
    ft.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(since) >> 32);
    DWORD n = 0;
    const HRESULT r = call(nullptr, wide_address, &n, &ft, nullptr, 0);
    *count = n;
    return static_cast<int32_t>(r);
}

const TopLineHost kWinHost = {win_read_now, win_unread_mail, nullptr};

} // namespace

const TopLineHost* topline_system_host() {
    return &kWinHost;
}

void topline_init(TopLine* top) {
    top->shell_module = nullptr;
    top->unread_count = 0;
    top->get_unread_count = nullptr;
    if (!top->host)
        top->host = topline_system_host();
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

void topline_close(TopLine* top) {
    if (top->shell_module != nullptr)
        FreeLibrary(static_cast<HMODULE>(top->shell_module));
    top->shell_module = nullptr;
    top->get_unread_count = nullptr;
}
