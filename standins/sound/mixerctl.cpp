// Sets and reads the sound system of a Wine prefix for the speaker module's tests:
// the master volume and mute of mixer device 0 (the speakers destination line), the
// DirectSound speaker configuration, and what Core Audio reports.
//
// Usage (prints one line "OK ..." or "ERR ..."; exit code 0 on success):
//   mixerctl get                 -> OK volume=V min=A max=B mute=M
//   mixerctl volume V            set the mixer volume control to V (raw value)
//   mixerctl mute 0|1            set the mixer mute control
//   mixerctl speaker             -> OK config=0xXXXXXXXX (DirectSound)
//   mixerctl speaker N           SetSpeakerConfig(N)
//   mixerctl hook                places sndhook.dll into the applet (runs until ended)
//   mixerctl probe               -> OK enumerator=hr endpoint=hr level=L mute=M dsound=hr
//                                   mixer=r version=major.minor
#include <windows.h>

#include <endpointvolume.h>
#include <mmdeviceapi.h>

#include "mixer_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const CLSID kEnumeratorClsid = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID kEnumeratorIid = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const IID kEndpointVolumeIid = {
    0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};

int fail(const char* what, unsigned long code) {
    std::printf("ERR %s %lu\n", what, code);
    return 1;
}

int probe() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    IMMDeviceEnumerator* e = nullptr;
    HRESULT he = CoCreateInstance(kEnumeratorClsid, nullptr, CLSCTX_INPROC_SERVER, kEnumeratorIid,
                                  reinterpret_cast<void**>(&e));
    HRESULT hd = E_FAIL;
    float level = -1.0f;
    BOOL mute = 0;
    if (e) {
        IMMDevice* d = nullptr;
        hd = e->GetDefaultAudioEndpoint(eRender, eConsole, &d);
        if (d) {
            IAudioEndpointVolume* v = nullptr;
            d->Activate(kEndpointVolumeIid, CLSCTX_INPROC_SERVER, nullptr,
                        reinterpret_cast<void**>(&v));
            if (v) {
                v->GetMasterVolumeLevelScalar(&level);
                v->GetMute(&mute);
                v->Release();
            }
            d->Release();
        }
        e->Release();
    }
    IDirectSound* ds = nullptr;
    HRESULT hs = direct_sound(&ds);
    MixerLine m;
    bool mixer = mixer_open(m);
    if (mixer)
        mixerClose(m.mixer);
    std::printf("productinfo=%d ",
                GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetProductInfo") ? 1 : 0);
    OSVERSIONINFOA vi;
    std::memset(&vi, 0, sizeof vi);
    vi.dwOSVersionInfoSize = sizeof vi;
    GetVersionExA(&vi);
    std::printf("OK enumerator=0x%08lx endpoint=0x%08lx level=%.3f mute=%d dsound=0x%08lx mixer=%d "
                "version=%lu.%lu\n",
                static_cast<unsigned long>(he), static_cast<unsigned long>(hd), level,
                static_cast<int>(mute), static_cast<unsigned long>(hs), mixer ? 1 : 0,
                vi.dwMajorVersion, vi.dwMinorVersion);
    CoUninitialize();
    return 0;
}

} // namespace

// Places sndhook.dll into the applet through a global message hook and keeps the hook
// until this program is ended: posts a harmless WM_NULL to the applet's window, so its
// message pump calls the hook (which loads the library there). Each applet window gets
// a few such posts over its first seconds, then none: once loaded the library stays,
// and a message every 250 ms would cost the applet a hook chain each time.
constexpr int kPostsPerWindow = 20; // one every 250 ms: the applet's first 5 s

int hook(bool early) {
    HMODULE lib = LoadLibraryA("sndhook.dll");
    HOOKPROC proc = lib ? reinterpret_cast<HOOKPROC>(
                              reinterpret_cast<void*>(GetProcAddress(lib, "SndHookProc@12")))
                        : nullptr;
    if (lib && !proc)
        proc =
            reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(lib, "SndHookProc")));
    if (!proc)
        return fail("sndhook.dll", GetLastError());
    HHOOK h = SetWindowsHookExA(WH_GETMESSAGE, proc, lib, 0);
    if (!h)
        return fail("SetWindowsHookEx", GetLastError());
    // "early": also loaded when the applet creates its window, before its modules start.
    if (early && !SetWindowsHookExA(WH_CBT, proc, lib, 0))
        return fail("SetWindowsHookEx(WH_CBT)", GetLastError());
    std::printf("OK hooked\n");
    std::fflush(stdout);
    HWND posted_to = nullptr;
    int posts = 0;
    for (;;) {
        HWND applet = FindWindowA("LCDKorvaneWnd", "LCDKorvane");
        if (applet != posted_to) {
            posted_to = applet;
            posts = 0;
        }
        if (applet && posts < kPostsPerWindow) {
            PostMessageA(applet, WM_NULL, 0, 0);
            ++posts;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 250, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
}

int main(int argc, char** argv) {
    if (argc < 2)
        return fail("usage", 0);
    const char* cmd = argv[1];
    if (std::strcmp(cmd, "hook") == 0)
        return hook(argc > 2 && std::strcmp(argv[2], "early") == 0);
    if (std::strcmp(cmd, "probe") == 0)
        return probe();
    if (std::strcmp(cmd, "speaker") == 0) {
        IDirectSound* ds = nullptr;
        HRESULT hr = direct_sound(&ds);
        if (FAILED(hr) || !ds)
            return fail("DirectSoundCreate", static_cast<unsigned long>(hr));
        if (argc > 2) {
            hr = ds->SetSpeakerConfig(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 0)));
            if (FAILED(hr))
                return fail("SetSpeakerConfig", static_cast<unsigned long>(hr));
            std::printf("OK\n");
            return 0;
        }
        DWORD config = 0;
        hr = ds->GetSpeakerConfig(&config);
        if (FAILED(hr))
            return fail("GetSpeakerConfig", static_cast<unsigned long>(hr));
        std::printf("OK config=0x%08lx\n", config);
        return 0;
    }
    // Mixer commands, several in one run: "volume 100 mute 1 get".
    int rc = 0;
    for (int i = 1; i < argc && rc == 0; ++i) {
        MixerLine m;
        if (!mixer_open(m))
            return fail("mixer", 0);
        MIXERCONTROLA vol, mute;
        bool has_vol = mixer_control(m, MIXERCONTROL_CONTROLTYPE_VOLUME, vol);
        bool has_mute = mixer_control(m, MIXERCONTROL_CONTROLTYPE_MUTE, mute);
        if (std::strcmp(argv[i], "get") == 0) {
            DWORD v = 0, mu = 0;
            if (!has_vol || mixer_value(m, vol, &v, false) != MMSYSERR_NOERROR)
                rc = fail("volume", 0);
            else if (!has_mute || mixer_value(m, mute, &mu, false) != MMSYSERR_NOERROR)
                rc = fail("mute", 0);
            else
                std::printf("OK volume=%lu min=%lu max=%lu mute=%lu\n", v, vol.Bounds.dwMinimum,
                            vol.Bounds.dwMaximum, mu);
        } else if ((std::strcmp(argv[i], "volume") == 0 || std::strcmp(argv[i], "mute") == 0) &&
                   i + 1 < argc) {
            bool is_vol = argv[i][0] == 'v';
            DWORD v = std::strtoul(argv[++i], nullptr, 0);
            MMRESULT r = (is_vol ? has_vol : has_mute)
                             ? mixer_value(m, is_vol ? vol : mute, &v, true)
                             : MMSYSERR_ERROR;
            rc = r == MMSYSERR_NOERROR ? (std::printf("OK\n"), 0) : fail("set", r);
        } else {
            rc = fail("usage", 0);
        }
        mixerClose(m.mixer);
    }
    return rc;
}
