#include "websocket.h"

#include <cctype>
#include <cstring>

#include "sim/hex_digit.h"

namespace quorel::web {

using sim::HexValue;

namespace {

uint32_t RotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

}  // namespace

std::string Sha1(const std::string& bytes) {
  uint32_t h[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
  std::string message = bytes;
  const uint64_t bitLength = static_cast<uint64_t>(bytes.size()) * 8;
  message += static_cast<char>(0x80);
  while (message.size() % 64 != 56) message += '\0';
  for (int i = 7; i >= 0; --i) message += static_cast<char>((bitLength >> (8 * i)) & 0xFF);
  for (size_t chunk = 0; chunk < message.size(); chunk += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const auto* p = reinterpret_cast<const unsigned char*>(message.data() + chunk + 4 * i);
      w[i] = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    }
    for (int i = 16; i < 80; ++i) w[i] = RotateLeft(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f = 0;
      uint32_t k = 0;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999u;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1u;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDCu;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6u;
      }
      const uint32_t next = RotateLeft(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = RotateLeft(b, 30);
      b = a;
      a = next;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  std::string digest;
  for (uint32_t word : h) {
    for (int i = 3; i >= 0; --i) digest += static_cast<char>((word >> (8 * i)) & 0xFF);
  }
  return digest;
}

std::string Base64(const std::string& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) group |= static_cast<unsigned char>(bytes[i + 2]);
    text += kDigits[(group >> 18) & 63];
    text += kDigits[(group >> 12) & 63];
    text += i + 1 < bytes.size() ? kDigits[(group >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? kDigits[group & 63] : '=';
  }
  return text;
}

std::string AcceptKey(const std::string& clientKey) {
  return Base64(Sha1(clientKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"));
}

std::string EncodeFrame(Opcode opcode, const std::string& payload) {
  std::string frame;
  frame += static_cast<char>(0x80 | static_cast<uint8_t>(opcode));
  const uint64_t length = payload.size();
  if (length < 126) {
    frame += static_cast<char>(length);
  } else if (length <= 0xFFFF) {
    frame += static_cast<char>(126);
    frame += static_cast<char>((length >> 8) & 0xFF);
    frame += static_cast<char>(length & 0xFF);
  } else {
    frame += static_cast<char>(127);
    for (int i = 7; i >= 0; --i) frame += static_cast<char>((length >> (8 * i)) & 0xFF);
  }
  return frame + payload;
}

FrameStatus TakeFrame(std::string* buffer, size_t maxPayload, Frame* frame) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(buffer->data());
  const size_t have = buffer->size();
  if (have < 2) return FrameStatus::kNeedMore;
  if ((bytes[1] & 0x80) == 0) return FrameStatus::kBad;
  uint64_t length = bytes[1] & 0x7F;
  size_t at = 2;
  if (length == 126 || length == 127) {
    const size_t width = length == 126 ? 2 : 8;
    if (have < at + width) return FrameStatus::kNeedMore;
    length = 0;
    for (size_t i = 0; i < width; ++i) length = (length << 8) | bytes[at + i];
    at += width;
  }
  if (length > maxPayload) return FrameStatus::kBad;
  if (have < at + 4 + length) return FrameStatus::kNeedMore;
  const unsigned char* mask = bytes + at;
  at += 4;
  frame->fin = (bytes[0] & 0x80) != 0;
  frame->opcode = static_cast<Opcode>(bytes[0] & 0x0F);
  frame->payload.assign(buffer->data() + at, static_cast<size_t>(length));
  for (size_t i = 0; i < frame->payload.size(); ++i) frame->payload[i] ^= static_cast<char>(mask[i % 4]);
  buffer->erase(0, at + static_cast<size_t>(length));
  return FrameStatus::kFrame;
}

std::string PercentDecode(const std::string& text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      decoded += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

std::map<std::string, std::string> ParseQuery(const std::string& query) {
  std::map<std::string, std::string> parameters;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string part = query.substr(start, end - start);
    if (!part.empty()) {
      const size_t equals = part.find('=');
      if (equals == std::string::npos) {
        parameters[PercentDecode(part)] = "";
      } else {
        parameters[PercentDecode(part.substr(0, equals))] = PercentDecode(part.substr(equals + 1));
      }
    }
    start = end + 1;
  }
  return parameters;
}

}  // namespace quorel::web
