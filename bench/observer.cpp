// The latency floor: the least a program can do to report XInput2 raw key and button events,
// one line per event ("down 71 <wall-clock ms>"), written at once. make bench times keytap
// against it on the same display.
#include <unistd.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <cstdio>
#include <cstdlib>

#include "wall_clock.h"

int main() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection)) return 1;
  const xcb_query_extension_reply_t* xinput = xcb_get_extension_data(connection, &xcb_input_id);
  if (!xinput || !xinput->present) return 1;
  std::free(xcb_input_xi_query_version_reply(
      connection, xcb_input_xi_query_version(connection, 2, 0), nullptr));
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
         XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE |
             XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE};
  std::free(xcb_request_check(connection,
                              xcb_input_xi_select_events_checked(connection, root, 1, &mask.head)));
  if (write(1, "ready\n", 6) != 6) return 1;

  while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
    const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
    if ((event->response_type & 0x7F) == XCB_GE_GENERIC &&
        generic->extension == xinput->major_opcode) {
      const auto* raw = reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event);
      const bool press = raw->event_type == XCB_INPUT_RAW_KEY_PRESS ||
                         raw->event_type == XCB_INPUT_RAW_BUTTON_PRESS;
      char line[64];
      const int length = std::snprintf(line, sizeof line, "%s %u %.3f\n", press ? "down" : "up",
                                       raw->detail, wallClockMs());
      if (write(1, line, static_cast<size_t>(length)) != length) return 0;
    }
    std::free(event);
  }
  return 0;
}
