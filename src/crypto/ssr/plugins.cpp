#include "crypto/ssr/plugins.h"

#include "crypto/ssr/obfs_plain.h"
#include "crypto/ssr/protocol_origin.h"

namespace vantor {

const PluginNameEntry ProtocolNames[] = {
    {"origin", false},          {"auth_sha1_v4", false}, {"auth_aes128_md5", true}, {"auth_aes128_sha1", true},
    {"auth_chain_a", true},     {"auth_chain_b", true},  {"", false},
};

const PluginNameEntry ObfsNames[] = {
    {"plain", false},       {"http_simple", true},        {"http_post", true},
    {"random_head", false}, {"tls1.2_ticket_auth", true}, {"tls1.2_ticket_fastauth", true},
    {"", false},
};

namespace {

// ASCII only: these names are byte strings, and the locale must not decide
// whether two of them are equal.
bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

int indexIn(const PluginNameEntry* table, std::string_view name) {
  for (int i = 0; table[i].name[0] != '\0'; ++i)
    if (equalsIgnoreCase(table[i].name, name)) return i;
  return -1;
}

void appendNames(const PluginNameEntry* table, std::vector<std::pair<std::string, bool>>& list) {
  for (int i = 0; table[i].name[0] != '\0'; ++i) list.emplace_back(table[i].name, table[i].acceptsParam);
}

using Creator = std::unique_ptr<CObfs> (*)(const char* tableName, const std::string& param);

struct FactoryEntry {
  const char* name;
  Creator create;  // null: plugin not available in this build
};

// Every name the factory knows, protocols first, in the order they are tried.
// A plugin class joins by replacing its null with a creator that passes the
// parameter and the table name, for example
//   [](const char* n, const std::string& p) -> std::unique_ptr<CObfs> {
//     return std::make_unique<CProtocolAuthChainA>(p, n); }
// Until then its name yields no plugin, so a node using it fails to connect
// the same way an unknown name does.
const FactoryEntry kFactory[] = {
    {"origin", [](const char*, const std::string&) -> std::unique_ptr<CObfs> {
       return std::make_unique<CProtocolOrigin>();
     }},
    {"auth_sha1_v4", nullptr},
    {"auth_aes128_md5", nullptr},
    {"auth_aes128_sha1", nullptr},
    {"auth_chain_a", nullptr},
    {"auth_chain_b", nullptr},
    {"plain", [](const char*, const std::string&) -> std::unique_ptr<CObfs> {
       return std::make_unique<CObfsPlain>();
     }},
    {"http_simple", nullptr},
    {"http_post", nullptr},
    {"random_head", nullptr},
    {"tls1.2_ticket_auth", nullptr},
    {"tls1.2_ticket_fastauth", nullptr},
};

}  // namespace

bool IsValidProtocol(std::string_view name) { return indexIn(ProtocolNames, name) >= 0; }
bool IsValidObfs(std::string_view name) { return indexIn(ObfsNames, name) >= 0; }
int ProtocolIndex(std::string_view name) { return indexIn(ProtocolNames, name); }
int ObfsIndex(std::string_view name) { return indexIn(ObfsNames, name); }
void GetProtocolNames(std::vector<std::pair<std::string, bool>>& list) { appendNames(ProtocolNames, list); }
void GetObfsNames(std::vector<std::pair<std::string, bool>>& list) { appendNames(ObfsNames, list); }

std::unique_ptr<CObfs> CreatePlugin(std::string_view name, const std::string& param) {
  // Several plugins checksum with CRC-32; build its table before any of them
  // runs on a connection thread.
  Crc32InitTable();
  for (const FactoryEntry& e : kFactory) {
    if (!equalsIgnoreCase(e.name, name)) continue;
    return e.create ? e.create(e.name, param) : nullptr;
  }
  return nullptr;
}

}  // namespace vantor
