#include "trace/trace.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

namespace quorel {
namespace {

// Bytes as hexadecimal pairs, then as text between bars with a dot for each unprintable byte.
std::string HexAndText(const std::string& bytes) {
  std::string hex;
  std::string text;
  char pair[4];
  for (char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    std::snprintf(pair, sizeof pair, "%02x ", byte);
    hex += pair;
    text += byte >= 0x20 && byte < 0x7F ? c : '.';
  }
  return hex + "|" + text + "|";
}

// Console text in double quotes, with C escapes for quotes, backslashes and control bytes.
std::string Quoted(const char* text, size_t length) {
  std::string quoted = "\"";
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      quoted += "\\n";
    } else if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      quoted += escape;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + "\"";
}

std::string Milliseconds(uint64_t ns) {
  char text[32];
  if (ns % 1000000 == 0) {
    std::snprintf(text, sizeof text, "%" PRIu64 " ms", ns / 1000000);
  } else {
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(ns) / 1e6);
  }
  return text;
}

// One open line, recorded.
class TracingLine : public LineDecorator {
 public:
  TracingLine(std::unique_ptr<SerialLine> inner, TraceLog& log, Clock& clock)
      : LineDecorator(std::move(inner)), log_(log), clock_(clock) {}
  ~TracingLine() override {
    CloseInner();
    log_.Line("close", "");
  }

  void Write(const uint8_t* data, size_t count) override {
    log_.Out(data, count);
    writtenSinceDrain_ = true;
    LineDecorator::Write(data, count);
  }
  size_t Read(uint8_t* destination, size_t count) override {
    size_t got = LineDecorator::Read(destination, count);
    log_.In(destination, got);
    return got;
  }
  void DrainOutput() override {
    // Only a drain with something to drain is worth a line: the reply waits ask for one
    // before every read.
    if (!writtenSinceDrain_) return LineDecorator::DrainOutput();
    writtenSinceDrain_ = false;
    const uint64_t start = clock_.NowNs();
    LineDecorator::DrainOutput();
    log_.Line("drain", Milliseconds(clock_.NowNs() - start));
  }

 private:
  TraceLog& log_;
  Clock& clock_;
  bool writtenSinceDrain_ = false;
};

}  // namespace

TraceLog::TraceLog(Clock& clock) : clock_(clock), startNs_(clock.NowNs()) {}

TraceLog::~TraceLog() {
  FlushPending();
  if (file_ != nullptr) std::fclose(file_);
}

bool TraceLog::Open(const std::string& path, std::string* error) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    *error = std::strerror(errno);
    Discard();
    return false;
  }
  holding_ = false;
  for (const std::string& line : held_) {
    std::fwrite(line.data(), 1, line.size(), file_);
  }
  std::fflush(file_);
  held_.clear();
  return true;
}

void TraceLog::Discard() {
  holding_ = false;
  held_.clear();
  pending_ = Pending::kNone;
}

uint64_t TraceLog::NowMs() { return (clock_.NowNs() - startNs_) / 1000000; }

void TraceLog::Begin(Pending kind) {
  if (pending_ == kind) return;
  FlushPending();
  pending_ = kind;
  pendingMs_ = NowMs();
}

void TraceLog::Out(const uint8_t* data, size_t count) {
  if (!recording() || count == 0) return;
  Begin(Pending::kOut);
  pendingBytes_.append(reinterpret_cast<const char*>(data), count);
}

void TraceLog::In(const uint8_t* data, size_t count) {
  if (!recording() || count == 0) return;
  Begin(Pending::kIn);
  pendingBytes_.append(reinterpret_cast<const char*>(data), count);
}

void TraceLog::Wait(uint64_t ns) {
  if (!recording()) return;
  Begin(Pending::kWait);
  pendingWaitNs_ += ns;
}

void TraceLog::Line(const char* kind, const std::string& text) {
  if (!recording()) return;
  FlushPending();
  Emit(NowMs(), kind, text);
}

void TraceLog::FlushPending() {
  const Pending pending = pending_;
  pending_ = Pending::kNone;
  if (pending == Pending::kNone || !recording()) return;
  if (pending == Pending::kWait) {
    Emit(pendingMs_, "wait", Milliseconds(pendingWaitNs_));
  } else {
    Emit(pendingMs_, pending == Pending::kOut ? "out" : "in",
         std::to_string(pendingBytes_.size()) + ": " + HexAndText(pendingBytes_));
  }
  pendingBytes_.clear();
  pendingWaitNs_ = 0;
}

void TraceLog::Emit(uint64_t ms, const char* kind, const std::string& text) {
  char head[40];
  std::snprintf(head, sizeof head, text.empty() ? "%8" PRIu64 " %s" : "%8" PRIu64 " %-5s ", ms,
                kind);
  std::string line = head + text + "\n";
  if (file_ == nullptr) {
    held_.push_back(std::move(line));
    return;
  }
  // One write per line: a run that dies leaves every line before it.
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

std::unique_ptr<SerialLine> TracingDevices::Decorate(const char* portName, int32_t lineSpeed,
                                                     OpenResult result,
                                                     std::unique_ptr<SerialLine> line) {
  if (!log_.recording()) return line;
  std::string text = inner().DeviceName(portName) + " at " + std::to_string(lineSpeed) + " bit/s: ";
  if (result == kOpenOk) {
    text += "ok";
    if (uint32_t applied = line->AppliedSpeed()) text += ", applied " + std::to_string(applied);
    line = std::make_unique<TracingLine>(std::move(line), log_, clock_);
  } else {
    text += "failed (code " + std::to_string(result) + ")";
  }
  log_.Line("open", text);
  return line;
}

void TracingConsole::Write(const char* text, size_t length) {
  log_.Line("con", Quoted(text, length));
  inner_.Write(text, length);
}

void TracingConsole::Error(const std::string& line) {
  log_.Line("err", line);
  inner_.Error(line);
}

int TracingConsole::ReadKey() {
  log_.Line("key", "waiting");
  int key = inner_.ReadKey();
  if (key == kEndOfInput) {
    log_.Line("key", "end of input");
  } else {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02x", key);
    log_.Line("key", text);
  }
  return key;
}

}  // namespace quorel
