// "plain": no disguise; ciphertext goes to the wire unchanged.
#pragma once

#include "crypto/ssr/obfs.h"

namespace vantor {

class CObfsPlain : public CObfsBase {
 public:
  // The parameter means nothing to plain and is not kept.
  CObfsPlain() : CObfsBase("plain", std::string()) {}
};

}  // namespace vantor
