// The file dispatcher over a folder made for the test: the extension table and content
// types, the directory masks (templates excluded), 404 for missing files, and every way
// out of the root refused: dot segments, back-slashes, links leading out or into an
// excluded folder.
#include "platform/webbroker/Web_WebFileDispatcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/webbroker/WebFixture.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::NewExchange;

class FileDispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    FBase = fs::temp_directory_path() / ("files-" + std::to_string(getpid()));
    fs::remove_all(FBase);
    FRoot = FBase / "root";
    fs::create_directories(FRoot / "css");
    fs::create_directories(FRoot / "templates");
    fs::create_directories(FRoot / "deep" / "er");
    fs::create_directories(FRoot / "folder.css");
    std::ofstream(FRoot / "css" / "site.css") << "body{}";
    std::ofstream(FRoot / "index.html") << "<p>index</p>";
    std::ofstream(FRoot / "deep" / "er" / "pic.JPG", std::ios::binary) << std::string("\xFF\xD8\0\x01", 4);
    std::ofstream(FRoot / "empty.js");
    std::ofstream(FRoot / "templates" / "page.html") << "<#secret>";
    std::ofstream(FRoot / "notes.txt") << "not listed";
    std::ofstream(FBase / "outside.css") << "outside";
    fs::create_symlink(FBase / "outside.css", FRoot / "link-out.css");
    fs::create_symlink(FRoot / "templates" / "page.html", FRoot / "link-in.html");
    fs::create_symlink(FRoot / "css" / "site.css", FRoot / "link-ok.css");
    SetWebApplicationDirectory(FRoot.string());

    D.WebFileExtensions = {{"text/css", "css"}, {"text/javascript", "js"}, {"text/html", "htm;html"},
                           {"image/jpeg", "jpg;jpeg;jpe"}};
    D.WebDirectories = {{true, "*"}, {false, "\\templates\\*"}};
  }
  void TearDown() override { fs::remove_all(FBase); }

  fs::path FBase, FRoot;
  TWebFileDispatcher D;
};

TEST_F(FileDispatcher, ServesListedFilesWithTheirTypes) {
  struct Case {
    std::string Path, Type, Body;
  };
  const std::vector<Case> cases = {
      {"/css/site.css", "text/css", "body{}"},
      {"/index.html", "text/html", "<p>index</p>"},
      {"//css///site.css", "text/css", "body{}"},
      {"/deep/er/pic.JPG", "image/jpeg", std::string("\xFF\xD8\0\x01", 4)},
      {"/empty.js", "text/javascript", ""},
      {"/link-ok.css", "text/css", "body{}"},
  };
  for (const Case& c : cases) {
    auto e = NewExchange("GET", c.Path);
    ASSERT_TRUE(D.DispatchMask(*e.Request)) << c.Path;
    ASSERT_TRUE(D.DispatchRequest(nullptr, *e.Request, *e.Response)) << c.Path;
    EXPECT_EQ(e.Response->StatusCode(), 200) << c.Path;
    EXPECT_EQ(e.Response->ContentType(), c.Type) << c.Path;
    EXPECT_EQ(e.Body(), c.Body) << c.Path;
  }
}

TEST_F(FileDispatcher, RefusesWhatItMustNotServe) {
  // 404: handled, no body. "no": not this dispatcher's (the module's default action answers).
  struct Case {
    std::string Path;
    bool Handled;
  };
  const std::vector<Case> cases = {
      {"/missing.css", true},
      {"/../outside.css", true},
      {"/css/../../outside.css", true},
      {"/./css/site.css", true},
      {"/css\\..\\..\\outside.css", true},
      {std::string("/css/site.css\0.css", 18), true},
      {"/link-out.css", true},
      {"/link-in.html", true},
      {"/folder.css", true},  // a folder, not a file
      {"/templates/page.html", false},
      {"/TEMPLATES/page.html", false},
      {"/notes.txt", false},
      {"/noextension", false},
  };
  for (const Case& c : cases) {
    auto e = NewExchange("GET", c.Path);
    if (!D.DispatchMask(*e.Request)) {
      EXPECT_FALSE(c.Handled) << c.Path;
      continue;
    }
    EXPECT_EQ(D.DispatchRequest(nullptr, *e.Request, *e.Response), c.Handled) << c.Path;
    EXPECT_NE(e.Response->StatusCode(), 200) << c.Path;
    EXPECT_EQ(e.Body(), "") << c.Path;
    if (c.Handled) {
      EXPECT_EQ(e.Response->StatusCode(), 404) << c.Path;
    }
  }
}

TEST_F(FileDispatcher, AFileTooLargeForMemoryIsRefused) {
  std::ofstream(FRoot / "big.jpg").close();
  fs::resize_file(FRoot / "big.jpg", TWebFileDispatcher::kMaxFileSize + 1);  // sparse: no disk used
  auto e = NewExchange("GET", "/big.jpg");
  EXPECT_TRUE(D.DispatchRequest(nullptr, *e.Request, *e.Response));
  EXPECT_EQ(e.Response->StatusCode(), 500);
  EXPECT_EQ(e.Body(), "File too large to serve");
  fs::resize_file(FRoot / "big.jpg", TWebFileDispatcher::kMaxFileSize);
  auto ok = NewExchange("GET", "/big.jpg");
  EXPECT_TRUE(D.DispatchRequest(nullptr, *ok.Request, *ok.Response));
  EXPECT_EQ(ok.Response->StatusCode(), 200);
  EXPECT_EQ(ok.Body().size(), TWebFileDispatcher::kMaxFileSize);
}

TEST_F(FileDispatcher, BeforeDispatchSeesTheFileNameAndMayAnswer) {
  std::string seen;
  D.BeforeDispatch = [&](TObject*, const std::string& name, TWebRequest&, TWebResponse& r, bool& handled) {
    seen = name;
    if (name.find("made.js") != std::string::npos) {
      std::ofstream(name) << "made";  // a file that exists only once asked for
    } else if (name.find("own.js") != std::string::npos) {
      r.SetContent("own answer");
      handled = true;
    }
  };
  auto made = NewExchange("GET", "/made.js");
  EXPECT_TRUE(D.DispatchRequest(nullptr, *made.Request, *made.Response));
  EXPECT_EQ(seen, (fs::canonical(FRoot) / "made.js").string());
  EXPECT_EQ(made.Body(), "made");
  auto own = NewExchange("GET", "/own.js");
  EXPECT_TRUE(D.DispatchRequest(nullptr, *own.Request, *own.Response));
  EXPECT_EQ(own.Body(), "own answer");
}

}  // namespace
}  // namespace quillon
