// Where the node tester sends its traffic: the web sites of the TCP test, the
// DNS server and name pairs of the UDP test and the address-echo services of
// the exit-address test. Each list is a setting; an empty value means the
// defaults below.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

struct Settings;

struct UdpTestPair {
  std::string server;  // DNS server, asked on port 53
  std::string name;    // host name to ask it for
};

struct TestTargets {
  std::vector<std::string> sites;
  std::vector<UdpTestPair> udpPairs;
  std::vector<std::string> exitServices;

  static TestTargets defaults();
  // From the settings "TestSites" (URLs separated by ","), "UdpTestPairs"
  // ("server,name" pairs separated by ";") and "ExitAddressServices" (URLs
  // separated by ","). An empty value keeps the defaults; items are trimmed,
  // empty items and pairs without both parts are left out.
  static TestTargets fromSettings(const std::string& testSites, const std::string& udpTestPairs,
                                  const std::string& exitAddressServices);
  // The same from the settings record (the caller holds its lock when other
  // threads may change it).
  static TestTargets fromSettings(const Settings& settings);
};

// "a,b , c" -> {"a", "b", "c"}: split at `separator`, blanks trimmed, empty items left out.
std::vector<std::string> splitList(const std::string& text, char separator);
// One "server,name" pair; false when either part is empty.
bool parseUdpTestPair(const std::string& text, UdpTestPair& pair);

// A test site or service URL split for an HTTP request.
struct SiteUrl {
  std::string host;
  uint16_t port = 80;
  std::string path;  // with the query, "/" when empty
};

// A site without "://" is taken as "http://site". Only plain http is
// accepted: the tester speaks HTTP itself, without TLS.
bool parseSite(const std::string& site, SiteUrl& url);

// The body of an address-echo service: a dotted IPv4 address of four
// non-empty numeric parts (leading digits count, what trails them, such as a
// line end, is ignored), each at most 255, the first not 0. `address` gets
// the address in plain dotted form.
bool parseEchoedAddress(const std::string& body, std::string& address);

// Whether a node at `address` is a proxy on this machine or next to it:
// "localhost" (any case), this machine's host name, any 127.x.x.x address,
// or an address in the same /24 as one of this machine's own IPv4 addresses
// (as they were when first asked).
bool isLocalAddress(const std::string& address);

}  // namespace vantor
