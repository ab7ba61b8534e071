// Winamp module "AMP". Not built yet: it declines every slot.
#include "modules/mod_amp.h"

#include "core/app.h"

void mod_amp_init(App* app) {
    app->amp.tag = "AMP";
}
void mod_amp_update(App*) {}
int mod_amp_draw(App*, int) {
    return 0;
}
void mod_amp_teardown(App*) {}
