// The file dispatcher: answers a request whose path ends in a listed extension with that
// file below RootDirectory, with the extension's content type. Directory masks (include or
// exclude, applied in order) decide which folders it serves. It never serves anything
// outside the root: dot segments, back-slashes and links that lead out are refused with 404.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/webbroker/Web_HTTPApp.h"

namespace quillon {

struct TWebFileExtensionItem {
  std::string MimeType;
  std::string Extensions;  // ";"-separated, without dots
};

struct TWebDirectoryItem {
  bool Include = true;
  std::string DirectoryMask;  // "\" or "/" separated, relative to the root
};

using TWebFileDispatcherEvent = std::function<void(TObject* Sender, const std::string& AFileName,
                                                   TWebRequest& Request, TWebResponse& Response,
                                                   bool& Handled)>;

class TWebFileDispatcher : public TComponent, public IWebDispatch {
 public:
  // A file is answered from memory; a larger one gets 500 instead of exhausting it.
  static constexpr std::uintmax_t kMaxFileSize = 64u << 20;

  std::vector<TWebFileExtensionItem> WebFileExtensions;
  std::vector<TWebDirectoryItem> WebDirectories;
  std::string RootDirectory = ".";  // relative names start at WebApplicationDirectory
  std::string VirtualPath = "/";
  // Before the file is looked at (it may not exist yet); Handled true means the handler
  // answered by itself.
  TWebFileDispatcherEvent BeforeDispatch;
  TWebFileDispatcherEvent AfterDispatch;

  bool DispatchMask(TWebRequest& Request) override;
  bool DispatchRequest(TObject* Sender, TWebRequest& Request, TWebResponse& Response) override;

  // The content type of a file name by its extension; empty when not listed.
  std::string MimeTypeOf(const std::string& aFileName) const;
  // Whether the directory masks let a root-relative path ("/a/b.css") be served.
  bool DirectoryAllowed(const std::string& aRelativePath) const;
  // The root-relative path of a request path ("/" separated, starting with "/"), or empty
  // when it is not below VirtualPath or holds a dot segment, a back-slash or a NUL.
  std::string RelativePathOf(const std::string& aPathInfo) const;
};

}  // namespace quillon
