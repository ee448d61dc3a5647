// Wintun packet handling against a fake session: the rings as queues, and a
// check that every received packet is released exactly once.
#include "platform/windows/wintun_packets.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vantor::platform::windows {
namespace {

struct FakeSession {
  std::deque<std::string> incoming;
  std::map<const uint8_t*, std::unique_ptr<std::string>> handedOut;  // received, not yet released
  int released = 0;
  uint32_t receiveError = kErrorNoMoreItems;  // what an empty ring reports
  std::size_t sendCapacity = 1 << 20;
  std::size_t sendUsed = 0;
  std::vector<std::string> allocated;  // slots in allocation order
  std::vector<std::string> sent;
  uint32_t lastError = 0;
};

thread_local FakeSession* current = nullptr;

const uint8_t* fakeReceive(void* s, uint32_t* size) {
  auto* f = static_cast<FakeSession*>(s);
  if (f->incoming.empty()) {
    f->lastError = f->receiveError;
    return nullptr;
  }
  auto owned = std::make_unique<std::string>(std::move(f->incoming.front()));
  f->incoming.pop_front();
  *size = static_cast<uint32_t>(owned->size());
  auto* p = reinterpret_cast<const uint8_t*>(owned->data());
  f->handedOut[p] = std::move(owned);
  return p;
}

void fakeRelease(void* s, const uint8_t* packet) {
  auto* f = static_cast<FakeSession*>(s);
  ASSERT_EQ(f->handedOut.erase(packet), 1u) << "released a packet that was not handed out";
  ++f->released;
}

uint8_t* fakeAllocate(void* s, uint32_t size) {
  auto* f = static_cast<FakeSession*>(s);
  if (f->sendUsed + size > f->sendCapacity) {
    f->lastError = kErrorBufferOverflow;
    return nullptr;
  }
  f->sendUsed += size;
  f->allocated.emplace_back(size, '\0');
  return reinterpret_cast<uint8_t*>(f->allocated.back().data());
}

void fakeSend(void* s, const uint8_t* packet) {
  auto* f = static_cast<FakeSession*>(s);
  for (const std::string& slot : f->allocated)
    if (reinterpret_cast<const uint8_t*>(slot.data()) == packet) f->sent.push_back(slot);
}

uint32_t fakeLastError() { return current->lastError; }

class WintunPacketsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    current = &fake;
    fake.allocated.reserve(64);  // slot addresses stay put
    calls.session = &fake;
    calls.receive = fakeReceive;
    calls.release = fakeRelease;
    calls.allocate = fakeAllocate;
    calls.send = fakeSend;
    calls.lastError = fakeLastError;
  }
  FakeSession fake;
  WintunPacketCalls calls;
};

std::string packet(char fill, std::size_t length) { return std::string(length, fill); }

TEST_F(WintunPacketsTest, ReadsWholePacketsUntilTheRingIsEmpty) {
  fake.incoming = {packet('a', 60), packet('b', 1500)};
  {
    WintunPackets p(calls);
    char buffer[2000];
    ASSERT_EQ(p.read(buffer, sizeof buffer), 60);
    EXPECT_EQ(std::string(buffer, 60), packet('a', 60));
    ASSERT_EQ(p.read(buffer, sizeof buffer), 1500);
    EXPECT_EQ(std::string(buffer, 1500), packet('b', 1500));
    EXPECT_EQ(p.read(buffer, sizeof buffer), kTunWouldBlock);
    EXPECT_EQ(p.error(), kErrorNoMoreItems);

    // A packet too large for the buffer is dropped, never cut short.
    fake.incoming = {packet('c', 1000), packet('d', 100)};
    ASSERT_EQ(p.read(buffer, 500), 100);
    EXPECT_EQ(buffer[0], 'd');
    EXPECT_EQ(p.oversizedDropped(), 1u);

    // The adapter going away is an error, not an empty ring.
    fake.receiveError = kErrorHandleEof;
    EXPECT_EQ(p.read(buffer, sizeof buffer), kTunError);
    EXPECT_EQ(p.error(), kErrorHandleEof);
  }
  EXPECT_TRUE(fake.handedOut.empty());
  EXPECT_EQ(fake.released, 4);
}

TEST_F(WintunPacketsTest, BatchesFillTheBufferAndKeepWhatDoesNotFit) {
  fake.incoming = {packet('a', 400), packet('b', 400), packet('c', 400), packet('d', 5000), packet('e', 100)};
  std::vector<uint8_t> buffer(1000);
  uint32_t lengths[8];
  {
    WintunPackets p(calls);
    ASSERT_EQ(p.readBatch(buffer.data(), buffer.size(), lengths, 8), 2);  // "c" does not fit behind them
    EXPECT_EQ(lengths[0], 400u);
    EXPECT_EQ(lengths[1], 400u);
    EXPECT_EQ(buffer[399], 'a');
    EXPECT_EQ(buffer[400], 'b');
    EXPECT_EQ(fake.handedOut.size(), 1u);  // "c" is held, not lost
    // Next batch: "c", then "d" (larger than the whole buffer) is dropped, then "e".
    ASSERT_EQ(p.readBatch(buffer.data(), buffer.size(), lengths, 8), 2);
    EXPECT_EQ(lengths[0], 400u);
    EXPECT_EQ(buffer[0], 'c');
    EXPECT_EQ(lengths[1], 100u);
    EXPECT_EQ(buffer[400], 'e');
    EXPECT_EQ(p.oversizedDropped(), 1u);
    EXPECT_EQ(p.readBatch(buffer.data(), buffer.size(), lengths, 8), 0);

    // The packet limit holds too, and a held packet is released with the session.
    fake.incoming = {packet('f', 100), packet('g', 100)};
    ASSERT_EQ(p.readBatch(buffer.data(), buffer.size(), lengths, 1), 1);
    ASSERT_EQ(p.readBatch(buffer.data(), 50, lengths, 8), 0);  // "g" does not fit 50 bytes: dropped
    fake.incoming = {packet('h', 100), packet('i', 100)};
    ASSERT_EQ(p.readBatch(buffer.data(), 150, lengths, 8), 1);  // "i" stays held
    EXPECT_EQ(fake.handedOut.size(), 1u);

    fake.receiveError = kErrorHandleEof;
    fake.incoming.clear();
  }
  EXPECT_TRUE(fake.handedOut.empty());
  EXPECT_EQ(fake.released, 9);
}

TEST_F(WintunPacketsTest, WritesQueueWholePacketsAndReportAFullRing) {
  fake.sendCapacity = 3000;
  WintunPackets p(calls);
  std::string first = packet('x', 1400), second = packet('y', 1400);
  EXPECT_EQ(p.write(first.data(), first.size()), 1400);
  EXPECT_EQ(p.write(second.data(), second.size()), 1400);
  EXPECT_EQ(p.write(first.data(), first.size()), kTunWouldBlock);  // the ring is full
  ASSERT_EQ(fake.sent.size(), 2u);
  EXPECT_EQ(fake.sent[0], first);
  EXPECT_EQ(fake.sent[1], second);

  EXPECT_EQ(p.write(first.data(), 0), kTunError);
  std::string huge(kWintunMaxPacket + 1, 'z');
  EXPECT_EQ(p.write(huge.data(), huge.size()), kTunError);
  EXPECT_EQ(p.error(), kErrorInvalidParam);
  EXPECT_EQ(fake.sent.size(), 2u);
}

}  // namespace
}  // namespace vantor::platform::windows
