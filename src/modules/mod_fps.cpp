// FRAPS module "FPS". Not built yet: it declines every slot.
#include "modules/mod_fps.h"

#include "core/app.h"

void mod_fps_init(App* app) {
    app->fps.tag = "FPS";
}
void mod_fps_update(App*) {}
int mod_fps_draw(App*, int) {
    return 0;
}
void mod_fps_teardown(App*) {}
