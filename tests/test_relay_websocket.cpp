// WebSocket clients of the running relay: a real RFC 6455 client (python's
// websockets, over ws:// and wss://) trading text and binary messages with
// raw, TLS, hixie-76 and other WebSocket clients; UTF-8 text cut anywhere by
// a raw sender never makes that client fail the connection; frames cut across
// TCP segments or packed several to a segment arrive whole and in order; and
// a close is answered with status 1000.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/client.h"
#include "support/peer_set.h"
#include "support/python_peer.h"
#include "support/relay_session.h"
#include "support/ws_peers.h"

namespace {

struct RelayWebSocket : relay_peers {
  RelayWebSocket() { python_script = TESTS_DIR "/clients/ws_peer.py"; }
};

TEST_F(RelayWebSocket, PythonClientsTradeTextAndBinaryWithEveryKindOfClient) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "8"}));
  peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  peer* tls = add_wire("tls", wire::tls, wire_peer::bytes);
  ASSERT_TRUE(tls);
  peer* hixie = add_wire("hixie-76", wire::plain, wire_peer::hixie76);
  ASSERT_TRUE(hixie);
  peer* wss = add_wire("hand-written wss", wire::tls, wire_peer::rfc6455);
  ASSERT_TRUE(wss);
  peer* py_ws = add_python("python ws", "ws");
  ASSERT_TRUE(py_ws);
  peer* py_wss = add_python("python wss", "wss");
  ASSERT_TRUE(py_wss);
  EXPECT_EQ(kinds("RAW"), 1u);
  EXPECT_EQ(kinds("TLS"), 1u);
  EXPECT_EQ(kinds("WS"), 2u);
  EXPECT_EQ(kinds("WSS"), 2u);

  // Text from every kind of sender; it reaches RFC 6455 clients as text.
  everyone_gets(py_ws, "python over ws: caf\xC3\xA9 \xE2\x9C\x93", true, true);
  everyone_gets(py_wss, "python over wss: 20 \xE2\x82\xAC", true, true);
  everyone_gets(raw, "raw: gr\xC3\xBC\xC3\x9F", true, true);
  everyone_gets(tls, "tls: \xE4\xB8\xAD", true, true);
  everyone_gets(hixie, "hixie-76: plain text", true, true);
  everyone_gets(wss, "hand-written wss: text", true, true);

  // A payload that is no UTF-8 goes to RFC 6455 clients as binary, and from
  // then on they get binary frames only.
  everyone_gets(py_ws, std::string("\x80\xFE\x90 binary from python", 21), false, false);
  everyone_gets(wss, std::string("\xC0\xAF binary frame", 15), false, false);
  everyone_gets(py_wss, "text again, now binary", true, false);

  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

TEST_F(RelayWebSocket, ACloseIsAnsweredWithStatus1000AndOnlyThatClientLeaves) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* hand = add_wire("hand-written ws", wire::plain, wire_peer::rfc6455);
  ASSERT_TRUE(hand);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  ASSERT_TRUE(py->p.close());
  std::string codes;
  ASSERT_TRUE(py->p.wait_closed(10000, &codes)) << py->p.proc.out << py->p.proc.err;
  EXPECT_EQ(codes, "1000 1000") << "close codes received and sent";
  ASSERT_TRUE(relay.wait_matches(std::regex(":: server_\\d\\d\\.fin  active 02/06\n"), 1, 5000))
      << relay.out();

  // The hand-written client's close gets exactly the four-byte reply.
  ASSERT_TRUE(hand->w.send(ws_frame(0x88, std::string("\x03\xE8", 2))));
  EXPECT_EQ(hand->w.read(4, 3000), std::string("\x88\x02\x03\xE8", 4));
  EXPECT_TRUE(hand->w.wait_closed(3000));
  ASSERT_TRUE(relay.wait_matches(std::regex(":: server_\\d\\d\\.fin  active 01/06\n"), 1, 5000))
      << relay.out();

  // Neither close reached the raw client.
  EXPECT_TRUE(raw->quiet(100));
  expect_still_serving();
}

TEST_F(RelayWebSocket, FramesCutAcrossSegmentsOrPackedTogetherArriveWholeAndInOrder) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* hand = add_wire("hand-written ws", wire::plain, wire_peer::rfc6455);
  ASSERT_TRUE(hand);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  std::string big;
  for (int i = 0; i < 4000; ++i) big += char('a' + i % 26);
  const std::vector<std::string> payloads = {
      "one",                            // cut inside its 2-byte header
      std::string(300, 'L'),            // cut in its 16-bit length, key and payload
      "packed a", "packed b", "packed c",   // three in one segment
      "tail of one",                    // its end shares a segment with the next's start
      "head of next",
      big,                              // nearly a whole buffer, cut in many places
      "unmasked",
  };
  std::vector<std::string> frames;
  for (size_t i = 0; i < payloads.size(); ++i)
    frames.push_back(ws_frame(0x81, payloads[i], payloads[i] != "unmasked",
                              payloads[i].size() == 300 ? 126 : 0));

  auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(40)); };
  std::vector<std::string> segments = {
      frames[0].substr(0, 1), frames[0].substr(1),
      frames[1].substr(0, 3), frames[1].substr(3, 4), frames[1].substr(7, 100), frames[1].substr(107),
      frames[2] + frames[3] + frames[4],
      frames[5].substr(0, 6), frames[5].substr(6) + frames[6].substr(0, 5), frames[6].substr(5),
  };
  for (size_t at = 0; at < frames[7].size(); at += 700) segments.push_back(frames[7].substr(at, 700));
  segments.push_back(frames[8]);
  for (const std::string& s : segments) {
    ASSERT_TRUE(hand->w.send(s));
    pause();
  }

  std::string all;
  for (const std::string& p : payloads) {
    EXPECT_EQ(py->expect(p, true, 5000), "") << "python, payload " << shown(p.substr(0, 20));
    all += p;
  }
  EXPECT_EQ(raw->expect(all, true, 5000), "");
  EXPECT_TRUE(py->quiet(100)) << "more messages than were sent";
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

// Sent back to back, the python client's frames share TLS records and reads,
// and frames end up cut between reads: each must still come out whole.
TEST_F(RelayWebSocket, AStreamOfMessagesOverWssArrivesWholeAndInOrder) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* hand = add_wire("hand-written ws", wire::plain, wire_peer::rfc6455);
  ASSERT_TRUE(hand);
  auto* py = add_python("python wss", "wss");
  ASSERT_TRUE(py);

  // Read all along: a recipient that does not read holds the sender up,
  // and with it every other recipient.
  background_reader raw_reader(&raw->c);
  std::minstd_rand pick(77);
  std::vector<std::string> sent;
  std::string all;
  for (int i = 0; i < 150; ++i) {
    size_t n = 1 + pick() % 4000;   // up to nearly a whole buffer
    std::string m = std::to_string(i) + ":";
    while (m.size() < n) m += char('a' + (m.size() * 7 + i) % 26);
    sent.push_back(m);
    all += m;
    ASSERT_TRUE(py->send(m, true));
  }
  for (size_t i = 0; i < sent.size(); ++i) {
    std::string wrong = hand->expect(sent[i], true, 10000);
    ASSERT_EQ(wrong, "") << "message " << i;
  }
  auto complete = [&](const std::string& d) { return without_control(d).size() >= all.size(); };
  EXPECT_TRUE(raw_reader.wait_for(complete, 10000));
  EXPECT_TRUE(without_control(raw_reader.data()) == all) << "the raw client's bytes differ";
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

// A raw sender knows nothing of characters: its reads may end inside one.
// Pieces of a cut character must reach an RFC 6455 client as binary frames,
// never as text frames that its UTF-8 check would fail (close code 1007),
// and whole characters keep coming as text.
TEST_F(RelayWebSocket, Utf8CutAnywhereByARawSenderNeverFailsThePythonClient) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* hand = add_wire("hand-written ws", wire::plain, wire_peer::rfc6455);
  ASSERT_TRUE(hand);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  // Two-, three- and four-byte characters among ASCII.
  const std::string unit = "a\xC3\xA9" "b\xE2\x82\xAC" "c\xE4\xB8\xAD\xC3\xBC" "d\xF1\x90\x80\x80" "e";
  std::string text;
  for (int i = 0; i < 6; ++i) text += unit;
  std::minstd_rand pick(20240611);
  std::vector<std::string> pieces;
  for (size_t at = 0; at < text.size();) {
    size_t n = std::min(text.size() - at, size_t(1 + pick() % 6));
    pieces.push_back(text.substr(at, n));
    at += n;
  }
  for (const std::string& p : pieces) {
    ASSERT_TRUE(raw->c.send_all(p, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  const std::string last = "whole again \xE2\x9C\x93";
  ASSERT_TRUE(raw->c.send_all(last, 2000));

  // Python: every byte, in order, and the connection still open.
  std::string joined;
  size_t binary = 0;
  size_t text_frames = 0;
  uint64_t end = now_us() + 15000000;
  std::vector<python_peer::message> got;
  while (joined.size() < text.size() + last.size() && now_us() < end && !py->p.closed()) {
    got = py->p.messages();
    joined.clear();
    for (const auto& m : got) joined += m.data;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_FALSE(py->p.closed()) << py->p.proc.out << py->p.proc.err;
  EXPECT_EQ(shown(joined), shown(text + last));
  for (const auto& m : got) (m.text ? text_frames : binary)++;
  EXPECT_GT(binary, 0u) << "no read ended inside a character";
  EXPECT_GT(text_frames, 0u);
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(got.back().text && got.back().data == last) << "whole characters no longer go as text";

  // The hand-written client sees the same: text frames only ever valid UTF-8.
  std::string hand_joined;
  while (hand_joined.size() < text.size() + last.size()) {
    ws_in f;
    ASSERT_TRUE(read_ws_frame(hand->w, &f, 5000)) << "after " << shown(hand_joined);
    if (f.first == 0x81) EXPECT_TRUE(valid_utf8(f.payload)) << "text frame " << shown(f.payload);
    else EXPECT_EQ(f.first, 0x82);
    hand_joined += f.payload;
  }
  EXPECT_EQ(shown(hand_joined), shown(text + last));
}

// Each RFC 6455 recipient, fresh from its handshake, gets the payloads of a
// raw sender one read each: T a text frame, B a binary one. Well-formed
// UTF-8 is text whatever its characters; a character cut between payloads
// makes only its pieces binary; invalid data makes the recipient binary for
// good.
TEST_F(RelayWebSocket, WellFormedTextGoesAsTextAndInvalidDataTurnsARecipientBinary) {
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "4"}));
  raw_peer* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  struct row {
    std::vector<std::string> payloads;
    std::string frames;
  };
  const row rows[] = {
      {{"\xD8\xA7", "hello", "caf\xC3\xA9"}, "TTT"},   // Arabic
      {{"\xE0\xA4\x85", "hello"}, "TT"},                 // Devanagari
      {{"\xF0\x9F\x98\x80", "hello"}, "TT"},             // an emoji
      {{"\xDF\xBF", "ok"}, "TT"},
      {{"\xE0\x80\x80", "ok"}, "BB"},                    // overlong forms
      {{"\xE0\x9F\xBF", "ok"}, "BB"},
      {{"\xF0\x8F\xBF\xBF", "ok"}, "BB"},
      {{std::string("\xC0\x80", 2), "ok"}, "BB"},
      {{"hi \xF0\x9F", "\x98\x80!", "ok"}, "BBT"},        // an emoji cut in two
  };
  size_t ended = 0;
  for (const row& r : rows) {
    SCOPED_TRACE("payloads from " + shown(r.payloads[0]));
    wire_peer* to = add_wire("rfc6455", wire::plain, wire_peer::rfc6455);
    ASSERT_TRUE(to);
    std::string frames;
    for (const std::string& p : r.payloads) {
      ASSERT_TRUE(raw->c.send_all(p, 2000));
      ws_in f;   // read before the next is sent, so each is a read of its own
      ASSERT_TRUE(read_ws_frame(to->w, &f, 5000));
      EXPECT_EQ(shown(f.payload), shown(p));
      frames += f.first == 0x81 ? 'T' : f.first == 0x82 ? 'B' : '?';
    }
    EXPECT_EQ(frames, r.frames);
    to->w.tcp.close();
    peers.pop_back();
    ASSERT_TRUE(wait_ends(++ended, 5000)) << relay.out();
  }

  // A real client: str for the text, bytes from invalid data on.
  python_ws_peer* py = add_python("python", "ws");
  ASSERT_TRUE(py);
  everyone_gets(raw, "\xD8\xA7 \xF0\x9F\x98\x80", true, true);
  everyone_gets(raw, "plain ASCII", true, true);
  everyone_gets(raw, "\xED\xA0\x80 a surrogate", true, false);
  everyone_gets(raw, "plain ASCII", true, false);
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

// Reads frames (or hixie-76 messages) until `want` bytes of payload have
// come; each must fit a send half's frame. Empty on success, else what failed.
std::string collect_pieces(wire_peer* to, size_t want, size_t largest, std::string* joined) {
  while (joined->size() < want) {
    std::string piece;
    if (to->proto == wire_peer::hixie76) {
      if (!read_hixie76_message(to->w, &piece, 5000)) return "no message after " + std::to_string(joined->size());
    } else {
      ws_in f;
      if (!read_ws_frame(to->w, &f, 5000)) return "no frame after " + std::to_string(joined->size());
      if (f.first != 0x81) return "frame type " + std::to_string(f.first);
      piece = f.payload;
    }
    if (piece.size() > largest) return "a piece of " + std::to_string(piece.size()) + " bytes";
    *joined += piece;
  }
  return "";
}

// A raw or TLS sender that writes more than fits one frame at once still
// reaches WebSocket clients whole, in frames that fit their send halves.
TEST_F(RelayWebSocket, RawAndTlsStreamsReachWebSocketClientsWhole) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6", "-L", "4096"}));
  // Raw clients first: their hello bytes then reach only each other.
  peer* raw = add_raw("raw sender");
  ASSERT_TRUE(raw);
  auto* raw_to = add_raw("raw recipient");
  ASSERT_TRUE(raw_to);
  wire_peer* tls = add_wire("tls sender", wire::tls, wire_peer::bytes);
  ASSERT_TRUE(tls);
  wire_peer* rfc6455 = add_wire("rfc6455", wire::plain, wire_peer::rfc6455);
  ASSERT_TRUE(rfc6455);
  wire_peer* hixie = add_wire("hixie-76", wire::plain, wire_peer::hixie76);
  ASSERT_TRUE(hixie);

  const size_t largest = 4096 - 10;
  for (peer* from : {raw, static_cast<peer*>(tls)}) {
    for (size_t n : {4086, 4087, 4094, 4095, 4096, 10000}) {
      SCOPED_TRACE(from->name + " sends " + std::to_string(n) + " bytes at once");
      std::string data;
      for (size_t i = 0; i < n; ++i) data += char('a' + (i * 7 + n) % 26);
      ASSERT_TRUE(from->send(data, true));   // one send(), or one TLS record
      for (wire_peer* to : {rfc6455, hixie}) {
        std::string joined;
        EXPECT_EQ(collect_pieces(to, n, largest, &joined), "") << "at " << to->name;
        EXPECT_TRUE(joined == data) << "at " << to->name;
      }
      EXPECT_EQ(raw_to->expect(data, true, 5000).substr(0, 200), "");
      if (from == raw) {
        EXPECT_EQ(tls->expect(data, true, 5000).substr(0, 200), "");
      }
    }
  }
  EXPECT_EQ(relay.out().find("!!"), std::string::npos) << relay.out();
}

TEST_F(RelayWebSocket, HixieClientsOverTcpAndTlsHandshakeAndTradeMessages) {
  ASSERT_TRUE(add_certificate());
  ASSERT_TRUE(start(WSRELAY_BIN, {"-c", "6"}));
  auto* raw = add_raw("raw");
  ASSERT_TRUE(raw);
  auto* py = add_python("python", "ws");
  ASSERT_TRUE(py);

  // The draft's own example request; the reply names ws:// also over TLS.
  for (wire::mode m : {wire::plain, wire::tls}) {
    SCOPED_TRACE(m == wire::tls ? "over TLS" : "over TCP");
    auto h = std::make_unique<wire_peer>();
    h->name = "hixie-76";
    h->proto = wire_peer::hixie76;
    ASSERT_TRUE(h->w.connect(relay.port, m));
    std::string reply;
    EXPECT_TRUE(hixie76_open(h->w, &reply)) << shown(reply);
    wire_peer* hixie = settle(std::move(h));
    ASSERT_TRUE(hixie);
    EXPECT_EQ(kinds(m == wire::tls ? "WSS" : "WS"), m == wire::tls ? 1u : 2u) << relay.out();

    // Two messages in one segment, then one cut in the middle.
    ASSERT_TRUE(hixie->w.send(hixie76_message("first") + hixie76_message("second")));
    ASSERT_TRUE(hixie->w.send(std::string(1, '\0') + "cut in"));
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    ASSERT_TRUE(hixie->w.send(" two\xFF"));
    for (auto& to : peers) {
      if (to.get() == hixie) continue;
      if (to.get() == raw) {
        EXPECT_EQ(raw->expect("firstsecondcut in two", true, 5000), "");
        continue;
      }
      for (const char* p : {"first", "second", "cut in two"})
        EXPECT_EQ(to->expect(p, true, 5000), "") << "at " << to->name;
    }

    // From the others: the payload, framed by 0x00 and 0xFF.
    everyone_gets(py, "to hixie \xC3\xA9", true, true);
    everyone_gets(raw, "raw to hixie", true, true);
  }
}

}  // namespace
