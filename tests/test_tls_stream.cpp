// The TLS stream: recognition and handshake, records both ways, a reader and
// a writer on one connection at once, the ends of a connection, and the
// reference count across releases and the next connection.
#include <gtest/gtest.h>
#include <openssl/buffer.h>
#include <openssl/ssl.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/atomic.h"
#include "platform/winsock.h"
#include "stream/context.h"
#include "stream/tls.h"
#include "stream/tls_ref.h"
#include "support/certs.h"
#include "support/loopback_pair.h"
#include "support/fd_capture.h"
#include "support/tcp_client.h"
#include "support/tls_client.h"
#include "support/at_once.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

void set_receive_timeout(SOCKET s, int ms) {
  win::setsockopt(s, win::SOL_SOCKET, win::SO_RCVTIMEO, reinterpret_cast<const char*>(&ms),
                  sizeof ms);
}

std::string pattern(size_t size, unsigned seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + seed + (i >> 9)) & 0xFF);
  return s;
}

long long elapsed_ms(clock_type::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count();
}

// A server context loaded from a certificate made for this run.
class WithCertificate : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    temp_dir dir;
    ASSERT_TRUE(write_cert_file(dir.path + "/wsrelay-cert.pem", cert_days(30)));
    run_ctx_setup_in(dir.path);
    ASSERT_TRUE(tls_ready);
  }
  static void TearDownTestSuite() { ctx_free(); }
};

class TlsStream : public WithCertificate {
 protected:
  void SetUp() override {
    tls.init();
    tls.p_recv = handshake_buffer.data();
    tls.p_recv_size = handshake_buffer.size();
    ASSERT_TRUE(pair.open());
  }
  void TearDown() override { tls.close(); }

  // Hands the server end to the stream while `client` connects; returns what
  // `open` gave. Every later socket read is bounded too.
  int32_t open_with(tls_client& client, loopback_pair& p, int min_version, int max_version,
                    bool* connected = nullptr) {
    auto handshake = std::async(std::launch::async, [&] {
      return client.connect(p.client, min_version, max_version);
    });
    SOCKET s = p.take_server();
    set_receive_timeout(s, 500);
    int32_t result = tls.open(s);
    if (result != 0) tls.release_stream();   // lets a waiting client see the end
    bool ok = handshake.get();
    if (connected != nullptr) *connected = ok;
    set_receive_timeout(s, 3000);
    return result;
  }
  int32_t open_with(tls_client& client, int min_version = TLS1_2_VERSION, int max_version = 0) {
    return open_with(client, pair, min_version, max_version);
  }

  std::string recv_text(size_t size) {
    std::string got;
    std::vector<uint8_t> buf(16384);
    for (int i = 0; i < 1000 && got.size() < size; ++i) {
      int64_t n = tls.recv(buf.data(), static_cast<int32_t>(buf.size()));
      if (n <= 0) break;
      got.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
    }
    return got;
  }
  int64_t send_text(const std::string& text) {
    return tls.send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }

  std::vector<uint8_t> handshake_buffer = std::vector<uint8_t>(4096);
  QOR_TLS tls{};
  loopback_pair pair;
};

class TlsVersions : public TlsStream, public ::testing::WithParamInterface<int> {};

TEST_P(TlsVersions, HandshakeThenRecordsBothWays) {
  tls_client client;
  ASSERT_EQ(open_with(client, GetParam(), GetParam()), 0);
  EXPECT_NE(tls.ssl, nullptr);
  EXPECT_EQ(tls.refs, 1);
  EXPECT_EQ(client.version(), GetParam() == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2");

  ASSERT_TRUE(client.write_all("ping"));
  EXPECT_EQ(recv_text(4), "ping");
  EXPECT_EQ(send_text("pong"), 4);
  EXPECT_EQ(client.read(4), "pong");
}

INSTANTIATE_TEST_SUITE_P(Versions, TlsVersions, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == TLS1_3_VERSION ? "tls13" : "tls12";
                         });

TEST_F(TlsStream, ClientOfferingOnlyTls11IsRefused) {
  tls_client client;
  bool connected = true;
  EXPECT_EQ(open_with(client, pair, TLS1_1_VERSION, TLS1_1_VERSION, &connected), -1);
  EXPECT_FALSE(connected);
  EXPECT_EQ(tls.ssl, nullptr);
  EXPECT_EQ(tls.refs, 0);
}

TEST_F(TlsStream, ServerFlightLargerThanTheHandshakeBufferStillGoesOut) {
  tls.p_recv_size = 256;   // far below the server's first flight
  tls_client client;
  ASSERT_EQ(open_with(client, TLS1_3_VERSION, TLS1_3_VERSION), 0);
  ASSERT_TRUE(client.write_all("after"));
  EXPECT_EQ(recv_text(5), "after");
}

TEST_F(TlsStream, LargeSendArrivesWhole) {
  tls_client client;
  ASSERT_EQ(open_with(client), 0);
  const std::string data = pattern(500000, 1);
  auto reader = std::async(std::launch::async, [&] { return client.read(data.size(), 5000); });
  EXPECT_EQ(send_text(data), 500000);
  std::string got = reader.get();
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data) << "the bytes differ";
}

// The relay's reader and writer share the connection: the reader's SSL_read
// also writes (key update answers) while the writer's records are on the wire.
class ReaderAndWriter : public TlsStream, public ::testing::WithParamInterface<int> {};

TEST_P(ReaderAndWriter, AtOnceLoseAndReorderNothing) {
  tls_client client;
  ASSERT_EQ(open_with(client, GetParam(), GetParam()), 0);
  const std::string upstream = pattern(300000, 2);
  const std::string downstream = pattern(300000, 3);

  auto reader = std::async(std::launch::async, [&] { return recv_text(upstream.size()); });
  auto writer = std::async(std::launch::async, [&] {
    size_t at = 0;
    for (size_t i = 0; at < downstream.size(); ++i) {
      size_t size = std::min<size_t>(1 + (i * 397) % 4095, downstream.size() - at);
      if (tls.send(reinterpret_cast<const uint8_t*>(downstream.data() + at), size) !=
          static_cast<int64_t>(size))
        return false;
      at += size;
    }
    return true;
  });
  std::string got;
  size_t key_update_every = GetParam() == TLS1_3_VERSION ? 20000 : 0;
  EXPECT_TRUE(client.exchange(upstream, downstream.size(), &got, 10000, key_update_every));
  EXPECT_TRUE(writer.get());
  std::string read = reader.get();
  EXPECT_EQ(read.size(), upstream.size());
  EXPECT_TRUE(read == upstream) << "upstream bytes differ";
  EXPECT_EQ(got.size(), downstream.size());
  EXPECT_TRUE(got == downstream) << "downstream bytes differ";
}

INSTANTIATE_TEST_SUITE_P(Versions, ReaderAndWriter, ::testing::Values(TLS1_2_VERSION, TLS1_3_VERSION),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == TLS1_3_VERSION ? "tls13_key_updates" : "tls12";
                         });

// While the writer is held up by a client that does not read, the reader's
// SSL_read answers the client's key update requests into the write BIO.
// Those answers must reach the client ahead of the records made after them,
// or the client cannot decrypt anything that follows.
TEST_F(TlsStream, ReaderOutputWhileTheWriterIsHeldUpIsNotLost) {
  tls_client client;
  ASSERT_EQ(open_with(client, TLS1_3_VERSION, TLS1_3_VERSION), 0);
  int small = 8192;
  win::setsockopt(tls.so, win::SOL_SOCKET, win::SO_SNDBUF, reinterpret_cast<const char*>(&small),
                  sizeof small);
  const std::string upstream = pattern(60000, 4);
  const std::string downstream = pattern(600000, 5);

  auto writer = std::async(std::launch::async, [&] {
    size_t at = 0;
    while (at < downstream.size()) {
      size_t size = std::min<size_t>(4095, downstream.size() - at);
      if (tls.send(reinterpret_cast<const uint8_t*>(downstream.data() + at), size) !=
          static_cast<int64_t>(size))
        return false;
      at += size;
    }
    return true;
  });
  auto reader = std::async(std::launch::async, [&] { return recv_text(upstream.size()); });
  std::this_thread::sleep_for(100ms);   // the writer's send now waits for the client

  std::string none;
  EXPECT_TRUE(client.exchange(upstream, 0, &none, 5000, 5000));
  EXPECT_EQ(reader.get(), upstream);
  std::string got = client.read(downstream.size(), 10000);
  EXPECT_EQ(got.size(), downstream.size());
  EXPECT_TRUE(got == downstream) << "downstream bytes differ";
  EXPECT_TRUE(writer.get());
}

TEST_F(TlsStream, ClientHelloThenSilenceEndsWithTheReceiveTimeout) {
  std::string hello = client_hello_bytes();
  ASSERT_GT(hello.size(), 6u);
  ASSERT_TRUE(pair.client_send(hello));
  SOCKET s = pair.take_server();
  set_receive_timeout(s, 500);
  auto start = clock_type::now();
  EXPECT_EQ(tls.open(s), -1);
  long long waited = elapsed_ms(start);
  EXPECT_EQ(tls.status, 0);
  EXPECT_EQ(tls.last_recv_error, WSAETIMEDOUT);
  EXPECT_GE(waited, 400);
  EXPECT_LT(waited, 2000);
  EXPECT_NE(tls.ssl, nullptr);   // held until the caller releases it
  tls.release_stream();
  EXPECT_EQ(tls.refs, 0);
}

TEST_F(TlsStream, GarbageAfterAHelloHeaderFailsThatHandshakeOnly) {
  std::string garbage("\x16\x03\x01\x00\x40\x01", 6);
  garbage.append(64, '\xEE');
  ASSERT_TRUE(pair.client_send(garbage));
  SOCKET s = pair.take_server();
  set_receive_timeout(s, 500);
  auto start = clock_type::now();
  EXPECT_EQ(tls.open(s), -1);
  EXPECT_LT(elapsed_ms(start), 400);   // refused on sight, not by time-out
  EXPECT_EQ(tls.status, SSL_ERROR_SSL);
  tls.release_stream();

  loopback_pair next;
  ASSERT_TRUE(next.open());
  tls_client client;
  ASSERT_EQ(open_with(client, next, TLS1_2_VERSION, 0), 0);
  ASSERT_TRUE(client.write_all("fine"));
  EXPECT_EQ(recv_text(4), "fine");
}

TEST_F(TlsStream, CloseNotifyReadsZeroWithStatus6) {
  tls_client client;
  ASSERT_EQ(open_with(client), 0);
  client.close_notify();
  uint8_t buf[64];
  EXPECT_EQ(tls.recv(buf, sizeof buf), 0);
  EXPECT_EQ(tls.status, SSL_ERROR_ZERO_RETURN);
}

TEST_F(TlsStream, TcpCloseWithoutCloseNotifyReadsFailureWithStatus0) {
  tls_client client;
  ASSERT_EQ(open_with(client), 0);
  pair.close_client();
  uint8_t buf[64];
  EXPECT_EQ(tls.recv(buf, sizeof buf), -1);
  EXPECT_EQ(tls.status, 0);
}

TEST_F(TlsStream, SendWhileTheReaderWaitsForData) {
  tls_client client;
  ASSERT_EQ(open_with(client), 0);
  auto reader = std::async(std::launch::async, [&] { return recv_text(5); });
  std::this_thread::sleep_for(50ms);   // the reader is in its socket read
  auto start = clock_type::now();
  EXPECT_EQ(send_text("first"), 5);
  EXPECT_LT(elapsed_ms(start), 1000);
  EXPECT_EQ(client.read(5), "first");
  ASSERT_TRUE(client.write_all("reply"));
  EXPECT_EQ(reader.get(), "reply");
}

TEST_F(TlsStream, ReleaseWhileTheReaderWaitsLetsTheReaderFreeTheObject) {
  tls_client client;
  ASSERT_EQ(open_with(client), 0);
  auto reader = std::async(std::launch::async, [&] {
    uint8_t buf[64];
    return tls.recv(buf, sizeof buf);
  });
  std::this_thread::sleep_for(50ms);
  tls.release_stream();   // as the writer does after a failed send
  EXPECT_EQ(tls.ssl, nullptr);
  ASSERT_EQ(reader.wait_for(3s), std::future_status::ready);
  EXPECT_EQ(reader.get(), -1);
  EXPECT_EQ(tls.refs, 0);   // the reader dropped the last reference
}

TEST_F(TlsStream, CallsOnAReleasedStreamFailWithoutTouchingIt) {
  tls_client client;
  ASSERT_EQ(open_with(client), 0);
  tls.release_stream();
  uint8_t buf[16] = {};
  // As if the release came between the dispatch and taking the reference.
  EXPECT_EQ(tls.recv_tls(buf, sizeof buf), -1);
  EXPECT_EQ(tls.status, -1);
  tls.status = 0;
  EXPECT_EQ(tls.send_tls(buf, sizeof buf), -1);
  EXPECT_EQ(tls.status, -1);
  EXPECT_EQ(tls.accept_tls(), -1);
  EXPECT_EQ(tls.refs, 0);
}

TEST_F(TlsStream, ReleaseByManyThreadsFreesTheObjectOnce) {
  tls_client client;
  ASSERT_EQ(open_with(client), 0);
  run_at_once(8, [&] { tls.release_stream(); });
  EXPECT_EQ(tls.ssl, nullptr);
  EXPECT_EQ(tls.so, INVALID_SOCKET);
  EXPECT_EQ(tls.refs, 0);
}

// A writer still inside a send of the ended connection holds a reference to
// its object: the next connection's object must neither count it nor be
// freed by its drop.
TEST_F(TlsStream, StaleReferenceIsNotCountedAgainstTheNextConnection) {
  tls_client first;
  ASSERT_EQ(open_with(first), 0);
  SSL* old = tls_take_ref(&tls);
  ASSERT_NE(old, nullptr);
  tls.release_stream();
  EXPECT_EQ(tls.refs, 1);   // only the stale reference is left

  loopback_pair next;
  ASSERT_TRUE(next.open());
  tls_client second;
  auto opened = std::async(std::launch::async, [&] { return open_with(second, next, TLS1_2_VERSION, 0); });
  std::this_thread::sleep_for(100ms);
  tls_drop_ref(&tls, old);   // frees the old object
  ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
  ASSERT_EQ(opened.get(), 0);
  EXPECT_EQ(tls.refs, 1);
  EXPECT_NE(tls.ssl, nullptr);   // holds the new object

  ASSERT_TRUE(second.write_all("next"));
  EXPECT_EQ(recv_text(4), "next");
  EXPECT_EQ(send_text("back"), 4);
  EXPECT_EQ(second.read(4), "back");
  tls.release_stream();
  EXPECT_EQ(tls.refs, 0);
}

// A writer that comes to send just as the stream lets its session go must
// fail: it may not fall back to the plain socket, or the peer gets the data
// in the clear.
TEST_F(TlsStream, SendArrivingDuringAReleaseNeverGoesOutInTheClear) {
  const std::string marker = "clear text that must never be on the wire";
  for (int round = 0; round < 20; ++round) {
    loopback_pair p;
    ASSERT_TRUE(p.open());
    tls_client client;
    ASSERT_EQ(open_with(client, p, TLS1_2_VERSION, 0), 0);
    std::thread writer([&] {
      while (a_load(tls.ssl) != nullptr) {
      }
      EXPECT_EQ(send_text(marker), -1);
    });
    std::this_thread::sleep_for(1ms);
    tls.release_stream();
    writer.join();
    std::string wire = p.client_read(1 << 20, 3000);
    ASSERT_EQ(wire.find(marker), std::string::npos) << "round " << round;
  }
}

// The client finishes its side when the server can no longer send: the
// server's last flight (the TLS 1.3 session tickets) cannot go out, and the
// open must fail rather than report a TLS connection.
TEST_F(TlsStream, HandshakeWhoseLastFlightCannotGoOutFails) {
  SSL_CTX* client_ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(client_ctx, nullptr);
  SSL_CTX_set_min_proto_version(client_ctx, TLS1_3_VERSION);
  SSL* c = SSL_new(client_ctx);
  SSL_set_bio(c, BIO_new(BIO_s_mem()), BIO_new(BIO_s_mem()));
  auto client_out = [&] {
    char b[16384];
    for (int n; (n = BIO_read(SSL_get_wbio(c), b, sizeof b)) > 0;) pair.client_send(b, size_t(n));
  };
  EXPECT_EQ(SSL_connect(c), -1);   // the ClientHello is written
  client_out();
  SOCKET s = pair.take_server();
  set_receive_timeout(s, 3000);
  auto opened = std::async(std::launch::async, [&] { return tls.open(s); });
  int r = -1;
  for (int i = 0; i < 100 && r != 1; ++i) {
    std::string in = pair.client_read_available(100);
    if (!in.empty()) BIO_write(SSL_get_rbio(c), in.data(), static_cast<int>(in.size()));
    r = SSL_connect(c);
  }
  EXPECT_EQ(r, 1);
  win::shutdown(s, win::SD_SEND);
  client_out();   // the client's Finished
  ASSERT_EQ(opened.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(opened.get(), -1);
  tls.release_stream();
  SSL_free(c);
  SSL_CTX_free(client_ctx);
}

TEST_F(TlsStream, HandshakeWithoutItsBufferFails) {
  tls.p_recv = nullptr;
  tls_client client;
  std::string printed;
  {
    fd_capture out(1);
    EXPECT_EQ(open_with(client), -1);
    printed = out.text();
  }
  EXPECT_EQ(printed, "p_recv or p_recv_size not set\n");
  EXPECT_EQ(tls.refs, 0);
}

// The write BIO as the stream relies on it: after a partial read its buffer
// holds only the unread bytes, from its start; once detached it stays as it
// was while new writes go to the buffer attached in its place.
TEST(MemoryBio, DetachedBufferKeepsItsBytesWhileTheBioTakesNewOnes) {
  BIO* bio = BIO_new(BIO_s_mem());
  ASSERT_NE(bio, nullptr);
  ASSERT_EQ(BIO_write(bio, "0123456789", 10), 10);
  char head[4];
  ASSERT_EQ(BIO_read(bio, head, 4), 4);

  BUF_MEM* records = nullptr;
  BIO_get_mem_ptr(bio, &records);
  ASSERT_NE(records, nullptr);
  ASSERT_EQ(records->length, 6u);
  EXPECT_EQ(std::string(records->data, 6), "456789");

  BUF_MEM* spare = BUF_MEM_new();
  BIO_set_close(bio, BIO_NOCLOSE);
  BIO_set_mem_buf(bio, spare, BIO_CLOSE);
  EXPECT_EQ(BIO_pending(bio), 0);
  ASSERT_EQ(BIO_write(bio, "abc", 3), 3);
  EXPECT_EQ(std::string(records->data, records->length), "456789");
  char got[8];
  ASSERT_EQ(BIO_read(bio, got, sizeof got), 3);
  EXPECT_EQ(std::string(got, 3), "abc");

  // Emptied and attached again, it serves from its start without growing.
  const size_t capacity = records->max;
  records->length = 0;
  BIO_set_close(bio, BIO_NOCLOSE);
  BIO_set_mem_buf(bio, records, BIO_CLOSE);
  BUF_MEM_free(spare);   // detached again, and ours
  ASSERT_EQ(BIO_write(bio, "xy", 2), 2);
  EXPECT_EQ(records->max, capacity);
  EXPECT_EQ(std::string(records->data, records->length), "xy");
  BIO_free(bio);
}

class NoCertificate : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    temp_dir empty;
    run_ctx_setup_in(empty.path);
  }
  static void TearDownTestSuite() { ctx_free(); }
};

TEST_F(NoCertificate, ClientHelloIsRefusedWithoutAnSslObject) {
  ASSERT_FALSE(tls_ready);
  QOR_TLS tls{};
  tls.init();
  std::vector<uint8_t> buffer(4096);
  tls.p_recv = buffer.data();
  tls.p_recv_size = buffer.size();
  loopback_pair pair;
  ASSERT_TRUE(pair.open());
  ASSERT_TRUE(pair.client_send(client_hello_bytes()));
  SOCKET s = pair.take_server();
  set_receive_timeout(s, 500);
  auto start = clock_type::now();
  std::string printed;
  {
    fd_capture out(1);
    EXPECT_EQ(tls.open(s), -1);
    printed = out.text();
  }
  EXPECT_LT(elapsed_ms(start), 400);
  EXPECT_EQ(printed, "");   // the stream reports nothing
  EXPECT_EQ(tls.ssl, nullptr);
  EXPECT_EQ(tls.refs, 0);
  EXPECT_EQ(tls.so, s);
  tls.close();
}

// Smoke test with an independent client: the command-line TLS client.
TEST_F(WithCertificate, CommandLineClientGetsThrough) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no openssl command";
  win::WSADATA data;
  ASSERT_EQ(win::WSAStartup(0x0202, &data), 0);
  SOCKET listener = win::socket(win::AF_INET, win::SOCK_STREAM, win::IPPROTO_TCP);
  ASSERT_NE(listener, INVALID_SOCKET);
  uint16_t port = 0;
  for (int i = 0; i < 100 && port == 0; ++i) {
    uint16_t p = static_cast<uint16_t>(30000 + (std::rand() % 30000));
    win::sockaddr_in a{};
    a.sin_family = win::AF_INET;
    a.sin_port = win::htons(p);
    a.sin_addr.s_addr = win::inet_addr("127.0.0.1");
    if (win::bind(listener, reinterpret_cast<win::sockaddr*>(&a), sizeof a) == 0) port = p;
  }
  ASSERT_NE(port, 0);
  ASSERT_EQ(win::listen(listener, 1), 0);

  char command[256];
  std::snprintf(command, sizeof command,
                "printf 'hello\\n' | timeout 10 openssl s_client -connect 127.0.0.1:%u -quiet 2>&1",
                port);
  FILE* client = popen(command, "r");
  ASSERT_NE(client, nullptr);
  SOCKET s = win::accept(listener, nullptr, nullptr);
  win::closesocket(listener);
  ASSERT_NE(s, INVALID_SOCKET);
  set_receive_timeout(s, 3000);

  QOR_TLS tls{};
  tls.init();
  std::vector<uint8_t> buffer(4096);
  tls.p_recv = buffer.data();
  tls.p_recv_size = buffer.size();
  EXPECT_EQ(tls.open(s), 0);
  uint8_t line[64];
  int64_t n = tls.recv(line, sizeof line);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(line), n > 0 ? static_cast<size_t>(n) : 0), "hello\n");
  EXPECT_EQ(tls.send(reinterpret_cast<const uint8_t*>("world\n"), 6), 6);
  tls.release_stream();

  std::string out;
  char block[512];
  size_t got;
  while ((got = fread(block, 1, sizeof block, client)) > 0) out.append(block, got);
  pclose(client);
  EXPECT_NE(out.find("world"), std::string::npos) << out;
  tls.close();
}

}  // namespace
