// Template reading and tag replacement.
#include "platform/webbroker/Web_HTTPProd.h"

#include <fstream>
#include <sstream>

namespace quillon {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Parses the parameters of one tag: name=value, name="value" or name='value'.
void ParseParams(std::string_view aText, TStrings& aParams) {
  std::size_t i = 0;
  while (i < aText.size()) {
    while (i < aText.size() && IsBlank(aText[i])) ++i;
    const std::size_t nameStart = i;
    while (i < aText.size() && !IsBlank(aText[i]) && aText[i] != '=') ++i;
    std::string name(aText.substr(nameStart, i - nameStart));
    std::string value;
    if (i < aText.size() && aText[i] == '=') {
      ++i;
      if (i < aText.size() && (aText[i] == '"' || aText[i] == '\'')) {
        const char quote = aText[i++];
        const std::size_t end = aText.find(quote, i);
        value = std::string(aText.substr(i, end == std::string_view::npos ? end : end - i));
        i = end == std::string_view::npos ? aText.size() : end + 1;
      } else {
        const std::size_t start = i;
        while (i < aText.size() && !IsBlank(aText[i])) ++i;
        value = std::string(aText.substr(start, i - start));
      }
    }
    if (!name.empty()) aParams.Add(std::move(name), std::move(value));
  }
}

TTag TagKind(std::string_view aName) {
  if (WebSameText(aName, "link")) return TTag::tgLink;
  if (WebSameText(aName, "image")) return TTag::tgImage;
  if (WebSameText(aName, "table")) return TTag::tgTable;
  if (WebSameText(aName, "imagemap")) return TTag::tgImageMap;
  if (WebSameText(aName, "object")) return TTag::tgObject;
  if (WebSameText(aName, "embed")) return TTag::tgEmbed;
  return TTag::tgCustom;
}

}  // namespace

std::string TPageProducer::Content() {
  if (HTMLFile.empty()) return ContentFromString(HTMLDoc);
  const std::string path = WebExpandPath(HTMLFile);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EWebBrokerException("Cannot open file \"" + HTMLFile + "\"");
  std::ostringstream text;
  text << in.rdbuf();
  return ContentFromString(text.str());
}

std::string TPageProducer::ContentFromString(const std::string& aTemplate) {
  std::string out;
  out.reserve(aTemplate.size());
  std::size_t at = 0;
  while (true) {
    const std::size_t open = aTemplate.find("<#", at);
    if (open == std::string::npos) break;
    const std::size_t close = aTemplate.find('>', open + 2);
    if (close == std::string::npos) break;  // an unfinished tag stays as it is
    out.append(aTemplate, at, open - at);
    std::string_view body(aTemplate.data() + open + 2, close - open - 2);
    std::size_t nameEnd = 0;
    while (nameEnd < body.size() && !IsBlank(body[nameEnd])) ++nameEnd;
    const std::string name(body.substr(0, nameEnd));
    TStrings params;
    ParseParams(body.substr(nameEnd), params);
    std::string replacement;
    if (OnHTMLTag) OnHTMLTag(this, TagKind(name), name, params, replacement);
    out += replacement;
    at = close + 1;
  }
  out.append(aTemplate, at, std::string::npos);
  return out;
}

}  // namespace quillon
