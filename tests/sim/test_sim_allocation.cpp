// qxsim serves a request without touching the heap, once a connection is
// warm: every allocation of the process is counted while requests go
// through the device server on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "platform/socket.h"
#include "platform/status.h"
#include "sim/bench.h"

namespace {
std::atomic<long> gAllocations{0};
}  // namespace

void* operator new(size_t size) {
  ++gAllocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

// One request and its whole reply; false on any failure.
bool Exchange(platform::TcpSocket& s, const uint8_t* request, size_t size, size_t replySize) {
  if (s.SendAll(request, size, 2000) != platform::kOk) return false;
  uint8_t reply[64];
  size_t have = 0;
  while (have < replySize) {
    size_t n = 0;
    if (s.Receive(reply + have, replySize - have, &n, 2000) != platform::kOk) return false;
    have += n;
  }
  return true;
}

TEST(SimAllocationTest, ServingARequestAllocatesNothing) {
  qxsim::Bench bench;
  std::string error;
  ASSERT_TRUE(bench.Start(&error)) << error;
  platform::TcpSocket s;
  ASSERT_EQ(s.Connect("127.0.0.1", bench.usbPort(), 2000), platform::kOk);
  // Function 76 and function 3, each reading the product identifier.
  const uint8_t feedback[] = {0, 1, 0, 0, 0, 6, 0, 76, 0, 0xEA, 0x60, 2};
  const uint8_t standard[] = {0, 2, 0, 0, 0, 6, 0, 3, 0xEA, 0x60, 0, 2};
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(Exchange(s, feedback, sizeof feedback, 12));
  long before = gAllocations.load();
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(Exchange(s, feedback, sizeof feedback, 12));
    ASSERT_TRUE(Exchange(s, standard, sizeof standard, 13));
  }
  EXPECT_EQ(gAllocations.load() - before, 0);
}

}  // namespace
