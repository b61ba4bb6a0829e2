// The server methods the REST service publishes.
#pragma once

#include <string>

#include "platform/webbroker/Datasnap_DSServer.h"

namespace quillon {

class TServerMethods1 : public TComponent {
 public:
  // Value unchanged.
  std::string EchoString(const std::string& Value);
  // Value with its characters (code points) in reverse order; a character outside the
  // Basic Multilingual Plane stays whole. Bytes that are not UTF-8 move as single units.
  std::string ReverseString(const std::string& Value);

  // The class and its methods for the REST server.
  static TPersistentClass ClassInfo();
};

}  // namespace quillon
