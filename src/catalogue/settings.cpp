#include "catalogue/settings.h"

#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "catalogue/app_paths.h"
#include "catalogue/http_fetch.h"
#include "catalogue/ini_file.h"
#include "catalogue/node_info.h"
#include "catalogue/share_link.h"
#include "platform/autostart.h"

namespace vantor {
namespace {

using S = Settings;
using T = SettingType;

constexpr const char* kDefaultTestUrl = "http://www.example.com/";
constexpr const char* kFirstDns1 = "208.67.222.222";

const std::vector<SettingKey> kKeys = {
    {"startup", T::Bool, &S::startup, "0", "0"},
    {"AutomaticallyEstablishConnection", T::Bool, &S::AutomaticallyEstablishConnection, "0", "0"},
    {"AutomaticHideWindow", T::Bool, &S::AutomaticHideWindow, "1", "1"},
    {"dns_type", T::Int, &S::dns_type, "2", "2"},
    {"liststyle", T::Int, &S::liststyle, "0", "0"},
    {"proxyengine", T::Int, &S::proxyengine, "0", "0"},
    {"bEnableSysWideProxy", T::Bool, &S::bEnableSysWideProxy, "0", "0"},
    {"bUseOnlinePac", T::Bool, &S::bUseOnlinePac, "0", "0"},
    {"bGlobalMode", T::Bool, &S::bGlobalMode, "1", "0"},
    {"strOnlinePacUrl", T::Text, &S::strOnlinePacUrl, "", ""},
    {"strUserExtendPacFile", T::Text, &S::strUserExtendPacFile, "", ""},
    {"username", T::Secret, &S::username, "", ""},
    {"password", T::Secret, &S::password, "", ""},
    {"rememberuser", T::Bool, &S::rememberuser, "0", "0"},
    {"autologin", T::Bool, &S::autologin, "0", "0"},
    {"appenabled", T::Bool, &S::appenabled, "1", "1"},
    {"defaultportindex", T::Int, &S::defaultportindex, "0", "-1"},
    {"testurl", T::Text, &S::testurl, kDefaultTestUrl, kDefaultTestUrl},
    {"local_connection_name", T::Text, &S::local_connection_name, "", ""},
    {"local_connection_guid", T::Text, &S::local_connection_guid, "", ""},
    {"local_connection_ip", T::Text, &S::local_connection_ip, "", ""},
    {"local_connection_mask", T::Text, &S::local_connection_mask, "", ""},
    {"local_connection_gateway", T::Text, &S::local_connection_gateway, "", ""},
    {"local_connection_primary_dns", T::Text, &S::local_connection_primary_dns, "", ""},
    {"local_connection_second_dns", T::Text, &S::local_connection_second_dns, "", ""},
    {"local_connection_DhcpNameServer", T::Text, &S::local_connection_DhcpNameServer, "", ""},
    {"local_connection_index", T::Int, &S::local_connection_index, "0", "0"},
    {"tap_connection_name", T::Text, &S::tap_connection_name, "", ""},
    {"tap_connection_guid", T::Text, &S::tap_connection_guid, "", ""},
    {"tap_connection_index", T::Int, &S::tap_connection_index, "0", "0"},
    {"tap_adapter_configed", T::Bool, &S::tap_adapter_configed, "0", "0"},
    {"public_select_dns_name", T::Text, &S::public_select_dns_name, "", ""},
    {"public_dns1", T::Text, &S::public_dns1, kFirstDns1, kFirstDns1},
    {"public_dns2", T::Text, &S::public_dns2, "208.67.220.220", "208.67.220.220"},
    {"bDontProxyUDP", T::Bool, &S::bDontProxyUDP, "0", "0"},
    {"local_connection_shortest_r_nexthop", T::Text, &S::local_connection_shortest_r_nexthop, "", ""},
    {"local_connection_shortest_r_directhop", T::Bool, &S::local_connection_shortest_r_directhop, "0", "0"},
    {"local_connection_shortest_r_ifindex", T::Int, &S::local_connection_shortest_r_ifindex, "0", "-1"},
    {"nDNSAdviseProxy", T::Int, &S::nDNSAdviseProxy, "0", "0"},
    {"ForceProxyDNSServer", T::Bool, &S::ForceProxyDNSServer, "1", "1"},
    {"RecommendedProxyDNS", T::Bool, &S::RecommendedProxyDNS, "1", "1"},
    {"bRegenerateIVForSSUDP", T::Bool, &S::bRegenerateIVForSSUDP, "0", "0"},
    {"last_proxymode_index", T::Int, &S::last_proxymode_index, "0", "0"},
    {"bIsFirstRunApp", T::Bool, &S::bIsFirstRunApp, "1", "1"},
    {"DelayedConnect", T::Int, &S::DelayedConnect, "10", "10"},
    {"LastUsedNodeId", T::Int, &S::LastUsedNodeId, "0", "0"},
    {"TestSites", T::Text, &S::TestSites, "", ""},
    {"UdpTestPairs", T::Text, &S::UdpTestPairs, "", ""},
    {"ExitAddressServices", T::Text, &S::ExitAddressServices, "", ""},
    {"GeoServices", T::Text, &S::GeoServices, "", ""},
    {"nTcpWindow", T::Int, &S::nTcpWindow, "0", "0"},
    {"bReconnectAfterLinkLoss", T::Bool, &S::bReconnectAfterLinkLoss, "1", "1"},
    {"bIPv6", T::Bool, &S::bIPv6, "1", "1"},
};

const std::vector<DnsProvider> kDnsProviders = {
    {"Open DNS", "Open DNS", "208.67.222.222", "208.67.220.220"},
    {"Google DNS", "谷歌 DNS", "8.8.8.8", "8.8.4.4"},
    {"Sprint DNS", "Sprint DNS", "204.97.212.10", "204.117.214.10"},
    {"DNS Advantage", "DNS Advantage", "156.154.70.1", "156.154.71.1"},
    {"Comodo Secure DNS", "Comodo安全DNS", "8.26.56.26", "8.20.247.20"},
    {"Norton ConnectSafe", "诺顿安全连接DNS", "199.85.126.10", "199.85.127.10"},
    {"DNS.WATCH", "DNS.WATCH", "82.200.69.80", "84.200.70.40"},
    {"Level3 DNS", "Level3 DNS", "209.244.0.3", "209.244.0.4"},
    {"OpenNIC", "OpenNIC", "46.151.208.154", "128.199.248.105"},
    {"Dyn", "Dyn", "216.146.35.35", "216.146.36.36"},
    {"SafeDNS", "SafeDNS", "195.46.39.39", "195.46.39.40"},
    {"114 DNS(China)", "114 DNS(中国)", "114.114.114.114", "114.114.115.115"},
    {"AliDNS(China)", "阿里巴巴DNS(中国)", "223.5.5.5", "223.6.6.6"},
    {"Baidu DNS(China)", "百度DNS(中国)", "180.76.76.76", ""},
    {"OneDNS(China Southern)", "OneDNS(中国北方专用)", "112.124.47.27", "42.236.82.22"},
    {"OneDNS(China Northern)", "OneDNS(中国南方专用)", "114.215.126.16", ""},
    {"DNS Pai(China Telecom)", "DNS派(中国电信)", "101.226.4.6", "218.30.118.6"},
    {"DNS Pai(China Unicom)", "DNS派(中国联通)", "123.125.81.6", "140.207.198.6"},
    {"DNS Pai(China Mobile)", "DNS派(中国移动)", "101.226.4.6", "218.30.118.6"},
    {"DNS Pai(China Railway Com.)", "DNS派(中国铁通)", "101.226.4.6", "218.30.118.6"},
    {"CNNIC SDNS(China)", "CNNIC SDNS(中国)", "1.2.4.8", "210.2.4.8"},
    {"BeiJing Telecom(China)", "北京电信(中国)", "219.141.136.10", "219.141.140.10"},
    {"BeiJing Unicom(China)", "北京联通(中国)", "202.106.196.115", "202.106.46.151"},
    {"GuangDong Telecom(China)", "广东电信(中国)", "202.96.128.86", "202.96.128.166"},
    {"GuangDong Unicom(China)", "广东联通(中国)", "210.21.196.6", "221.5.88.88"},
    {"ShangHai Telecom(China)", "上海电信(中国)", "202.96.209.133", "116.228.111.118"},
    {"ShangHai Unicom(China)", "上海联通(中国)", "210.22.70.3", "210.22.84.3"},
    {"Use your own DNS", "手动指定DNS", "", ""},
};

std::string userPacPath(const std::string& configDir) { return configDir + "/userpac.txt"; }

void assignFromText(Settings& s, const SettingKey& key, const IniDocument* doc, const char* fallback) {
  const char* raw = doc ? doc->value(kBasicSection, key.name) : nullptr;
  std::visit(
      [&](auto member) {
        using Field = std::remove_cvref_t<decltype(s.*member)>;
        if constexpr (std::is_same_v<Field, bool>) {
          s.*member = iniBool(raw ? raw : "", iniBool(fallback, false));
        } else if constexpr (std::is_same_v<Field, int32_t>) {
          s.*member = iniInt(raw ? raw : "", iniInt(fallback, 0));
        } else if (key.type == T::Secret) {
          s.*member = raw ? decodeBase64(raw) : std::string(fallback);
        } else {
          s.*member = raw ? std::string(raw) : std::string(fallback);
        }
      },
      key.field);
}

Settings settingsFromDocument(const IniDocument& doc, const std::string& configDir) {
  Settings s;
  // Without a "basic" section the file is new: its defaults apply and
  // nothing else is read.
  const bool fresh = !doc.hasSection(kBasicSection);
  for (const SettingKey& key : kKeys)
    assignFromText(s, key, fresh ? nullptr : &doc, fresh ? key.newDefault : key.loadDefault);
  s.strUserExtendPacFile = userPacPath(configDir);
  if (s.testurl.empty()) s.testurl = kDefaultTestUrl;
  if (!fresh)
    for (auto& [name, value] : doc.entries(kBasicSection))
      if (!findSettingKey(name)) s.unknownKeys.emplace_back(name, value);
  return s;
}

bool parseBoolText(std::string_view text, bool& out) {
  for (const char* yes : {"1", "true", "yes", "on"})
    if (equalsIgnoringCase(text, yes)) return out = true, true;
  for (const char* no : {"0", "false", "no", "off"})
    if (equalsIgnoringCase(text, no)) return out = false, true;
  return false;
}

bool parseIntText(std::string_view text, int32_t& out) {
  std::size_t i = 0;
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) negative = text[i++] == '-';
  if (i == text.size() || text.size() - i > 10) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return false;
  out = static_cast<int32_t>(value);
  return true;
}

// Each non-empty piece between "," is an http:// or https:// address.
bool isUrlList(std::string_view text) {
  for (const std::string& piece : splitText(text, ",", false))
    if (!isHttpUrl(trimBlanks(piece))) return false;
  return true;
}

// "server,name" pairs separated by ";".
bool isPairList(std::string_view text) {
  for (const std::string& pair : splitText(text, ";", false)) {
    auto pieces = splitText(pair, ",", true);
    if (pieces.size() != 2 || trimBlanks(pieces[0]).empty() || trimBlanks(pieces[1]).empty()) return false;
  }
  return true;
}

std::string dotted(const uint8_t octets[4]) {
  char text[16];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
  return text;
}

}  // namespace

const std::vector<SettingKey>& settingKeys() { return kKeys; }

const SettingKey* findSettingKey(std::string_view name) {
  for (const SettingKey& key : kKeys)
    if (equalsIgnoringCase(key.name, name)) return &key;
  return nullptr;
}

Settings& settings() {
  static Settings record;
  return record;
}

std::mutex& settingsMutex() {
  static std::mutex lock;
  return lock;
}

Settings parseSettings(std::string_view iniText, const std::string& configDir) {
  IniDocument doc;
  doc.parse(iniText);
  return settingsFromDocument(doc, configDir);
}

std::string settingsText(const Settings& s) {
  IniDocument doc;
  for (const SettingKey& key : kKeys) {
    std::visit(
        [&](auto member) {
          using Field = std::remove_cvref_t<decltype(s.*member)>;
          if constexpr (std::is_same_v<Field, bool>) {
            doc.setBool(kBasicSection, key.name, s.*member);
          } else if constexpr (std::is_same_v<Field, int32_t>) {
            doc.setInt(kBasicSection, key.name, s.*member);
          } else if (key.type == T::Secret) {
            if (!(s.*member).empty()) doc.setString(kBasicSection, key.name, encodeBase64(s.*member));
          } else {
            doc.setString(kBasicSection, key.name, s.*member);
          }
        },
        key.field);
  }
  for (const auto& [name, value] : s.unknownKeys) doc.setString(kBasicSection, name.c_str(), value);
  return doc.text();
}

bool loadSettings(std::string* error) {
  std::lock_guard<std::mutex> guard(settingsMutex());
  IniDocument doc;
  std::string why;
  bool ok = doc.load(paths::configFile("config.ini"), why);
  if (!ok) doc = IniDocument();
  settings() = settingsFromDocument(doc, paths::configDir());
  if (!ok && error) *error = why;
  return ok;
}

bool saveSettings(std::string* error) {
  std::string text;
  {
    std::lock_guard<std::mutex> guard(settingsMutex());
    text = settingsText(settings());
  }
  std::string why;
  bool ok = writeConfigFile(paths::configFile("config.ini"), text, 0600, why);
  if (!ok && error) *error = why;
  return ok;
}

std::string settingValueText(const Settings& s, const SettingKey& key) {
  return std::visit(
      [&](auto member) -> std::string {
        using Field = std::remove_cvref_t<decltype(s.*member)>;
        if constexpr (std::is_same_v<Field, bool>)
          return s.*member ? "1" : "0";
        else if constexpr (std::is_same_v<Field, int32_t>)
          return std::to_string(s.*member);
        else
          return s.*member;
      },
      key.field);
}

std::string setSettingFromText(Settings& s, const SettingKey& key, std::string_view value) {
  const std::string name = key.name;
  if (name == "strUserExtendPacFile") return "strUserExtendPacFile is always userpac.txt in the configuration folder";
  if (name == "DelayedConnect") {
    int32_t seconds = 0;
    if (!parseIntText(value, seconds) || seconds < 1 || seconds > 300)
      return "The delayed connect time can only be 1-300 seconds";
  }
  if (name == "public_dns1" || name == "public_dns2") {
    if (name == "public_dns1" && value == "0.0.0.0") return "Primary DNS must be specific!";
    bool allowedEmpty = name == "public_dns2" && value.empty();
    if (!allowedEmpty && value != kLocalDns && !isDottedIpv4(value))
      return name + " must be a dotted IPv4 address or " + kLocalDns;
  }
  if (name == "public_select_dns_name") {
    int index = findDnsProvider(value);
    if (index < 0) return "unknown DNS provider: " + std::string(value);
    const DnsProvider& provider = kDnsProviders[static_cast<std::size_t>(index)];
    s.public_select_dns_name = provider.name;
    if (index != kOwnDnsProvider) {
      s.public_dns1 = provider.preferred;
      s.public_dns2 = provider.alternate;
    }
    return {};
  }
  if ((name == "testurl" || name == "strOnlinePacUrl") && !value.empty() && !isUrlList(value))
    return name + " must be an http:// or https:// address";
  if ((name == "TestSites" || name == "ExitAddressServices" || name == "GeoServices") && !isUrlList(value))
    return name + " must be http:// or https:// addresses separated by \",\"";
  if (name == "UdpTestPairs" && !isPairList(value))
    return "UdpTestPairs must be \"server,name\" pairs separated by \";\"";
  if (name == "nTcpWindow") {
    int32_t window = 0;
    if (parseIntText(value, window) && window < 0) return "nTcpWindow must be 0 (the default) or a byte count";
  }

  return std::visit(
      [&](auto member) -> std::string {
        using Field = std::remove_cvref_t<decltype(s.*member)>;
        if constexpr (std::is_same_v<Field, bool>) {
          bool flag = false;
          if (!parseBoolText(value, flag)) return name + " takes 0 or 1";
          s.*member = flag;
        } else if constexpr (std::is_same_v<Field, int32_t>) {
          int32_t number = 0;
          if (!parseIntText(value, number)) return name + " takes a whole number";
          s.*member = number;
        } else {
          if (value.find_first_of("\r\n") != std::string_view::npos) return name + " must be one line";
          s.*member = std::string(value);
        }
        return {};
      },
      key.field);
}

const std::vector<DnsProvider>& dnsProviders() { return kDnsProviders; }

int findDnsProvider(std::string_view name) {
  for (std::size_t i = 0; i < kDnsProviders.size(); ++i)
    if (name == kDnsProviders[i].name || name == kDnsProviders[i].localName) return static_cast<int>(i);
  return -1;
}

void applyDnsChoice(Settings& s) {
  s.RecommendedProxyDNS = true;
  if (s.public_dns1.empty()) s.public_dns1 = kFirstDns1;
}

bool isDottedIpv4(std::string_view text) {
  auto parts = splitText(text, ".", true);
  if (parts.size() != 4) return false;
  for (const std::string& part : parts) {
    if (part.empty() || part.size() > 3) return false;
    int value = 0;
    for (char c : part) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255) return false;
  }
  return true;
}

std::string checkSettingsDialog(const SettingsDialogInput& in) {
  if (in.DelayedConnect < 1 || in.DelayedConnect > 300) return "The delayed connect time can only be 1-300 seconds";
  if (!in.keepDns && in.preferredDns[0] == 0 && in.preferredDns[1] == 0 && in.preferredDns[2] == 0 &&
      in.preferredDns[3] == 0)
    return "Primary DNS must be specific!";
  if (!in.localConnection) return "Select a local connection please.";
  if (!in.tapConnection) return "Select a TUN/TAP adapter please.";
  if (in.dnsProvider < 0 || in.dnsProvider >= static_cast<int>(kDnsProviders.size())) return "unknown DNS provider";
  return {};
}

void applySettingsDialog(const SettingsDialogInput& in, Settings& s) {
  std::string preferred = dotted(in.preferredDns);
  std::string alternate = in.alternateDns[0] != 0 ? dotted(in.alternateDns) : std::string();
  s.bDontProxyUDP = in.bDontProxyUDP;
  s.ForceProxyDNSServer = in.ForceProxyDNSServer;
  s.bRegenerateIVForSSUDP = in.bRegenerateIVForSSUDP;
  s.RecommendedProxyDNS = in.RecommendedProxyDNS;
  s.autologin = in.autologin;
  s.startup = in.startup;
  s.AutomaticallyEstablishConnection = in.AutomaticallyEstablishConnection;
  s.AutomaticHideWindow = in.AutomaticHideWindow;
  s.DelayedConnect = in.DelayedConnect;
  if (in.localConnection &&
      (in.localConnection->name != s.local_connection_name || in.localConnection->guid != s.local_connection_guid)) {
    s.local_connection_name = in.localConnection->name;
    s.local_connection_guid = in.localConnection->guid;
    s.local_connection_index = in.localConnection->index;
    s.local_connection_primary_dns = in.localConnection->primaryDns;
    s.local_connection_second_dns = in.localConnection->secondDns;
    s.local_connection_DhcpNameServer = in.localConnection->dhcpNameServer;
  }
  if (in.tapConnection &&
      (in.tapConnection->name != s.tap_connection_name || in.tapConnection->guid != s.tap_connection_guid)) {
    s.tap_connection_name = in.tapConnection->name;
    s.tap_connection_guid = in.tapConnection->guid;
    s.tap_connection_index = in.tapConnection->index;
  }
  if (!in.keepDns) {
    const DnsProvider& provider = kDnsProviders[static_cast<std::size_t>(in.dnsProvider)];
    if (in.dnsProvider == kOwnDnsProvider) {
      s.public_dns1 = preferred;
      s.public_dns2 = alternate;
    } else {
      s.public_dns1 = provider.preferred;
      s.public_dns2 = provider.alternate;
    }
    s.public_select_dns_name = provider.name;
  }
  applyDnsChoice(s);
}

std::string checkSettingsDialogCancel(const Settings& s) {
  if (s.local_connection_name.empty() && s.local_connection_guid.empty() && s.tap_connection_name.empty() &&
      s.tap_connection_guid.empty())
    return "You must lelect a local connection and a TUN/TAP adapter.";
  return {};
}

bool updateRunAtStartup(const Settings& s, std::string& error) {
  return platform::setRunAtStartup(s.startup, {"gui", "--config-dir", paths::configRoot()}, error);
}

}  // namespace vantor
