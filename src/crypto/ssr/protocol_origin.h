// "origin": the protocol of plain Shadowsocks; plaintext passes unchanged.
#pragma once

#include "crypto/ssr/obfs.h"

namespace vantor {

class CProtocolOrigin : public CObfs {
 public:
  // The parameter means nothing to origin and is not kept.
  CProtocolOrigin() : CObfs("origin", std::string()) {}
};

}  // namespace vantor
