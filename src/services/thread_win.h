// Helper threads of the modules (the TeamSpeak pollers): started at the priority asked
// for before they run, and let go of without ever being terminated.
#pragma once
#include <windows.h>

#include <cstdint>

// Starts body(param), at the lowest priority when asked (set while it is still
// suspended); *slot holds its handle before it runs. False when none was started.
inline bool thread_start(LPTHREAD_START_ROUTINE body, void* param, bool lowest, void** slot) {
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, body, param, CREATE_SUSPENDED, &id);
    if (!t)
        return false;
    if (lowest)
        SetThreadPriority(t, THREAD_PRIORITY_LOWEST);
    *slot = t;
    ResumeThread(t);
    return true;
}

// Waits up to ms for the thread in *slot to end, then closes its handle; the thread
// itself may run on.
inline void thread_forget(void** slot, uint32_t ms) {
    if (!*slot)
        return;
    if (ms)
        WaitForSingleObject(static_cast<HANDLE>(*slot), ms);
    CloseHandle(static_cast<HANDLE>(*slot));
    *slot = nullptr;
}
