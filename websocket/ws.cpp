// QOR_WS construction and teardown. The object serves every connection of
// its slot in turn; these run once each, on the main thread, while no slot
// thread touches it.
#include "websocket/ws.h"

QOR_WS* ws_init(QOR_WS* ws) {
  ws->crypt_init_released();
  ws->tls.init();
  // The same text-check start that every successful handshake sets again.
  ws->type = 1;
  ws->utf8_pending = 3;
  ws->utf8_lenient = 1;
  ws->version = 0;
  ws->ws = 0;
  ws->partial = 0;
  ws->more = 0;
  ws->continuation = 0;
  ws->saved_byte = 0;
  return ws;
}

void ws_close(QOR_WS* ws) {
  ws->ws = 0;
  ws->tls.close();
  ws->release();
}
