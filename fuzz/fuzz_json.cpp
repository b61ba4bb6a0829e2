// The JSON reader over arbitrary text, then a walk over every member and the writer; the
// written text is read again. The reader is lenient (it keeps what it could read), so only
// its safety and bounds are checked, not a round trip.
#include <string>

#include "FuzzSupport.h"
#include "util/lumJSON.h"

using namespace quillon;

namespace {

// Visits every member down to the reader's own depth limit.
std::size_t Walk(IlumJSON& aDoc, int aDepth) {
  FUZZ_CHECK(aDepth < 10000);
  std::size_t members = 0;
  for (int i = 0; i < aDoc.GetCount(); ++i) {
    IlumObjectJSONRef item = aDoc.GetItem(i);
    FUZZ_CHECK(item);
    ++members;
    item->GetName();
    item->ValueText();
    if (IlumJSONRef child = item->GetJSONObject()) members += Walk(*child, aDepth + 1);
  }
  return members;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* aData, std::size_t aSize) {
  const std::string_view text(reinterpret_cast<const char*>(aData), aSize);
  TlumOwned<TlumJSON> doc(new TlumJSON(nullptr));
  doc->Read(text);
  const std::size_t members = Walk(*doc, 0);
  doc->Node("lum");
  const std::string written = doc->GetText();
  TlumOwned<TlumJSON> again(new TlumJSON(nullptr));
  again->Read(written);
  Walk(*again, 0);
  // Reading cannot invent members: every one takes at least a byte of the text.
  FUZZ_CHECK(members <= text.size());
  return 0;
}
