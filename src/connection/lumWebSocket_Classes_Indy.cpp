// Frame reader, message assembly and frame writers.
#include "connection/lumWebSocket_Classes_Indy.h"

#include <algorithm>
#include <cstring>
#include <random>

#include "connection/lumWebSocket_Extensions.h"
#include "connection/lumWebSocket_Extensions_PerMessageDeflate.h"
#include "connection/lumWebSocket_Extensions_Zlib.h"
#include "connection/lumWebSocket_RequestLines.h"
#include "connection/lumWebSocket_UTF8.h"
#include "util/lumWebSocket_Exception.h"

namespace quillon {

namespace {

// Up-front reservation for an announced payload: more would let a peer make us allocate
// by announcing a length it never sends.
constexpr std::size_t kMaxReserve = 1 << 20;
// A record's buffer keeps its capacity between messages up to this size.
constexpr std::size_t kKeepCapacity = 1 << 20;

constexpr std::string_view kMessageTooBig = "Message too big";

std::atomic<std::int64_t> gUnfinishedBytes{0};
std::atomic<std::int64_t> gUnfinishedBudget{TlumWSConnection_Base_Indy::DefaultUnfinishedMessageBudget};

// Codes a peer may put on the wire: the registered ones that are not reserved for local use
// (1004-1006, 1015), and the ranges for libraries and applications.
bool IsValidCloseCode(int aCode) {
  return (aCode >= 1000 && aCode <= 1003) || (aCode >= 1007 && aCode <= 1014) ||
         (aCode >= 3000 && aCode <= 4999);
}

bool SendsCloseFrames(TwsTransport t) {
  return t == trpRFC6455 || t == trpFlash || t == trpRFC8441;
}

std::uint8_t RandomMaskByte() {
  thread_local std::mt19937 gen{std::random_device{}()};
  return static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 254)(gen));
}

// Sends one piece of a possibly streamed message: picks the opcode and whether the frame is
// a fragment. `aFirst` is the message's own opcode; `aWhole()` says whether an unstreamed or
// closing piece fits in one frame (else it is cut by the fragmenting writer).
template <class TWhole, class TWriteFrame, class TFragmented>
void WriteStreamed(TwsStreaming aStreaming, TOpcode aFirst, TWhole aWhole, TWriteFrame aFrame,
                   TFragmented aFragmented) {
  switch (aStreaming) {
    case stmNone:
      if (aWhole()) {
        aFrame(aFirst, false);
      } else {
        aFragmented(aFirst, false);
      }
      return;
    case stmFirst:
      aFrame(aFirst, true);
      return;
    case stmContinue:
      aFrame(opContinuation, true);
      return;
    case stmLast:
      aFrame(opContinuation, false);
      return;
    case stmContinueAndLast:
      if (aWhole()) {
        aFrame(opContinuation, false);
      } else {
        aFragmented(aFirst, true);
      }
      return;
  }
}

}  // namespace

namespace detail {

void MaskBytes(std::uint8_t* aData, std::size_t aSize, const std::uint8_t aMask[4],
               std::size_t aOffset) {
  std::uint8_t key[8];
  for (int i = 0; i < 8; ++i) key[i] = aMask[(aOffset + i) & 3];
  std::uint64_t key64;
  std::memcpy(&key64, key, 8);
  std::size_t i = 0;
  for (; i + 8 <= aSize; i += 8) {
    std::uint64_t v;
    std::memcpy(&v, aData + i, 8);
    v ^= key64;
    std::memcpy(aData + i, &v, 8);
  }
  for (; i < aSize; ++i) aData[i] ^= key[i & 7];
}

std::size_t EncodeFrameHeader(std::uint8_t aFirstByte, std::uint64_t aLength,
                              const std::uint8_t* aMask, std::uint8_t aOut[14]) {
  const std::uint8_t maskBit = aMask != nullptr ? 0x80 : 0x00;
  std::size_t n = 2;
  aOut[0] = aFirstByte;
  if (aLength < 126) {
    aOut[1] = static_cast<std::uint8_t>(maskBit | aLength);
  } else if (aLength <= 0xFFFF) {
    aOut[1] = maskBit | 126;
    aOut[2] = static_cast<std::uint8_t>(aLength >> 8);
    aOut[3] = static_cast<std::uint8_t>(aLength);
    n = 4;
  } else {
    aOut[1] = maskBit | 127;
    for (int i = 0; i < 8; ++i) aOut[2 + i] = static_cast<std::uint8_t>(aLength >> (56 - 8 * i));
    n = 10;
  }
  if (aMask != nullptr) {
    std::memcpy(aOut + n, aMask, 4);
    n += 4;
  }
  return n;
}

}  // namespace detail

// ---- TlumWSMsg ----

void TlumWSMsg::Clear() {
  Continuation = false;
  Fragmented = false;
  MaskIndex = 0;
  OpCode = opNone;
  PayLoad = pa7bits;
  PayLoadLength = 0;
  Remaining = 0;
  PLState = 0;
  ReadMasked = false;
  State = 0;
  FrameStart = 0;
  MessageSize = 0;
  UTF8.Reset();
  ClearStream();
}

void TlumWSMsg::ClearStream() {
  if (Stream.capacity() > kKeepCapacity) {
    std::string().swap(Stream);
  } else {
    Stream.clear();
  }
}

// ---- TlumThreadListQueuePings ----

TlumThreadListQueuePings::~TlumThreadListQueuePings() { Clear(); }

int TlumThreadListQueuePings::Count() {
  TLocked hold(*this);
  return FList.Count();
}

void TlumThreadListQueuePings::Clear() {
  TLocked hold(*this);
  for (void* p : FList) delete static_cast<TlumPing*>(p);
  FList.Clear();
}

// ---- TlumWSConnection_Base_Indy: input ----

TlumWSConnection_Base_Indy::TlumWSConnection_Base_Indy() = default;

TlumWSConnection_Base_Indy::~TlumWSConnection_Base_Indy() {
  gUnfinishedBytes.fetch_sub(static_cast<std::int64_t>(FUnfinishedBytes), std::memory_order_relaxed);
}

std::int64_t TlumWSConnection_Base_Indy::UnfinishedMessageBytes() {
  return gUnfinishedBytes.load(std::memory_order_relaxed);
}

std::int64_t TlumWSConnection_Base_Indy::UnfinishedMessageBudget() {
  return gUnfinishedBudget.load(std::memory_order_relaxed);
}

void TlumWSConnection_Base_Indy::SetUnfinishedMessageBudget(std::int64_t aBytes) {
  gUnfinishedBudget.store(aBytes > 0 ? aBytes : 0, std::memory_order_relaxed);
}

void TlumWSConnection_Base_Indy::AccountUnfinished() {
  const TlumWSMsg& m = FWSMessage;
  // What the record really holds: its capacity, also while a payload is being read into
  // room reserved for it.
  const std::size_t held = (!m.Stream.empty() || m.State == 4) ? m.Stream.capacity() : 0;
  if (held == FUnfinishedBytes) return;
  const auto delta = static_cast<std::int64_t>(held) - static_cast<std::int64_t>(FUnfinishedBytes);
  FUnfinishedBytes = held;
  const std::int64_t total = gUnfinishedBytes.fetch_add(delta, std::memory_order_relaxed) + delta;
  const std::int64_t budget = gUnfinishedBudget.load(std::memory_order_relaxed);
  if (delta <= 0 || budget == 0 || total <= budget || FReaderStopped) return;
  // The newest growth is the one that does not fit: this connection goes, the others stay.
  // Given back before the close, which may raise.
  FReaderStopped = true;
  FWSMessage.Clear();
  std::string().swap(FWSMessage.Stream);
  AccountUnfinished();
  DoCloseConnection(kMessageTooBig, 1009);
}

void TlumWSConnection_Base_Indy::ReleaseReadBuffers() {
  FWSMessage.Clear();
  std::string().swap(FWSMessage.Stream);
  FWSControlCode.Clear();
  std::string().swap(FWSControlCode.Stream);
  FWSMSG = nullptr;
  FIn.reset();
  FInCapacity = FInBegin = FInEnd = 0;
  if (FExtensions) FExtensions->ReleaseReadState();
  AccountUnfinished();
}

std::uint8_t* TlumWSConnection_Base_Indy::InputBuffer(std::size_t aSize) {
  if (FInBegin == FInEnd) {
    FInBegin = FInEnd = 0;
  } else if (FInBegin > 0 && FInCapacity - FInEnd < aSize) {
    std::memmove(FIn.get(), FIn.get() + FInBegin, FInEnd - FInBegin);
    FInEnd -= FInBegin;
    FInBegin = 0;
  }
  if (FInCapacity - FInEnd < aSize) {
    const std::size_t capacity = std::max(FInEnd + aSize, 2 * FInCapacity);
    auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
    if (FInEnd > FInBegin) std::memcpy(grown.get(), FIn.get() + FInBegin, FInEnd - FInBegin);
    FInEnd -= FInBegin;
    FInBegin = 0;
    FIn = std::move(grown);
    FInCapacity = capacity;
  }
  return FIn.get() + FInEnd;
}

void TlumWSConnection_Base_Indy::InputReceived(std::size_t aCount) {
  FInEnd = std::min(FInEnd + aCount, FInCapacity);
}

void TlumWSConnection_Base_Indy::ReleaseIdleInput() {
  if (FInBegin != FInEnd || !FIn) return;
  FIn.reset();
  FInCapacity = FInBegin = FInEnd = 0;
}

void TlumWSConnection_Base_Indy::ReceiveBytes(const void* aData, std::size_t aSize) {
  if (aSize == 0) return;
  std::memcpy(InputBuffer(aSize), aData, aSize);
  InputReceived(aSize);
}

void TlumWSConnection_Base_Indy::DiscardInput() {
  FDiscardInput.store(true, std::memory_order_release);
}

int TlumWSConnection_Base_Indy::GetBytesAvailable() {
  if (FDiscardInput.load(std::memory_order_acquire)) return 0;
  return static_cast<int>(FInEnd - FInBegin);
}

void TlumWSConnection_Base_Indy::ReadBytes(std::string& aBytes, int aCount) {
  const std::size_t n = std::min<std::size_t>(aCount > 0 ? aCount : 0, FInEnd - FInBegin);
  aBytes.assign(reinterpret_cast<const char*>(FIn.get() + FInBegin), n);
  FInBegin += n;
  AddRecBytes(static_cast<std::int64_t>(n));
}

void TlumWSConnection_Base_Indy::ReadFrames(bool aRequireMask) {
  // A connection its owner has let go of (freed while this read was in flight) has no one
  // left to deliver to.
  while (FInBegin < FInEnd && !FDiscardInput.load(std::memory_order_acquire) && !Disconnected() &&
         !Freed() && !FMustDisconnect && !FReaderStopped) {
    const std::size_t before = FInBegin;
    ReadFrameStep(aRequireMask);
    AccountUnfinished();
    // Every step takes at least one byte; one that takes none would take none again.
    if (FInBegin == before) break;
  }
  if (FDiscardInput.exchange(false, std::memory_order_acq_rel)) FInBegin = FInEnd = 0;
}

TlumWSMsg* TlumWSConnection_Base_Indy::WSMSG() {
  if (FWSMSG == nullptr && !Disconnected() && !Freed()) FWSMSG = &FWSMessage;
  return FWSMSG;
}

// ---- Reader ----

bool TlumWSConnection_Base_Indy::ReadHeaderByte(std::uint8_t& aByte) {
  if (FInBegin >= FInEnd) return false;
  aByte = FIn[FInBegin++];
  AddRecBytes(1);
  return true;
}

bool TlumWSConnection_Base_Indy::CheckMessageSize(std::uint64_t aLength) {
  if (FMaxMessageSize <= 0 || IsControlOpCode(FWSMSG->OpCode)) return true;
  const auto max = static_cast<std::uint64_t>(FMaxMessageSize);
  if (aLength <= max && FWSMSG->MessageSize + aLength <= max) return true;
  FReaderStopped = true;
  DoCloseConnection(kMessageTooBig, 1009);
  return false;
}

void TlumWSConnection_Base_Indy::ReadFrameStep(bool aRequireMask) {
  TlumWSMsg* cur = WSMSG();
  if (cur == nullptr) return;
  auto fail = [this](std::string_view aMessage, int aCode) {
    FReaderStopped = true;
    DoCloseConnection(aMessage, aCode);
  };
  std::uint8_t b = 0;
  switch (cur->State) {
    case 0: {
      if (!ReadHeaderByte(b)) return;
      FCloseCode.store(0, std::memory_order_relaxed);
      if (!FCloseReason.empty()) FCloseReason.clear();
      cur->Continuation = false;
      TlumWSMsg* rec = nullptr;
      switch (b & 0x0F) {
        case 0x0:
          rec = &FWSMessage;
          FWSMSG = rec;
          rec->Continuation = true;
          if (rec->OpCode == opNone || !rec->Fragmented) {
            fail("Unfragmented message after continuation frame with FIN", 1002);
            return;
          }
          break;
        case 0x1:
        case 0x2: {
          const bool text = (b & 0x0F) == 0x1;
          // The data record, not the current one: a control frame in between does not
          // make an unfinished message finished.
          if (FWSMessage.Fragmented) {
            fail(text ? "OpCode error, received opText after Continuation not finished"
                      : "OpCode error, received opBinary after Continuation not finished",
                 1002);
            return;
          }
          rec = &FWSMessage;
          rec->OpCode = text ? opText : opBinary;
          rec->UTF8.Reset();
          FWSMSG = rec;
          break;
        }
        case 0x8:
        case 0x9:
        case 0xA:
          rec = &FWSControlCode;
          rec->OpCode = (b & 0x0F) == 0x8 ? opClose : (b & 0x0F) == 0x9 ? opPing : opPong;
          FWSMSG = rec;
          break;
        default:
          fail("Invalid Control OptCode", 1002);
          return;
      }
      rec->Fragmented = (b & 0x80) == 0;
      const bool control = IsControlOpCode(rec->OpCode);
      if ((b & 0x70) != 0) {
        if (!FExtensions->ExtensionNegotiated()) {
          fail("Invalid value of RSV while no Extension Negotiated", 1002);
          return;
        } else if (!FExtensions->IsValidRSV(b)) {
          fail("Invalid value of RSV", 1002);
          return;
        }
      }
      // Only data frames say whether a message is compressed.
      if (!control && FExtensions->ExtensionNegotiated()) FExtensions->DecodeHeader(b);
      if (rec->Fragmented && control) {
        fail("Control Message must not be fragmented", 1002);
        return;
      }
      rec->State = 1;
      return;
    }
    case 1: {
      if (!ReadHeaderByte(b)) return;
      cur->ReadMasked = (b & 0x80) != 0;
      if (!cur->ReadMasked && aRequireMask) {
        fail("Message is not masked", 1002);
        return;
      }
      cur->MaskIndex = 0;
      cur->PLState = 0;
      const std::uint8_t len = b & 0x7F;
      if (len <= 125) {
        cur->PayLoad = pa7bits;
        cur->PayLoadLength = len;
        if (!CheckMessageSize(len)) return;
        if (cur->ReadMasked) {
          cur->State = 3;
        } else {
          StartPayload();
        }
        return;
      }
      if (IsControlOpCode(cur->OpCode)) {
        fail("Control frames are only allowed to have payload up to and including 125 octets",
             1002);
        return;
      }
      cur->PayLoad = len == 126 ? pa16bits : pa64bits;
      cur->PayLoadLength = 0;
      cur->State = 2;
      return;
    }
    case 2: {
      if (!ReadHeaderByte(b)) return;
      cur->PayLoadLength = (cur->PayLoadLength << 8) | b;
      if ((cur->PayLoad == pa16bits && cur->PLState == 1) ||
          (cur->PayLoad == pa64bits && cur->PLState == 7)) {
        if ((cur->PayLoadLength >> 63) != 0) {
          fail("Invalid frame payload length", 1002);
          return;
        }
        if (!CheckMessageSize(cur->PayLoadLength)) return;
        if (cur->ReadMasked) {
          cur->State = 3;
        } else {
          StartPayload();
        }
      } else {
        ++cur->PLState;
      }
      return;
    }
    case 3: {
      if (!ReadHeaderByte(b)) return;
      cur->Mask[cur->MaskIndex] = b;
      if (cur->MaskIndex == 3) {
        StartPayload();
      } else {
        ++cur->MaskIndex;
      }
      return;
    }
    case 4:
      ReadPayload();
      return;
    default:
      cur->State = 0;
      return;
  }
}

void TlumWSConnection_Base_Indy::StartPayload() {
  TlumWSMsg* cur = FWSMSG;
  cur->Remaining = cur->PayLoadLength;
  cur->FrameStart = cur->Stream.size();
  if (cur->Remaining == 0) {
    FinishPayload();
    return;
  }
  cur->Stream.reserve(cur->Stream.size() +
                      static_cast<std::size_t>(std::min<std::uint64_t>(cur->Remaining, kMaxReserve)));
  cur->State = 4;
}

void TlumWSConnection_Base_Indy::ReadPayload() {
  TlumWSMsg* cur = FWSMSG;
  const std::size_t available = FInEnd - FInBegin;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(
      {cur->Remaining, available, static_cast<std::uint64_t>(FReadBufferSize)}));
  if (n == 0) return;
  const std::size_t at = cur->Stream.size();
  cur->Stream.append(reinterpret_cast<const char*>(FIn.get() + FInBegin), n);
  if (cur->ReadMasked) {
    detail::MaskBytes(reinterpret_cast<std::uint8_t*>(cur->Stream.data() + at), n, cur->Mask,
                      static_cast<std::size_t>(cur->PayLoadLength - cur->Remaining));
  }
  FInBegin += n;
  AddRecBytes(static_cast<std::int64_t>(n));
  cur->Remaining -= n;
  // Plain text is checked as it arrives: the bytes that make it invalid close at once.
  if (FValidateUTF8 && cur->OpCode == opText &&
      !(FExtensions->Compression() && FExtensions->MessageCompressed()) &&
      !cur->UTF8.Feed(reinterpret_cast<const unsigned char*>(cur->Stream.data() + at), n)) {
    FReaderStopped = true;
    DoCloseConnection("Invalid UTF8 message", 1007);
    return;
  }
  if (cur->Remaining == 0) FinishPayload();
}

void TlumWSConnection_Base_Indy::FinishPayload() {
  TlumWSMsg* cur = FWSMSG;
  cur->State = 0;
  cur->PLState = 0;
  if (cur->OpCode == opClose) {
    const std::string& p = cur->Stream;
    if (p.size() == 1) {
      FReaderStopped = true;
      DoCloseConnection("Invalid Payload length for close code", 1002);
      return;
    }
    if (p.size() >= 2) {
      const int code = (static_cast<std::uint8_t>(p[0]) << 8) | static_cast<std::uint8_t>(p[1]);
      FCloseCode.store(code, std::memory_order_relaxed);
      // A reason does not make a code that may not be sent acceptable.
      if (!IsValidCloseCode(code)) {
        FReaderStopped = true;
        DoCloseConnection("Invalid close code", 1002);
        return;
      }
      if (p.size() == 2) {
        DoCloseConnection({}, 1000);
      } else {
        cur->Stream.erase(0, 2);
        std::string reason;
        if (!ReadText(cur->Stream, reason)) return;
        FCloseReason = std::move(reason);
      }
    }
  } else if (!IsControlOpCode(cur->OpCode)) {
    if (FExtensions->Compression() && FExtensions->MessageCompressed()) {
      const std::size_t limit =
          FMaxMessageSize > 0
              ? static_cast<std::size_t>(static_cast<std::uint64_t>(FMaxMessageSize) - cur->MessageSize)
              : SIZE_MAX;
      bool fits;
      try {
        if (cur->FrameStart == 0) {
          fits = FExtensions->ReadStream(cur->Stream, !cur->Fragmented, limit);
        } else {
          std::string piece = cur->Stream.substr(cur->FrameStart);
          fits = FExtensions->ReadStream(piece, !cur->Fragmented, limit);
          cur->Stream.resize(cur->FrameStart);
          cur->Stream += piece;
        }
      } catch (const TlumWSException& e) {
        // Data that does not inflate is the peer's error: it is told so with a close frame.
        FReaderStopped = true;
        DoCloseConnection(e.what(), 1007);
        return;
      }
      if (!fits) {
        FReaderStopped = true;
        DoCloseConnection(kMessageTooBig, 1009);
        return;
      }
      if (FValidateUTF8 && cur->OpCode == opText &&
          !cur->UTF8.Feed(reinterpret_cast<const unsigned char*>(cur->Stream.data() + cur->FrameStart),
                          cur->Stream.size() - cur->FrameStart)) {
        FReaderStopped = true;
        DoCloseConnection("Invalid UTF8 message", 1007);
        return;
      }
    }
    cur->MessageSize += cur->Stream.size() - cur->FrameStart;
    // A text may not end inside a sequence.
    if (FValidateUTF8 && cur->OpCode == opText && !cur->Fragmented && !cur->UTF8.Complete()) {
      FReaderStopped = true;
      DoCloseConnection("Invalid UTF8 message", 1007);
      return;
    }
  }
  cur->Remaining = 0;
  if (HasPeer()) DoFrameComplete();
}

void TlumWSConnection_Base_Indy::DoFrameComplete() {
  TlumWSMsg* cur = FWSMSG;
  if (cur == nullptr) return;
  if (IsControlOpCode(cur->OpCode)) {
    DeliverMessage();
    return;
  }
  switch (FFragmentedMessages) {
    case frgOnlyBuffer:
      if (cur->Fragmented) {
        cur->State = 0;
        cur->PLState = 0;
      } else {
        DeliverMessage();
      }
      return;
    case frgOnlyFragmented:
      DeliverFragment();
      return;
    case frgAll:
      DeliverFragment();
      if (!cur->Fragmented) DeliverMessage();
      return;
  }
}

void TlumWSConnection_Base_Indy::DeliverFragment() {
  TlumWSMsg* cur = FWSMSG;
  if (cur == nullptr) return;
  if (FFragmentedMessages != frgOnlyBuffer && OnFragmented) {
    OnFragmented(this, AsBytes(cur->Stream), cur->OpCode, cur->Fragmented);
  }
  cur->State = 0;
  cur->PLState = 0;
  if (FFragmentedMessages == frgOnlyFragmented) {
    // Every fragment event carries one frame; the final one ends the message.
    if (cur->Fragmented) {
      cur->ClearStream();
    } else {
      cur->Clear();
    }
  }
}

void TlumWSConnection_Base_Indy::DeliverMessage() {
  TlumWSMsg* cur = FWSMSG;
  if (cur == nullptr) return;
  // The record is cleared however the delivery ends (a handler may raise).
  struct TClear {
    TlumWSConnection_Base_Indy* self;
    ~TClear() {
      if (self->FWSMSG != nullptr) self->FWSMSG->Clear();
    }
  } clear{this};
  switch (cur->OpCode) {
    case opText:
      // Its bytes were checked as they arrived (FinishPayload).
      if (OnMessage) OnMessage(this, cur->Stream);
      return;
    case opBinary:
      if (OnBinary) OnBinary(this, AsBytes(cur->Stream));
      return;
    case opClose:
      DoCloseConnection({}, 1000);
      return;
    case opPing:
      WriteFrameStream(AsBytes(cur->Stream), opPong, false);
      return;
    case opPong: {
      StoreTime(FLastPong, std::chrono::system_clock::now());
      bool matched = false;
      {
        TList* list = FQueuePingList.LockList();
        struct TUnlock {
          TlumThreadList& l;
          ~TUnlock() { l.UnlockList(); }
        } unlock{FQueuePingList};
        if (list->IsEmpty()) return;  // an unsolicited pong
        for (void* p : *list) {
          if (static_cast<TlumPing*>(p)->Text == cur->Stream) {
            matched = true;
            break;
          }
        }
        if (matched) {
          // The oldest entry goes: a pong answers the pings before it too.
          delete static_cast<TlumPing*>(list->First());
          list->Delete(0);
          SetPong(cur->Stream);
        }
      }
      if (!matched) {
        FReaderStopped = true;
        DoCloseConnection("Received Pong is different from Sent Ping", 1000);
      }
      return;
    }
    case opContinuation:
    case opNone:
      return;
  }
}

bool TlumWSConnection_Base_Indy::IsValidUTF8(std::string_view aStream) const {
  if (!FValidateUTF8 || aStream.empty()) return true;
  return quillon::IsValidUTF8(aStream);
}

bool TlumWSConnection_Base_Indy::ReadText(std::string_view aStream, std::string& aText) {
  if (!IsValidUTF8(aStream)) {
    FReaderStopped = true;
    DoCloseConnection("Invalid UTF8 message", 1007);
    return false;
  }
  aText.assign(aStream);
  return true;
}

// ---- Closing ----

void TlumWSConnection_Base_Indy::DoCloseConnection(std::string_view aMessage, int aCloseCode) {
  if (FDoDisconnect.load(std::memory_order_acquire)) return;
  if (!Disconnected() && !HasPeer()) return;
  if (FDoDisconnect.exchange(true, std::memory_order_acq_rel)) return;
  SetDisconnected(true);
  std::exception_ptr failure;
  try {
    if (FCleanDisconnect) WriteClose(aCloseCode);
  } catch (const TlumSilentException&) {
    if (FRaiseDisconnectExceptions) failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }
  // The transport is ended even when the close frame could not be written.
  try {
    DisconnectPeer();
  } catch (const TlumSilentException&) {
    if (FRaiseDisconnectExceptions && !failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
  if (!aMessage.empty() && FRaiseDisconnectExceptions) {
    throw TlumWSException(std::string(aMessage));
  }
}

void TlumWSConnection_Base_Indy::DisconnectOnError() {
  if (FDoDisconnect.load(std::memory_order_acquire) || Disconnected() ||
      FDoDisconnect.exchange(true, std::memory_order_acq_rel)) {
    SetDisconnected(true);
    return;
  }
  SetDisconnected(true);
  try {
    DisconnectPeer();
  } catch (const TlumSilentException&) {
    // already closed: that is what was wanted
  }
}

void TlumWSConnection_Base_Indy::Disconnect(int aCloseCode) {
  SetDisconnected(true);
  DoCloseConnection({}, aCloseCode);
}

void TlumWSConnection_Base_Indy::Close(int aCloseCode) {
  SetDisconnected(true);
  const TwsTransport t = Transport();
  if (SendsCloseFrames(t)) {
    WriteClose(aCloseCode);
  } else if (t != trpHTTP2) {
    DoCloseConnection({}, aCloseCode);
  }
}

void TlumWSConnection_Base_Indy::WriteClose(int aCloseCode) {
  SetDisconnected(true);
  DiscardInput();
  if (!SendsCloseFrames(Transport())) return;
  const std::uint8_t payload[2] = {static_cast<std::uint8_t>(aCloseCode >> 8),
                                   static_cast<std::uint8_t>(aCloseCode)};
  WriteFrameStream(TBytesView(payload, 2), opClose, false);
}

// ---- Writers ----

template <class TWrite>
void TlumWSConnection_Base_Indy::WriteAsOneSend(const TWrite& aWrite) {
  try {
    WriteBufferOpen();
    aWrite();
    WriteBufferFlush();
    WriteBufferClose();
  } catch (const TlumSilentException&) {
    throw;
  } catch (const std::exception& e) {
    throw TlumWSException(std::string("Error writing message ") + e.what() + ".");
  }
}

void TlumWSConnection_Base_Indy::WriteFrame(TBytesView aPayload, TOpcode aOpCode,
                                            bool aFragmented) {
  // Compression and the write share the write lock so that the compression history
  // follows the order of the frames on the wire.
  TlumWriteLock hold(*this);
  TBytesView data = aPayload;
  const bool control = IsControlOpCode(aOpCode);
  if (!control && FExtensions->Compression()) {
    FCompressBuffer.assign(AsText(aPayload));
    FExtensions->WriteStream(FCompressBuffer, !aFragmented);
    data = AsBytes(FCompressBuffer);
  }
  std::uint8_t b0 = OpCodeToByte(aOpCode) | (aFragmented ? 0x00 : 0x80);
  if (!control) FExtensions->EncodeHeader(b0);
  std::uint8_t mask[4];
  if (FMasked) {
    for (std::uint8_t& m : mask) m = RandomMaskByte();
  }
  std::uint8_t header[14];
  const std::size_t h = detail::EncodeFrameHeader(b0, data.size(), FMasked ? mask : nullptr, header);
  const std::string_view head(reinterpret_cast<const char*>(header), h);
  WriteAsOneSend([&] {
    if (FMasked) {
      FWriteBuffer.clear();
      FWriteBuffer.append(head);
      FWriteBuffer.append(AsText(data));
      detail::MaskBytes(reinterpret_cast<std::uint8_t*>(FWriteBuffer.data() + h), data.size(),
                        mask, 0);
      WriteBytes(FWriteBuffer);
    } else {
      // Unmasked, the payload goes out as it is: no copy into a frame buffer.
      WriteFrameBytes(head, AsText(data));
    }
  });
  if (FWriteBuffer.capacity() > kKeepCapacity) std::string().swap(FWriteBuffer);
  if (FCompressBuffer.capacity() > kKeepCapacity) std::string().swap(FCompressBuffer);
}

void TlumWSConnection_Base_Indy::WriteFrameBytes(std::string_view aHeader,
                                                 std::string_view aPayload) {
  FWriteBuffer.clear();
  FWriteBuffer.append(aHeader);
  FWriteBuffer.append(aPayload);
  WriteBytes(FWriteBuffer);
}

void TlumWSConnection_Base_Indy::WriteRaw(std::string_view aBytes) {
  TlumWriteLock hold(*this);
  WriteAsOneSend([&] { WriteBytes(aBytes); });
}

void TlumWSConnection_Base_Indy::WriteLine(std::string_view aLine) {
  std::string line(aLine);
  line += "\r\n";
  WriteRaw(line);
}

void TlumWSConnection_Base_Indy::WriteFrameText(std::string_view aText, TOpcode aOpCode,
                                                bool aFragmented) {
  WriteFrame(AsBytes(aText), aOpCode, aFragmented);
}

void TlumWSConnection_Base_Indy::WriteFrameStream(TBytesView aStream, TOpcode aOpCode,
                                                  bool aFragmented) {
  WriteFrame(aStream, aOpCode, aFragmented);
}

void TlumWSConnection_Base_Indy::WriteFragmentedText(std::string_view aText, TOpcode aOpCode,
                                                     bool aContinuation, int aSize) {
  WriteFragmentedStream(AsBytes(aText), aOpCode, aContinuation, aSize);
}

void TlumWSConnection_Base_Indy::WriteFragmentedStream(TBytesView aStream, TOpcode aOpCode,
                                                       bool aContinuation, int aSize) {
  if (aStream.empty()) return;
  const std::size_t piece =
      aSize > 0 ? std::min<std::size_t>(static_cast<std::size_t>(aSize), aStream.size())
                : aStream.size();
  // One lock over all pieces: frames of two writers never interleave within a message.
  TlumWriteLock hold(*this);
  for (std::size_t at = 0; at < aStream.size(); at += piece) {
    const std::size_t n = std::min(piece, aStream.size() - at);
    const bool first = at == 0;
    const bool last = at + n == aStream.size();
    WriteFrameStream(aStream.subspan(at, n), first && !aContinuation ? aOpCode : opContinuation,
                     !last);
  }
}

void TlumWSConnection_Base_Indy::WriteServerSentEvent(std::string_view aText) {
  TlumWriteLock hold(*this);
  std::string out;
  // The header block opens the stream once; every event ends with a blank line, which is
  // what makes a browser dispatch it.
  if (!FSSEHeaderSent) {
    out =
        "HTTP/1.1 200 OK\r\n"
        "Content-Type: text/event-stream\r\n"
        "Cache-Control: no-cache, no-store, max-age=0, must-revalidate\r\n"
        "Expires: Fri, 01 Jan 1990 00:00:00 GMT\r\n"
        "Pragma: no-cache\r\n"
        "Connection: close\r\n"
        "\r\n";
  }
  if (!MatchesMask(aText, "data:*") && !MatchesMask(aText, "retry:*") &&
      !MatchesMask(aText, "event:*") && !MatchesMask(aText, "id:*")) {
    out += "data: ";
  }
  out += aText;
  out += "\r\n\r\n";
  WriteRaw(out);
  FSSEHeaderSent = true;
}

std::optional<TlumFrameEncoding> TlumWSConnection_Base_Indy::SharedFrameEncoding(
    TOpcode aOpCode) {
  if (!Enabled() || FMasked || FSpecification != spRFC6455 || !SendsCloseFrames(Transport()))
    return std::nullopt;
  if (QueueFor(aOpCode == opText ? FQueueOptions.Text().Level()
                                 : FQueueOptions.Binary().Level()) != nullptr)
    return std::nullopt;
  TlumFrameEncoding encoding;
  if (!FExtensions->Compression()) return encoding;
  const auto& pmd = FExtensions->PerMessage_Deflate();
  // With context takeover the bytes depend on this connection's history.
  if (!pmd.Active() || !pmd.SendNoContextTakeOver() || pmd.SendMessageOpen()) return std::nullopt;
  encoding.Deflate = true;
  encoding.WindowBits = pmd.SendWindowBits();
  encoding.MemLevel = pmd.MemLevel();
  return encoding;
}

TlumSharedFrame TlumWSConnection_Base_Indy::BuildSharedFrame(TBytesView aPayload,
                                                             TOpcode aOpCode,
                                                             const TlumFrameEncoding& aEncoding) {
  std::uint8_t b0 = OpCodeToByte(aOpCode) | 0x80;
  std::string compressed;
  TBytesView data = aPayload;
  if (aEncoding.Deflate) {
    // A reset stream gives the bytes a connection's stream gives after its reset. Making one
    // costs far more than compressing a short message, so each thread keeps one per encoding.
    struct TCached {
      int WindowBits, MemLevel;
      std::unique_ptr<detail::TwsDeflater> Deflater;
    };
    thread_local std::vector<TCached> cache;
    try {
      auto it = std::find_if(cache.begin(), cache.end(), [&](const TCached& c) {
        return c.WindowBits == aEncoding.WindowBits && c.MemLevel == aEncoding.MemLevel;
      });
      if (it == cache.end()) {
        if (cache.size() >= 4) cache.erase(cache.begin());
        cache.push_back({aEncoding.WindowBits, aEncoding.MemLevel,
                         std::make_unique<detail::TwsDeflater>(1, aEncoding.WindowBits,
                                                               aEncoding.MemLevel)});
        it = cache.end() - 1;
      } else {
        it->Deflater->Reset();
      }
      it->Deflater->Compress(aPayload.data(), aPayload.size(), true, compressed);
    } catch (const detail::TwsZlibError&) {
      throw TlumWSException("Error Inflating Frame.");
    }
    data = AsBytes(compressed);
    b0 |= 0x40;
  }
  std::uint8_t header[14];
  const std::size_t h = detail::EncodeFrameHeader(b0, data.size(), nullptr, header);
  auto frame = std::make_shared<std::string>();
  frame->reserve(h + data.size());
  frame->append(reinterpret_cast<const char*>(header), h);
  frame->append(AsText(data));
  return frame;
}

bool TlumWSConnection_Base_Indy::WriteSharedFrame(TOpcode aOpCode,
                                                  const TlumSharedFrameSource& aSource) {
  TlumWriteLock hold(*this);
  const auto encoding = SharedFrameEncoding(aOpCode);
  if (!encoding) return false;
  const TlumSharedFrame frame = aSource(*encoding);
  WriteAsOneSend([&] { WriteSharedBytes(frame); });
  return true;
}

void TlumWSConnection_Base_Indy::DoWriteData(std::string_view aText, int aSize,
                                             TwsStreaming aStreaming) {
  if (!Enabled()) return;
  switch (Transport()) {
    case trpSSE:
      WriteServerSentEvent(aText);
      return;
    case trpTCP:
      WriteRaw(aText);
      return;
    default:
      break;
  }
  if (FSpecification != spRFC6455) return;
  auto whole = [&] { return aSize <= 0 || static_cast<std::size_t>(aSize) >= UTF16Length(aText); };
  WriteStreamed(
      aStreaming, opText, whole,
      [&](TOpcode aOp, bool aFragmented) { WriteFrameText(aText, aOp, aFragmented); },
      [&](TOpcode aOp, bool aContinuation) {
        WriteFragmentedText(aText, aOp, aContinuation, aSize);
      });
}

void TlumWSConnection_Base_Indy::DoWriteData(TBytesView aStream, int aSize,
                                             TwsStreaming aStreaming) {
  if (!Enabled()) return;
  if (Transport() == trpTCP) {
    WriteRaw(AsText(aStream));
    return;
  }
  if (FSpecification != spRFC6455) return;
  const bool whole = aSize <= 0 || static_cast<std::size_t>(aSize) >= aStream.size();
  WriteStreamed(
      aStreaming, opBinary, [whole] { return whole; },
      [&](TOpcode aOp, bool aFragmented) { WriteFrameStream(aStream, aOp, aFragmented); },
      [&](TOpcode aOp, bool aContinuation) {
        WriteFragmentedStream(aStream, aOp, aContinuation, aSize);
      });
}

void TlumWSConnection_Base_Indy::DoPing(std::string_view aText) {
  TlumWSConnection::DoPing(aText);
  const TwsTransport t = Transport();
  if (SendsCloseFrames(t)) {
    FQueuePingList.Add(std::make_unique<TlumPing>(TlumPing{std::chrono::system_clock::now(),
                                                           std::string(aText)}));
    WriteFrameText(aText, opPing, false);
  } else if (t == trpSSE) {
    std::string event = "event: Ping\ndata: ";
    event += aText;
    WriteServerSentEvent(event);
  } else if (t == trpTCP) {
    WriteRaw(aText);
  }
}

}  // namespace quillon
