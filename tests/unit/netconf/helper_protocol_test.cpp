// The helper's request parser: what a client may ask, and everything else
// refused with a reason before anything is done.
#include <gtest/gtest.h>

#include <string>

#include "helper/protocol.h"

namespace vantor::helper {
namespace {

TEST(HelperProtocol, RequestsOutsideWhatTheHelperMayDoAreRefusedWithAReason) {
  struct Case {
    const char* line;
    const char* reason;
  };
  const Case cases[] = {
      {"", "not a JSON object"},
      {"[1]", "not a JSON object"},
      {R"({"op":"x"})", "unknown operation"},
      {R"({"op":"routes_add","via":"eth0","routes":["10.0.0.0/8"]})", "\"tunnel\" or \"direct\" only"},
      {R"({"op":"routes_add","via":"direct","gateway":"192.0.2.1","routes":[]})", "\"gateway\" is not a field"},
      {R"({"op":"routes_add","via":"direct","ifindex":2,"routes":[]})", "\"ifindex\" is not a field"},
      {R"({"op":"routes_add","via":"tunnel","routes":["10.0.0.0/33"]})", "not a network"},
      {R"({"op":"routes_add","via":"tunnel","routes":["10.0.0.0"]})", "not a network"},
      {R"({"op":"routes_add","via":"tunnel","routes":[7]})", "A.B.C.D/LEN"},
      {R"({"op":"routes_add","via":"tunnel","metric":-1,"routes":[]})", "bad route metric"},
      {R"({"op":"dns","servers":["10.0.0.1"],"link":3})", "\"link\" is not a field"},
      {R"({"op":"dns","servers":["1.1.1.1","2.2.2.2","3.3.3.3","4.4.4.4"]})", "at most 3"},
      {R"({"op":"dns","servers":["resolver.example"]})", "not a DNS server"},
      {R"({"op":"tun_configure","name":"../etc"})", "not an interface name"},
      {R"({"op":"tun_configure","name":"averyveryverylongname"})", "not an interface name"},
      {R"({"op":"undo","path":"/etc/passwd"})", "\"path\" is not a field"},
      {R"({"op":"status","op":"undo"})", "not a JSON object"},
      {R"({"op":"status"} {"op":"undo"})", "not a JSON object"},
      // Deeper than the reader's nesting limit (which throws): refused, not a
      // crash of the helper.
      {"[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]", "not a JSON object"},
      {R"({"op":"routes_add","via":"tunnel","routes":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})",
       "not a JSON object"},
  };
  for (const Case& c : cases) {
    Request request;
    std::string error;
    EXPECT_FALSE(parseRequest(c.line, request, error)) << c.line;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.line << " -> " << error;
  }
  std::string tooMany = R"({"op":"routes_add","via":"tunnel","routes":[)";
  for (std::size_t i = 0; i <= kMaxSessionRoutes; ++i) tooMany += std::string(i ? "," : "") + "\"10.0.0.0/8\"";
  Request request;
  std::string error;
  EXPECT_FALSE(parseRequest(tooMany + "]}", request, error));
  EXPECT_NE(error.find("more than"), std::string::npos) << error;
}

TEST(HelperProtocol, GoodRequestsCarryTheirFields) {
  Request request;
  std::string error;
  ASSERT_TRUE(parseRequest(R"({"op":"routes_add","via":"tunnel","metric":1001,"routes":["10.1.2.3/16","0.0.0.0/1"]})",
                           request, error))
      << error;
  EXPECT_EQ(request.op, Op::RoutesAdd);
  EXPECT_TRUE(request.viaTunnel);
  EXPECT_EQ(request.metric, 1001u);
  ASSERT_EQ(request.routes.size(), 2u);
  // The host bits of a network are dropped: 10.1.2.3/16 is 10.1.0.0/16.
  EXPECT_EQ(request.routes[0].address, 0x0000010au);
  EXPECT_EQ(request.routes[0].mask, 0x0000ffffu);
  ASSERT_TRUE(parseRequest(R"({"op":"dns","servers":["10.88.0.53"],"replace_local":true})", request, error)) << error;
  EXPECT_TRUE(request.replaceLocal);
  EXPECT_EQ(request.servers.size(), 1u);
  ASSERT_TRUE(parseRequest(R"({"op":"tun_open","offload":true})", request, error)) << error;
  EXPECT_TRUE(request.offload);
  EXPECT_FALSE(changesHost(Op::Cleanup));
  EXPECT_TRUE(changesHost(Op::RoutesDelete));
  // Asking whether the TUN device can be had is no claim on the host: a
  // second program asks while another connection holds it.
  EXPECT_FALSE(changesHost(Op::Driver));
  EXPECT_TRUE(changesHost(Op::TunConfigure));
}

TEST(HelperProtocol, Ipv6RoutesAreNetworksOutsideTheHostsOwnLinks) {
  Request request;
  std::string error;
  ASSERT_TRUE(
      parseRequest(R"({"op":"routes6_add","via":"tunnel","routes":["::/1","8000::/1","2001:db8::7"]})", request, error))
      << error;
  EXPECT_EQ(request.op, Op::Routes6Add);
  EXPECT_TRUE(request.viaTunnel);
  ASSERT_EQ(request.routes6.size(), 3u);
  EXPECT_EQ(request.routes6[1].address[0], 0x80);
  EXPECT_EQ(request.routes6[1].prefixLength, 1);
  EXPECT_EQ(request.routes6[2].prefixLength, 128);  // a bare address is one host
  EXPECT_TRUE(changesHost(Op::Routes6Add));
  EXPECT_TRUE(changesHost(Op::TunIpv6));
  ASSERT_TRUE(parseRequest(R"({"op":"tun_ipv6"})", request, error)) << error;
  EXPECT_EQ(request.op, Op::TunIpv6);

  for (const char* bad : {
           R"({"op":"routes6_add","via":"tunnel","routes":["10.0.0.0/8"]})",
           R"({"op":"routes6_add","via":"tunnel","routes":["2001:db8::1/32"]})",  // host bits set
           R"({"op":"routes6_add","via":"tunnel","routes":["2001:db8::/129"]})",
           R"({"op":"routes6_add","via":"tunnel","routes":["fe80::/64"]})",
           R"({"op":"routes6_add","via":"direct","routes":["ff02::/16"]})",
           R"({"op":"routes6_add","via":"direct","routes":["::1/128"]})",
           R"({"op":"routes6_add","via":"gateway","routes":["::/1"]})",
           R"({"op":"routes6_add","via":"tunnel","routes":"::/1"})",
           R"({"op":"tun_ipv6","address":"fd00::1"})",  // the helper picks the address itself
       }) {
    EXPECT_FALSE(parseRequest(bad, request, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

}  // namespace
}  // namespace vantor::helper
