#include "common/watching_devices.h"

#include <utility>

namespace quorel::sim {
namespace {

// The line handed to the updater: every call goes on to the wrapped line, and the watcher sees
// the bytes on the way.
class WatchedLine : public LineDecorator {
 public:
  WatchedLine(WatchingDevices& watcher, std::unique_ptr<SerialLine> inner, int32_t speed)
      : LineDecorator(std::move(inner)), watcher_(watcher), speed_(speed) {}
  ~WatchedLine() override {
    CloseInner();
    watcher_.OnClose(speed_);
  }

  void Write(const uint8_t* data, size_t count) override {
    LineDecorator::Write(data, count);
    watcher_.OnWrite(data, count, speed_);
  }
  size_t Read(uint8_t* destination, size_t count) override {
    const size_t got = LineDecorator::Read(destination, count);
    watcher_.OnRead(destination, got, speed_);
    return got;
  }

 private:
  WatchingDevices& watcher_;
  int32_t speed_;
};

}  // namespace

std::unique_ptr<SerialLine> WatchingDevices::Decorate(const char* portName, int32_t lineSpeed,
                                                      OpenResult result,
                                                      std::unique_ptr<SerialLine> line) {
  if (result == kOpenOk) line = std::make_unique<WatchedLine>(*this, std::move(line), lineSpeed);
  OnOpen(portName, lineSpeed, result);
  return line;
}

}  // namespace quorel::sim
