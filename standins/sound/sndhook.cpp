// A library placed into the applet's process through a global message hook, so a test
// can change what the applet's sound system reports. Wine keeps the mixer's volume
// and mute, and DirectSound's speaker configuration, per process: set from another
// program they never reach the applet. Loaded into "LCDKorvane.exe", it serves a
// control channel on 127.0.0.1 (port from "sndhook.ini" beside it) and makes the mixer
// and DirectSound calls there; in every other process it does nothing.
//
// Commands (one line each, answered "OK ..." or "ERR ..."):
//   GET            -> "OK volume=V min=A max=B mute=M" (mixer device 0, speakers line)
//   VOLUME V       sets the volume control to the raw value V
//   MUTE 0|1       sets the mute control
//   SPEAKER        -> "OK config=0xXXXXXXXX" (DirectSound speaker configuration)
//   KEEP           from now on DirectSound keeps the configuration it is given, as
//                  before Vista (Wine ignores SetSpeakerConfig)
// winsock2.h before windows.h
#include <winsock2.h>

#include <windows.h>

#include <dsound.h>
#include <mmsystem.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HMODULE g_self;
LONG g_started;

struct Line {
    HMIXER mixer;
    DWORD line_id;
};

bool open_line(Line& l) {
    if (mixerOpen(&l.mixer, 0, 0, 0, MIXER_OBJECTF_MIXER) != MMSYSERR_NOERROR)
        return false;
    MIXERLINEA line;
    std::memset(&line, 0, sizeof line);
    line.cbStruct = sizeof line;
    line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    if (mixerGetLineInfoA(reinterpret_cast<HMIXEROBJ>(l.mixer), &line,
                          MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE) !=
        MMSYSERR_NOERROR) {
        mixerClose(l.mixer);
        return false;
    }
    l.line_id = line.dwLineID;
    return true;
}

bool find_control(Line& l, DWORD type, MIXERCONTROLA& c) {
    MIXERLINECONTROLSA lc;
    std::memset(&lc, 0, sizeof lc);
    std::memset(&c, 0, sizeof c);
    lc.cbStruct = sizeof lc;
    lc.dwLineID = l.line_id;
    lc.dwControlType = type;
    lc.cControls = 1;
    lc.cbmxctrl = sizeof c;
    lc.pamxctrl = &c;
    return mixerGetLineControlsA(reinterpret_cast<HMIXEROBJ>(l.mixer), &lc,
                                 MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE) ==
           MMSYSERR_NOERROR;
}

MMRESULT details(Line& l, const MIXERCONTROLA& c, DWORD* v, bool set) {
    MIXERCONTROLDETAILS d;
    std::memset(&d, 0, sizeof d);
    d.cbStruct = sizeof d;
    d.dwControlID = c.dwControlID;
    d.cChannels = 1;
    d.cbDetails = sizeof(DWORD);
    d.paDetails = v;
    HMIXEROBJ obj = reinterpret_cast<HMIXEROBJ>(l.mixer);
    return set ? mixerSetControlDetails(obj, &d,
                                        MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE)
               : mixerGetControlDetailsA(obj, &d,
                                         MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
}

typedef HRESULT(WINAPI* DirectSoundCreateFn)(LPCGUID, IDirectSound**, IUnknown*);

// Windows before Vista keeps the speaker configuration that SetSpeakerConfig is given;
// Wine 8 (like Vista and later) ignores it. "KEEP" makes this process's DirectSound
// objects keep it, by pointing the two entries of their (shared) method table here.
volatile LONG g_kept_config;

HRESULT STDMETHODCALLTYPE kept_get(IDirectSound*, DWORD* config) {
    if (!config)
        return DSERR_INVALIDPARAM;
    *config = static_cast<DWORD>(g_kept_config);
    return DS_OK;
}

HRESULT STDMETHODCALLTYPE kept_set(IDirectSound*, DWORD config) {
    InterlockedExchange(&g_kept_config, static_cast<LONG>(config));
    return DS_OK;
}

bool keep_speaker_config(IDirectSound* ds) {
    DWORD config = 0;
    ds->GetSpeakerConfig(&config);
    g_kept_config = static_cast<LONG>(config);
    void** table = *reinterpret_cast<void***>(ds);
    const int get_index = 8, set_index = 9; // IUnknown (3), then the IDirectSound methods
    DWORD old = 0;
    if (!VirtualProtect(table + get_index, 2 * sizeof(void*), PAGE_READWRITE, &old))
        return false;
    table[get_index] = reinterpret_cast<void*>(&kept_get);
    table[set_index] = reinterpret_cast<void*>(&kept_set);
    VirtualProtect(table + get_index, 2 * sizeof(void*), old, &old);
    return true;
}

void run(const char* line, char* out, size_t cap) {
    if (std::strcmp(line, "SPEAKER") == 0 || std::strcmp(line, "KEEP") == 0) {
        HMODULE lib = LoadLibraryA("dsound.dll");
        DirectSoundCreateFn create =
            lib ? reinterpret_cast<DirectSoundCreateFn>(
                      reinterpret_cast<void*>(GetProcAddress(lib, "DirectSoundCreate")))
                : nullptr;
        IDirectSound* ds = nullptr;
        DWORD config = 0;
        if (!create || create(nullptr, &ds, nullptr) != DS_OK || !ds) {
            std::snprintf(out, cap, "ERR no DirectSound");
            return;
        }
        if (line[0] == 'K') {
            bool kept = keep_speaker_config(ds);
            ds->Release();
            std::snprintf(out, cap, kept ? "OK" : "ERR method table");
            return;
        }
        HRESULT hr = ds->GetSpeakerConfig(&config);
        ds->Release();
        if (hr != DS_OK)
            std::snprintf(out, cap, "ERR GetSpeakerConfig 0x%08lx", static_cast<unsigned long>(hr));
        else
            std::snprintf(out, cap, "OK config=0x%08lx", config);
        return;
    }
    Line l;
    if (!open_line(l)) {
        std::snprintf(out, cap, "ERR no mixer");
        return;
    }
    MIXERCONTROLA vol, mute;
    bool has_vol = find_control(l, MIXERCONTROL_CONTROLTYPE_VOLUME, vol);
    bool has_mute = find_control(l, MIXERCONTROL_CONTROLTYPE_MUTE, mute);
    if (std::strcmp(line, "GET") == 0) {
        DWORD v = 0, m = 0;
        if (has_vol && has_mute && details(l, vol, &v, false) == MMSYSERR_NOERROR &&
            details(l, mute, &m, false) == MMSYSERR_NOERROR)
            std::snprintf(out, cap, "OK volume=%lu min=%lu max=%lu mute=%lu", v,
                          vol.Bounds.dwMinimum, vol.Bounds.dwMaximum, m);
        else
            std::snprintf(out, cap, "ERR controls");
    } else if (std::strncmp(line, "VOLUME ", 7) == 0 || std::strncmp(line, "MUTE ", 5) == 0) {
        bool is_vol = line[0] == 'V';
        DWORD v = std::strtoul(line + (is_vol ? 7 : 5), nullptr, 0);
        MMRESULT r = (is_vol ? has_vol : has_mute) ? details(l, is_vol ? vol : mute, &v, true)
                                                   : MMSYSERR_ERROR;
        std::snprintf(out, cap, r == MMSYSERR_NOERROR ? "OK" : "ERR set %u", r);
    } else {
        std::snprintf(out, cap, "ERR unknown command");
    }
    mixerClose(l.mixer);
}

int port_from_ini() {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(g_self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    char* slash = std::strrchr(path, '\\');
    std::strcpy(slash ? slash + 1 : path, "sndhook.ini");
    FILE* f = std::fopen(path, "r");
    if (!f)
        return 0;
    char text[128];
    long port = 0;
    while (std::fgets(text, sizeof text, f))
        if (_strnicmp(text, "port=", 5) == 0)
            port = std::strtol(text + 5, nullptr, 10);
    std::fclose(f);
    return port > 0 && port < 65536 ? static_cast<int>(port) : 0;
}

DWORD WINAPI serve(void*) {
    int port = port_from_ini();
    WSADATA wsa;
    if (port == 0 || WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 0;
    SOCKET listener = INVALID_SOCKET;
    for (int attempt = 0; attempt < 50 && listener == INVALID_SOCKET; ++attempt) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<u_short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(s, 4) == 0) {
            listener = s;
        } else {
            closesocket(s);
            Sleep(100);
        }
    }
    if (listener == INVALID_SOCKET)
        return 0;
    for (;;) {
        SOCKET s = accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return 0;
        char line[256];
        size_t n = 0;
        for (;;) {
            char c;
            if (recv(s, &c, 1, 0) <= 0)
                break;
            if (c == '\r')
                continue;
            if (c != '\n') {
                if (n + 1 < sizeof line)
                    line[n++] = c;
                continue;
            }
            line[n] = '\0';
            n = 0;
            char out[256];
            run(line, out, sizeof out - 1);
            size_t len = std::strlen(out);
            out[len++] = '\n';
            send(s, out, static_cast<int>(len), 0);
        }
        closesocket(s);
    }
}

bool in_applet() {
    char path[MAX_PATH + 1];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return false;
    path[n] = '\0';
    const char* name = std::strrchr(path, '\\');
    name = name ? name + 1 : path;
    return _stricmp(name, "LCDKorvane.exe") == 0;
}

} // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK SndHookProc(int code, WPARAM wp, LPARAM lp) {
    return CallNextHookEx(nullptr, code, wp, lp);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_self = instance;
        DisableThreadLibraryCalls(instance);
        if (in_applet() && InterlockedExchange(&g_started, 1) == 0) {
            // Pin the library: the hook's end must not unload a running server thread.
            HMODULE pinned = nullptr;
            GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_PIN,
                               reinterpret_cast<const char*>(&g_started), &pinned);
            HANDLE t = CreateThread(nullptr, 0, serve, nullptr, 0, nullptr);
            if (t)
                CloseHandle(t);
        }
    }
    return TRUE;
}
