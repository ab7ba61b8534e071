// Registry text values (Windows glue only).
#pragma once
#include <windows.h>

#include <cstddef>

// Reads the text value `name` (nullptr: the key's default value) of an open key into
// out, at most cap - 1 bytes and always ending in a zero. A value of another type, or
// one longer than that, is a failure (false, out empty, the system's error code
// set).
bool reg_read_text(HKEY key, const char* name, char* out, size_t cap);
