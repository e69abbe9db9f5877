#pragma once
// The little of HTTP and WebSocket framing the bridge needs: the handshake's accept key (SHA-1
// and base64), frames in both directions, and percent-decoded query parameters.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace quorel::web {

// The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key.
std::string AcceptKey(const std::string& clientKey);

// SHA-1 of the bytes, as 20 raw bytes (for the handshake only).
std::string Sha1(const std::string& bytes);
std::string Base64(const std::string& bytes);

enum class Opcode : uint8_t {
  kContinuation = 0,
  kText = 1,
  kBinary = 2,
  kClose = 8,
  kPing = 9,
  kPong = 10,
};

// One unmasked frame from the server, FIN set.
std::string EncodeFrame(Opcode opcode, const std::string& payload);

struct Frame {
  bool fin = false;
  Opcode opcode = Opcode::kContinuation;
  std::string payload;  // unmasked
};

enum class FrameStatus { kFrame, kNeedMore, kBad };

// Takes one frame from the front of *buffer when it holds a whole one. Frames from a client
// must be masked; an unmasked one, or one longer than maxPayload, is kBad.
FrameStatus TakeFrame(std::string* buffer, size_t maxPayload, Frame* frame);

// "a=1&b=%2Fdev" into its decoded parameters; '+' stands for a space.
std::map<std::string, std::string> ParseQuery(const std::string& query);
std::string PercentDecode(const std::string& text);

}  // namespace quorel::web
