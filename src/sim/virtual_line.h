#pragma once
// A serial line on virtual time between the updater's port and a SimulatedUnit. It models a
// POSIX tty on a null-modem cable: writes return at once and queue the bytes on the PC's
// transmitter; every byte takes 10 bit times (start, eight data bits, stop) at the speed of the
// side that sends it; the receiving side sees a byte once its last bit has arrived. The unit
// takes each byte at its arrival time, in order, and its answer goes out on the unit's own
// transmitter from then on. Nothing runs by itself: the line catches up with the clock whenever
// the port is used or the clock moves.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "os/serial_device.h"
#include "sim/simulated_unit.h"
#include "sim/virtual_clock.h"

namespace quorel::sim {

// Random damage to the bytes on the wire, the same in both directions; each rate is a chance
// per byte. A given seed and the same traffic give the same damage.
struct LineFaults {
  uint64_t seed = 1;
  double dropRate = 0.0;    // the byte is lost
  double flipRate = 0.0;    // one of its bits is inverted
  double insertRate = 0.0;  // a noise byte arrives just before it
  double delayRate = 0.0;   // it arrives up to maxDelayMs late (later bytes wait behind it)
  uint32_t maxDelayMs = 0;
};

struct LineFaultCounts {
  uint64_t dropped = 0;
  uint64_t flipped = 0;
  uint64_t inserted = 0;
  uint64_t delayed = 0;
  uint64_t Total() const { return dropped + flipped + inserted + delayed; }
};

// One call of Open, as the updater made it.
struct OpenRecord {
  std::string name;
  int32_t speed;
  int32_t parity;
  OpenResult result;
  uint64_t timeNs;
};

class VirtualSerialDevices : public SerialDevices {
 public:
  VirtualSerialDevices(SimulatedUnit& unit, VirtualClock& clock);
  ~VirtualSerialDevices() override;
  VirtualSerialDevices(const VirtualSerialDevices&) = delete;
  VirtualSerialDevices& operator=(const VirtualSerialDevices&) = delete;

  // Opens one of the configured port names at the given speed. Fails with kOpenFailed for an
  // unknown name, a port held by another program (SetBusy), a port that is already open (the
  // access is exclusive) or an unplugged adapter; with kOpenLineSettingsFailed for a speed of 0
  // or below.
  OpenResult Open(const char* portName, int32_t lineSpeed, int32_t parity,
                  std::unique_ptr<SerialLine>* line) override;
  // The port names are fixed (SetPortNames); a name maps to nothing else and is its own device.
  void MapPort(const std::string& /*portName*/, const std::string& /*device*/) override {}
  std::string DeviceName(const char* portName) const override {
    return portName != nullptr ? portName : "";
  }
  std::string ListPorts() override { return ""; }
  // --port auto asks the configured port names, in order.
  std::vector<std::string> PortCandidates() override { return portNames_; }
  bool LastOpenInUse() const override { return lastOpenInUse_; }

  // The port names that exist; by default only "COM1".
  void SetPortNames(std::vector<std::string> names) { portNames_ = std::move(names); }
  // While busy, every Open fails: another program holds the port.
  void SetBusy(bool busy) { busy_ = busy; }
  // Every Open at this speed fails with kOpenLineSettingsFailed, as on an adapter whose driver
  // cannot run it (0: none).
  void RefuseSpeed(int32_t speed) { refusedSpeed_ = speed; }
  // After n more bytes have been written the adapter is gone: the open line reports Lost(),
  // further writes vanish, reads give nothing and every Open fails until Replug().
  void LoseAfterBytesWritten(uint64_t n);
  void Replug();
  bool unplugged() const { return unplugged_; }
  // What happens to a unit reply that arrives while the PC port runs at another speed: lost
  // (the default), or one garbage byte per reply.
  void SetGarbleOnSpeedMismatch(bool garble) { garble_ = garble; }
  void SetLineFaults(const LineFaults& faults);
  const LineFaultCounts& faultCounts() const { return faultCounts_; }
  uint64_t lineFaultsInjected() const { return faultCounts_.Total(); }

  // Brings the wire and the unit up to the clock's present.
  void Settle();
  // Moves the clock on until every byte on the wire has arrived and been taken.
  void FinishInFlight();
  // Puts bytes into the PC's receive queue as if they had just arrived (dropped when no port is
  // open).
  void DeliverToPc(const std::string& bytes);
  // Has the unit's transmitter send bytes from now on, at the unit's speed, like a reply.
  void UnitSends(const std::string& bytes);

  // Observations of what the updater did with the port.
  const std::vector<OpenRecord>& opens() const { return opens_; }
  // The count asked of each Read call, in order.
  const std::vector<size_t>& readRequests() const { return readRequests_; }
  void ClearReadRequests() { readRequests_.clear(); }
  uint64_t drainCount() const { return drainCount_; }
  // How often the updater asked for low latency, and waited on the line for its input.
  uint64_t lowLatencyRequests() const { return lowLatencyRequests_; }
  uint64_t inputWaits() const { return inputWaits_; }
  uint64_t closeCount() const { return closeCount_; }
  uint64_t bytesWritten() const { return bytesWritten_; }
  // Every byte the PC wrote while its adapter was there, in order, whatever became of it on
  // the wire.
  const std::string& written() const { return written_; }
  void ClearWritten() { written_.clear(); }
  // Bytes of either direction that were lost because the two sides' speeds differed.
  uint64_t bytesLostToSpeedMismatch() const { return lostToMismatch_; }
  bool lineOpen() const { return open_ != nullptr; }
  int32_t openSpeed() const;
  // Bytes waiting in the PC's receive queue (without catching up with the clock).
  size_t pcInputQueued() const { return pcInput_.size(); }
  // When the last byte written by the PC will have left its transmitter.
  uint64_t pcTransmitterFreeNs() const { return pcTx_.freeNs; }

  SimulatedUnit& unit() { return unit_; }
  VirtualClock& clock() { return clock_; }

 private:
  friend class VirtualLine;

  // One byte on the wire.
  struct WireByte {
    uint64_t arrivalNs;
    uint8_t value;
    uint32_t speed;      // the sender's speed
    bool firstOfReply;   // first byte of one unit reply (for the garbling option)
  };

  // A transmitter sends bytes back to back; the end of byte k of a run is computed from the
  // run's start, so that long runs do not drift by rounding.
  struct Transmitter {
    uint64_t runStartNs = 0;
    uint64_t runBytes = 0;
    uint32_t speed = 0;
    uint64_t freeNs = 0;
    // The end of the next byte's last bit when it starts no earlier than earliestNs.
    uint64_t Next(uint64_t earliestNs, uint32_t byteSpeed);
  };

  // Calls from the open line.
  void LineWrite(const uint8_t* data, size_t count);
  size_t LineRead(uint8_t* destination, size_t count);
  size_t LineBytesPending();
  void LineDrain();
  void LineWaitForInput(uint64_t timeoutNs);
  void LineClosed(const SerialLine* line);

  // Takes every event on the wire up to nowNs in time order.
  void AdvanceTo(uint64_t nowNs);
  void SendFromUnit(const std::string& bytes, uint64_t earliestNs);
  // Applies the random line faults to one byte put on the wire; appends what arrives.
  void PutOnWire(std::deque<WireByte>& wire, WireByte byte, uint64_t& lastArrivalNs);
  bool Chance(double rate);

  SimulatedUnit& unit_;
  VirtualClock& clock_;
  std::vector<std::string> portNames_{"COM1"};
  bool busy_ = false;
  bool lastOpenInUse_ = false;
  int32_t refusedSpeed_ = 0;
  bool garble_ = false;
  bool unplugged_ = false;
  bool openLineLost_ = false;  // the open line's adapter has gone
  bool loseArmed_ = false;
  uint64_t bytesBeforeLoss_ = 0;

  SerialLine* open_ = nullptr;
  int32_t openSpeed_ = 0;
  bool advancing_ = false;

  Transmitter pcTx_;
  Transmitter unitTx_;
  std::deque<WireByte> toUnit_;
  std::deque<WireByte> toPc_;
  uint64_t lastToUnitNs_ = 0;
  uint64_t lastToPcNs_ = 0;
  std::deque<uint8_t> pcInput_;

  bool faultsOn_ = false;
  LineFaults faults_;
  std::mt19937_64 random_;
  LineFaultCounts faultCounts_;

  std::vector<OpenRecord> opens_;
  std::vector<size_t> readRequests_;
  uint64_t drainCount_ = 0;
  uint64_t lowLatencyRequests_ = 0;
  uint64_t inputWaits_ = 0;
  uint64_t closeCount_ = 0;
  uint64_t bytesWritten_ = 0;
  std::string written_;
  uint64_t lostToMismatch_ = 0;
};

}  // namespace quorel::sim
