// The buffer pool: its size for a command line, the lines it prints on
// standard error in either mode, its failure, and freeing it.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <openssl/crypto.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "relay/ram.h"
#include "support/names.h"
#include "support/port.h"
#include "support/process.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;   // their shadow memory needs an unlimited address space
#else
constexpr bool SANITIZED = false;
#endif

namespace {

constexpr int RUN_LIMIT_MS = 30000;
constexpr uint64_t LARGE_PAGE = 0x200000;

bool all_zero(const QOR_RAM& pool) {
  QOR_RAM zero;
  memset(&zero, 0, sizeof zero);
  return memcmp(&pool, &zero, sizeof pool) == 0;
}

std::string hex16(const void* p) {
  char s[32];
  snprintf(s, sizeof s, "0x%016llx", (unsigned long long)(uintptr_t)p);
  return s;
}

// Standard error redirected into a file while the object lives.
class stderr_capture {
 public:
  stderr_capture() : file_(tmpfile()), saved_(dup(2)) { dup2(fileno(file_), 2); }
  ~stderr_capture() { restore(); }
  std::string text() {
    restore();
    std::string s;
    rewind(file_);
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, file_)) > 0;) s.append(buf, n);
    return s;
  }

 private:
  void restore() {
    if (saved_ == -1) return;
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_;
};

// Takes the lock-memory capability out of this thread's effective set for a
// while, and sets the soft lock limit to 0: without the capability or an
// unlimited lock limit there is no privilege, so no physical pages. The
// hard limit stays: it cannot be raised again here, even by root.
class no_lock_privilege {
 public:
  no_lock_privilege() {
    getrlimit(RLIMIT_MEMLOCK, &limit_);
    rlimit lowered = {0, limit_.rlim_max};
    setrlimit(RLIMIT_MEMLOCK, &lowered);
    set_ipc_lock(false);
  }
  ~no_lock_privilege() {
    set_ipc_lock(true);
    setrlimit(RLIMIT_MEMLOCK, &limit_);
  }

 private:
  static void set_ipc_lock(bool on) {
    __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &head, data) != 0) return;
    if (on)
      data[0].effective |= data[0].permitted & (1u << CAP_IPC_LOCK);
    else
      data[0].effective &= ~(1u << CAP_IPC_LOCK);
    syscall(SYS_capset, &head, data);
  }
  rlimit limit_;
};

bool has_lock_capability() {
  __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return syscall(SYS_capget, &head, data) == 0 && (data[0].effective & (1u << CAP_IPC_LOCK)) != 0;
}

// The console text with what varies from run to run masked: each address
// ("0x" and 8 or more hex digits, not all 0) becomes "0x#", and each error report's
// number and system text become "^ERROR: #".
std::string masked(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "0x") == 0) {
      size_t j = i + 2;
      while (j < text.size() && isxdigit((unsigned char)text[j])) ++j;
      // A null address stays as it is: it says that nothing was had.
      if (j - i - 2 >= 8 && text.find_first_not_of('0', i + 2) < j) {
        out += "0x#";
        i = j;
        continue;
      }
    }
    if (text.compare(i, 8, "^ERROR: ") == 0) {
      size_t end = text.find("\r\n", i);
      if (end != std::string::npos) {
        out += "^ERROR: #";
        i = end;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

// Every byte of the block can be written and read back.
bool block_usable(const QOR_RAM& pool) {
  for (uint64_t i = 0; i < pool.total_size; i += 4093) pool.base[i] = uint8_t(i * 7);
  for (uint64_t i = 0; i < pool.total_size; i += 4093)
    if (pool.base[i] != uint8_t(i * 7)) return false;
  return true;
}

TEST(pool, free_and_release_of_a_zeroed_pool_change_nothing) {
  QOR_RAM pool;
  memset(&pool, 0, sizeof pool);
  EXPECT_EQ(ram_free(&pool), -1);
  EXPECT_TRUE(all_zero(pool));
  ram_release(&pool);
  EXPECT_TRUE(all_zero(pool));
}

TEST(pool, large_page_size_is_the_systems_or_2_mib) {
  QOR_RAM pool;
  memset(&pool, 0, sizeof pool);
  const uint64_t system = win::GetLargePageMinimum();
  const uint32_t size = large_page_minimum(&pool);
  EXPECT_EQ(size, system != 0 ? uint32_t(system) : uint32_t(LARGE_PAGE));
  EXPECT_EQ(pool.use_awe, system != 0) << "physical pages are tried exactly when the system names a size";
  EXPECT_EQ(large_page_minimum(nullptr), size);
}

TEST(pool, awe_mode_maps_the_pages_and_says_where) {
  if (win::GetLargePageMinimum() == 0 || !has_lock_capability()) GTEST_SKIP() << "needs large pages and CAP_IPC_LOCK";
  QOR_RAM pool;
  memset(&pool, 0, sizeof pool);
  pool.verbose = true;
  stderr_capture capture;
  ASSERT_EQ(ram_alloc(&pool, 2), 0);
  const std::string err = capture.text();

  ASSERT_TRUE(pool.use_awe);
  EXPECT_FALSE(pool.locked);
  EXPECT_EQ(pool.total_size, 2 * LARGE_PAGE);
  EXPECT_EQ(pool.pages_requested, pool.total_size / sysconf(_SC_PAGESIZE));
  EXPECT_EQ(pool.pages_received, pool.pages_requested);
  EXPECT_NE(pool.aPFNs, nullptr);
  EXPECT_EQ(err, ":: AWE         4 MB physical RAM at: " + hex16(pool.base) + "\n:: page size   2 MB  ");
  EXPECT_TRUE(block_usable(pool));

  ram_release(&pool);
  EXPECT_TRUE(all_zero(pool));
}

TEST(pool, quiet_pool_prints_nothing) {
  QOR_RAM pool;
  memset(&pool, 0, sizeof pool);
  stderr_capture capture;
  ASSERT_EQ(ram_alloc(&pool, 1), 0);
  EXPECT_EQ(capture.text(), "");
  ram_release(&pool);
  EXPECT_TRUE(all_zero(pool));
}

std::string right(unsigned v, size_t width) {
  std::string s = std::to_string(v);
  return std::string(s.size() < width ? width - s.size() : 0, ' ') + s;
}

// Without the privilege the pool takes an aligned block. It raises the soft
// lock limit as far as the hard one goes: a block within the hard limit is
// locked (and cleared), a larger one is used unlocked.
class aligned_block : public testing::TestWithParam<bool> {};

TEST_P(aligned_block, is_used_without_the_lock_privilege) {
  const bool within_limit = GetParam();
  rlimit limit;
  getrlimit(RLIMIT_MEMLOCK, &limit);
  if (limit.rlim_max < 2 * LARGE_PAGE || (!within_limit && limit.rlim_max > 64 * LARGE_PAGE))
    GTEST_SKIP() << "the hard lock limit (" << limit.rlim_max << ") does not fit this case";
  const uint64_t pages = within_limit ? 1 : limit.rlim_max / LARGE_PAGE + 1;

  QOR_RAM pool;
  memset(&pool, 0, sizeof pool);
  pool.verbose = true;
  std::string err;
  {
    no_lock_privilege drop;
    stderr_capture capture;
    ASSERT_EQ(ram_alloc(&pool, pages), 0);
    err = capture.text();
  }
  EXPECT_FALSE(pool.use_awe);
  EXPECT_EQ(pool.locked, within_limit);
  EXPECT_EQ(pool.aPFNs, nullptr);
  EXPECT_EQ(pool.total_size, pages * LARGE_PAGE);
  EXPECT_EQ(uintptr_t(pool.base) % LARGE_PAGE, 0u) << "the block starts on a large page";
  EXPECT_EQ(err, ":: page size   2 MB  :: align " + right(unsigned(pages * 2), 4) + " MB RAM at: " +
                     hex16(pool.base) + (within_limit ? " [LOCKED]\n" : " \n"));
  if (within_limit) {
    bool zero = true;
    for (uint64_t i = 0; i < pool.total_size; ++i) zero = zero && pool.base[i] == 0;
    EXPECT_TRUE(zero) << "a locked block starts cleared";
  }
  EXPECT_TRUE(block_usable(pool));
  EXPECT_EQ(ram_free(&pool), 0);
  EXPECT_EQ(pool.base, nullptr);
  EXPECT_EQ(ram_free(&pool), -1) << "a second free has nothing to free";
  ram_release(&pool);
  EXPECT_TRUE(all_zero(pool));
}

INSTANTIATE_TEST_SUITE_P(lock_limit, aligned_block, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& i) {
                           return std::string(i.param ? "within" : "beyond");
                         });

// The pool the relay asks for: N = ceil(K * 3R / large page), R = L rounded
// up to 4096, L clamped to the large page when 0 or larger. Shown in MB on
// its AWE line or its align line.
struct size_case {
  std::vector<std::string> args;
  unsigned mb;
};

const size_case SIZE_CASES[] = {
    {{}, 2},                                 // 32 x 12288 bytes: 1 page
    {{"-L", "5000"}, 2},                     // R 8192: 786432 bytes, 1 page
    {{"-L", "0"}, 192},                      // L = 2 MiB: 96 pages
    {{"-L", "2097153"}, 192},                // above the large page: the same
    {{"-c", "1"}, 2},                        // one slot
    {{"-c", "1", "-L", "2097152"}, 6},       // 3 whole pages, nothing over
    {{"-c", "3", "-L", "700000"}, 8},        // R 700416: 6303744 bytes, 4 pages
};

void PrintTo(const size_case& c, std::ostream* os) { *os << testing::PrintToString(c.args); }

class pool_size : public testing::TestWithParam<size_case> {};

TEST_P(pool_size, follows_connections_and_packet_length) {
  const size_case& c = GetParam();
  held_port held;  // the relay stops at once: it cannot bind
  ASSERT_NE(held.port, 0);
  std::vector<std::string> argv = {"wsrelay", "-p", std::to_string(held.port)};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  temp_dir dir;
  test_process p;
  ASSERT_TRUE(p.start(WSRELAY_BIN, argv, dir.path));
  ASSERT_TRUE(p.wait_exit(RUN_LIMIT_MS));
  EXPECT_EQ(p.exit_code, 1);   // the bind failure

  const std::string awe = ":: AWE " + right(c.mb, 9) + " MB physical RAM at: 0x#\n:: page size   2 MB  ";
  const std::string block = ":: page size   2 MB  :: align " + right(c.mb, 4) + " MB RAM at: 0x# ";
  const std::string err = masked(p.err);
  EXPECT_TRUE(err == awe || err == block + "[LOCKED]\n" || err == block + "\n") << p.err;
}

INSTANTIATE_TEST_SUITE_P(command_lines, pool_size, testing::ValuesIn(SIZE_CASES),
                         [](const testing::TestParamInfo<size_case>& i) { return case_name(i.index, i.param.args); });

void limit_address_space() {
  rlimit small = {160u << 20, 160u << 20};
  setrlimit(RLIMIT_AS, &small);
}

TEST(pool, relay_ends_with_1_when_no_pool_can_be_had) {
  if (SANITIZED) GTEST_SKIP() << "a sanitizer cannot run in a limited address space";
  held_port held;  // should the pool be had after all, the relay stops at bind
  ASSERT_NE(held.port, 0);
  temp_dir dir;
  test_process p;
  // 96 large pages do not fit in 160 MiB of address space.
  ASSERT_TRUE(p.start(WSRELAY_BIN, {"wsrelay", "-L", "0", "-p", std::to_string(held.port)}, dir.path,
                      limit_address_space));
  ASSERT_TRUE(p.wait_exit(RUN_LIMIT_MS));
  EXPECT_EQ(p.exit_code, 1);
  EXPECT_EQ(p.out.find(":: usage ::"), std::string::npos);
  EXPECT_EQ(p.out.find(":: bind("), std::string::npos) << "the relay never gets to run";
  EXPECT_EQ(p.out.substr(0, strlen(OpenSSL_version(OPENSSL_VERSION))), OpenSSL_version(OPENSSL_VERSION));
  // As root the physical pages are tried first and fail, each step said;
  // then the aligned block fails too. Nothing follows the last report.
  const std::string awe =
      ":: AWE       192 MB physical RAM at: 0x0000000000000000\n"
      "\n"
      "Memory to request for PFN array\t     384 KB\taPFNs [0x#]\n"
      "Requested number of pages\t   49152\tRequested   192 MB\n"
      "Received  number of pages\t   49152\tReceived    192 MB\n"
      "AllocateUserPhysicalPages\t[FAILED]\tpage size  4096 bytes\n"
      "MapUserPhysicalPages\t\t[FAILED]\n"
      "\n"
      "!! Failed to allocate physical RAM, the feature will be disabled!\n"
      "   ^ERROR: #\r\n";
  const std::string block =
      ":: page size   2 MB  :: align  192 MB RAM at: 0x0000000000000000 \n"
      "!! _aligned_malloc() failed to allocate RAM!\n"
      "   ^ERROR: #\r\n";
  const std::string err = masked(p.err);
  EXPECT_TRUE(err == awe + block || err == block) << p.err;
  EXPECT_EQ(p.err.find("   ^ERROR: 0,"), std::string::npos) << "a failure never reads as success";
}

}  // namespace
