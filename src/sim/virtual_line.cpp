#include "sim/virtual_line.h"

#include <algorithm>
#include <cstring>

namespace quorel::sim {

namespace {

// Start bit, eight data bits, stop bit.
constexpr uint64_t kBitsPerByte = 10;
constexpr uint64_t kNsPerSecond = 1000000000;

}  // namespace

// The line handed to SerialPort; every call goes to the devices that own the wire.
class VirtualLine : public SerialLine {
 public:
  explicit VirtualLine(VirtualSerialDevices& devices) : devices_(devices) {}
  ~VirtualLine() override { devices_.LineClosed(this); }
  VirtualLine(const VirtualLine&) = delete;
  VirtualLine& operator=(const VirtualLine&) = delete;

  void Write(const uint8_t* data, size_t count) override { devices_.LineWrite(data, count); }
  size_t Read(uint8_t* destination, size_t count) override {
    return devices_.LineRead(destination, count);
  }
  size_t BytesPending() override { return devices_.LineBytesPending(); }
  void DrainOutput() override { devices_.LineDrain(); }
  bool Lost() const override { return devices_.openLineLost_; }
  void WaitForInput(uint64_t timeoutNs, Clock& /*clock*/) override {
    devices_.LineWaitForInput(timeoutNs);
  }
  // The wire has no receive latency to lower; the request is counted for the tests.
  void RequestLowLatency() override { ++devices_.lowLatencyRequests_; }
  // The wire runs at exactly the speed asked for, so there is no applied speed to report.
  uint32_t AppliedSpeed() const override { return 0; }

 private:
  VirtualSerialDevices& devices_;
};

uint64_t VirtualSerialDevices::Transmitter::Next(uint64_t earliestNs, uint32_t byteSpeed) {
  if (runBytes == 0 || byteSpeed != speed || earliestNs > freeNs) {
    runStartNs = std::max(earliestNs, freeNs);
    runBytes = 0;
    speed = byteSpeed;
  }
  ++runBytes;
  freeNs = runStartNs + runBytes * kBitsPerByte * kNsPerSecond / speed;
  return freeNs;
}

VirtualSerialDevices::VirtualSerialDevices(SimulatedUnit& unit, VirtualClock& clock)
    : unit_(unit), clock_(clock) {
  clock_.AddObserver(this, [this](uint64_t nowNs) { AdvanceTo(nowNs); });
}

VirtualSerialDevices::~VirtualSerialDevices() { clock_.RemoveObserver(this); }

OpenResult VirtualSerialDevices::Open(const char* portName, int32_t lineSpeed, int32_t parity,
                                      std::unique_ptr<SerialLine>* line) {
  Settle();
  std::string name = portName != nullptr ? portName : "";
  OpenResult result = kOpenOk;
  bool exists = std::find(portNames_.begin(), portNames_.end(), name) != portNames_.end();
  if (!exists || busy_ || unplugged_ || open_ != nullptr) {
    result = kOpenFailed;
  } else if (lineSpeed <= 0 || lineSpeed == refusedSpeed_) {
    result = kOpenLineSettingsFailed;
  }
  lastOpenInUse_ = exists && busy_;
  opens_.push_back(OpenRecord{name, lineSpeed, parity, result, clock_.NowNs()});
  if (result != kOpenOk) return result;

  auto opened = std::make_unique<VirtualLine>(*this);
  open_ = opened.get();
  openSpeed_ = lineSpeed;
  openLineLost_ = false;
  pcInput_.clear();
  *line = std::move(opened);
  return kOpenOk;
}

int32_t VirtualSerialDevices::openSpeed() const { return open_ != nullptr ? openSpeed_ : 0; }

void VirtualSerialDevices::LoseAfterBytesWritten(uint64_t n) {
  if (n == 0) {
    unplugged_ = true;
    openLineLost_ = open_ != nullptr;
    loseArmed_ = false;
    return;
  }
  loseArmed_ = true;
  bytesBeforeLoss_ = n;
}

void VirtualSerialDevices::Replug() {
  unplugged_ = false;
  loseArmed_ = false;
}

void VirtualSerialDevices::SetLineFaults(const LineFaults& faults) {
  faults_ = faults;
  random_.seed(faults.seed);
  faultsOn_ = faults.dropRate > 0 || faults.flipRate > 0 || faults.insertRate > 0 ||
              (faults.delayRate > 0 && faults.maxDelayMs > 0);
}

void VirtualSerialDevices::Settle() { AdvanceTo(clock_.NowNs()); }

void VirtualSerialDevices::FinishInFlight() {
  for (;;) {
    Settle();
    uint64_t last = 0;
    if (!toUnit_.empty()) last = std::max(last, toUnit_.back().arrivalNs);
    if (!toPc_.empty()) last = std::max(last, toPc_.back().arrivalNs);
    if (toUnit_.empty() && toPc_.empty()) return;
    clock_.AdvanceTo(last);
  }
}

void VirtualSerialDevices::DeliverToPc(const std::string& bytes) {
  Settle();
  if (open_ == nullptr || openLineLost_) return;
  for (char c : bytes) pcInput_.push_back(static_cast<uint8_t>(c));
}

void VirtualSerialDevices::UnitSends(const std::string& bytes) {
  Settle();
  SendFromUnit(bytes, clock_.NowNs());
}

void VirtualSerialDevices::LineWrite(const uint8_t* data, size_t count) {
  Settle();
  const uint64_t now = clock_.NowNs();
  for (size_t i = 0; i < count; ++i) {
    if (openLineLost_) return;  // the adapter is gone: the bytes vanish
    ++bytesWritten_;
    written_ += static_cast<char>(data[i]);
    uint64_t arrival = pcTx_.Next(now, static_cast<uint32_t>(openSpeed_));
    PutOnWire(toUnit_, WireByte{arrival, data[i], static_cast<uint32_t>(openSpeed_), false},
              lastToUnitNs_);
    if (loseArmed_ && --bytesBeforeLoss_ == 0) {
      loseArmed_ = false;
      unplugged_ = true;
      openLineLost_ = true;
    }
  }
}

size_t VirtualSerialDevices::LineRead(uint8_t* destination, size_t count) {
  readRequests_.push_back(count);
  Settle();
  if (openLineLost_) return 0;
  size_t n = std::min(count, pcInput_.size());
  for (size_t i = 0; i < n; ++i) {
    destination[i] = pcInput_.front();
    pcInput_.pop_front();
  }
  return n;
}

size_t VirtualSerialDevices::LineBytesPending() {
  Settle();
  return openLineLost_ ? 0 : pcInput_.size();
}

void VirtualSerialDevices::LineWaitForInput(uint64_t timeoutNs) {
  ++inputWaits_;
  Settle();
  const uint64_t deadline = clock_.NowNs() + timeoutNs;
  // Time moves from one event on the wire to the next (a byte reaching the unit may make it
  // answer) until a byte is waiting for the PC or the time is up.
  while (!openLineLost_ && pcInput_.empty()) {
    const uint64_t now = clock_.NowNs();
    if (now >= deadline) return;
    uint64_t next = deadline;
    if (!toUnit_.empty()) next = std::min(next, toUnit_.front().arrivalNs);
    if (!toPc_.empty()) next = std::min(next, toPc_.front().arrivalNs);
    clock_.SleepNs(std::max<uint64_t>(next, now + 1) - now);
    Settle();
  }
}

void VirtualSerialDevices::LineDrain() {
  ++drainCount_;
  Settle();
  if (openLineLost_) return;  // a drain on a vanished device fails at once
  if (pcTx_.freeNs > clock_.NowNs()) {
    clock_.AdvanceTo(pcTx_.freeNs);
    Settle();
  }
}

void VirtualSerialDevices::LineClosed(const SerialLine* line) {
  if (line != open_) return;
  Settle();
  open_ = nullptr;
  openSpeed_ = 0;
  openLineLost_ = false;
  pcInput_.clear();
  ++closeCount_;
}

void VirtualSerialDevices::AdvanceTo(uint64_t nowNs) {
  if (advancing_) return;
  advancing_ = true;
  for (;;) {
    const bool unitDue = !toUnit_.empty() && toUnit_.front().arrivalNs <= nowNs;
    const bool pcDue = !toPc_.empty() && toPc_.front().arrivalNs <= nowNs;
    if (!unitDue && !pcDue) break;
    if (unitDue && (!pcDue || toUnit_.front().arrivalNs <= toPc_.front().arrivalNs)) {
      WireByte byte = toUnit_.front();
      toUnit_.pop_front();
      // A byte framed at another speed is no byte for the unit's receiver.
      if (byte.speed != unit_.speed()) {
        ++lostToMismatch_;
        continue;
      }
      unit_.SetTime(byte.arrivalNs);
      std::string reply;
      uint32_t delayMs = unit_.Receive(byte.value, &reply);
      if (!reply.empty()) {
        SendFromUnit(reply, byte.arrivalNs + static_cast<uint64_t>(delayMs) * kNsPerMs);
      }
    } else {
      WireByte byte = toPc_.front();
      toPc_.pop_front();
      if (open_ == nullptr || openLineLost_) continue;  // nobody is listening
      if (byte.speed != static_cast<uint32_t>(openSpeed_)) {
        ++lostToMismatch_;
        if (garble_ && byte.firstOfReply) {
          pcInput_.push_back(static_cast<uint8_t>(0x80 | (byte.value >> 1)));
        }
        continue;
      }
      pcInput_.push_back(byte.value);
    }
  }
  advancing_ = false;
}

void VirtualSerialDevices::SendFromUnit(const std::string& bytes, uint64_t earliestNs) {
  const uint32_t speed = unit_.speed();
  bool first = true;
  for (char c : bytes) {
    uint64_t arrival = unitTx_.Next(earliestNs, speed);
    PutOnWire(toPc_, WireByte{arrival, static_cast<uint8_t>(c), speed, first}, lastToPcNs_);
    first = false;
  }
}

bool VirtualSerialDevices::Chance(double rate) {
  if (rate <= 0) return false;
  double draw = static_cast<double>(random_() >> 11) * 0x1.0p-53;
  return draw < rate;
}

void VirtualSerialDevices::PutOnWire(std::deque<WireByte>& wire, WireByte byte,
                                     uint64_t& lastArrivalNs) {
  if (faultsOn_) {
    if (Chance(faults_.insertRate)) {
      ++faultCounts_.inserted;
      WireByte noise{std::max(byte.arrivalNs, lastArrivalNs), static_cast<uint8_t>(random_()),
                     byte.speed, false};
      lastArrivalNs = noise.arrivalNs;
      wire.push_back(noise);
    }
    if (Chance(faults_.dropRate)) {
      ++faultCounts_.dropped;
      return;
    }
    if (Chance(faults_.flipRate)) {
      ++faultCounts_.flipped;
      byte.value = static_cast<uint8_t>(byte.value ^ (1u << (random_() % 8)));
    }
    if (faults_.maxDelayMs > 0 && Chance(faults_.delayRate)) {
      ++faultCounts_.delayed;
      byte.arrivalNs += 1 + random_() % (static_cast<uint64_t>(faults_.maxDelayMs) * kNsPerMs);
    }
  }
  byte.arrivalNs = std::max(byte.arrivalNs, lastArrivalNs);
  lastArrivalNs = byte.arrivalNs;
  wire.push_back(byte);
}

}  // namespace quorel::sim
