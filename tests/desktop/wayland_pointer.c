// The Wayland session's pointer device: a headless sway has none, and its
// seat offers programs (swaybar among them) a pointer only while one exists.
// This client makes a virtual pointer and keeps it until its standard input
// closes; sway's own seat commands move and click the cursor.
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <wayland-client.h>

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

static struct wl_seat* seat;
static struct zwlr_virtual_pointer_manager_v1* pointers;

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version) {
  (void)data, (void)version;
  if (strcmp(interface, wl_seat_interface.name) == 0 && !seat) {
    seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
  } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    pointers = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
  }
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener listener = {global, global_remove};

int main(void) {
  struct wl_display* display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "wayland_pointer: no Wayland display\n");
    return 1;
  }
  wl_registry_add_listener(wl_display_get_registry(display), &listener, NULL);
  wl_display_roundtrip(display);
  if (!seat || !pointers) {
    fprintf(stderr, "wayland_pointer: the compositor offers no virtual pointer\n");
    return 1;
  }
  zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointers, seat);
  wl_display_roundtrip(display);
  printf("ok\n");
  fflush(stdout);
  char c;
  while (read(STDIN_FILENO, &c, 1) > 0) {
  }
  wl_display_disconnect(display);
  return 0;
}
