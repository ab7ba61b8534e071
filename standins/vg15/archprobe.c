/* Tells vg15.py whether Wine here runs 32-bit Windows programs soundly. Prints
 * "archprobe ok pointer=4 wow64=1 sleep=300" and exits 0 only when it is a 32-bit
 * process whose second thread sleeps as long as asked and ends cleanly (broken
 * emulators start the program but return such sleeps early or crash the thread). */
#include <stdio.h>
#include <windows.h>

static DWORD WINAPI sleeper(LPVOID arg) {
    DWORD start = GetTickCount();
    Sleep(300);
    *(volatile DWORD*)arg = GetTickCount() - start;
    return 7;
}

int main(void) {
    typedef BOOL(WINAPI * IsWow64Fn)(HANDLE, BOOL*);
    volatile DWORD slept = 0;
    DWORD code = 0;
    BOOL wow64 = FALSE;
    IsWow64Fn is_wow64 =
        (IsWow64Fn)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "IsWow64Process");
    HANDLE t = CreateThread(NULL, 0, sleeper, (LPVOID)&slept, 0, NULL);
    if (!t) {
        printf("archprobe: CreateThread failed, error %lu\n", GetLastError());
        return 2;
    }
    if (WaitForSingleObject(t, 20000) != WAIT_OBJECT_0 || !GetExitCodeThread(t, &code) ||
        code != 7) {
        printf("archprobe: the thread did not end cleanly (exit code %lu)\n", code);
        return 3;
    }
    CloseHandle(t);
    if (is_wow64)
        is_wow64(GetCurrentProcess(), &wow64);
    if (sizeof(void*) != 4 || slept < 280 || slept > 10000) {
        printf("archprobe: got pointer=%u sleep=%lu, expected pointer=4 sleep=300\n",
               (unsigned)sizeof(void*), (unsigned long)slept);
        return 4;
    }
    printf("archprobe ok pointer=%u wow64=%d sleep=%lu\n", (unsigned)sizeof(void*), wow64 ? 1 : 0,
           (unsigned long)slept);
    return 0;
}
