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
//
// With "no_core_audio=1" in "sndhook.ini" it also makes the system look as before
// Vista to the applet's own code: the applet's import of CoCreateInstance answers
// REGDB_E_CLASSNOTREG for the Core Audio device enumerator (Wine's DirectSound and
// mixer, which need that enumerator themselves, still get it through their own
// imports). For that the library must be there before the applet's modules start:
// "mixerctl.exe hook early" also sets a WH_CBT hook, which loads it when the applet
// creates its window.
#include "../peerctl/peerctl.h"
#include "mixer_line.h"

namespace {

HMODULE g_self;
LONG g_started;

// The applet's CoCreateInstance, without the Core Audio device enumerator.
using CoCreateFn = HRESULT(WINAPI*)(REFCLSID, IUnknown*, DWORD, REFIID, void**);
CoCreateFn g_real_create;
const CLSID kEnumeratorClass = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};

HRESULT WINAPI create_without_enumerator(REFCLSID clsid, IUnknown* outer, DWORD context,
                                         REFIID iid, void** out) {
    if (IsEqualCLSID(clsid, kEnumeratorClass)) {
        if (out)
            *out = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return g_real_create(clsid, outer, context, iid, out);
}

// Points the main program's import of ole32's CoCreateInstance at the one above.
void hide_core_audio_from_the_applet() {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return;
    for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         imp->Name; ++imp) {
        if (_stricmp(reinterpret_cast<const char*>(base + imp->Name), "ole32.dll") != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (imp->OriginalFirstThunk ? imp->OriginalFirstThunk : imp->FirstThunk));
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), "CoCreateInstance") != 0)
                continue;
            DWORD old = 0;
            if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE,
                                &old))
                return;
            g_real_create = reinterpret_cast<CoCreateFn>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(&create_without_enumerator);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
            return;
        }
    }
}

// "no_core_audio=1" in sndhook.ini beside the library.
bool asked_to_hide_core_audio() {
    return peer_ini_number_of(g_self, "sndhook.ini", "no_core_audio", 0) != 0;
}

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

// One command line; the reply goes into out (cap bytes).
void run(const char* line, char* out, size_t cap) {
    if (std::strcmp(line, "SPEAKER") == 0 || std::strcmp(line, "KEEP") == 0) {
        IDirectSound* ds = nullptr;
        DWORD config = 0;
        if (direct_sound(&ds) != DS_OK || !ds) {
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
    MixerLine l;
    if (!mixer_open(l)) {
        std::snprintf(out, cap, "ERR no mixer");
        return;
    }
    MIXERCONTROLA vol, mute;
    bool has_vol = mixer_control(l, MIXERCONTROL_CONTROLTYPE_VOLUME, vol);
    bool has_mute = mixer_control(l, MIXERCONTROL_CONTROLTYPE_MUTE, mute);
    if (std::strcmp(line, "GET") == 0) {
        DWORD v = 0, m = 0;
        if (has_vol && has_mute && mixer_value(l, vol, &v, false) == MMSYSERR_NOERROR &&
            mixer_value(l, mute, &m, false) == MMSYSERR_NOERROR)
            std::snprintf(out, cap, "OK volume=%lu min=%lu max=%lu mute=%lu", v,
                          vol.Bounds.dwMinimum, vol.Bounds.dwMaximum, m);
        else
            std::snprintf(out, cap, "ERR controls");
    } else if (std::strncmp(line, "VOLUME ", 7) == 0 || std::strncmp(line, "MUTE ", 5) == 0) {
        bool is_vol = line[0] == 'V';
        DWORD v = std::strtoul(line + (is_vol ? 7 : 5), nullptr, 0);
        MMRESULT r = (is_vol ? has_vol : has_mute) ? mixer_value(l, is_vol ? vol : mute, &v, true)
                                                   : MMSYSERR_ERROR;
        std::snprintf(out, cap, r == MMSYSERR_NOERROR ? "OK" : "ERR set %u", r);
    } else {
        std::snprintf(out, cap, "ERR unknown command");
    }
    mixerClose(l.mixer);
}

bool handle(void*, char* line, char* out, size_t cap) {
    run(line, out, cap);
    return true; // served as long as the applet runs
}

DWORD WINAPI serve(void*) {
    static PeerChannel channel;
    unsigned short port = peer_port_of(g_self, "sndhook.ini", 0);
    channel.handler = handle;
    channel.accept_poll_ms = 5000;
    if (port == 0 || !peer_listen(&channel, port))
        return 0;
    return peer_serve(&channel);
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
            if (asked_to_hide_core_audio())
                hide_core_audio_from_the_applet();
            HANDLE t = CreateThread(nullptr, 0, serve, nullptr, 0, nullptr);
            if (t)
                CloseHandle(t);
        }
    }
    return TRUE;
}
