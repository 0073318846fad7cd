// The relay loop of one connection (work_r), the fan-out of what it reads to
// the other ready slots, the hand-off of one packet to a slot's writer
// (send_packet) and the writer's send loop (work_w).
//
// Hand-off: a slot's `event_send_free` is the right to stage into its send
// halves. A sender takes it, then either gives it back (nothing staged) or
// passes it with the packet through `event_packet`; the writer gives it back
// after its send. So one packet per slot is staged or in flight, and the send
// state is written by one thread at a time, ordered by those two events.
#include <cstring>

#include "common/atomic.h"
#include "common/report.h"
#include "platform/console.h"
#include "platform/winsock.h"
#include "relay/globals.h"
#include "relay/task.h"

namespace {

const wchar_t* const CALL_SEND = L"!! send_packet() !! work_w() !! send(so, p_send, size_send, SO_SEND_FLAGS)";

// Close statuses (RFC 6455) that tell a client why the relay ends its connection.
constexpr uint16_t status_protocol_error = 1002;
constexpr uint16_t status_cannot_accept = 1003;
constexpr uint16_t status_too_big = 1009;

// A slot takes packets only while it has a writer and both hand-off events:
// without them a sender could wait for it without end, or two senders could
// stage into its halves at once.
bool takes_packets(const QOR_TASK* t) {
  return t->write && a_load(t->event_packet.valid) && a_load(t->event_send_free.valid);
}

// The most one read of a raw or TLS client takes. Where WebSocket clients
// can exist, every read must fit an RFC 6455 recipient's frame (and so a
// hixie-76 one's message): a larger one would be lost to them.
uint64_t raw_read_max() {
  return packet_length >= ws_min_packet_length ? packet_length - ws_header_room : packet_length - 1;
}

void fan_out(QOR_TASK* self, const uint8_t* data, uint64_t size) {
  for (uint16_t i = 0; i < cw_connections; ++i) {
    QOR_TASK* target = &tasks[i];
    if (target != self && a_load(target->ready)) send_packet(target, data, size);
  }
}

// A TLS client's first data, read by the handshake attempt, goes out as a
// raw read would: in pieces that fit a WebSocket recipient's frame.
void relay_first_data(QOR_TASK* task, uint64_t held) {
  const uint64_t piece = raw_read_max();
  for (uint64_t at = 0; at < held; at += piece)
    fan_out(task, task->pRAM + at, held - at < piece ? held - at : piece);
}

// After a read gave n <= 0: report what is not an ordinary end.
int32_t read_ended(QOR_TASK* task, int64_t n) {
  QOR_TLS& tls = task->ws.tls;
  int err = win::WSAGetLastError();
  if (err == 0) err = tls.last_recv_error;
  if (n == 0 || !a_load(task->running) || err == WSAECONNABORTED || err == WSAECONNRESET)
    return 0;
  // Released under the read: the writer's send failed (reported by the next
  // sender when it is no ordinary end), or the slot is being torn down.
  if (a_load(tls.so) == INVALID_SOCKET) return 0;
  // The writer's send sets the status too, at any moment.
  int32_t status = a_load(tls.status);
  if (err != 0) {
    win::wprintf(L"\n!! recv(%u)\n", unsigned(task->index));
    report_error(DWORD(err), L"");
  } else if (status != 0) {
    win::wprintf(L"\n!! recv(%u)  TLS error %i\n", unsigned(task->index), int(status));
  }
  return -1;
}

// The status for a frame the decoder did not take (its result); 0 where no
// close frame is sent: a hixie-76 client, or a close, which the decoder has
// answered (it leaves version 0).
uint16_t refusal_status(const QOR_WS* ws, int64_t result) {
  if (a_load(ws->version) < 13) return 0;
  switch (result) {
    case 0: return status_cannot_accept;    // ping, pong, empty data frame
    case -1: return status_protocol_error;  // malformed
    case -2: return status_protocol_error;  // continuation without a message
    case -3: return status_too_big;         // larger than one read holds
    default: return 0;
  }
}

// Fails the connection after a frame it does not take, with a close frame of
// the fitting status: whole, after the frame under way to this client, and
// nothing behind it, the way the close reply goes. The stream then lingers
// so that the client reads it, although the rest of its frame may still be
// coming: the receive buffer, no longer needed, takes what is dropped.
void refuse(QOR_TASK* task, int64_t result) {
  QOR_WS* ws = &task->ws;
  const uint16_t status = refusal_status(ws, result);
  if (status == 0) return;
  a_store(ws->version, 0u);   // no sender frames anything more for it
  const uint8_t close_frame[4] = {0x88, 0x02, uint8_t(status >> 8), uint8_t(status & 0xFF)};
  if (ws->tls.send_last(close_frame, sizeof(close_frame)) != int64_t(sizeof(close_frame))) return;
  ws->tls.linger(task->pRAM, int32_t(packet_length));
}

// Decodes and relays the frames held in the receive buffer from its start.
// Returns the bytes of an incomplete frame now kept at the buffer's start,
// or -1 when the connection is to end.
int64_t relay_frames(QOR_TASK* task, uint64_t msg_size_read) {
  QOR_WS* ws = &task->ws;
  uint8_t* frame = task->pRAM;
  for (;;) {
    uint8_t* payload = nullptr;
    int64_t size = decrypt(ws, frame, msg_size_read, &payload);
    if (size <= 0) {   // close, or a frame the relay does not take
      refuse(task, size);
      return -1;
    }
    if (ws->partial) {
      if (frame != task->pRAM) std::memmove(task->pRAM, frame, msg_size_read);
      // A frame that fills the whole buffer can never be completed (an
      // RFC 6455 frame too large for it is refused on its header).
      if (msg_size_read >= packet_length - 1) return -1;
      return int64_t(msg_size_read);
    }
    if (uint64_t(size) + 2 > msg_size_read) {
      win::wprintf(L"ws.decrypt returned size beyond msg_size_read  2 + %llu > %llu\n",
                   static_cast<unsigned long long>(size),
                   static_cast<unsigned long long>(msg_size_read));
      return -1;
    }
    fan_out(task, payload, uint64_t(size));
    if (!ws->more) return 0;
    // hixie-76 messages end in 0xFF, which is not part of the payload.
    uint8_t* next = payload + size + (ws->version < 13 ? 1 : 0);
    uint64_t consumed = uint64_t(next - frame);
    if (consumed >= msg_size_read) return -1;   // the decoder overran its input
    msg_size_read -= consumed;
    frame = next;
  }
}

}  // namespace

int32_t work_r(QOR_TASK* task, uint64_t first_data) {
  QOR_TLS& tls = task->ws.tls;
  relay_first_data(task, first_data);
  uint64_t carried = 0;
  for (;;) {
    // A WebSocket client's frame of up to L - 1 bytes is taken whole.
    const bool framed = a_load(task->ws.ws);
    uint64_t room = framed ? packet_length - 1 - carried : raw_read_max();
    int64_t n = tls.recv(task->pRAM + carried, int32_t(room));
    if (n <= 0) return read_ended(task, n);
    uint64_t msg_size_read = carried + uint64_t(n);
    carried = 0;
    if (!framed) {
      fan_out(task, task->pRAM, msg_size_read);
      continue;
    }
    int64_t kept = relay_frames(task, msg_size_read);
    if (kept < 0) return 0;
    carried = uint64_t(kept);
  }
}

bool send_packet(QOR_TASK* target, const uint8_t* data, uint64_t size) {
  if (!takes_packets(target)) return false;
  if (event_wait(&target->event_send_free) != 0) return false;   // its reader has ended
  if (a_load(target->send_result) == -1) {
    int32_t e = a_load(target->send_error);   // read while the right is held
    event_signal(&target->event_send_free);
    if (e != WSAECONNABORTED && e != WSAECONNRESET) report_error(DWORD(e), CALL_SEND);
    return false;
  }
  if (size == 0 || !a_load(target->ready) || a_load(target->ws.tls.so) == INVALID_SOCKET) {
    event_signal(&target->event_send_free);
    return false;
  }
  uint8_t* packet;
  uint64_t length = size;
  if (a_load(target->ws.ws)) {
    packet = encrypt(&target->ws, target->p_send_next, target->send_buffer_size, data, &length);
  } else {
    packet = size <= target->send_buffer_size ? target->p_send_next : nullptr;
    if (packet) std::memcpy(packet, data, size);
  }
  if (!packet) {   // does not fit this recipient
    event_signal(&target->event_send_free);
    return false;
  }
  target->p_send = packet;
  a_store(target->size_send, length);
  target->toggle = uint8_t(1 - target->toggle);
  target->p_send_next = target->p_send_base + target->toggle * target->send_buffer_size;
  event_signal(&target->event_packet);
  return true;
}

int32_t work_w(QOR_TASK* task) {
  QOR_TLS& tls = task->ws.tls;
  while (a_load(task->event_packet.valid)) {
    int r = event_wait(&task->event_packet);
    if (r != 0 || !a_load(task->event_packet.valid)) return r != 0 ? r : EVENT_INVALID;
    const bool was_tls = a_load(tls.ssl) != nullptr;
    win::WSASetLastError(0);   // no earlier call's error may stand for this send's
    int64_t sent = tls.send(task->p_send, a_load(task->size_send));
    if (sent == -1) {
      int32_t e = win::WSAGetLastError();
      // The stream was released under the send (its socket or, first, its
      // SSL object), or its TLS session failed without a socket error (the
      // slot's reader meets and reports that one): the connection was
      // aborted here, not failed by the network, so there is no socket
      // error to report.
      if (e == 0 || e == WSAENOTSOCK || a_load(tls.so) == INVALID_SOCKET ||
          (was_tls && a_load(tls.ssl) == nullptr))
        e = WSAECONNABORTED;
      a_store(task->send_error, e);
      // Ends the connection; the reader's recv fails. After the last frame
      // the reader ends it itself, once the client has had time to read
      // that frame: a release here would reset the connection first.
      if (!a_load(tls.send_closed)) tls.release_stream();
    }
    a_store(task->send_result, sent);
    event_signal(&task->event_send_free);
  }
  return 0;
}
