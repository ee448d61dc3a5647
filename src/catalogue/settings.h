// Application settings: one process-wide record of config/config.ini, section
// "basic". Every member bears its key's name in the file.
//
// A new key is one member here plus one row in the key table of settings.cpp
// (name, type, member, default when the key is missing, default for a new
// file); loading, saving, `vantor settings get/set` and the fuzz target pick
// it up from the table.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vantor {

struct Settings {
  bool startup = false;
  bool AutomaticallyEstablishConnection = false;
  bool AutomaticHideWindow = false;
  int32_t dns_type = 0;
  int32_t liststyle = 0;
  int32_t proxyengine = 0;
  bool bEnableSysWideProxy = false;
  bool bUseOnlinePac = false;
  bool bGlobalMode = false;
  std::string strOnlinePacUrl;
  std::string strUserExtendPacFile;
  // Remote account service; stored base64-encoded, left out when empty.
  std::string username;
  std::string password;
  bool rememberuser = false;
  bool autologin = false;
  bool appenabled = false;
  int32_t defaultportindex = 0;
  std::string testurl;
  // The physical adapter (filled by adapter discovery).
  std::string local_connection_name;
  std::string local_connection_guid;
  std::string local_connection_ip;
  std::string local_connection_mask;
  std::string local_connection_gateway;
  std::string local_connection_primary_dns;
  std::string local_connection_second_dns;
  std::string local_connection_DhcpNameServer;
  int32_t local_connection_index = 0;
  // The tunnel interface.
  std::string tap_connection_name;
  std::string tap_connection_guid;
  int32_t tap_connection_index = 0;
  bool tap_adapter_configed = false;
  // DNS servers for the tunnel.
  std::string public_select_dns_name;
  std::string public_dns1;
  std::string public_dns2;
  bool bDontProxyUDP = false;
  // The best route to the internet (filled by adapter discovery).
  std::string local_connection_shortest_r_nexthop;
  bool local_connection_shortest_r_directhop = false;
  int32_t local_connection_shortest_r_ifindex = 0;
  int32_t nDNSAdviseProxy = 0;
  bool ForceProxyDNSServer = false;
  bool RecommendedProxyDNS = false;
  bool bRegenerateIVForSSUDP = false;
  int32_t last_proxymode_index = 0;
  bool bIsFirstRunApp = false;
  int32_t DelayedConnect = 0;
  int32_t LastUsedNodeId = 0;
  // Node tests and probes. Lists are separated by ","; UdpTestPairs holds
  // "server,name" pairs separated by ";". Empty means the built-in defaults.
  std::string TestSites;
  std::string UdpTestPairs;
  std::string ExitAddressServices;
  std::string GeoServices;
  // TCP window of the tunnel's stack in bytes; 0 = the stack's default.
  int32_t nTcpWindow = 0;
  // After the network monitor disconnected because a link went down,
  // connect again once a default route is back.
  bool bReconnectAfterLinkLoss = true;
  // Carry IPv6 through the tunnel when the host has IPv6 connectivity;
  // off (or without connectivity): IPv6 is blocked while connected.
  bool bIPv6 = true;

  // Keys found in the file that this version does not know, kept in file
  // order and written back unchanged.
  std::vector<std::pair<std::string, std::string>> unknownKeys;
};

enum class SettingType { Bool, Int, Text, Secret };

struct SettingKey {
  const char* name;
  SettingType type;
  std::variant<bool Settings::*, int32_t Settings::*, std::string Settings::*> field;
  const char* loadDefault;  // the key is missing from an existing "basic" section
  const char* newDefault;   // the file has no "basic" section at all
};

// Every key in the order the file is written.
const std::vector<SettingKey>& settingKeys();
// The key with this name (ignoring ASCII case), or null.
const SettingKey* findSettingKey(std::string_view name);

// The process-wide record (empty until loadSettings()). Every access takes
// settingsMutex(), a plain lock: loadSettings and saveSettings take it
// themselves and are called without it.
Settings& settings();
std::mutex& settingsMutex();

// Reads config.ini from the configuration folder into settings(). A missing
// file gives the defaults of a new file and counts as success; an unreadable
// one gives them too but returns false with `error` set.
bool loadSettings(std::string* error = nullptr);
// Writes every key to config.ini (mode 0600: it may hold the account
// password), through a temporary file, so a failure leaves the old file.
bool saveSettings(std::string* error = nullptr);

// The same rules on texts rather than files (for tests and the fuzz target).
// `configDir` gives the folder of userpac.txt.
Settings parseSettings(std::string_view iniText, const std::string& configDir);
std::string settingsText(const Settings& s);

// The value of one key as the file holds it (secrets in clear text).
std::string settingValueText(const Settings& s, const SettingKey& key);
// Sets one key from text as `vantor settings set` and the settings dialog
// accept it. Returns the message that refuses the value, or empty when it was
// taken. Choosing a DNS provider by name also sets its two addresses.
std::string setSettingFromText(Settings& s, const SettingKey& key, std::string_view value);

// The public DNS providers, in the order the dialog lists them.
struct DnsProvider {
  const char* name;       // English name, also stored in public_select_dns_name
  const char* localName;  // name shown under a Chinese (2052) locale
  const char* preferred;  // empty for "Use your own DNS"
  const char* alternate;  // empty when the provider has none
};
const std::vector<DnsProvider>& dnsProviders();
// Index of the provider with this English or local name, or -1.
int findDnsProvider(std::string_view name);
inline constexpr int kOwnDnsProvider = 27;  // "Use your own DNS"
// The value of public_dns1/public_dns2 that means the physical adapter's own servers.
inline constexpr const char* kLocalDns = "localdns";

// Before the DNS pair is used: RecommendedProxyDNS becomes 1, and an empty
// preferred server becomes the first provider's.
void applyDnsChoice(Settings& s);

// A dotted IPv4 address: four decimal parts of 0-255.
bool isDottedIpv4(std::string_view text);

// What the settings dialog hands over on confirm.
struct AdapterChoice {
  std::string name;
  std::string guid;
  int32_t index = 0;
  std::string primaryDns;
  std::string secondDns;
  std::string dhcpNameServer;
};
struct SettingsDialogInput {
  int32_t DelayedConnect = 10;
  uint8_t preferredDns[4] = {0, 0, 0, 0};
  uint8_t alternateDns[4] = {0, 0, 0, 0};
  bool bDontProxyUDP = false;
  bool ForceProxyDNSServer = true;
  bool bRegenerateIVForSSUDP = false;
  bool RecommendedProxyDNS = true;
  bool autologin = false;
  bool startup = false;
  bool AutomaticallyEstablishConnection = false;
  bool AutomaticHideWindow = true;
  std::optional<AdapterChoice> localConnection;  // none chosen
  std::optional<AdapterChoice> tapConnection;
  int dnsProvider = 0;  // index into dnsProviders()
  // The DNS choice was left as the dialog found it: public_dns1,
  // public_dns2 and public_select_dns_name stay as stored (a pair typed in
  // by hand or "localdns" is not rewritten to a provider's).
  bool keepDns = false;
};

// The checks of the settings dialog's confirm, in its order: the message
// that keeps the dialog open, or empty when the input is acceptable.
std::string checkSettingsDialog(const SettingsDialogInput& input);
// Takes accepted input into `s` (the caller then updates the run-at-start-up
// entry and saves).
void applySettingsDialog(const SettingsDialogInput& input, Settings& s);
// Cancelling is refused while neither adapter is known at all.
std::string checkSettingsDialogCancel(const Settings& s);

// Brings the run-at-start-up entry in line with `s.startup`.
bool updateRunAtStartup(const Settings& s, std::string& error);

}  // namespace vantor
