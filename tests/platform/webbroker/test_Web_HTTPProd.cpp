// The page producer: tags with and without parameters are replaced by the handler's text,
// the rest of the template is kept byte for byte, and a missing template raises.
#include "platform/webbroker/Web_HTTPProd.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace quillon {
namespace {

TEST(PageProducer, TagsAndTheirParameters) {
  TPageProducer p;
  std::vector<std::string> seen;
  p.OnHTMLTag = [&](TObject*, TTag tag, const std::string& name, const TStrings& params, std::string& text) {
    std::string record = name + (tag == TTag::tgLink ? "(link)" : "");
    for (int i = 0; i < params.Count(); ++i) record += " " + params.Names(i) + "=" + params.ValueFromIndex(i);
    seen.push_back(record);
    if (name == "keep") return;  // left as it was: empty
    text = "[" + name + "]";
  };
  struct Case {
    std::string Template, Content;
  };
  const std::vector<Case> cases = {
      {"no tags <b>at all</b> <# >", "no tags <b>at all</b> []"},
      {"<#host>:<#PORT>", "[host]:[PORT]"},
      {"a<#keep>b", "ab"},
      {"<#link href=\"/x y\" rel='me' plain=1 flag>", "[link]"},
      {"unfinished <#tag", "unfinished <#tag"},
      {"<p><#x></p>\xF0\x9F\x98\x80<#y>", "<p>[x]</p>\xF0\x9F\x98\x80[y]"},
  };
  for (const Case& c : cases) EXPECT_EQ(p.ContentFromString(c.Template), c.Content) << c.Template;
  EXPECT_EQ(seen, (std::vector<std::string>{"", "host", "PORT", "keep", "link(link) href=/x y rel=me plain=1 flag=",
                                            "x", "y"}));
}

TEST(PageProducer, TemplateFilesBelowTheApplicationFolder) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("prod-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir / "templates");
  std::ofstream(dir / "templates" / "page.html") << "<h1><#title></h1>";
  SetWebApplicationDirectory(dir.string());
  TPageProducer p;
  p.HTMLFile = "templates/page.html";
  p.OnHTMLTag = [](TObject*, TTag, const std::string&, const TStrings&, std::string& t) { t = "Hi"; };
  EXPECT_EQ(p.Content(), "<h1>Hi</h1>");
  p.HTMLFile = (dir / "templates" / "page.html").string();  // absolute names as they are
  EXPECT_EQ(p.Content(), "<h1>Hi</h1>");
  p.HTMLFile = "templates/missing.html";
  EXPECT_THROW(p.Content(), EWebBrokerException);
  p.HTMLFile.clear();
  p.HTMLDoc = "<#x>!";
  EXPECT_EQ(p.Content(), "Hi!");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillon
