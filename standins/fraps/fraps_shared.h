// The FRAPS stand-in's shared memory: the record its library hands out, and the
// program's switches.
#pragma once
#include <windows.h>

#define FRAPS_SHARED_NAME "KorvaneFrapsStandIn"

struct FrapsRecord {
    DWORD reserved;
    DWORD fps; // offset 4: frames per second, 0 = no game measured
    DWORD padding[14];
};

struct FrapsShared {
    FrapsRecord record;
    volatile LONG null_record; // FrapsSharedData answers null
    volatile LONG calls;       // FrapsSharedData calls in all processes
    volatile LONG hook_calls;  // hook procedure calls in all processes
    volatile LONG loads;       // processes the library was loaded into (this one too)
    volatile LONG last_pid;    // the last of them
    // Set by the program as it quits. A library that stays loaded in a process after
    // FRAPS ended (under Wine a hook's library is never unloaded) then lets go of this
    // record and, while a FRAPS started anew runs, answers that one's record instead:
    // the library serves the FRAPS that runs, not the one it first met.
    volatile LONG ended;
};
