// The Wayland desktop session's keyboard and pointer on a wlroots
// compositor, through its virtual keyboard and virtual pointer. The keyboard
// brings the usual US key map, so a key name lands on the key code a
// physical keyboard would send. A headless compositor has no input devices,
// and its seat offers a pointer and a keyboard to programs only while some
// device is there: both live as long as this client.
//
// Usage: wayland_input WIDTH HEIGHT   (the screen, for pointer positions)
// Reads lines of actions from standard input and answers each line with
// "ok" once the compositor has them, or "error ..." on standard error:
//   down KEYSYM | up KEYSYM | tap KEYSYM | click X Y | sleep MS
// KEYSYM is an X key name (1, q, Escape, Control_L, Tab, Shift_L, space).
#define _GNU_SOURCE
#include <linux/input-event-codes.h>
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
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

struct globals {
  struct wl_seat* seat;
  struct zwp_virtual_keyboard_manager_v1* keyboards;
  struct zwlr_virtual_pointer_manager_v1* pointers;
};

static void global(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                   uint32_t version) {
  (void)version;
  struct globals* g = data;
  if (strcmp(interface, wl_seat_interface.name) == 0 && !g->seat) {
    g->seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
  } else if (strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    g->keyboards = wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
  } else if (strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
    g->pointers = wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
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

struct session {
  struct wl_display* display;
  struct zwp_virtual_keyboard_v1* keyboard;
  struct zwlr_virtual_pointer_v1* pointer;
  struct xkb_keymap* keymap;
  struct xkb_state* state;
  uint32_t width, height;
};

static void key(struct session* s, uint32_t code, int press) {
  zwp_virtual_keyboard_v1_key(
      s->keyboard, now_ms(), code,
      press ? WL_KEYBOARD_KEY_STATE_PRESSED : WL_KEYBOARD_KEY_STATE_RELEASED);
  // The compositor keeps no modifier state for a virtual keyboard: it is
  // told after every key.
  xkb_state_update_key(s->state, code + 8, press ? XKB_KEY_DOWN : XKB_KEY_UP);
  zwp_virtual_keyboard_v1_modifiers(
      s->keyboard, xkb_state_serialize_mods(s->state, XKB_STATE_MODS_DEPRESSED),
      xkb_state_serialize_mods(s->state, XKB_STATE_MODS_LATCHED),
      xkb_state_serialize_mods(s->state, XKB_STATE_MODS_LOCKED),
      xkb_state_serialize_layout(s->state, XKB_STATE_LAYOUT_EFFECTIVE));
  wl_display_roundtrip(s->display);
}

static void button(struct session* s, int press) {
  zwlr_virtual_pointer_v1_button(
      s->pointer, now_ms(), BTN_LEFT,
      press ? WL_POINTER_BUTTON_STATE_PRESSED : WL_POINTER_BUTTON_STATE_RELEASED);
  zwlr_virtual_pointer_v1_frame(s->pointer);
  wl_display_roundtrip(s->display);
}

// Runs one line of actions; 0 when all of them were understood.
static int run(struct session* s, char* line) {
  char* save = NULL;
  for (char* action = strtok_r(line, " \t\n", &save); action;
       action = strtok_r(NULL, " \t\n", &save)) {
    const char* arg = strtok_r(NULL, " \t\n", &save);
    if (!arg) {
      fprintf(stderr, "wayland_input: '%s' wants an argument\n", action);
      return 1;
    }
    if (strcmp(action, "sleep") == 0) {
      usleep((useconds_t)atoi(arg) * 1000);
    } else if (strcmp(action, "click") == 0) {
      const char* y = strtok_r(NULL, " \t\n", &save);
      if (!y) {
        fprintf(stderr, "wayland_input: click wants X and Y\n");
        return 1;
      }
      zwlr_virtual_pointer_v1_motion_absolute(s->pointer, now_ms(), (uint32_t)atoi(arg),
                                              (uint32_t)atoi(y), s->width, s->height);
      zwlr_virtual_pointer_v1_frame(s->pointer);
      wl_display_roundtrip(s->display);
      button(s, 1);
      usleep(30 * 1000);
      button(s, 0);
    } else {
      uint32_t code = key_for(s->keymap, arg);
      if (!code) {
        fprintf(stderr, "wayland_input: no key types '%s'\n", arg);
        return 1;
      }
      if (strcmp(action, "down") == 0) {
        key(s, code, 1);
      } else if (strcmp(action, "up") == 0) {
        key(s, code, 0);
      } else if (strcmp(action, "tap") == 0) {
        key(s, code, 1);
        usleep(30 * 1000);
        key(s, code, 0);
      } else {
        fprintf(stderr, "wayland_input: unknown action '%s'\n", action);
        return 1;
      }
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: wayland_input WIDTH HEIGHT\n");
    return 2;
  }
  struct session s = {0};
  s.width = (uint32_t)atoi(argv[1]);
  s.height = (uint32_t)atoi(argv[2]);
  s.display = wl_display_connect(NULL);
  if (!s.display) {
    fprintf(stderr, "wayland_input: no Wayland display\n");
    return 1;
  }
  struct globals g = {0};
  struct wl_registry* registry = wl_display_get_registry(s.display);
  wl_registry_add_listener(registry, &registry_listener, &g);
  wl_display_roundtrip(s.display);
  if (!g.seat || !g.keyboards || !g.pointers) {
    fprintf(stderr, "wayland_input: the compositor offers no virtual keyboard and pointer\n");
    return 1;
  }

  struct xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
  struct xkb_rule_names names = {"evdev", "pc105", "us", "", ""};
  s.keymap = xkb_keymap_new_from_names(context, &names, 0);
  if (!s.keymap) {
    fprintf(stderr, "wayland_input: no US key map\n");
    return 1;
  }
  s.state = xkb_state_new(s.keymap);
  char* text = xkb_keymap_get_as_string(s.keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
  size_t size = strlen(text) + 1;
  int fd = memfd_create("keymap", MFD_CLOEXEC);
  if (fd < 0 || write(fd, text, size) != (ssize_t)size) {
    perror("wayland_input: keymap");
    return 1;
  }

  s.pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(g.pointers, g.seat);
  s.keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(g.keyboards, g.seat);
  zwp_virtual_keyboard_v1_keymap(s.keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
  // The seat switches to a keyboard on its first event and hands the focused
  // window the new key map then; a key that did it would arrive as already
  // held (XWayland makes it part of the key map change) rather than pressed.
  // No modifiers held makes that first event.
  zwp_virtual_keyboard_v1_modifiers(s.keyboard, 0, 0, 0, 0);
  wl_display_roundtrip(s.display);
  printf("ok\n");
  fflush(stdout);

  char* line = NULL;
  size_t capacity = 0;
  int status = 0;
  while (getline(&line, &capacity, stdin) > 0) {
    if (run(&s, line) != 0) status = 1;
    printf(status ? "error\n" : "ok\n");
    fflush(stdout);
    if (wl_display_get_error(s.display)) {
      fprintf(stderr, "wayland_input: the compositor closed the connection\n");
      return 1;
    }
  }
  free(line);
  zwp_virtual_keyboard_v1_destroy(s.keyboard);
  zwlr_virtual_pointer_v1_destroy(s.pointer);
  wl_display_roundtrip(s.display);
  wl_display_disconnect(s.display);
  return status;
}
