/* Presses and releases keys through KWin's org_kde_kwin_fake_input protocol: the keyboard of the
 * KDE tests. Each line of standard input holds words +CODE (press) or -CODE (release), CODE an
 * evdev key code; once the compositor has handled them, "done" is written. The keyboard lasts
 * until the input ends: KWin lets go of a fake keyboard's keys when its client goes. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wayland-client.h>

#include "fake-input-client-protocol.h"

static struct org_kde_kwin_fake_input *input;

static void announced(void *data, struct wl_registry *registry, uint32_t name,
                      const char *interface, uint32_t version) {
  (void)data;
  if (strcmp(interface, org_kde_kwin_fake_input_interface.name) != 0) return;
  const uint32_t known = (uint32_t)org_kde_kwin_fake_input_interface.version;
  input = wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface,
                           version < known ? version : known);
}

static void withdrawn(void *data, struct wl_registry *registry, uint32_t name) {
  (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener listener = {announced, withdrawn};

int main(void) {
  struct wl_display *display = wl_display_connect(NULL);
  if (!display) {
    fprintf(stderr, "fake-keys: no Wayland display\n");
    return 1;
  }
  wl_registry_add_listener(wl_display_get_registry(display), &listener, NULL);
  wl_display_roundtrip(display);
  if (!input || wl_proxy_get_version((struct wl_proxy *)input) <
                    ORG_KDE_KWIN_FAKE_INPUT_KEYBOARD_KEY_SINCE_VERSION) {
    fprintf(stderr, "fake-keys: the compositor has no fake input with keys\n");
    return 1;
  }
  org_kde_kwin_fake_input_authenticate(input, "keytap tests", "presses keys for keytap's tests");
  char word[16];
  int next;
  while (scanf("%15s", word) == 1) {
    org_kde_kwin_fake_input_keyboard_key(input, (uint32_t)atoi(word + 1), word[0] == '+');
    if (wl_display_roundtrip(display) < 0) return 1;
    while ((next = getchar()) == ' ' || next == '\t') {
    }
    if (next == '\n' || next == EOF) {
      puts("done");
      fflush(stdout);
    }
    if (next == EOF) break;
    if (next != '\n') ungetc(next, stdin);
  }
  wl_display_disconnect(display);
  return 0;
}
