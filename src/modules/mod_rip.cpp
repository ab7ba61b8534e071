// Hung-application module "RIP". Not built yet: it declines every slot.
#include "modules/mod_rip.h"

#include "core/app.h"

void mod_rip_init(App* app) {
    app->rip.tag = "RIP";
}
void mod_rip_update(App*) {}
int mod_rip_draw(App*, int) {
    return 0;
}
void mod_rip_teardown(App*) {}
