#include "common/devices_decorator.h"

#include <utility>

namespace quorel::sim {

// The line handed to the updater: every call goes on to the wrapped line, and the decorator's
// hooks see the bytes on the way.
class DecoratedLine : public SerialLine {
 public:
  DecoratedLine(DevicesDecorator& owner, std::unique_ptr<SerialLine> inner, int32_t speed)
      : owner_(owner), inner_(std::move(inner)), speed_(speed) {}
  ~DecoratedLine() override {
    inner_.reset();
    owner_.OnClose(speed_);
  }
  DecoratedLine(const DecoratedLine&) = delete;
  DecoratedLine& operator=(const DecoratedLine&) = delete;

  void Write(const uint8_t* data, size_t count) override {
    inner_->Write(data, count);
    owner_.OnWrite(data, count, speed_);
  }
  size_t Read(uint8_t* destination, size_t count) override {
    const size_t got = inner_->Read(destination, count);
    owner_.OnRead(destination, got, speed_);
    return got;
  }
  size_t BytesPending() override { return inner_->BytesPending(); }
  void DrainOutput() override { inner_->DrainOutput(); }
  bool Lost() const override { return inner_->Lost(); }
  void WaitForInput(uint64_t timeoutNs, Clock& clock) override {
    inner_->WaitForInput(timeoutNs, clock);
  }
  void RequestLowLatency() override { inner_->RequestLowLatency(); }
  uint32_t AppliedSpeed() const override { return inner_->AppliedSpeed(); }

 private:
  DevicesDecorator& owner_;
  std::unique_ptr<SerialLine> inner_;
  int32_t speed_;
};

OpenResult DevicesDecorator::Open(const char* portName, int32_t lineSpeed, int32_t parity,
                                  std::unique_ptr<SerialLine>* line) {
  std::unique_ptr<SerialLine> opened;
  const OpenResult result = inner_.Open(portName, lineSpeed, parity, &opened);
  if (result == kOpenOk)
    *line = std::make_unique<DecoratedLine>(*this, std::move(opened), lineSpeed);
  OnOpen(portName, lineSpeed, parity, result);
  return result;
}

}  // namespace quorel::sim
