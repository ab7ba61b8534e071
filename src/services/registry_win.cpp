// Registry text values.
#include "services/registry_win.h"

bool reg_read_text(HKEY key, const char* name, char* out, size_t cap) {
    if (cap == 0)
        return false;
    out[0] = '\0';
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(cap - 1);
    LONG r = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &size);
    if (r == ERROR_SUCCESS && type != REG_SZ && type != REG_EXPAND_SZ)
        r = ERROR_INVALID_DATA;
    if (r != ERROR_SUCCESS) {
        out[0] = '\0';
        SetLastError(static_cast<DWORD>(r));
        return false;
    }
    out[size < cap - 1 ? size : cap - 1] = '\0';
    return true;
}
