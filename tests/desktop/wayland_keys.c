// Types on a wlroots compositor through its virtual keyboard, as the
// Wayland desktop session's keyboard. The keyboard brings the usual US key
// map, so a key name lands on the key code a physical keyboard would send.
//
// Usage: wayland_keys ACTION...
//   down KEYSYM | up KEYSYM | tap KEYSYM | sleep MS
// KEYSYM is an X key name (1, q, Escape, Control_L, Tab, Shift_L, space).
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include "virtual-keyboard-unstable-v1-client-protocol.h"

struct globals {
  struct wl_seat* seat;
  struct zwp_virtual_keyboard_manager_v1* manager;
};

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version) {
  (void)version;
  struct globals* g = data;
  if (strcmp(interface, wl_seat_interface.name) == 0 && !g->seat) {
    g->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
  } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    g->manager = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
  }
}

static void global_remove(void* data, struct wl_registry* registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registry_listener = {global, global_remove};

static uint32_t now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

struct lookup {
  xkb_keysym_t sym;
  xkb_keycode_t found;
};

static void find_key(struct xkb_keymap* keymap, xkb_keycode_t key, void* data) {
  struct lookup* l = data;
  if (l->found) return;
  const xkb_keysym_t* syms = NULL;
  int n = xkb_keymap_key_get_syms_by_level(keymap, key, 0, 0, &syms);
  for (int i = 0; i < n; ++i) {
    if (syms[i] == l->sym) l->found = key;
  }
}

// The key code (evdev, as the protocol wants it) that types the symbol
// without a modifier, or 0.
static uint32_t key_for(struct xkb_keymap* keymap, const char* name) {
  struct lookup l = {xkb_keysym_from_name(name, XKB_KEYSYM_NO_FLAGS), 0};
  if (l.sym == XKB_KEY_NoSymbol) return 0;
  xkb_keymap_key_for_each(keymap, find_key, &l);
  return l.found ? l.found - 8 : 0;
}

int main(int argc, char** argv) {
  struct wl_display* display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "wayland_keys: no Wayland display\n");
    return 1;
  }
  struct globals g = {0};
  struct wl_registry* registry = wl_display_get_registry(display);
  wl_registry_add_listener(registry, &registry_listener, &g);
  wl_display_roundtrip(display);
  if (!g.seat || !g.manager) {
    fprintf(stderr, "wayland_keys: the compositor offers no virtual keyboard\n");
    return 1;
  }

  struct xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  struct xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
  struct xkb_keymap* keymap = xkb_keymap_new_from_names(context, &names, 0);
  if (!keymap) {
    fprintf(stderr, "wayland_keys: no US key map\n");
    return 1;
  }
  struct xkb_state* state = xkb_state_new(keymap);
  char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  size_t size = strlen(text) + 1;
  int fd = memfd_create("keymap", MFD_CLOEXEC);
  if (fd < 0 || write(fd, text, size) != (ssize_t)size) {
    perror("wayland_keys: keymap");
    return 1;
  }

  struct zwp_virtual_keyboard_v1* keyboard =
      zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(g.manager, g.seat);
  zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
  // The seat switches to a keyboard on its first event and hands the focused
  // window the new key map then; a key that did it would arrive as already
  // held (XWayland makes it part of the key map change) rather than pressed.
  // No modifiers held makes that first event; XWayland takes a moment to
  // load the key map (measured: under 150 ms on two shared cores).
  zwp_virtual_keyboard_v1_modifiers(keyboard, 0, 0, 0, 0);
  wl_display_roundtrip(display);
  usleep(250 * 1000);

  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const char* action = argv[i];
    const char* arg = i + 1 < argc ? argv[++i] : "";
    if (strcmp(action, "sleep") == 0) {
      wl_display_flush(display);
      usleep((useconds_t)atoi(arg) * 1000);
      continue;
    }
    uint32_t key = key_for(keymap, arg);
    if (!key) {
      fprintf(stderr, "wayland_keys: no key types '%s'\n", arg);
      status = 1;
      break;
    }
    int down = strcmp(action, "down") == 0, up = strcmp(action, "up") == 0;
    int tap = strcmp(action, "tap") == 0;
    if (!down && !up && !tap) {
      fprintf(stderr, "wayland_keys: unknown action '%s'\n", action);
      status = 1;
      break;
    }
    for (int press = down || tap ? 1 : 0; press >= (up || tap ? 0 : 1); --press) {
      zwp_virtual_keyboard_v1_key(
          keyboard, now_ms(), key,
          press ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
      // The compositor keeps no modifier state for a virtual keyboard: it
      // is told after every key.
      xkb_state_update_key(state, key + 8, press ? XKB_KEY_DOWN : XKB_KEY_UP);
      zwp_virtual_keyboard_v1_modifiers(
          keyboard, xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
          xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
          xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
          xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
      wl_display_roundtrip(display);
      if (tap && press) usleep(30 * 1000);
    }
  }
  wl_display_roundtrip(display);
  zwp_virtual_keyboard_v1_destroy(keyboard);
  wl_display_roundtrip(display);
  wl_display_disconnect(display);
  return status;
}
