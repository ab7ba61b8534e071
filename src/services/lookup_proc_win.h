// Run-time lookup of an optional function (Windows glue only).
#pragma once
#include <windows.h>

// The export `name` of module m as a function pointer of type F, or null.
template <typename F> F lookup_proc(HMODULE m, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}
