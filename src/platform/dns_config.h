// The host's resolver configuration: the resolv.conf file, or
// systemd-resolved over D-Bus where it runs. Addresses are IPv4 in network
// byte order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::platform {

// --- resolv.conf -----------------------------------------------------------

std::string systemResolvConfPath();  // /etc/resolv.conf

// Writes `content` to the resolver file at `path` so that what other
// programs see stays what it was: through a symbolic link its target is
// written (the link stays a link); a file that is a mount point of its own
// (a bind mount, as under `ip netns exec` and in containers) is rewritten in
// place, because nothing can be renamed over it, never truncated first: a
// kill at any moment leaves the old text or the new one (then perhaps
// followed by blank lines); any other file is replaced atomically with its
// permission bits kept.
bool writeResolverFile(const std::string& path, const std::string& content, std::string& error);

// The "nameserver" addresses (IPv4 only) of a resolv.conf text.
std::vector<uint32_t> resolvConfNameservers(const std::string& text);
// `text` with its nameserver lines replaced by `servers` (at the place of
// the first one, or at the end); every other line is kept.
std::string resolvConfWithNameservers(const std::string& text, const std::vector<uint32_t>& servers);

// --- systemd-resolved --------------------------------------------------------
// The bus is the system bus, or the bus at $VANTOR_RESOLVED_BUS (a D-Bus
// address) when that is set.

// Whether org.freedesktop.resolve1 has an owner on the bus.
bool resolvedRunning();
// The DNS servers resolved uses for one link.
bool resolvedLinkDns(int ifIndex, std::vector<uint32_t>& servers, std::string& error);
bool resolvedSetLinkDns(int ifIndex, const std::vector<uint32_t>& servers, std::string& error);
// Makes the link take every query while it is up: the routing-only domain
// "~." and the default-route flag.
bool resolvedRouteAllQueries(int ifIndex, std::string& error);
// Drops everything set on the link through the calls above.
bool resolvedRevertLink(int ifIndex, std::string& error);
bool resolvedFlushCaches(std::string& error);

}  // namespace vantor::platform
