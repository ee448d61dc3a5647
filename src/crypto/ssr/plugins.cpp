#include "crypto/ssr/plugins.h"

#include "crypto/ssr/obfs_http.h"
#include "crypto/ssr/obfs_plain.h"
#include "crypto/ssr/obfs_tls.h"
#include "crypto/ssr/protocol_auth.h"
#include "crypto/ssr/protocol_auth_chain.h"
#include "crypto/ssr/protocol_origin.h"

namespace vantor {

const PluginNameEntry ProtocolNames[] = {
    {"origin", false},
    {"auth_sha1_v4", false},
    {"auth_aes128_md5", true},
    {"auth_aes128_sha1", true},
    {"auth_chain_a", true},
    {"auth_chain_b", true},
    {"", false},
};

const PluginNameEntry ObfsNames[] = {
    {"plain", false},
    {"http_simple", true},
    {"http_post", true},
    {"random_head", false},
    {"tls1.2_ticket_auth", true},
    {"tls1.2_ticket_fastauth", true},
    {"", false},
};

using ssr::equalsIgnoreCase;

namespace {

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
  Creator create;
};

// Every name the factory knows, protocols first, in the order they are tried.
// Each creator passes the parameter and the table name.
template <class Plugin>
std::unique_ptr<CObfs> create(const char* tableName, const std::string& param) {
  return std::make_unique<Plugin>(param, tableName);
}

const FactoryEntry kFactory[] = {
    {"origin",
     [](const char*, const std::string&) -> std::unique_ptr<CObfs> { return std::make_unique<CProtocolOrigin>(); }},
    {"auth_sha1_v4",
     [](const char*, const std::string& p) -> std::unique_ptr<CObfs> {
       return std::make_unique<CProtocol_auth_sha1_v4>(p);
     }},
    {"auth_aes128_md5", create<CProtocol_auth_aes128_md5>},
    {"auth_aes128_sha1", create<CProtocol_auth_aes128_md5>},
    {"auth_chain_a", create<CProtocolAuthChainA>},
    {"auth_chain_b", create<CProtocolAuthChainB>},
    {"plain", [](const char*, const std::string&) -> std::unique_ptr<CObfs> { return std::make_unique<CObfsPlain>(); }},
    {"http_simple", create<CObfsHttpSimple>},
    {"http_post", create<CObfsHttpSimple>},
    {"random_head",
     [](const char*, const std::string& p) -> std::unique_ptr<CObfs> { return std::make_unique<CObfsRandomHead>(p); }},
    {"tls1.2_ticket_auth", create<CObfsTls12TickAuth>},
    {"tls1.2_ticket_fastauth", create<CObfsTls12TickAuth>},
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
    return e.create(e.name, param);
  }
  return nullptr;
}

}  // namespace vantor
