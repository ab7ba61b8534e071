// Network traffic meter. Not built yet: the panel stays empty and the "NET" module
// declines its slot.
#include "meters/net.h"

#include "core/app.h"

void net_init(App* app) {
    app->net.tag = "NET";
}
void net_sample(App*) {}
void net_draw_panel(App*) {}
void net_close(App*) {}

void mod_net_init(App*) {}
void mod_net_update(App*) {}
int mod_net_draw(App*, int) {
    return 0;
}
void mod_net_teardown(App*) {}
