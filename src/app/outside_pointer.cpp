#include "app/outside_pointer.h"

#include <QtGui/qguiapplication_platform.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <cstdlib>

namespace quimbel {

std::optional<OutsidePointer> readOutsidePointer() {
  auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!x11 || !x11->connection()) return std::nullopt;
  xcb_connection_t* connection = x11->connection();
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  if (!screen) return std::nullopt;
  xcb_query_pointer_reply_t* reply =
      xcb_query_pointer_reply(connection, xcb_query_pointer(connection, screen->root), nullptr);
  if (!reply) return std::nullopt;
  OutsidePointer pointer;
  pointer.left = (reply->mask & XCB_BUTTON_MASK_1) != 0;
  pointer.right = (reply->mask & XCB_BUTTON_MASK_3) != 0;
  pointer.position = QPoint(reply->root_x, reply->root_y);
  std::free(reply);
  return pointer;
}

}  // namespace quimbel
