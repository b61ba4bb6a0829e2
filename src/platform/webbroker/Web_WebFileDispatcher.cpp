// Static files below a root folder.
#include "platform/webbroker/Web_WebFileDispatcher.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillon {

namespace fs = std::filesystem;

namespace {

std::string ExtensionOf(const std::string& aFileName) {
  const std::size_t slash = aFileName.find_last_of('/');
  const std::size_t dot = aFileName.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return aFileName.substr(dot + 1);
}

// True when aPath lies inside aRoot (both canonical).
bool IsInside(const fs::path& aPath, const fs::path& aRoot) {
  auto p = aPath.begin();
  for (auto r = aRoot.begin(); r != aRoot.end(); ++r, ++p) {
    if (r->empty()) continue;  // a trailing separator of the root
    if (p == aPath.end() || *p != *r) return false;
  }
  return true;
}

}  // namespace

std::string TWebFileDispatcher::MimeTypeOf(const std::string& aFileName) const {
  const std::string ext = ExtensionOf(aFileName);
  if (ext.empty()) return {};
  for (const TWebFileExtensionItem& item : WebFileExtensions) {
    std::string_view list = item.Extensions;
    while (!list.empty()) {
      const std::size_t end = list.find(';');
      if (WebSameText(list.substr(0, end), ext)) return item.MimeType;
      list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
    }
  }
  return {};
}

bool TWebFileDispatcher::DirectoryAllowed(const std::string& aRelativePath) const {
  bool allowed = false;
  for (const TWebDirectoryItem& item : WebDirectories) {
    std::string mask = item.DirectoryMask;
    std::replace(mask.begin(), mask.end(), '\\', '/');
    if (!mask.empty() && mask.front() != '/' && mask != "*") mask.insert(mask.begin(), '/');
    if (MatchesMask(aRelativePath, mask)) allowed = item.Include;
  }
  return allowed;
}

std::string TWebFileDispatcher::RelativePathOf(const std::string& aPathInfo) const {
  std::string prefix = VirtualPath.empty() ? "/" : VirtualPath;
  if (prefix.back() != '/') prefix += '/';
  if (aPathInfo.size() < prefix.size() || !WebSameText(aPathInfo.substr(0, prefix.size()), prefix)) return {};
  std::string rest = aPathInfo.substr(prefix.size());
  std::string out;
  std::string_view view = rest;
  while (!view.empty()) {
    const std::size_t end = view.find('/');
    const std::string_view segment = view.substr(0, end);
    view = end == std::string_view::npos ? std::string_view() : view.substr(end + 1);
    if (segment.empty()) continue;
    if (segment == "." || segment == ".." || segment.find('\\') != std::string_view::npos ||
        segment.find('\0') != std::string_view::npos) {
      return {};
    }
    out += '/';
    out += segment;
  }
  return out;
}

bool TWebFileDispatcher::DispatchMask(TWebRequest& Request) {
  return !MimeTypeOf(Request.InternalPathInfo()).empty();
}

bool TWebFileDispatcher::DispatchRequest(TObject* /*Sender*/, TWebRequest& Request, TWebResponse& Response) {
  const std::string pathInfo = Request.InternalPathInfo();
  const std::string mime = MimeTypeOf(pathInfo);
  if (mime.empty()) return false;
  const std::string relative = RelativePathOf(pathInfo);
  auto notFound = [&Response] {
    Response.SetStatusCode(404);
    return true;
  };
  if (relative.empty()) return notFound();
  if (!DirectoryAllowed(relative)) return false;

  std::error_code ec;
  const fs::path root = fs::canonical(WebExpandPath(RootDirectory), ec);
  if (ec) return notFound();
  const std::string fileName = (root / relative.substr(1)).string();
  bool handled = false;
  if (BeforeDispatch) BeforeDispatch(this, fileName, Request, Response, handled);
  if (handled) return true;

  // Links are resolved before the checks, so a link cannot lead out of the root or into an
  // excluded folder.
  const fs::path real = fs::canonical(fileName, ec);
  if (ec || !IsInside(real, root) || !fs::is_regular_file(real, ec)) return notFound();
  const std::string realRelative = "/" + fs::relative(real, root, ec).generic_string();
  if (ec || !DirectoryAllowed(realRelative) || MimeTypeOf(realRelative).empty()) return notFound();

  if (fs::file_size(real, ec) > kMaxFileSize || ec) {
    Response.SetStatusCode(500);
    Response.SetContentType("text/plain; charset=utf-8");
    Response.SetContent("File too large to serve");
    return true;
  }
  std::ifstream in(real, std::ios::binary);
  if (!in) return notFound();
  auto body = std::make_unique<std::stringstream>(std::ios::in | std::ios::out | std::ios::binary);
  *body << in.rdbuf();
  body->clear();  // an empty file leaves the failbit set
  body->seekg(0);
  Response.SetContentType(mime);
  Response.SetStatusCode(200);
  Response.SetContentStream(std::move(body));
  if (AfterDispatch) AfterDispatch(this, fileName, Request, Response, handled);
  return true;
}

}  // namespace quillon
