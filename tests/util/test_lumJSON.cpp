// Tests of the JSON component: the forgiving reader, building with and without escaping, the
// compact writer, member lifetime across Free, and the document factory.
#include "util/lumJSON.h"

#include <gtest/gtest.h>

#include <atomic>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <locale>
#include <thread>
#include <vector>

using namespace quillon;

namespace {

TlumOwned<TlumJSON> NewDoc() { return TlumOwned<TlumJSON>(new TlumJSON(nullptr)); }

TlumOwned<TlumJSON> ReadDoc(std::string_view aText) {
  auto doc = NewDoc();
  doc->Read(aText);
  return doc;
}

// A document class that counts its destructions, to observe when Free really happens.
std::atomic<int> gDestroyed{0};
class CountedJSON : public TlumJSON {
public:
  using TlumJSON::TlumJSON;
  static TlumJSON* Create(TInterfacedComponent* aOwner) { return new CountedJSON(aOwner); }

protected:
  ~CountedJSON() override { ++gDestroyed; }
};

// Sets the factory's document class for one test.
class DocumentClassGuard {
public:
  explicit DocumentClassGuard(TlumJSONClass aClass) : FSaved(GetJSONDocumentClass()) {
    SetJSONDocumentClass(aClass);
  }
  ~DocumentClassGuard() { SetJSONDocumentClass(FSaved); }

private:
  TlumJSONClass FSaved;
};

struct ReadCase {
  const char* what;
  std::string input;
  std::string written;
  int count;
};

TEST(lumJSONRead, ReadsLenientlyAndWritesCompactly) {
  const ReadCase cases[] = {
      {"round trip", R"({"a":1,"b":"x"})", R"({"a":1,"b":"x"})", 2},
      {"array: blanks, missing and trailing comma", "[1, 2 3,]", "[1,2,3]", 3},
      {"escaped quote kept raw", R"({"s":"a\"b"})", R"({"s":"a\"b"})", 1},
      {"keywords in any case", R"({"t":TRUE,"f":False,"n":nULL})", R"({"t":true,"f":false,"n":null})", 3},
      {"comment line first", "# token\n{\"k\":null}", R"({"k":null})", 1},
      {"comment between members", "{\"a\":1, # one\n\"b\":2}", R"({"a":1,"b":2})", 2},
      {"blank before [ reads an object", " [1]", "{}", 0},
      {"stops at a missing value", R"({"a":1,"b":})", R"({"a":1})", 1},
      {"missing and trailing commas", R"({"a":1 "b":2,})", R"({"a":1,"b":2})", 2},
      {"nested", R"({"o":{"x":[1,{"y":false},[]]},"e":{}})", R"({"o":{"x":[1,{"y":false},[]]},"e":{}})", 2},
      {"array of objects", R"([{"a":1},{"b":[true]}])", R"([{"a":1},{"b":[true]}])", 2},
      {"number forms kept as written", R"({"a":-0012.50e+3,"b":+7,"c":1E5})", R"({"a":-0012.50e+3,"b":+7,"c":1E5})", 3},
      {"fraction without digits stops", R"({"a":1,"b":1.})", R"({"a":1})", 1},
      {"exponent without digits stops", R"({"a":1e})", "{}", 0},
      {"unquoted name stops", "{a:1}", "{}", 0},
      {"unterminated string stops", R"({"a":"x)", "{}", 0},
      {"short keyword stops", R"({"a":tru})", "{}", 0},
      {"vertical tab is not a blank", "{\"a\":\v1}", "{}", 0},
      {"tab, form feed, CR, LF are blanks", "{\f\"a\"\t:\r\n1 }", R"({"a":1})", 1},
      {"multi-byte text passes through", "{\"\xC3\xA9\":\"\xE6\x97\xA5\xF0\x9F\x98\x80\"}",
       "{\"\xC3\xA9\":\"\xE6\x97\xA5\xF0\x9F\x98\x80\"}", 1},
      // After \u four UTF-16 units are taken: a character beyond the BMP counts two, so the
      // quote after it closes the string.
      {"\\u takes four units", "{\"u\":\"\\u00e9\",\"v\":\"\\uab\xF0\x9F\x98\x80\"}",
       "{\"u\":\"\\u00e9\",\"v\":\"\\uab\xF0\x9F\x98\x80\"}", 2},
      {"\\u with too few units left stops", R"({"u":"\u12"})", "{}", 0},
      {"escaped backslash before the closing quote", R"({"a\\":"C:\\" ,"b":2})", R"({"a\\":"C:\\","b":2})", 2},
      {"members before a nested failure stay", R"({"a":1,"b":[1,2)", R"({"a":1,"b":[1,2]})", 2},
      {"text after the document is ignored", R"({"a":1} {"b":2})", R"({"a":1})", 1},
      {"empty text", "", "{}", 0},
      {"empty array", "[]", "[]", 0},
      {"nested arrays", "[[1,2],[]]", "[[1,2],[]]", 2},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto doc = ReadDoc(c.input);
    EXPECT_EQ(doc->Text(), c.written);
    EXPECT_EQ(doc->Count(), c.count);
  }
}

TEST(lumJSONRead, KeepsKindsAndRawValues) {
  auto doc = ReadDoc(R"({"a":1,"b":"x","s":"a\"b","t":True,"n":null,"o":{"k":[1,"2"]}})");
  ASSERT_EQ(doc->Count(), 6);
  EXPECT_FALSE(doc->IsArray());
  EXPECT_EQ(doc->Node("a")->JSONType(), lumJSONNumber);
  EXPECT_EQ(doc->Node("a")->ValueText(), "1");
  EXPECT_EQ(doc->Node("b")->JSONType(), lumJSONString);
  EXPECT_EQ(doc->Node("b")->ValueText(), "x");
  EXPECT_EQ(doc->Node("s")->ValueText(), R"(a\"b)");
  EXPECT_EQ(doc->Node("t")->JSONType(), lumJSONBoolean);
  EXPECT_EQ(doc->Node("t")->ValueText(), "true");
  EXPECT_EQ(doc->Node("n")->JSONType(), lumJSONNull);

  auto o = doc->Node("o");
  EXPECT_EQ(o->JSONType(), lumJSONObject);
  auto k = o->Node("k");
  ASSERT_TRUE(k);
  EXPECT_EQ(k->JSONType(), lumJSONList);
  EXPECT_EQ(k->Count(), 2);
  EXPECT_EQ(k->Item(1)->JSONType(), lumJSONString);
  EXPECT_EQ(k->Item(1)->Name(), "");

  // Lookups are exact and bounded.
  EXPECT_FALSE(doc->Node("A"));
  EXPECT_FALSE(doc->Item(-1));
  EXPECT_FALSE(doc->Item(6));
  EXPECT_EQ(doc->Item(5)->Name(), "o");
}

TEST(lumJSONRead, ReadReplacesContentAndDecidesArrayByFirstCharacter) {
  auto doc = ReadDoc("[1,2]");
  EXPECT_TRUE(doc->IsArray());
  doc->Read(R"({"z":0})");
  EXPECT_FALSE(doc->IsArray());
  EXPECT_EQ(doc->Text(), R"({"z":0})");
}

TEST(lumJSONRead, DeepNestingStopsInsteadOfExhaustingTheStack) {
  for (const std::string open : {"[", "{\"a\":"}) {
    SCOPED_TRACE(open);
    std::string text;
    for (int i = 0; i < 200000; ++i) text += open;
    auto doc = ReadDoc(text);
    // What was read before the limit stays, a few hundred levels deep at most.
    const std::string written = doc->Text();
    EXPECT_LT(written.size(), 8000u);
    EXPECT_GT(written.size(), 2u);
  }
}

struct BuildCase {
  const char* what;
  std::function<void(TlumJSON&)> build;
  std::string written;
};

TEST(lumJSONBuild, AddPairObjectArrayAndWrite) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const BuildCase cases[] = {
      {"empty document", [](TlumJSON&) {}, "{}"},
      {"empty array document", [](TlumJSON& d) { d.SetIsArray(true); }, "[]"},
      {"string", [](TlumJSON& d) { d.AddPair("x", "y"); }, R"({"x":"y"})"},
      {"string holding JSON goes out unquoted", [](TlumJSON& d) { d.AddPair("x", "[1,2]"); }, R"({"x":[1,2]})"},
      {"std::string value", [](TlumJSON& d) { d.AddPair("x", std::string("{}")); }, R"({"x":{}})"},
      {"string already quoted", [](TlumJSON& d) { d.AddPair("q", "\"v\""); }, R"({"q":"v"})"},
      {"empty string", [](TlumJSON& d) { d.AddPair("e", ""); }, R"({"e":""})"},
      {"numbers and Booleans",
       [](TlumJSON& d) {
         d.AddPair("i", std::int32_t{-5});
         d.AddPair("l", std::int64_t{9007199254740993});
         d.AddPair("d", 1.5);
         d.AddPair("t", true);
         d.AddPair("f", false);
       },
       R"({"i":-5,"l":9007199254740993,"d":1.5,"t":true,"f":false})"},
      {"doubles: 15 significant digits, general format",
       [](TlumJSON& d) {
         d.AddPair("a", 0.1);
         d.AddPair("b", 1.0 / 3);
         d.AddPair("c", 1e20);
         d.AddPair("d", 123456789012345678.0);
         d.AddPair("e", -2.0);
       },
       R"({"a":0.1,"b":0.333333333333333,"c":1e+20,"d":1.23456789012346e+17,"e":-2})"},
      {"non-finite doubles are null",
       [nan, inf](TlumJSON& d) {
         d.AddPair("n", nan);
         d.AddPair("i", -inf);
       },
       R"({"n":null,"i":null})"},
      {"existing name: only the value changes",
       [](TlumJSON& d) {
         d.AddPair("n", "x");
         d.AddPair("n", 5);
       },
       R"({"n":"5"})"},
      {"existing Boolean stays a literal",
       [](TlumJSON& d) {
         d.AddPair("b", true);
         d.AddPair("b", false);
       },
       R"({"b":false})"},
      {"object and array from text",
       [](TlumJSON& d) {
         d.AddObject("o", R"({"a":1})");
         d.AddArray("l", R"([1,"x"])");
       },
       R"({"o":{"a":1},"l":[1,"x"]})"},
      {"array from object text keeps the values", [](TlumJSON& d) { d.AddArray("l", R"({"a":1,"b":2})"); },
       R"({"l":[1,2]})"},
      {"array document leaves names out",
       [](TlumJSON& d) {
         d.SetIsArray(true);
         d.AddPair("a", 1);
         d.AddPair("b", "x");
         d.AddObject("c", R"({"k":null})");
       },
       R"([1,"x",{"k":null}])"},
      {"without escaping values go out as held", [](TlumJSON& d) { d.AddPair("p", "a/b\\n"); },
       R"({"p":"a/b\n"})"},
      {"a member that writes nothing takes no separator",
       [](TlumJSON& d) {
         d.AddPair("a", 1)->SetJSONType(lumJSONUndefined);
         d.AddPair("b", 2);
         d.AddPair("c", 3)->SetJSONType(lumJSONUndefined);
       },
       R"({"b":2})"},
  };
  for (const BuildCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto doc = NewDoc();
    c.build(*doc);
    EXPECT_EQ(doc->Text(), c.written);
  }
}

TEST(lumJSONBuild, AddReturnsTheMemberAndReplacesByName) {
  auto doc = NewDoc();
  auto first = doc->AddPair("n", "x");
  auto again = doc->AddPair("n", std::int64_t{7});
  EXPECT_EQ(first, again);
  EXPECT_EQ(doc->Count(), 1);
  EXPECT_EQ(again->JSONType(), lumJSONString);
  EXPECT_TRUE(std::holds_alternative<std::int64_t>(again->Value()));
}

TEST(lumJSONBuild, EscapeStringsEscapesNamesAndStringValuesByUtf16Unit) {
  struct EscapeCase {
    std::string value;
    std::string written;
  };
  const EscapeCase cases[] = {
      {"a/b", R"("a\/b")"},
      {"\xC3\xA9", R"("\u00E9")"},                   // U+00E9
      {"\xE2\x82\xAC", R"("\u20AC")"},               // U+20AC
      {"\xF0\x9F\x98\x80", R"("\uD83D\uDE00")"},     // U+1F600 as a surrogate pair
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x0B\x1F", 4), R"("\u0000\u0001\u000B\u001F")"},
      {"q\"b\\s", R"("q\"b\\s")"},
      {"\x7F~", "\"\x7F~\""},
      {"\xFF", R"("\uFFFD")"},                       // not UTF-8
      {"\xED\xA0\x80", R"("\uFFFD\uFFFD\uFFFD")"},   // an encoded surrogate is not UTF-8 either
  };
  for (const EscapeCase& c : cases) {
    SCOPED_TRACE(c.written);
    auto doc = NewDoc();
    doc->SetEscapeStrings(true);
    doc->AddPair("k", c.value);
    EXPECT_EQ(doc->Text(), "{\"k\":" + c.written + "}");
  }

  auto doc = NewDoc();
  doc->SetEscapeStrings(true);
  doc->AddPair("a/b", "first");
  doc->AddPair("a/b", "x\"y");  // same name once escaped: replaced, and the value escaped too
  EXPECT_EQ(doc->Text(), R"({"a\/b":"x\"y"})");

  // Reading and writing never escape: only building does.
  doc->Read("{\"p\":\"a/b\xC3\xA9\"}");
  EXPECT_EQ(doc->Text(), "{\"p\":\"a/b\xC3\xA9\"}");
}

TEST(lumJSONValue, TextConversions) {
  struct ValueCase {
    TlumJSONValue value;
    std::string text;
  };
  const ValueCase cases[] = {
      {std::string("abc"), "abc"},
      {std::int32_t{-7}, "-7"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {1.5, "1.5"},
      {100.0, "100"},
      {true, "True"},
      {false, "False"},
  };
  for (const ValueCase& c : cases) EXPECT_EQ(JSONValueToText(c.value), c.text);
}

// A C++ locale whose decimal separator is a comma.
struct CommaDecimal : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

TEST(lumJSONValue, DecimalSeparatorIsADotWhateverTheLocale) {
  const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaDecimal));
  std::string savedC = std::setlocale(LC_ALL, nullptr);
  for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE", "fr_FR"})
    if (std::setlocale(LC_ALL, name)) break;

  auto doc = NewDoc();
  doc->AddPair("d", 1.5);
  // A number stored as text with a comma is written with a dot.
  doc->AddPair("s", 0)->SetValue(std::string("2,25"));
  const std::string written = doc->Text();
  const std::string text = JSONValueToText(0.25);

  std::setlocale(LC_ALL, savedC.c_str());
  std::locale::global(saved);
  EXPECT_EQ(written, R"({"d":1.5,"s":2.25})");
  EXPECT_EQ(text, "0.25");
}

TEST(lumJSONMember, ChildDocumentKindAndValue) {
  TlumOwned<TlumObjectJSON> m(new TlumObjectJSON(nullptr));
  EXPECT_EQ(m->JSONType(), lumJSONUndefined);
  EXPECT_TRUE(m->Quoted());
  EXPECT_EQ(m->Count(), 0);
  m->JSONObject()->AddPair("a", 1);  // making the child makes the member an object
  EXPECT_EQ(m->JSONType(), lumJSONObject);
  EXPECT_EQ(m->ValueText(), R"({"a":1})");
  EXPECT_EQ(m->Node("a")->ValueText(), "1");
  EXPECT_EQ(m->Item(0)->Name(), "a");
  m->Clear();
  EXPECT_EQ(m->Count(), 0);
  EXPECT_EQ(m->ValueText(), "{}");

  TlumOwned<TlumObjectJSON> l(new TlumObjectJSON(nullptr));
  l->SetJSONType(lumJSONList);
  l->JSONObject()->Read(R"({"a":1,"b":"x"})");
  EXPECT_EQ(l->JSONType(), lumJSONList);  // a list stays a list
  EXPECT_FALSE(l->JSONObject()->IsArray());
  EXPECT_EQ(l->ValueText(), R"([1,"x"])");  // its value is written as an array
  EXPECT_TRUE(l->JSONObject()->IsArray());

  auto doc = NewDoc();
  auto s = doc->AddPair("s", "x");
  s->SetValue(std::int32_t{3});  // the kind stays
  EXPECT_EQ(s->JSONType(), lumJSONString);
  EXPECT_EQ(doc->Text(), R"({"s":"3"})");
}

TEST(lumJSONMember, SetJSONObjectTakesAFreeDocument) {
  auto doc = NewDoc();
  auto m = doc->AddObject("o", R"({"old":1})");
  auto* child = new TlumJSON(nullptr);
  child->AddPair("new", 2);
  m->SetJSONObject(child);
  EXPECT_EQ(child->Owner(), dynamic_cast<TInterfacedComponent*>(m.get()));
  EXPECT_EQ(doc->Text(), R"({"o":{"new":2}})");
  // The document above the member cannot become its child.
  m->SetJSONObject(doc.get());
  EXPECT_EQ(doc->Text(), R"({"o":{"new":2}})");
}

TEST(lumJSONMember, SetNodeAndSetItemMoveMembers) {
  auto doc = ReadDoc(R"({"a":1,"b":2})");
  auto other = ReadDoc(R"({"x":"y","z":0})");

  doc->SetItem(0, other->Item(0));  // moved from the other document, "a" freed
  EXPECT_EQ(doc->Text(), R"({"x":"y","b":2})");
  EXPECT_EQ(other->Text(), R"({"z":0})");

  doc->SetNode("b", doc->Node("x"));  // a move within the list leaves no duplicate
  EXPECT_EQ(doc->Text(), R"({"x":"y"})");

  doc->SetNode("missing", other->Item(0));
  doc->SetItem(5, other->Item(0));
  doc->SetItem(-1, other->Item(0));
  EXPECT_EQ(doc->Text(), R"({"x":"y"})");
  EXPECT_EQ(other->Text(), R"({"z":0})");

  // A member cannot go inside its own child document.
  auto o = doc->AddObject("o", R"({"k":1})");
  o->SetItem(0, o);
  EXPECT_EQ(doc->Text(), R"({"x":"y","o":{"k":1}})");
}

TEST(lumJSONLifetime, FreeIsDeferredWhileReferenced) {
  gDestroyed = 0;
  CountedJSON::Create(nullptr)->Free();
  EXPECT_EQ(gDestroyed, 1);  // no reference: at once

  TlumJSON* doc = CountedJSON::Create(nullptr);
  IlumJSONRef ref = doc;
  EXPECT_EQ(doc->RefCount(), 1);
  doc->Free();
  EXPECT_EQ(gDestroyed, 1);
  EXPECT_TRUE(doc->DestroyPending());
  EXPECT_EQ(ref->Text(), "{}");
  IlumJSONRef copy = ref;
  ref.reset();
  EXPECT_EQ(gDestroyed, 1);
  copy.reset();
  EXPECT_EQ(gDestroyed, 2);
}

TEST(lumJSONLifetime, OwnedObjectsGoWithTheOwnerUnlessReferenced) {
  gDestroyed = 0;
  TlumOwned<TlumJSON> owner(new TlumJSON(nullptr));
  CountedJSON::Create(owner.get());
  IlumJSONRef kept = CountedJSON::Create(owner.get());
  owner.reset();
  EXPECT_EQ(gDestroyed, 1);
  EXPECT_EQ(dynamic_cast<TInterfacedComponent*>(kept.get())->Owner(), nullptr);
  kept->AddPair("still", "usable");
  kept.reset();
  EXPECT_EQ(gDestroyed, 2);
}

TEST(lumJSONLifetime, MembersAndChildrenOutliveClearAndFree) {
  auto doc = NewDoc();
  auto m = doc->AddPair("a", "x");
  auto child = doc->AddObject("o", R"({"k":1})")->JSONObject();
  doc->Clear();
  EXPECT_EQ(doc->Count(), 0);
  EXPECT_EQ(m->ValueText(), "x");

  // A freed member put back into a document belongs to it again.
  doc->AddPair("z", 0);
  doc->SetItem(0, m);
  m.reset();
  EXPECT_EQ(doc->Text(), R"({"a":"x"})");

  m = doc->Item(0);
  doc.reset();
  EXPECT_EQ(m->ValueText(), "x");
  EXPECT_EQ(child->Text(), R"({"k":1})");
}

TEST(lumJSONFactory, OwnerlessDocumentsLiveUntilReleased) {
  DocumentClassGuard guard(&CountedJSON::Create);
  gDestroyed = 0;
  IlumJSONRef doc = NewJSONDocument(nullptr);
  ASSERT_TRUE(doc);
  auto* component = dynamic_cast<TInterfacedComponent*>(doc.get());
  ASSERT_NE(dynamic_cast<TlumOwnerComponent*>(component->Owner()), nullptr);
  doc->AddPair("k", "v");
  ReleaseJSONDocument(doc);
  EXPECT_EQ(gDestroyed, 0);  // our reference keeps it
  EXPECT_EQ(doc->Text(), R"({"k":"v"})");
  ReleaseJSONDocument(doc);  // a second release is harmless
  doc.reset();
  EXPECT_EQ(gDestroyed, 1);

  // Dropping the reference alone does not free it: the process-wide list keeps it.
  NewJSONDocument(nullptr);
  EXPECT_EQ(gDestroyed, 1);
}

TEST(lumJSONFactory, OwnedDocumentsAndTheClassSetting) {
  DocumentClassGuard guard(&CountedJSON::Create);
  gDestroyed = 0;
  TlumOwned<TlumJSON> owner(new TlumJSON(nullptr));
  IlumJSONRef doc = NewJSONDocument(owner.get());
  EXPECT_EQ(dynamic_cast<TInterfacedComponent*>(doc.get())->Owner(), owner.get());
  ReleaseJSONDocument(doc);  // not in the list: the document itself is freed
  doc.reset();
  EXPECT_EQ(gDestroyed, 1);

  SetJSONDocumentClass(nullptr);
  EXPECT_FALSE(NewJSONDocument(nullptr));
  ReleaseJSONDocument(nullptr);
}

TEST(lumJSONFactory, ConcurrentNewAndRelease) {
  DocumentClassGuard guard(&CountedJSON::Create);
  gDestroyed = 0;
  constexpr int kThreads = 4, kDocs = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kDocs; ++i) {
        IlumJSONRef doc = NewJSONDocument(nullptr);
        doc->AddPair("thread", t);
        doc->AddPair("i", i);
        if (doc->Text().empty()) std::abort();
        ReleaseJSONDocument(doc);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(gDestroyed, kThreads * kDocs);
}

}  // namespace
