// A critical section that is only ever tried (see tried_lock_win.h).
#include "services/tried_lock_win.h"

#include <windows.h>

struct TriedLock {
    CRITICAL_SECTION cs;
    volatile LONG refs;
};

TriedLock* tried_lock_create() {
    TriedLock* l =
        static_cast<TriedLock*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(TriedLock)));
    if (!l)
        return nullptr;
    InitializeCriticalSection(&l->cs);
    l->refs = 1;
    return l;
}

TriedLock* tried_lock_ref(TriedLock* l) {
    if (l)
        InterlockedIncrement(&l->refs);
    return l;
}

void tried_lock_unref(TriedLock* l) {
    if (l && InterlockedDecrement(&l->refs) == 0) {
        DeleteCriticalSection(&l->cs);
        HeapFree(GetProcessHeap(), 0, l);
    }
}

bool tried_lock_take(TriedLock* l, uint32_t wait_ms) {
    if (!l)
        return false;
    if (TryEnterCriticalSection(&l->cs))
        return true;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < wait_ms) {
        Sleep(1);
        if (TryEnterCriticalSection(&l->cs))
            return true;
    }
    return false;
}

void tried_lock_give(TriedLock* l) {
    LeaveCriticalSection(&l->cs);
}
