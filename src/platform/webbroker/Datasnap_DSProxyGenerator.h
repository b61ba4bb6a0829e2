// The client proxy of the REST service: a metadata provider that lists a server's classes and
// methods, and a generator that writes them as a JavaScript file. The script defines one
// constructor per server class whose methods call the REST service and return promises of
// the first result, a ServerFunctionsMetadata table (class -> method -> parameter names) for
// pages that list the methods, and keeps the REST session the server names.
#pragma once

#include <string>
#include <vector>

#include "platform/webbroker/Datasnap_DSServer.h"

namespace quillon {

class TDSServerMetaDataProvider : public TComponent {
 public:
  TDSServer* Server = nullptr;  // not owned
  std::vector<TPersistentClass> Classes();
};

class TDSProxyGenerator : public TComponent {
 public:
  // ";"- or ","-separated class names that the proxy leaves out.
  std::string ExcludeClasses;
  TDSServerMetaDataProvider* MetaDataProvider = nullptr;  // not owned
  std::string Writer = "Java Script REST";
  std::string TargetDirectory;  // with or without its last separator
  std::string TargetUnitName;

  // The script text for the classes of the metadata provider.
  std::string GenerateText();
  // Writes the script to TargetDirectory/TargetUnitName through a temporary file that is
  // renamed over the target, so that a reader sees the old file or the new one, never a
  // part. Raises when the folder cannot be written.
  void Write();
};

}  // namespace quillon
