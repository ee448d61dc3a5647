// The automatic proxy configuration script of the "skip Chinese sites"
// browser mode: private networks and the given direct networks (China's)
// go direct, everything else through the local HTTP proxy. The user's own
// rules (config/userpac.txt) are put in front of the script when it is
// served.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::app {

struct Ipv4Network {
  uint32_t address = 0;  // host byte order
  uint8_t prefix = 32;
};

// The script text. "__PROXY__" and "__SOCKS__" stand for the local HTTP
// proxy's and the SOCKS service's address; the HTTP proxy fills them in.
std::string buildPacText(const std::vector<Ipv4Network>& directNetworks);

// userpac.txt: one rule a line; "example.com" sends the domain and its
// subdomains through the proxy, "@@example.com" sends them direct;
// "a.b.c.d/n" and "@@a.b.c.d/n" do the same for a network. Lines starting
// with "#" or "!" and blank lines are ignored, and so is anything that is no
// plain domain or network (the text is put into the script, so nothing may
// pass that could break out of a string). The result is the JavaScript
// that declares the rules, to be put in front of the script.
std::string userRulesScript(const std::string& userPacText);

// pac.txt from the configuration folder, built from `directNetworks` when it
// is missing (and then written there when `writeWhenMissing`); the user's
// rules go in front. Empty on a read failure.
std::string loadPacScript(const std::string& pacPath, const std::string& userPacPath,
                          const std::vector<Ipv4Network>& directNetworks, bool writeWhenMissing = true);

}  // namespace vantor::app
