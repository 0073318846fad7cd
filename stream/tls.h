// QOR_TLS: the byte stream of one connection slot, plain TCP or server-side
// TLS over two memory BIOs. One reader thread (open, recv) and one writer
// thread (send) use it at once; any thread may release it.
//
// Every `send` goes out whole before the next one starts, whichever thread
// makes it. `send_last` is the connection's last: it follows the send under
// way, and every `send` after it fails at once (-1, WSAECONNABORTED) until
// `open` takes the next socket.
#pragma once
#include "common/event.h"

typedef struct ssl_st SSL;
typedef struct bio_st BIO;
typedef struct buf_mem_st BUF_MEM;

struct QOR_TLS {
  SSL* ssl;
  int32_t refs;            // the stream's reference plus one per running TLS call
  QOR_EVENT lock;          // access lock for the SSL object and its BIOs
  BIO* rbio;
  BIO* wbio;
  SOCKET so;
  int32_t last_recv_error;
  int32_t last_send_error;
  int32_t status;          // outcome of the last TLS step
  uint8_t* p_recv;         // handshake buffer: the slot's receive buffer
  uint64_t p_recv_size;
  uint64_t recv_deadline;  // set-up: every socket read ends by this tick (ms); 0 none
  SSL* ssl_held;           // the object that `refs` counts; stays while refs > 0
  QOR_EVENT send_lock;     // one `send` at a time puts its bytes on the wire
  bool send_closed;        // set by send_last, cleared by open
  BUF_MEM* wbuf_spare;     // swapped into the write BIO while a send is on the wire

  void init();             // initial state: lock created set, no socket, no SSL
  int32_t open(SOCKET s);  // 0 TLS, -2 plain, -1 failure; holds s either way
  int64_t recv(uint8_t* buf, int32_t size);
  int64_t send(const uint8_t* data, uint64_t len);
  int64_t send_last(const uint8_t* data, uint64_t len);
  // After a last send that went out: FIN behind it, then what the client
  // still sends is read into `buf` and dropped (raw bytes, also under TLS)
  // until it closes, the stream is released or about 2 s pass. A socket
  // closed with unread data resets its connection, and the client may then
  // lose those last bytes before it reads them.
  void linger(uint8_t* buf, int32_t size);
  void release_stream();
  void close();

  int64_t send_locked(const uint8_t* data, uint64_t len);
  int64_t recv_raw(uint8_t* buf, int32_t size);
  bool arm_deadline();
  int64_t send_raw(const uint8_t* data, int32_t len);

  // TLS side
  int32_t new_ssl(SOCKET s);
  int32_t accept_tls();
  int64_t recv_tls(uint8_t* buf, int32_t size);
  int64_t send_tls(const uint8_t* data, uint64_t len);
};
