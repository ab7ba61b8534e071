// Speaker set-up module "SPK". Not built yet: it declines every slot.
#include "modules/mod_spk.h"

#include "core/app.h"

void mod_spk_init(App* app) {
    app->spk.tag = "SPK";
}
void mod_spk_update(App*) {}
int mod_spk_draw(App*, int) {
    return 0;
}
void mod_spk_teardown(App*) {}
