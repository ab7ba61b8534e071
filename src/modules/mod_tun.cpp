// iTunes module "TUN". Not built yet: it declines every slot.
#include "modules/mod_tun.h"

#include "core/app.h"

void mod_tun_init(App* app) {
    app->tun.tag = "TUN";
}
void mod_tun_update(App*) {}
int mod_tun_draw(App*, int) {
    return 0;
}
void mod_tun_teardown(App*) {}
