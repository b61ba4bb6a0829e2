// The RFC 6455 engine of a connection: the byte-driven frame reader that assembles
// messages and raises the message events, and the frame writers behind WriteData, Ping
// and Close. It works only through the transport seams below, which a concrete transport
// (the HTTP Server API connection, or an in-memory one in tests) overrides.
//
// Transport contract:
// - received bytes go into the connection's input buffer (InputBuffer + InputReceived,
//   or ReceiveBytes), then the transport's ReadData runs ReadFrames on the reader thread;
// - WriteBytes gets one whole frame per call, under the write lock;
// - HasPeer, DisconnectPeer: whether the transport is attached, and ending it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/lumWebSocket_Classes.h"
#include "connection/lumWebSocket_UTF8.h"

namespace quillon {

enum TPayload : std::uint8_t { pa7bits, pa16bits, pa64bits };

// Reader state of one message (or one control frame).
class TlumWSMsg {
 public:
  TlumWSMsg() { Clear(); }

  bool Continuation = false;  // the frame being read is a continuation frame
  bool Fragmented = false;    // the frame being read has FIN clear
  int MaskIndex = 0;
  TOpcode OpCode = opNone;    // of the message; continuation frames keep the first one's
  TPayload PayLoad = pa7bits;
  std::uint64_t PayLoadLength = 0;  // the frame's announced payload length
  std::uint64_t Remaining = 0;      // payload bytes of the frame still to read
  int PLState = 0;                  // next extended-length byte
  bool ReadMasked = false;
  int State = 0;                    // 0 first byte, 1 second, 2 length, 3 key, 4 payload
  std::uint8_t Mask[4] = {0, 0, 0, 0};
  std::size_t FrameStart = 0;       // where the current frame's payload begins in Stream
  std::uint64_t MessageSize = 0;    // bytes of the message so far, after decompression
  std::string Stream;               // the message data (unmasked, decompressed)
  TUTF8Validator UTF8;              // of a text message, fed as its bytes arrive

  void Clear();
  void ClearStream();
};

// How a whole data message is framed for a connection when the bytes depend on nothing the
// connection keeps: connections with equal encodings send identical frames, so a broadcast
// frames (and compresses) a message once per encoding, not once per connection.
struct TlumFrameEncoding {
  bool Deflate = false;  // permessage-deflate without context takeover
  int WindowBits = 0;
  int MemLevel = 0;
  bool operator==(const TlumFrameEncoding&) const = default;
};
// Frame bytes shared by the send queues of several connections.
using TlumSharedFrame = std::shared_ptr<const std::string>;

struct TlumPing {
  TwsTime Date;
  std::string Text;
};

// Pings sent and not yet answered, oldest first; owns its entries.
class TlumThreadListQueuePings : public TlumThreadList {
 public:
  TlumThreadListQueuePings() { SetDuplicates(dupAccept); }
  ~TlumThreadListQueuePings() override;
  void Add(std::unique_ptr<TlumPing> aPing) { TlumThreadList::Add(aPing.release()); }
  int Count();
  void Clear() override;  // frees the entries
};

class TlumWSConnection_Base_Indy : public TlumWSConnection {
 public:
  TlumWSConnection_Base_Indy();

  // ---- Transport seams. ----
  virtual bool HasPeer() = 0;
  // Ends the transport. May raise TlumSilentException when it is already closed.
  virtual void DisconnectPeer() = 0;
  // Drops received bytes not yet read. Any thread: the reader thread empties the buffer.
  virtual void DiscardInput();
  virtual void DoHandshake() = 0;
  // One frame (or one raw write) per call; called under the write lock.
  virtual void WriteBytes(std::string_view aBytes) = 0;
  // One frame as its header and its (unmasked) payload; under the write lock. The default
  // joins them for WriteBytes; a transport that sends both pieces at once overrides it.
  virtual void WriteFrameBytes(std::string_view aHeader, std::string_view aPayload);
  virtual void WriteLine(std::string_view aLine);  // the line and CR LF, one write
  virtual void WriteBufferOpen() {}
  virtual void WriteBufferFlush() {}
  virtual void WriteBufferClose() {}
  virtual void SendHTTPContent(std::string_view aContent, std::string_view aContentType) = 0;
  virtual void SendHTTPStatus(int aCode, std::string_view aText) = 0;
  virtual void SendHTTPRedirect(std::string_view aURL) = 0;
  // The first call runs the handshake; later calls run ReadFrames.
  virtual void ReadData(bool aRequireMask) = 0;
  // Reading from the input buffer; RecBytes counts what the reader takes.
  virtual int GetBytesAvailable();
  virtual void ReadBytes(std::string& aBytes, int aCount);

  // ---- Input buffer (reader thread only). ----
  // Room for aSize more bytes at the end of the unread input; valid until InputReceived.
  std::uint8_t* InputBuffer(std::size_t aSize);
  void InputReceived(std::size_t aCount);
  // Frees the input buffer when it holds no unread byte.
  void ReleaseIdleInput();
  void ReceiveBytes(const void* aData, std::size_t aSize);
  // Runs reader steps while input is left and the connection is neither marked
  // disconnected nor freed; ends at the first step that takes no byte.
  void ReadFrames(bool aRequireMask);
  // One reader step: consumes the bytes of one reader state.
  void ReadFrameStep(bool aRequireMask);

  // ---- Codec operations. ----
  // Every protocol error and orderly close goes through here: at most once per connection.
  virtual void DoCloseConnection(std::string_view aMessage, int aCloseCode);
  void DisconnectOnError() override;
  void Disconnect() override { Disconnect(1000); }
  void Disconnect(int aCloseCode) override;
  void Close() override { Close(1000); }
  void Close(int aCloseCode) override;
  void WriteClose(int aCloseCode) override;
  void DoPing(std::string_view aText) override;
  void DoWriteData(std::string_view aText, int aSize, TwsStreaming aStreaming) override;
  void DoWriteData(TBytesView aStream, int aSize, TwsStreaming aStreaming) override;
  // aFragmented true means FIN clear.
  virtual void WriteFrameText(std::string_view aText, TOpcode aOpCode, bool aFragmented);
  virtual void WriteFrameStream(TBytesView aStream, TOpcode aOpCode, bool aFragmented);
  virtual void WriteFragmentedText(std::string_view aText, TOpcode aOpCode, bool aContinuation,
                                   int aSize);
  virtual void WriteFragmentedStream(TBytesView aStream, TOpcode aOpCode, bool aContinuation,
                                     int aSize);
  void WriteServerSentEvent(std::string_view aText);
  // The encoding a whole text or binary message written now would get, or none when its
  // frame cannot be shared: not enabled, held back by the queue options, masked, compressed
  // with context takeover, frame-wise or inside a fragmented message, or a transport that
  // does not carry frames. Under the write lock.
  std::optional<TlumFrameEncoding> SharedFrameEncoding(TOpcode aOpCode);
  // The unmasked frame of a whole message in an encoding.
  static TlumSharedFrame BuildSharedFrame(TBytesView aPayload, TOpcode aOpCode,
                                          const TlumFrameEncoding& aEncoding);
  // Under the write lock: writes the frame aSource gives for this connection's encoding and
  // returns true, or returns false without writing when the frame cannot be shared.
  using TlumSharedFrameSource = std::function<TlumSharedFrame(const TlumFrameEncoding&)>;
  bool WriteSharedFrame(TOpcode aOpCode, const TlumSharedFrameSource& aSource);
  // One shared frame; a transport that can keep a reference instead of a copy overrides it.
  virtual void WriteSharedBytes(const TlumSharedFrame& aFrame) { WriteBytes(*aFrame); }
  // A frame's payload is complete: apply the fragment policy.
  virtual void DoFrameComplete();
  // Checks the text when ValidateUTF8 is on; closes with 1007 when it is not UTF-8.
  virtual bool ReadText(std::string_view aStream, std::string& aText);
  bool IsValidUTF8(std::string_view aStream) const;

  // ---- Memory held by the reader. ----
  // Frees the message being assembled, the input buffer and the decompression state, and
  // gives their bytes back to the process-wide count. Reader thread, with no receive posted
  // into the input buffer (the transport's end of the connection).
  void ReleaseReadBuffers();
  // Bytes held by unfinished messages of all connections together, and the bound on them
  // (0: none). A connection whose message takes the total over the bound is closed with 1009;
  // the others keep theirs.
  static std::int64_t UnfinishedMessageBytes();
  static std::int64_t UnfinishedMessageBudget();
  static void SetUnfinishedMessageBudget(std::int64_t aBytes);
  static constexpr std::int64_t DefaultUnfinishedMessageBudget = std::int64_t{256} << 20;

  // ---- Properties. ----
  TlumWSMsg& WSMessage() { return FWSMessage; }
  TlumWSMsg& WSControlCode() { return FWSControlCode; }
  TlumWSMsg* WSMSG();  // the current record; the data record when none is chosen yet
  int ReadBufferSize() const { return FReadBufferSize; }
  void SetReadBufferSize(int Value) { FReadBufferSize = Value > 0 ? Value : 1; }
  bool DoDisconnect() const { return FDoDisconnect.load(std::memory_order_acquire); }
  bool MustDisconnect() const { return FMustDisconnect; }
  TlumThreadListQueuePings& QueuePingList() { return FQueuePingList; }
  std::vector<std::string>& HeadersRequest() { return FHeadersRequest; }

 protected:
  ~TlumWSConnection_Base_Indy() override;

  void DeliverMessage();
  void DeliverFragment();

  TlumWSMsg FWSMessage;
  TlumWSMsg FWSControlCode;
  TlumWSMsg* FWSMSG = nullptr;
  int FReadBufferSize = 16384;
  int FState = 0;
  std::atomic<bool> FDoDisconnect{false};
  bool FMustDisconnect = false;
  TlumThreadListQueuePings FQueuePingList;
  std::vector<std::string> FHeadersRequest;

 private:
  bool ReadHeaderByte(std::uint8_t& aByte);
  void StartPayload();
  void ReadPayload();
  void FinishPayload();
  bool CheckMessageSize(std::uint64_t aLength);
  // Brings this connection's share of the process-wide count up to date after a reader
  // step; closes the connection when its growth took the total over the budget.
  void AccountUnfinished();
  void WriteFrame(TBytesView aPayload, TOpcode aOpCode, bool aFragmented);
  void WriteRaw(std::string_view aBytes);
  // Open, write, flush and close the write buffer as one send; write errors become
  // "Error writing message ...".
  // (A template, defined and used in the .cpp only: no std::function on the send path.)
  template <class TWrite>
  void WriteAsOneSend(const TWrite& aWrite);

  // Unread input: FIn[FInBegin, FInEnd).
  std::unique_ptr<std::uint8_t[]> FIn;
  std::size_t FInCapacity = 0;
  std::size_t FInBegin = 0;
  std::size_t FInEnd = 0;
  std::atomic<bool> FDiscardInput{false};
  bool FReaderStopped = false;  // a protocol error ended reading
  std::size_t FUnfinishedBytes = 0;  // this connection's share of the process-wide count
  // Under the write lock: the frame being assembled and the payload being compressed.
  std::string FWriteBuffer;
  std::string FCompressBuffer;
  bool FSSEHeaderSent = false;
};

namespace detail {
// XORs aSize bytes with the 4-byte key, starting at key byte (aOffset mod 4); eight bytes
// at a time.
void MaskBytes(std::uint8_t* aData, std::size_t aSize, const std::uint8_t aMask[4],
               std::size_t aOffset);
// Writes the header of a frame (first byte, length, key when aMask) into aOut; returns
// its size (2 to 14 bytes).
std::size_t EncodeFrameHeader(std::uint8_t aFirstByte, std::uint64_t aLength,
                              const std::uint8_t* aMask, std::uint8_t aOut[14]);
}  // namespace detail

}  // namespace quillon
