// The ten display modules in their fixed order (the init order). Modules that are
// not built yet decline every slot, so a slot listing them shows its next module.
#include "app.h"

namespace {
void nothing(App*) {}
int decline(App*, int) {
    return 0;
}
} // namespace

const Module kModules[MODULE_COUNT] = {
    {"TS2", nothing, nothing, decline, nothing},
    {"SPK", nothing, nothing, decline, nothing},
    {"NET", nothing, nothing, decline, nothing},
    {"AMP", nothing, nothing, decline, nothing},
    {"STW", mod_stw_init, mod_stw_update, mod_stw_draw, mod_stw_teardown},
    {"CLK", mod_clk_init, mod_clk_update, mod_clk_draw, mod_clk_teardown},
    {"FPS", nothing, nothing, decline, nothing},
    {"FAN", nothing, nothing, decline, nothing},
    {"TUN", nothing, nothing, decline, nothing},
    {"RIP", nothing, nothing, decline, nothing},
};
