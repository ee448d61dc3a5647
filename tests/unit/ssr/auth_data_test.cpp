#include <gtest/gtest.h>

#include <set>

#include "crypto/ssr/auth_data.h"
#include "crypto/ssr/plugins.h"

namespace vantor {
namespace {

constexpr uint32_t kMask = 0x00FFFFFDu;

TEST(AuthData, RenewAndCheck) {
  CAuthData a;
  std::set<uint32_t> ids;
  for (int i = 0; i < 16; ++i) {
    a.Renew();
    EXPECT_EQ(a.connectionId.load(), a.clientId.load() & kMask);
    ids.insert(a.clientId.load());
  }
  EXPECT_GT(ids.size(), 1u) << "client id does not come from the random source";

  a.connectionId = 0xFF000000u;
  const uint32_t client = a.clientId;
  a.CheckConnectionId();
  EXPECT_EQ(a.connectionId.load(), 0xFF000000u);
  EXPECT_EQ(a.clientId.load(), client);
  EXPECT_EQ(a.NextConnectionId(), 0xFF000001u);
  a.CheckConnectionId();
  // A renewed counter has its top byte clear, so this proves renewal.
  EXPECT_EQ(a.connectionId.load(), a.clientId.load() & kMask);
}

TEST(AuthData, ProcessInstanceIsSharedAndRenewedByInit) {
  CAuthData* first = InitAuthData();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetProcessAuthData(), first);
  EXPECT_EQ(CreatePlugin("origin", "")->GetAuthData(), first);
  EXPECT_EQ(CreatePlugin("plain", "")->GetAuthData(), first);
  first->connectionId = 0xFFFFFFF0u;
  EXPECT_EQ(InitAuthData(), first);
  EXPECT_EQ(first->connectionId.load(), first->clientId.load() & kMask);
}

}  // namespace
}  // namespace vantor
