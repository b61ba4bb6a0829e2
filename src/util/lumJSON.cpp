// lumJSON.cpp — component lifetime, the forgiving reader, building with escaping, the compact
// writer and the document factory. Hand-written rather than a JSON library because the
// behaviour wanted is deliberately non-validating (raw escapes, comments, missing commas).
#include "util/lumJSON.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <mutex>

namespace quillon {

namespace {

// Beyond this nesting the reader stops as on malformed input: hostile text must not be able to
// exhaust the stack of a worker thread.
constexpr int kMaxDepth = 512;

struct CodePoint {
  char32_t value;
  std::size_t length;  // bytes consumed
};

// Decodes the well-formed UTF-8 sequence at aText[i]. A stray or malformed byte is one
// U+FFFD of length 1, so 8-bit text never stalls the scan.
CodePoint DecodeUtf8(std::string_view aText, std::size_t i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(aText[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return {b0, 1};
  const std::size_t left = aText.size() - i;
  const auto cont = [&](std::size_t k, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return k < left && byte(i + k) >= lo && byte(i + k) <= hi;
  };
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) return {char32_t((b0 & 0x1F) << 6 | (byte(i + 1) & 0x3F)), 2};
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;  // no encoded surrogates
    if (cont(1, lo, hi) && cont(2))
      return {char32_t((b0 & 0x0F) << 12 | (byte(i + 1) & 0x3F) << 6 | (byte(i + 2) & 0x3F)), 3};
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (cont(1, lo, hi) && cont(2) && cont(3))
      return {char32_t((b0 & 0x07) << 18 | (byte(i + 1) & 0x3F) << 12 | (byte(i + 2) & 0x3F) << 6 |
                       (byte(i + 3) & 0x3F)),
              4};
  }
  return {0xFFFD, 1};
}

void AppendUnitEscape(std::string& aOut, unsigned aUnit) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const char esc[6] = {'\\', 'u', kHex[(aUnit >> 12) & 0xF], kHex[(aUnit >> 8) & 0xF],
                       kHex[(aUnit >> 4) & 0xF], kHex[aUnit & 0xF]};
  aOut.append(esc, sizeof esc);
}

// JSON escaping by UTF-16 unit: what is not plain ASCII becomes \uXXXX (a pair for
// characters beyond the BMP); '/' is escaped too, so "</script>" is safe inside HTML.
std::string Escape(std::string_view aText) {
  std::string out;
  out.reserve(aText.size() + aText.size() / 8);
  for (std::size_t i = 0; i < aText.size();) {
    const auto c = static_cast<unsigned char>(aText[i]);
    if (c >= 0x80) {
      const CodePoint cp = DecodeUtf8(aText, i);
      if (cp.value >= 0x10000) {
        const char32_t v = cp.value - 0x10000;
        AppendUnitEscape(out, 0xD800 + (v >> 10));
        AppendUnitEscape(out, 0xDC00 + (v & 0x3FF));
      } else {
        AppendUnitEscape(out, cp.value);
      }
      i += cp.length;
      continue;
    }
    switch (c) {
      case 8: out += "\\b"; break;
      case 9: out += "\\t"; break;
      case 10: out += "\\n"; break;
      case 12: out += "\\f"; break;
      case 13: out += "\\r"; break;
      case '"':
      case '/':
      case '\\':
        out += '\\';
        out += static_cast<char>(c);
        break;
      default:
        if (c < 0x20)
          AppendUnitEscape(out, c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

template <class Int>
void AppendInteger(std::string& aOut, Int aValue) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, aValue);
  aOut.append(buf, r.ptr);
}

// General format, 15 significant digits. to_chars ignores the locale, so the separator is
// always '.', which is what JSON needs.
void AppendDouble(std::string& aOut, double aValue) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, aValue, std::chars_format::general, 15);
  aOut.append(buf, r.ptr);
}

void AppendValueText(std::string& aOut, const TlumJSONValue& aValue) {
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>)
          aOut += v;
        else if constexpr (std::is_same_v<V, bool>)
          aOut += v ? "True" : "False";
        else if constexpr (std::is_same_v<V, double>)
          AppendDouble(aOut, v);
        else
          AppendInteger(aOut, v);
      },
      aValue);
}

}  // namespace

std::string JSONValueToText(const TlumJSONValue& aValue) {
  if (const auto* s = std::get_if<std::string>(&aValue)) return *s;
  std::string out;
  AppendValueText(out, aValue);
  return out;
}

// ---- TInterfacedComponent ----

TInterfacedComponent::TInterfacedComponent(TInterfacedComponent* aOwner) : FOwner(aOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TInterfacedComponent::~TInterfacedComponent() {
  // Owned components go with us, except those still referenced: they are detached and
  // outlive us until their last reference is dropped.
  while (!FComponents.empty()) {
    TInterfacedComponent* c = FComponents.back();
    FComponents.pop_back();
    c->FOwner = nullptr;
    c->Free();
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TInterfacedComponent::Destroy() noexcept {
  FDestroying = true;
  delete this;
}

void TInterfacedComponent::Free() noexcept {
  if (FDestroying) return;
  if (FRefCount > 0)
    FDestroyObject = true;
  else
    Destroy();
}

int TInterfacedComponent::Release() noexcept {
  const int r = --FRefCount;
  if (r == 0 && FDestroyObject && !FDestroying) Destroy();
  return r;
}

void TInterfacedComponent::Adopt(TInterfacedComponent* aOwner) {
  FDestroyObject = false;
  if (FOwner == aOwner) return;
  if (aOwner) aOwner->FComponents.push_back(this);
  if (FOwner) FOwner->RemoveComponent(this);
  FOwner = aOwner;
}

bool TInterfacedComponent::IsOwnedBy(const TInterfacedComponent* aAncestor) const noexcept {
  for (const TInterfacedComponent* o = FOwner; o; o = o->FOwner)
    if (o == aAncestor) return true;
  return false;
}

void TInterfacedComponent::RemoveComponent(TInterfacedComponent* aComponent) noexcept {
  // Searched from the back: members are usually freed in reverse order of creation.
  const auto it = std::find(FComponents.rbegin(), FComponents.rend(), aComponent);
  if (it != FComponents.rend()) FComponents.erase(std::next(it).base());
}

// ---- TlumObjectJSONList ----

TlumObjectJSON* TlumObjectJSONList::GetNode(std::string_view aName) const noexcept {
  for (TlumObjectJSON* m : FItems)
    if (m->GetName() == aName) return m;
  return nullptr;
}

void TlumObjectJSONList::SetNode(std::string_view aName, TlumObjectJSON* aValue) {
  if (!aValue) return;
  for (std::size_t i = 0; i < FItems.size(); ++i)
    if (FItems[i]->GetName() == aName) return Replace(i, aValue);
}

TlumObjectJSON* TlumObjectJSONList::GetItem(int aIndex) const noexcept {
  if (aIndex < 0 || aIndex >= Count()) return nullptr;
  return FItems[static_cast<std::size_t>(aIndex)];
}

void TlumObjectJSONList::SetItem(int aIndex, TlumObjectJSON* aValue) {
  if (!aValue || aIndex < 0 || aIndex >= Count()) return;
  Replace(static_cast<std::size_t>(aIndex), aValue);
}

void TlumObjectJSONList::Replace(std::size_t aIndex, TlumObjectJSON* aValue) {
  TlumObjectJSON* old = FItems[aIndex];
  if (old == aValue) return;
  FItems[aIndex] = aValue;
  // A member listed twice would be freed twice: a move within the list leaves its old slot.
  for (std::size_t j = 0; j < FItems.size(); ++j) {
    if (j != aIndex && FItems[j] == aValue) {
      FItems.erase(FItems.begin() + static_cast<std::ptrdiff_t>(j));
      break;
    }
  }
  old->Free();
}

void TlumObjectJSONList::Extract(TlumObjectJSON* aValue) noexcept {
  const auto it = std::find(FItems.begin(), FItems.end(), aValue);
  if (it != FItems.end()) FItems.erase(it);
}

void TlumObjectJSONList::Clear() noexcept {
  std::vector<TlumObjectJSON*> items;
  items.swap(FItems);
  for (auto it = items.rbegin(); it != items.rend(); ++it) (*it)->Free();
}

// ---- TlumObjectJSON ----

TlumObjectJSON::~TlumObjectJSON() { Clear(); }

TlumJSON& TlumObjectJSON::Child() {
  if (!FJSONObject) {
    FJSONObject = new TlumJSON(this);
    if (FJSONType != lumJSONList) FJSONType = lumJSONObject;
  }
  // SetJSONObject only accepts TlumJSON documents.
  return static_cast<TlumJSON&>(*FJSONObject);
}

IlumJSONRef TlumObjectJSON::GetJSONObject() {
  Child();
  return FJSONObject;
}

void TlumObjectJSON::SetJSONObject(const IlumJSONRef& aValue) {
  if (!aValue) return Clear();
  auto* doc = dynamic_cast<TlumJSON*>(aValue.get());
  if (!doc || aValue == FJSONObject) return;
  // A document that contains this member cannot become its child.
  if (IsOwnedBy(doc)) return;
  Clear();
  if (!doc->Owner()) doc->Adopt(this);
  FJSONObject = aValue;
}

IlumObjectJSONRef TlumObjectJSON::GetNode(std::string_view aName) { return Child().GetNode(aName); }

void TlumObjectJSON::SetNode(std::string_view aName, const IlumObjectJSONRef& aValue) {
  Child().SetNode(aName, aValue);
}

IlumObjectJSONRef TlumObjectJSON::GetItem(int aIndex) { return Child().GetItem(aIndex); }

void TlumObjectJSON::SetItem(int aIndex, const IlumObjectJSONRef& aValue) {
  Child().SetItem(aIndex, aValue);
}

TlumJSONValue TlumObjectJSON::GetValue() {
  switch (FJSONType) {
    case lumJSONObject: return Child().GetText();
    case lumJSONList: {
      TlumJSON& child = Child();
      child.SetIsArray(true);
      return child.GetText();
    }
    default: return FValue;
  }
}

int TlumObjectJSON::GetCount() { return FJSONObject ? FJSONObject->GetCount() : 0; }

void TlumObjectJSON::Clear() {
  if (!FJSONObject) return;
  // Freed while our reference still holds it, so the reset below is what destroys it.
  auto* child = static_cast<TlumJSON*>(FJSONObject.get());
  if (child->Owner() == this) child->Free();
  FJSONObject.reset();
}

// ---- reading ----

namespace detail {

class TlumJSONReader {
public:
  explicit TlumJSONReader(std::string_view aText) : FText(aText) {}

  // Both restore the position when they fail; members read before the failure stay.
  bool ReadObject(TlumJSON& aDoc, int aDepth) {
    const std::size_t start = FPos;
    if (ReadMembers(aDoc, aDepth, '{', '}')) return true;
    FPos = start;
    return false;
  }
  bool ReadArray(TlumJSON& aDoc, int aDepth) {
    const std::size_t start = FPos;
    if (ReadMembers(aDoc, aDepth, '[', ']')) return true;
    FPos = start;
    return false;
  }

private:
  bool AtEnd() const noexcept { return FPos >= FText.size(); }
  char Peek() const noexcept { return FText[FPos]; }

  void SkipBlanks() noexcept {
    while (!AtEnd()) {
      const char c = Peek();
      if (c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ') {
        ++FPos;
      } else if (c == '#') {
        const std::size_t lf = FText.find('\n', FPos);
        FPos = lf == std::string_view::npos ? FText.size() : lf;
      } else {
        return;
      }
    }
  }

  // Commas are optional between members and allowed before the closing bracket.
  bool ReadMembers(TlumJSON& aDoc, int aDepth, char aOpen, char aClose) {
    SkipBlanks();
    if (AtEnd() || Peek() != aOpen) return false;
    ++FPos;
    const bool named = aOpen == '{';
    for (;;) {
      SkipBlanks();
      if (AtEnd()) return false;
      if (Peek() == aClose) {
        ++FPos;
        return true;
      }
      std::string_view name;
      if (named) {
        if (!ReadString(name)) return false;
        SkipBlanks();
        if (AtEnd() || Peek() != ':') return false;
        ++FPos;
        SkipBlanks();
      }
      if (!ReadValue(aDoc, name, aDepth)) return false;
      SkipBlanks();
      if (!AtEnd() && Peek() == ',') ++FPos;
    }
  }

  bool ReadValue(TlumJSON& aDoc, std::string_view aName, int aDepth) {
    if (AtEnd()) return false;
    std::string_view text;
    switch (Peek()) {
      case '"':
        if (!ReadString(text)) return false;
        Append(aDoc, aName, lumJSONString, text);
        return true;
      case '+': case '-':
      case '0': case '1': case '2': case '3': case '4':
      case '5': case '6': case '7': case '8': case '9':
        if (!ReadNumber(text)) return false;
        Append(aDoc, aName, lumJSONNumber, text);
        return true;
      case 'f': case 'F': return ReadKeyword(aDoc, aName, lumJSONBoolean, "false");
      case 't': case 'T': return ReadKeyword(aDoc, aName, lumJSONBoolean, "true");
      case 'n': case 'N': return ReadKeyword(aDoc, aName, lumJSONNull, "null");
      case '[': return ReadChild(aDoc, aName, lumJSONList, aDepth);
      case '{': return ReadChild(aDoc, aName, lumJSONObject, aDepth);
      default: return false;
    }
  }

  // The member is kept even when its content stops early: what was read stays readable.
  bool ReadChild(TlumJSON& aDoc, std::string_view aName, TlumJSONtype aKind, int aDepth) {
    if (aDepth >= kMaxDepth) return false;
    auto* m = new TlumObjectJSON(&aDoc);
    m->FName = aName;
    m->FJSONType = aKind;
    TlumJSON& child = m->Child();
    aDoc.FData.Add(m);
    return aKind == lumJSONList ? ReadArray(child, aDepth + 1) : ReadObject(child, aDepth + 1);
  }

  static void Append(TlumJSON& aDoc, std::string_view aName, TlumJSONtype aKind,
                     std::string_view aValue) {
    auto* m = new TlumObjectJSON(&aDoc);
    m->FName = aName;
    m->FJSONType = aKind;
    m->FValue.emplace<std::string>(aValue);
    aDoc.FData.Add(m);
  }

  // The keyword is matched in any letter case and stored in lower case.
  bool ReadKeyword(TlumJSON& aDoc, std::string_view aName, TlumJSONtype aKind,
                   std::string_view aWord) {
    if (FText.size() - FPos < aWord.size()) return false;
    for (std::size_t i = 0; i < aWord.size(); ++i) {
      char c = FText[FPos + i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      if (c != aWord[i]) return false;
    }
    FPos += aWord.size();
    Append(aDoc, aName, aKind, aWord);
    return true;
  }

  // The raw text between the quotes; escapes are skipped over, not decoded. An escaped
  // quote never ends the string, so the first quote reached is always the closing one.
  bool ReadString(std::string_view& aOut) {
    if (AtEnd() || Peek() != '"') return false;
    const std::size_t start = FPos;
    const std::size_t begin = ++FPos;
    while (!AtEnd()) {
      const char c = Peek();
      if (c == '"') {
        aOut = FText.substr(begin, FPos - begin);
        ++FPos;
        return true;
      }
      if (c != '\\') {
        ++FPos;
      } else if (FPos + 1 < FText.size() && FText[FPos + 1] == 'u') {
        FPos += 2;
        if (!SkipUnits(4)) break;
      } else {
        // The escaped character may be multi-byte; its other bytes are never '"' or '\'.
        FPos += 2;
      }
    }
    FPos = start;
    return false;
  }

  // Steps over aCount UTF-16 units of UTF-8 text (a character beyond the BMP is two).
  bool SkipUnits(int aCount) noexcept {
    int units = 0;
    while (units < aCount) {
      if (AtEnd()) return false;
      const CodePoint cp = DecodeUtf8(FText, FPos);
      units += cp.length == 4 ? 2 : 1;
      FPos += cp.length;
    }
    return true;
  }

  bool Digits() noexcept {
    const std::size_t from = FPos;
    while (!AtEnd() && Peek() >= '0' && Peek() <= '9') ++FPos;
    return FPos > from;
  }

  // [+-]digits[.digits][(e|E)[+-]digits], kept as written.
  bool ReadNumber(std::string_view& aOut) {
    const std::size_t start = FPos;
    if (Peek() == '+' || Peek() == '-') ++FPos;
    bool ok = Digits();
    if (ok && !AtEnd() && Peek() == '.') {
      ++FPos;
      ok = Digits();
    }
    if (ok && !AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++FPos;
      if (!AtEnd() && (Peek() == '+' || Peek() == '-')) ++FPos;
      ok = Digits();
    }
    if (!ok) {
      FPos = start;
      return false;
    }
    aOut = FText.substr(start, FPos - start);
    return true;
  }

  std::string_view FText;
  std::size_t FPos = 0;
};

}  // namespace detail

void TlumJSON::Read(std::string_view aText) {
  Clear();
  FIsArray = false;
  detail::TlumJSONReader reader(aText);
  // Only the very first character decides: blanks before '[' make it an object read.
  if (!aText.empty() && aText.front() == '[') {
    FIsArray = true;
    reader.ReadArray(*this, 0);
  } else {
    reader.ReadObject(*this, 0);
  }
}

// ---- document access and building ----

IlumObjectJSONRef TlumJSON::GetNode(std::string_view aName) { return FData.GetNode(aName); }

IlumObjectJSONRef TlumJSON::GetItem(int aIndex) { return FData.GetItem(aIndex); }

TlumObjectJSON* TlumJSON::TakeMember(const IlumObjectJSONRef& aValue) {
  auto* m = dynamic_cast<TlumObjectJSON*>(aValue.get());
  // A member that contains this document cannot become one of its members.
  if (!m || IsOwnedBy(m)) return nullptr;
  if (m->Owner() != this)
    if (auto* from = dynamic_cast<TlumJSON*>(m->Owner())) from->FData.Extract(m);
  m->Adopt(this);
  return m;
}

void TlumJSON::SetNode(std::string_view aName, const IlumObjectJSONRef& aValue) {
  if (!FData.GetNode(aName)) return;
  if (TlumObjectJSON* m = TakeMember(aValue)) FData.SetNode(aName, m);
}

void TlumJSON::SetItem(int aIndex, const IlumObjectJSONRef& aValue) {
  if (aIndex < 0 || aIndex >= FData.Count()) return;
  if (TlumObjectJSON* m = TakeMember(aValue)) FData.SetItem(aIndex, m);
}

IlumObjectJSONRef TlumJSON::AddMember(std::string_view aName, TlumJSONValue aValue,
                                      TlumJSONtype aKind) {
  std::string name = FEscapeStrings ? Escape(aName) : std::string(aName);
  if (aKind == lumJSONBoolean)
    aValue = std::string(std::get<bool>(aValue) ? "true" : "false");
  else if (aKind == lumJSONString && FEscapeStrings)
    aValue = Escape(std::get<std::string>(aValue));

  // An existing member keeps its kind, quoting and child; the value is stored as a new one
  // would be, so a Boolean stays a JSON literal and an escaped document stays escaped.
  if (TlumObjectJSON* m = FData.GetNode(name)) {
    m->FValue = std::move(aValue);
    return m;
  }

  auto* m = new TlumObjectJSON(this);
  m->FName = std::move(name);
  m->FJSONType = aKind;
  if (aKind == lumJSONObject || aKind == lumJSONList) {
    m->Child().Read(std::get<std::string>(aValue));
  } else {
    if (const auto* s = std::get_if<std::string>(&aValue))
      if (aKind == lumJSONString && !s->empty() && (s->front() == '{' || s->front() == '['))
        m->FQuoted = false;  // JSON text given as a string goes out as it stands
    m->FValue = std::move(aValue);
  }
  FData.Add(m);
  return m;
}

IlumObjectJSONRef TlumJSON::AddPair(std::string_view aName, std::string_view aValue) {
  return AddMember(aName, std::string(aValue), lumJSONString);
}
IlumObjectJSONRef TlumJSON::AddPair(std::string_view aName, std::int32_t aValue) {
  return AddMember(aName, aValue, lumJSONNumber);
}
IlumObjectJSONRef TlumJSON::AddPair(std::string_view aName, std::int64_t aValue) {
  return AddMember(aName, aValue, lumJSONNumber);
}
IlumObjectJSONRef TlumJSON::AddPair(std::string_view aName, double aValue) {
  return AddMember(aName, aValue, lumJSONNumber);
}
IlumObjectJSONRef TlumJSON::AddPair(std::string_view aName, bool aValue) {
  return AddMember(aName, aValue, lumJSONBoolean);
}
IlumObjectJSONRef TlumJSON::AddObject(std::string_view aName, std::string_view aValue) {
  return AddMember(aName, std::string(aValue), lumJSONObject);
}
IlumObjectJSONRef TlumJSON::AddArray(std::string_view aName, std::string_view aValue) {
  return AddMember(aName, std::string(aValue), lumJSONList);
}

// ---- writing ----

std::string TlumJSON::GetText() {
  std::string out;
  WriteTo(out);
  return out;
}

void TlumJSON::WriteTo(std::string& aOut) {
  aOut += FIsArray ? '[' : '{';
  WriteMembers(aOut, *this, FIsArray);
  aOut += FIsArray ? ']' : '}';
}

void TlumJSON::WriteMembers(std::string& aOut, TlumJSON& aDocument, bool aValueOnly) {
  bool any = false;
  for (TlumObjectJSON* m : aDocument.FData) {
    const std::size_t mark = aOut.size();
    if (any && aOut.back() != ',') aOut += ',';
    const std::size_t body = aOut.size();
    WriteNode(aOut, *m, aValueOnly);
    // A member that writes nothing takes no separator either, so the text stays valid JSON.
    if (aOut.size() == body)
      aOut.resize(mark);
    else
      any = true;
  }
}

void TlumJSON::WriteNode(std::string& aOut, TlumObjectJSON& aNode, bool aValueOnly) {
  const auto prefix = [&] {
    aOut += '"';
    aOut += aNode.FName;
    aOut += "\":";
  };
  switch (aNode.FJSONType) {
    case lumJSONObject:
      if (!aValueOnly) prefix();
      if (aNode.FJSONObject)
        aNode.Child().WriteTo(aOut);
      else
        aOut += "{}";
      break;
    case lumJSONList:
      // Named even in value-only position, unlike the other kinds.
      if (!aNode.FName.empty()) prefix();
      aOut += '[';
      if (aNode.FJSONObject) WriteMembers(aOut, aNode.Child(), true);
      aOut += ']';
      break;
    case lumJSONString: {
      if (!aValueOnly) prefix();
      const std::size_t at = aOut.size();
      AppendValueText(aOut, aNode.FValue);
      if (aNode.FQuoted && (aOut.size() == at || aOut[at] != '"')) {
        aOut.insert(at, 1, '"');
        aOut += '"';
      }
      break;
    }
    case lumJSONNumber: {
      if (!aValueOnly) prefix();
      if (const auto* d = std::get_if<double>(&aNode.FValue); d && !std::isfinite(*d)) {
        aOut += "null";  // JSON has no NaN or infinity
        break;
      }
      const std::size_t at = aOut.size();
      AppendValueText(aOut, aNode.FValue);
      std::replace(aOut.begin() + static_cast<std::ptrdiff_t>(at), aOut.end(), ',', '.');
      break;
    }
    case lumJSONBoolean:
    case lumJSONNull:
      if (!aValueOnly) prefix();
      AppendValueText(aOut, aNode.FValue);
      break;
    case lumJSONUndefined:
      break;
  }
}

// ---- document factory ----

namespace {

std::atomic<TlumJSONClass> gDocumentClass{&TlumJSON::Create};

// Owner components of the documents made without owner.
struct OwnerList {
  std::mutex FLock;  // guards FItems
  std::vector<TlumOwnerComponent*> FItems;
  ~OwnerList() {
    for (TlumOwnerComponent* o : FItems) o->Free();
  }
};

OwnerList& Owners() {
  static OwnerList list;
  return list;
}

// Made at start-up so that it outlives every static that may hold a document.
[[maybe_unused]] const OwnerList& gOwnersAtStart = Owners();

}  // namespace

void SetJSONDocumentClass(TlumJSONClass aClass) noexcept { gDocumentClass.store(aClass); }

TlumJSONClass GetJSONDocumentClass() noexcept { return gDocumentClass.load(); }

IlumJSONRef NewJSONDocument(TInterfacedComponent* aOwner) {
  const TlumJSONClass create = gDocumentClass.load();
  if (!create) return nullptr;
  if (aOwner) return IlumJSONRef(create(aOwner));

  TlumOwned<TlumOwnerComponent> holder(new TlumOwnerComponent(nullptr));
  holder->FInstance = create(holder.get());
  IlumJSONRef result = holder->FInstance;
  OwnerList& owners = Owners();
  std::lock_guard lock(owners.FLock);
  owners.FItems.push_back(holder.get());
  holder.release();
  return result;
}

void ReleaseJSONDocument(const IlumJSONRef& aDocument) {
  if (!aDocument) return;
  TlumOwnerComponent* found = nullptr;
  {
    OwnerList& owners = Owners();
    std::lock_guard lock(owners.FLock);
    const auto it = std::find_if(owners.FItems.begin(), owners.FItems.end(),
                                 [&](TlumOwnerComponent* o) { return o->FInstance == aDocument; });
    if (it != owners.FItems.end()) {
      found = *it;
      owners.FItems.erase(it);
    }
  }
  // Freed outside the lock: destroying a large document must not hold up other threads.
  if (found)
    found->Free();
  else if (auto* c = dynamic_cast<TInterfacedComponent*>(aDocument.get()))
    c->Free();
}

}  // namespace quillon
