// Raw DEFLATE streams on zlib. Both sides keep one z_stream per direction for the life of the
// connection: continuing a stream gives the same wire bytes as starting a fresh one with the
// last 32 KiB as a preset dictionary, without rehashing that dictionary for every message.
#include "connection/lumWebSocket_Extensions_Zlib.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace quillon::detail {

namespace {

// What the sender removes from the end of every message and the receiver puts back.
constexpr std::uint8_t kTail[4] = {0x00, 0x00, 0xFF, 0xFF};
constexpr std::size_t kMinGrow = 4096;

// Makes room for aWant more bytes after aUsed, growing geometrically but never past aCap.
void Reserve(std::string& aOut, std::size_t aUsed, std::size_t aWant,
             std::size_t aCap = SIZE_MAX) {
  if (aOut.size() - aUsed >= aWant) return;
  aOut.resize(std::max(aUsed + aWant, std::min(aOut.size() * 2, aCap)));
}

}  // namespace

TwsZlibError::TwsZlibError(int aCode)
    : std::runtime_error("ZLib Error (" + std::to_string(aCode) + ")"), FCode(aCode) {}

// ---------------------------------------------------------------------------------------------

TwsDeflater::TwsDeflater(int aLevel, int aWindowBits, int aMemLevel)
    : FStream(std::make_unique<z_stream>()) {
  int strategy = Z_DEFAULT_STRATEGY;
  int bits = aWindowBits;
  if (bits <= 8) {
    bits = 9;
    strategy = Z_HUFFMAN_ONLY;
  }
  const int rc = deflateInit2(FStream.get(), aLevel, Z_DEFLATED, -bits, aMemLevel, strategy);
  if (rc != Z_OK) throw TwsZlibError(rc);
}

TwsDeflater::~TwsDeflater() { deflateEnd(FStream.get()); }

void TwsDeflater::Reset() {
  const int rc = deflateReset(FStream.get());
  if (rc != Z_OK) throw TwsZlibError(rc);
}

// Runs deflate with aFlush until the input is consumed and, for a flush, everything is out.
void TwsDeflater::Run(int aFlush, std::string& aOut) {
  z_stream& zs = *FStream;
  std::size_t used = aOut.size();
  for (;;) {
    Reserve(aOut, used, std::max<std::size_t>(kMinGrow, zs.avail_in / 2 + 64));
    zs.next_out = reinterpret_cast<Bytef*>(aOut.data() + used);
    const std::size_t room = std::min<std::size_t>(aOut.size() - used, 1u << 30);
    zs.avail_out = static_cast<uInt>(room);
    const int rc = deflate(&zs, aFlush);
    used += room - zs.avail_out;
    // Z_BUF_ERROR only means no progress was possible, which ends the loop below anyway.
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      aOut.resize(used);
      throw TwsZlibError(rc);
    }
    if (zs.avail_in == 0 && zs.avail_out != 0) break;
  }
  aOut.resize(used);
}

void TwsDeflater::Compress(const std::uint8_t* aData, std::size_t aSize, bool aEndOfMessage,
                           std::string& aOut) {
  z_stream& zs = *FStream;
  const std::size_t start = aOut.size();
  // Feed in slices (avail_in is 32 bits wide); at least one call, even for no input.
  do {
    const std::size_t piece = std::min<std::size_t>(aSize, 1u << 30);
    zs.next_in = const_cast<Bytef*>(aData);
    zs.avail_in = static_cast<uInt>(piece);
    Run(Z_NO_FLUSH, aOut);
    aData += piece;
    aSize -= piece;
  } while (aSize > 0);
  // Flushing after a no-flush call always emits the empty stored block, so every piece ends
  // on a byte boundary with 00 00 FF FF, even an empty one.
  zs.next_in = nullptr;
  zs.avail_in = 0;
  Run(Z_SYNC_FLUSH, aOut);
  if (aEndOfMessage && aOut.size() - start >= 4 &&
      std::memcmp(aOut.data() + aOut.size() - 4, kTail, 4) == 0) {
    aOut.resize(aOut.size() - 4);
  }
}

// ---------------------------------------------------------------------------------------------

TwsInflater::TwsInflater(int aWindowBits) : FStream(std::make_unique<z_stream>()) {
  const int rc = inflateInit2(FStream.get(), -aWindowBits);
  if (rc != Z_OK) throw TwsZlibError(rc);
}

TwsInflater::~TwsInflater() { inflateEnd(FStream.get()); }

void TwsInflater::Reset() {
  const int rc = inflateReset(FStream.get());
  if (rc != Z_OK) throw TwsZlibError(rc);
  FStreamEnded = false;
}

// The peer closed its DEFLATE stream with a final block; later messages may still refer to
// this one's plaintext, so the window goes into the fresh stream as its dictionary.
void TwsInflater::RestartKeepingWindow() {
  z_stream& zs = *FStream;
  Bytef window[32768];
  uInt length = sizeof window;
  int rc = inflateGetDictionary(&zs, window, &length);
  if (rc == Z_OK) rc = inflateReset(&zs);
  if (rc == Z_OK && length > 0) rc = inflateSetDictionary(&zs, window, length);
  if (rc != Z_OK) throw TwsZlibError(rc);
}

bool TwsInflater::Decompress(const std::uint8_t* aData, std::size_t aSize, bool aEndOfMessage,
                             std::size_t aLimit, std::string& aOut) {
  z_stream& zs = *FStream;
  const std::size_t start = aOut.size();
  std::size_t used = start;
  bool fits = true;

  // One pass over the payload, then one over the tail the sender removed.
  auto feed = [&](const std::uint8_t* data, std::size_t size) {
    while (size > 0 && !FStreamEnded) {
      const std::size_t piece = std::min<std::size_t>(size, 1u << 30);
      zs.next_in = const_cast<Bytef*>(data);
      zs.avail_in = static_cast<uInt>(piece);
      for (;;) {
        // One byte beyond the limit is enough to know it was exceeded.
        const std::size_t remaining = aLimit - (used - start);
        const std::size_t allowed = remaining == SIZE_MAX ? SIZE_MAX : remaining + 1;
        const std::size_t want = std::min<std::size_t>(
            allowed, std::max<std::size_t>(kMinGrow, std::size_t{zs.avail_in} * 4));
        Reserve(aOut, used, want, allowed > SIZE_MAX - used ? SIZE_MAX : used + allowed);
        const std::size_t room = std::min({aOut.size() - used, allowed, std::size_t{1} << 30});
        zs.next_out = reinterpret_cast<Bytef*>(aOut.data() + used);
        zs.avail_out = static_cast<uInt>(room);
        const int rc = inflate(&zs, Z_SYNC_FLUSH);
        used += room - zs.avail_out;
        if (used - start > aLimit) return false;
        if (rc == Z_STREAM_END) {
          RestartKeepingWindow();
          FStreamEnded = true;  // whatever follows in this message is ignored
          break;
        }
        if (rc == Z_BUF_ERROR) break;  // no progress possible: input used up
        if (rc != Z_OK) throw TwsZlibError(rc == Z_NEED_DICT ? Z_DATA_ERROR : rc);
        if (zs.avail_in == 0 && zs.avail_out != 0) break;
      }
      data += piece;
      size -= piece;
    }
    return true;
  };

  try {
    fits = feed(aData, aSize) && (!aEndOfMessage || feed(kTail, sizeof kTail));
  } catch (...) {
    aOut.resize(used);
    throw;
  }
  aOut.resize(used);
  zs.next_in = nullptr;
  zs.avail_in = 0;
  if (aEndOfMessage) FStreamEnded = false;
  return fits;
}

}  // namespace quillon::detail
