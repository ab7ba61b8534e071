// Network counter sources: the system's calls (NTDLL's NtCreateFile on the TCP
// device, DeviceIoControl, the NetworkCards registry key, the card devices).
#include <windows.h>

#include "meters/ndisstats.h"
#include "services/lookup_proc_win.h"
#include "services/util.h"

namespace {

constexpr char kSrc[] = "src/ndisstats";
constexpr char kCardsKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";

// The native records NtCreateFile takes, in the layout of the running program.
struct CountedWide {
    USHORT length;
    USHORT maximum_length;
    const wchar_t* buffer;
};
struct ObjectAttributes {
    ULONG length;
    HANDLE root;
    CountedWide* name;
    ULONG attributes;
    void* security_descriptor;
    void* security_qos;
};
struct IoStatus {
    union {
        LONG status;
        void* pointer;
    };
    ULONG_PTR information;
};
#ifndef _WIN64
static_assert(sizeof(ObjectAttributes) == 24, "OBJECT_ATTRIBUTES is 24 bytes in a 32-bit program");
#endif

typedef LONG(WINAPI* NtCreateFileFn)(HANDLE* handle, ULONG access, ObjectAttributes* attributes,
                                     IoStatus* status, LARGE_INTEGER* allocation,
                                     ULONG file_attributes, ULONG share, ULONG disposition,
                                     ULONG options, void* ea, ULONG ea_length);

uint32_t win_tick(void*) {
    return GetTickCount();
}

void win_tcp_open_device(void*, void** ntdll, void** device) {
    *device = net_invalid_handle();
    HMODULE m = LoadLibraryA("NTDLL.DLL");
    *ntdll = m;
    if (!m)
        return;
    NtCreateFileFn create = lookup_proc<NtCreateFileFn>(m, "NtCreateFile");
    if (!create)
        return;
    static const wchar_t kTcp[] = L"\\Device\\Tcp";
    CountedWide name = {22, 24, kTcp};
    ObjectAttributes attributes = {};
    attributes.length = sizeof attributes;
    attributes.name = &name;
    attributes.attributes = 0x40; // OBJ_CASE_INSENSITIVE
    IoStatus io = {};
    HANDLE h = INVALID_HANDLE_VALUE;
    LONG status = create(&h, 0x20100000, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, 3 /* FILE_OPEN_IF */,
                         0x20 /* FILE_SYNCHRONOUS_IO_NONALERT */, nullptr, 0);
    if (status >= 0)
        *device = h;
}

void win_free_library(void*, void* module) {
    FreeLibrary(static_cast<HMODULE>(module));
}

void win_close_handle(void*, void* handle) {
    CloseHandle(handle);
}

bool win_ioctl(void*, void* device, uint32_t code, const void* in, uint32_t in_bytes, void* out,
               uint32_t out_bytes, uint32_t* returned) {
    DWORD n = 0;
    BOOL ok =
        DeviceIoControl(device, code, const_cast<void*>(in), in_bytes, out, out_bytes, &n, nullptr);
    *returned = n;
    return ok != FALSE;
}

bool win_open_cards_key(void*, void** key) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCardsKey, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    *key = k;
    return true;
}

bool win_enum_subkey(void*, void* key, uint32_t index, char* name, uint32_t cap) {
    DWORD size = cap;
    return RegEnumKeyExA(static_cast<HKEY>(key), index, name, &size, nullptr, nullptr, nullptr,
                         nullptr) == ERROR_SUCCESS;
}

bool win_open_subkey(void*, void* key, const char* name, void** sub) {
    HKEY k = nullptr;
    if (RegOpenKeyExA(static_cast<HKEY>(key), name, 0, KEY_READ, &k) != ERROR_SUCCESS)
        return false;
    *sub = k;
    return true;
}

bool win_read_value(void*, void* key, const char* name, char* buf, uint32_t cap, uint32_t* bytes,
                    uint32_t* type) {
    DWORD size = cap, t = 0;
    if (RegQueryValueExA(static_cast<HKEY>(key), name, nullptr, &t, reinterpret_cast<BYTE*>(buf),
                         &size) != ERROR_SUCCESS)
        return false;
    *bytes = size;
    *type = t;
    return true;
}

void win_close_key(void*, void* key) {
    RegCloseKey(static_cast<HKEY>(key));
}

bool win_open_device(void*, const char* path, void** handle) {
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           INVALID_HANDLE_VALUE);
    *handle = h;
    return h != INVALID_HANDLE_VALUE;
}

void win_log(void*, int line, const char* message) {
    log_error(kSrc, line, GetLastError(), "%s", message);
    SetLastError(0);
}

const NetHost kWinHost = {win_tick,       win_tcp_open_device, win_free_library, win_close_handle,
                          win_ioctl,      win_open_cards_key,  win_enum_subkey,  win_open_subkey,
                          win_read_value, win_close_key,       win_open_device,  win_log,
                          nullptr};

} // namespace

const NetHost* net_system_host() {
    return &kWinHost;
}
