// The eleven display modules in their fixed order (the init order). A module whose
// source is not available declines its slot, so the slot shows its next module.
#include "core/app.h"

const Module kModules[MODULE_COUNT] = {
    {"TS2", mod_ts2_init, mod_ts2_update, mod_ts2_draw, mod_ts2_teardown},
    {"SPK", mod_spk_init, mod_spk_update, mod_spk_draw, mod_spk_teardown},
    {"NET", mod_net_init, mod_net_update, mod_net_draw, mod_net_teardown},
    {"AMP", mod_amp_init, mod_amp_update, mod_amp_draw, mod_amp_teardown},
    {"STW", mod_stw_init, mod_stw_update, mod_stw_draw, mod_stw_teardown},
    {"CLK", mod_clk_init, mod_clk_update, mod_clk_draw, mod_clk_teardown},
    {"FPS", mod_fps_init, mod_fps_update, mod_fps_draw, mod_fps_teardown},
    {"FAN", mod_fan_init, mod_fan_update, mod_fan_draw, mod_fan_teardown},
    {"TUN", mod_tun_init, mod_tun_update, mod_tun_draw, mod_tun_teardown},
    {"RIP", mod_rip_init, mod_rip_update, mod_rip_draw, mod_rip_teardown},
    {"TS3", mod_ts3_init, mod_ts3_update, mod_ts3_draw, mod_ts3_teardown},
};
