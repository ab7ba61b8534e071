// Speaker set-up module "SPK".
#include "modules/mod_spk.h"

#include <cmath>
#include <cstring>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "screen/slots.h"
#include "services/settings.h"
#include "services/util.h"

namespace {

const char kSpkTag[] = "SPK";
const char kSrc[] = "src/vista_spk";

struct ConfigName {
    const char* text;
    int32_t value;
};
const ConfigName kConfigNames[] = {
    {"headphone", SPK_HEADPHONE},
    {"mono", SPK_MONO},
    {"quad", SPK_QUAD},
    {"stereo", SPK_STEREO},
    {"surround", SPK_SURROUND},
    {"5.1", SPK_5POINT1},
    {"7.1wide", SPK_7POINT1_WIDE},
    {"7.1", SPK_7POINT1_SURROUND},
};

struct MaskValue {
    uint32_t mask;
    int32_t value;
};
// The published KSAUDIO_SPEAKER_* channel masks.
const MaskValue kMasks[] = {
    {0x3, SPK_STEREO},
    {0x4, SPK_MONO},
    {0x33, SPK_QUAD},
    {0x107, SPK_SURROUND},
    {0x3F, SPK_5POINT1},
    {0xFF, SPK_7POINT1_WIDE},
    {0x63F, SPK_7POINT1_SURROUND},
};

constexpr int kPictureWidth = 14;
constexpr int kPictureRows = 13;
constexpr int kMuteWidth = 13;

// Configuration pictures 1..8, 14 x 13 each, drawn at (x + 2, y + 8).
const char* const kConfigPictures[8] = {
    // 1 headphone
    "     XXXX     "
    "   XX    XX   "
    "  X        X  "
    " X          X "
    " X          X "
    "X            X"
    "X X        X X"
    "XXX        XXX"
    "XXX        XXX"
    " XX        XX "
    " XX        XX "
    "  X        X  "
    "              ",
    // 2 mono
    "              "
    "    XXXXXX    "
    "    XX  XX    "
    "    XX  XX    "
    "    XXXXXX    "
    "    XXXXXX    "
    "    XX  XX    "
    "    X XX X    "
    "    X XX X    "
    "    XX  XX    "
    "    XXXXXX    "
    "              "
    "              ",
    // 3 quad
    " XX        XX "
    "XX          XX"
    "X       X    X"
    "       XX     "
    "      XXX     "
    "     X XX     "
    "    X  XX     "
    "   XXXXXXX    "
    "       XX     "
    "X      XX    X"
    "XX          XX"
    " XX        XX "
    "              ",
    // 4 stereo
    "              "
    "XXXXXX  XXXXXX"
    "XX  XX  XX  XX"
    "XX  XX  XX  XX"
    "XXXXXX  XXXXXX"
    "XXXXXX  XXXXXX"
    "XX  XX  XX  XX"
    "X XX X  X XX X"
    "X XX X  X XX X"
    "XX  XX  XX  XX"
    "XXXXXX  XXXXXX"
    "              "
    "              ",
    // 5 surround
    "     XXXX     "
    " XX XXXXXX XX "
    "XX          XX"
    "X            X"
    "              "
    "XX X X XX  XX "
    "X  X X X X X X"
    " X X X XX  XX "
    "XX XXX X X X X"
    "              "
    "X            X"
    "XX          XX"
    " XX        XX ",
    // 6 5.1
    "     XXXX     "
    " XX XXXXXX XX "
    "XX          XX"
    "X  XXXXXXXX  X"
    "  XX  XXX XX  "
    "  XX XXXX XX  "
    "  XX  XXX XX  "
    "  XXX XXX XX  "
    "  XX  X X XX  "
    "X  XXXXXXXX  X"
    "XX          XX"
    " XX        XX "
    "              ",
    // 7 7.1 wide
    "XX XX XX XX XX"
    "X            X"
    "   XXXXXXXX   "
    "  XX  XXX XX  "
    "X XXX XXX XX X"
    "X XXX XXX XX X"
    "X XXX XXX XX X"
    "  XXX X X XX  "
    "   XXXXXXXX   "
    "              "
    "  XX   X   X  "
    "   XX XXX X   "
    "    XX  XX    ",
    // 8 7.1 surround
    "     XXXX     "
    " XX XXXXXX XX "
    "XX          XX"
    "X  XXXXXXXX  X"
    "  XX  XXX XX  "
    "X XXX XXX XX X"
    "X XXX XXX XX X"
    "X XXX XXX XX X"
    "  XXX X X XX  "
    "X  XXXXXXXX  X"
    "XX          XX"
    " XX        XX "
    "              ",
};

// The mute mark, 13 x 13, drawn at (x + 18, y + 8).
const char kMuteMark[] = "       XXX   "
                         "       XXX   "
                         "      XXXX   "
                         "     XXXXX XX"
                         "    XXXXXXX  "
                         " XXXXXXX     "
                         " XXXXX  XX   "
                         " XXX  XXXX   "
                         "   XXXXXXX   "
                         " XX  XXXXX   "
                         "X     XXXX   "
                         "       XXX   "
                         "       XXX   ";

static_assert(sizeof kMuteMark == kMuteWidth * kPictureRows + 1, "mute mark is 13 x 13");

// A column of the ramp: height h rising from row y + 20 (nothing when h <= 0).
void ramp_column(LcdBitmap* frame, int x, int y, int32_t h) {
    for (int32_t r = 0; r < h; ++r)
        draw_pixel(frame, x, y + 20 - r);
}

const char* const kRegistryTexts[] = {
    nullptr,
    "can't open the MMDevices\\Audio\\Render key",
    "failed to open Render subkey '%s'",
    "Render value is not DWORD in key '%s'",
    "found no subkeys of Render",
};

// FNV-1a over the problems' kinds, codes and key names.
uint32_t registry_fingerprint(const SpkRegistryRead* read) {
    uint32_t h = 2166136261u;
    auto mix = [&h](uint32_t v) {
        for (int i = 0; i < 4; ++i) {
            h ^= (v >> (8 * i)) & 0xFF;
            h *= 16777619u;
        }
    };
    for (int32_t i = 0; i < read->count && i < SPK_REGISTRY_PROBLEMS; ++i) {
        mix(static_cast<uint32_t>(read->problems[i].kind));
        mix(read->problems[i].error);
        for (size_t k = 0; k < SPK_KEY_NAME && read->problems[i].key[k]; ++k)
            mix(static_cast<uint8_t>(read->problems[i].key[k]));
    }
    return read->count > 0 ? h : 0;
}

} // namespace

// ("5.1", 6) -> 6; ("HEADPHONE", 6) -> 1; ("7.1", 6) -> 8; ("7.1wide", 6) -> 7;
// ("6.1", 6) -> 6; (null, 1) -> 1.
int32_t spk_config_from_text(const char* text, int32_t def) {
    if (!text)
        return def;
    for (const ConfigName& c : kConfigNames)
        if (text_iequal(text, c.text))
            return c.value;
    return def;
}

// 0x3 -> 4 (stereo); 0x3F -> 6 (5.1); 0x63F -> 8. Any other layout has no picture:
// 0x7 -> 0 (read as a value it would show the 7.1 picture for three speakers).
int32_t spk_config_from_mask(uint32_t mask) {
    for (const MaskValue& m : kMasks)
        if (m.mask == mask)
            return m.value;
    return SPK_NONE;
}

// (current 8, speaker 8, headphone 4) -> 4; (4, 8, 4) -> 8; (3, 8, 4) -> 8.
int32_t spk_next_config(int32_t current, int32_t speaker_setup, int32_t headphone_setup) {
    return current == speaker_setup ? headphone_setup : speaker_setup;
}

// (0, 65535, 32759) -> 9; (0, 65535, 32767) -> 10; (0, 65535, 65535) -> 20;
// (0, 19, 19) -> 0 (a range under 20 steps has no step); a value outside the bounds
// (a faulty driver) is held to them: (100, 200, 50) -> 0, (0, 100, 500) -> 20.
int32_t spk_mixer_level(uint32_t minimum, uint32_t maximum, uint32_t value) {
    if (maximum <= minimum)
        return 0;
    uint32_t step = (maximum - minimum) / SPK_LEVELS;
    if (step == 0)
        return 0;
    if (value <= minimum)
        return 0;
    uint32_t level = (value - minimum) / step;
    return level > SPK_LEVELS ? SPK_LEVELS : static_cast<int32_t>(level);
}

// 20.0 -> 20; 9.99 -> 9; -1.0 (never read) -> -1; 25.0 -> 20; NaN -> -1.
int32_t spk_volume_level(float volume) {
    if (std::isnan(volume))
        return -1;
    if (volume > static_cast<float>(SPK_LEVELS))
        return SPK_LEVELS;
    if (volume < -1.0f)
        return -1;
    return static_cast<int32_t>(volume);
}

// Level 20 unmuted fills columns x+32..x+36 with heights 16..20; muted keeps the two
// outer columns and only the top pixel of the three inner ones, plus the mute mark.
void spk_draw_ramp(LcdBitmap* frame, int x, int y, int32_t level, int32_t muted) {
    const int32_t l = level;
    ramp_column(frame, x + 32, y, l - 4);
    ramp_column(frame, x + 36, y, l);
    if (!muted) {
        ramp_column(frame, x + 33, y, l - 3);
        ramp_column(frame, x + 34, y, l - 2);
        ramp_column(frame, x + 35, y, l - 1);
        return;
    }
    if (l > 3)
        draw_pixel(frame, x + 33, y + 24 - l);
    if (l > 2)
        draw_pixel(frame, x + 34, y + 23 - l);
    if (l > 1)
        draw_pixel(frame, x + 35, y + 22 - l);
    draw_picture(frame, 0, x + 18, y + 8, kMuteWidth, kPictureRows, kMuteMark);
}

void spk_draw_config(LcdBitmap* frame, int x, int y, int32_t config) {
    if (config < 1 || config > 8)
        return;
    draw_picture(frame, 0, x + 2, y + 8, kPictureWidth, kPictureRows, kConfigPictures[config - 1]);
}

void spk_log_registry(const SpkRegistryRead* read, uint32_t* report) {
    uint32_t fingerprint = registry_fingerprint(read);
    if (fingerprint == *report)
        return;
    *report = fingerprint;
    for (int32_t i = 0; i < read->count && i < SPK_REGISTRY_PROBLEMS; ++i) {
        int32_t kind = read->problems[i].kind;
        if (kind < SPK_REG_NO_RENDER_KEY || kind > SPK_REG_NO_SUBKEYS)
            continue;
        char key[SPK_KEY_NAME];
        memcpy(key, read->problems[i].key, sizeof key);
        key[sizeof key - 1] = '\0';
        switch (kind) {
        case SPK_REG_NO_RENDER_KEY:
            log_error(kSrc, 80, read->problems[i].error, "%s", kRegistryTexts[kind]);
            clear_system_error();
            break;
        case SPK_REG_SUBKEY:
            log_error(kSrc, 95, read->problems[i].error, "failed to open Render subkey '%s'", key);
            clear_system_error();
            break;
        case SPK_REG_NOT_DWORD:
            log_error(kSrc, 104, read->problems[i].error, "Render value is not DWORD in key '%s'",
                      key);
            clear_system_error();
            break;
        default:
            log_error(kSrc, 117, read->problems[i].error, "%s", kRegistryTexts[kind]);
            clear_system_error();
            break;
        }
    }
}

void mod_spk_init(App* app) {
    SpkModule* spk = &app->spk;
    spk->tag = kSpkTag;
    spk->speaker_setup = SPK_5POINT1;
    spk->headphone_setup = SPK_HEADPHONE;
    spk->direct_sound = 0;
    spk->enumerator = 0;
    spk->volume = -1.0f;
    spk->muted = 0;
    spk->configuration = SPK_NONE;
    spk->registry_report = 0;
    spk->ds_library = nullptr;
    spk->ds_object = nullptr;
    spk->enumerator_object = nullptr;
    spk->com_ready = 0;
    if (!spk->host)
        spk->host = spk_system_host();
    spk->direct_sound = spk->host->open_direct_sound(spk) ? 1 : 0;
    spk->speaker_setup =
        spk_config_from_text(settings_get(&app->settings, "speaker_setup"), spk->speaker_setup);
    spk->headphone_setup =
        spk_config_from_text(settings_get(&app->settings, "headphone_setup"), spk->headphone_setup);
    spk->enumerator = spk->host->open_enumerator(spk) ? 1 : 0;
}

void mod_spk_update(App*) {}

namespace {

int draw_direct_sound(App* app, int slot) {
    SpkModule* spk = &app->spk;
    if (!spk->direct_sound)
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, kSpkTag);
    int32_t current = spk->host->get_speaker_config(spk);

    SpkMixer mixer;
    memset(&mixer, 0, sizeof mixer);
    if (spk->host->read_mixer(spk, &mixer)) {
        int32_t level =
            mixer.has_volume ? spk_mixer_level(mixer.minimum, mixer.maximum, mixer.value) : 0;
        spk_draw_ramp(frame, s->x, s->y, level, mixer.mute ? 1 : 0);
    }

    if (s->button == 1) {
        s->button = 0;
        int32_t next = spk_next_config(current, spk->speaker_setup, spk->headphone_setup);
        spk->host->set_speaker_config(spk, next);
        current = next;
    }
    spk_draw_config(frame, s->x, s->y, current);
    return 1;
}

// Reads volume, mute and configuration anew; false when there is no default output.
bool refresh_core_audio(App* app) {
    SpkModule* spk = &app->spk;
    float scalar = 0.0f;
    int32_t scalar_ok = 0, muted = 0;
    if (!spk->host->read_endpoint(spk, &scalar, &scalar_ok, &muted))
        return false;
    spk->muted = muted ? 1 : 0;
    if (scalar_ok && !std::isnan(scalar))
        spk->volume = scalar * static_cast<float>(SPK_LEVELS);
    SpkRegistryRead read;
    read.mask = 0;
    read.count = 0;
    spk->host->read_registry(spk, app->os.is_wow64, &read);
    spk_log_registry(&read, &spk->registry_report);
    spk->configuration = spk_config_from_mask(read.mask);
    return true;
}

int draw_core_audio(App* app, int slot) {
    SpkModule* spk = &app->spk;
    // Read in the first draw, once a second, and in every draw while no volume was
    // ever read; a refresh that finds no default output declines this frame only.
    if ((spk->volume < 0.0f || app->frame.one_second_tick) && !refresh_core_audio(app))
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, kSpkTag);
    spk_draw_ramp(frame, s->x, s->y, spk_volume_level(spk->volume), spk->muted);
    spk_draw_config(frame, s->x, s->y, spk->configuration);
    if (s->button == 1) {
        s->button = 0;
        post_notice(&app->notices, app->frame.now, NOTICE_SPEAKER, 3000,
                    "Windows Vista only allows speaker setup through the Control Panel");
    }
    return 1;
}

} // namespace

int mod_spk_draw(App* app, int slot) {
    if (app->spk.enumerator)
        return draw_core_audio(app, slot);
    return draw_direct_sound(app, slot);
}

void mod_spk_teardown(App* app) {
    SpkModule* spk = &app->spk;
    if (spk->host)
        spk->host->close(spk);
    spk->direct_sound = 0;
    spk->enumerator = 0;
}
