#pragma once
// Serves one SimulatedUnit on a pseudo-terminal in real time, so that a real program (the
// updater, the demo's driver, a terminal program) reaches it through an ordinary tty device:
// the pty's slave side stands for the PC's serial port, the server sits on the master side and
// plays the unit's end of the cable.
//
// Bytes written to the slave are fed to the unit with their real arrival time; the unit's
// answers are written back, after the delay the unit asks for (a late checksum reply). The line
// speed is the one the program set on its port: both sides of a pty share one termios record,
// which the server reads from the master. A byte framed at another speed than the unit's is lost
// on the way to the unit, and a reply sent at another speed than the port's is lost on the way
// back, as on a real cable. A program always sends a speed command at the old speed just before
// it reopens the port at the new one, while the server may read those bytes only after the
// reopen; so when the port's speed has changed since the last bytes taken, the bytes just read
// up to the end of the first speed command among them (one begun earlier included) still count
// at the old speed. When none ends there, or the last byte taken ended one, the new speed
// applies at once.
//
// The server keeps a slave descriptor of its own open, so the master never sees the hang-up
// that the last close of the slave would cause while the program closes and reopens the port at
// a speed change. Opens and closes of the device by others are watched (inotify): replies sent
// while nobody has the port open are lost, and what an earlier open left unread is dropped when
// the server notices a new open, as a freshly opened serial port starts empty (a program that
// reads within microseconds of its open may still see such leftovers).
//
// Pacing (optional): reply bytes go out one at a time, 10 bit times apart at the unit's speed,
// and received bytes are taken no faster than the line carries them. A pty has no transmitter
// to drain, so the program's writes are held back with the terminal's output flow control
// (stopped while the server is still taking earlier bytes); the program's reply waits then
// start about when its command would have left a real UART. The hold closes only when the
// server gets to run, so on a loaded machine a burst can slip through; the receiver then
// catches up to within 32 byte times of the program, and the run is somewhat faster than real.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "sim/simulated_unit.h"

namespace quorel::sim {

struct PtyServeOptions {
  // Real line timing in both directions (see above). Off: bytes are taken the moment they are
  // read and replies written at once.
  bool pace = false;
  // Serve() and the background thread end by themselves once the unit has been told to flash or
  // to leave update mode and nothing more has arrived for quietMs.
  bool stopWhenDone = false;
  uint32_t quietMs = 1000;
  // The port's speed is not read from the pseudo-terminal but follows the speed commands the
  // program sent (9600 until the first): for programs whose pty speeds are not the ones they
  // asked for (Wine sets 28800, 14400 and 1000 as 38400 on a pty).
  bool followSpeedCommands = false;
};

struct PtyServerStats {
  uint64_t bytesTaken = 0;          // bytes fed to the unit
  uint64_t bytesLostToSpeed = 0;    // bytes from the port framed at another speed than the unit's
  uint64_t repliesLostToSpeed = 0;  // reply bytes sent at another speed than the port's
  uint64_t repliesUnheard = 0;      // reply bytes sent while no program had the port open
  uint64_t repliesOverrun = 0;      // reply bytes the port's full input buffer could not take
  uint64_t opens = 0;               // opens of the device by other programs
  uint32_t portSpeed = 0;           // the port's line speed when last looked at
};

class PtyUnitServer {
 public:
  // The unit stays the caller's; while the server runs, reach it only through WithUnit.
  explicit PtyUnitServer(SimulatedUnit& unit, PtyServeOptions options = {});
  // Stops the server and closes the pseudo-terminal; a program still on it sees a hang-up.
  ~PtyUnitServer();
  PtyUnitServer(const PtyUnitServer&) = delete;
  PtyUnitServer& operator=(const PtyUnitServer&) = delete;

  // Creates the pseudo-terminal pair, raw at 9600 (the unit's first-contact speed). False with
  // the reason in *error when the system cannot.
  bool Open(std::string* error);
  // Serves the far end of an existing line instead: a terminal device at PATH whose other end
  // the program opens (a USB gadget's serial function, the slave of a pseudo-terminal another
  // program holds). The speed follows the speed commands; every byte written is heard.
  bool OpenDevice(const std::string& path, std::string* error);
  // The slave device a program opens as its serial port ("/dev/pts/N"), or the device given to
  // OpenDevice; empty before either.
  const std::string& devicePath() const { return devicePath_; }

  // Serves in a background thread until Stop (or, with stopWhenDone, until the unit is done).
  bool Start(std::string* error);
  // Serves in the calling thread until RequestStop (or, with stopWhenDone, until done). False
  // when the server is not open or already running.
  bool Serve();
  // Asks the serving loop to end; safe to call from a signal handler.
  void RequestStop();
  // Ends the background thread and waits for it; what the program had already written is taken
  // by the unit first. Does nothing when no thread runs.
  void Stop();
  // True once serving ended because the unit was done (stopWhenDone).
  bool finished() const { return finished_.load(); }

  // Runs fn with the unit while the serving loop keeps its hands off it.
  template <typename Fn>
  auto WithUnit(Fn&& fn) {
    std::lock_guard<std::mutex> lock(mutex_);
    return fn(unit_);
  }
  PtyServerStats stats();

 private:
  struct InByte {
    uint8_t value;
    uint32_t speed;      // the speed the port framed it at
    uint64_t arrivalNs;  // when it reaches the unit (its last bit)
  };
  struct OutByte {
    uint8_t value;
    uint32_t speed;  // the unit's speed when it sent it
    uint64_t dueNs;  // when it reaches the port
  };

  void Loop();
  uint64_t Now() const;
  // Reads what the port has sent, if anything; false when nothing was there.
  bool ReadFromPort(uint64_t now);
  void ReadDeviceEvents();
  void QueueInput(const uint8_t* data, size_t count, uint32_t portSpeed, uint64_t now);
  void FeedDueInput(uint64_t now);
  void QueueReply(const std::string& reply, uint64_t earliestNs, uint32_t speed);
  void SendDueOutput(uint64_t now);
  void SetWriterFlow(bool flowing);
  bool UnitDone(uint64_t now);
  uint32_t PortSpeed(bool input) const;
  bool FinishOpen(std::string* error);
  void CloseAll();

  SimulatedUnit& unit_;
  PtyServeOptions options_;
  std::string devicePath_;
  int master_ = -1;
  int slave_ = -1;    // held open for the server's whole life
  int inotify_ = -1;  // -1 when the device cannot be watched: everyone listens, no flush
  int wake_ = -1;     // eventfd written by RequestStop
  uint64_t originNs_ = 0;

  std::mutex mutex_;  // guards unit_ and stats_
  PtyServerStats stats_;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> finished_{false};

  // Serving state, touched only by the serving loop.
  std::deque<InByte> input_;
  std::deque<OutByte> output_;
  uint32_t framingSpeed_ = 0;    // the speed bytes from the port are taken at
  int speedCommandBytes_ = 0;    // length of the "B" + digits run just taken; 7 = complete
  uint32_t speedCommandValue_ = 0;  // the digits of that run as a number
  uint64_t receiverFreeNs_ = 0;  // paced: when the unit's receiver has taken the last byte
  uint64_t transmitterFreeNs_ = 0;
  uint64_t lastInputNs_ = 0;
  int listeners_ = 0;  // programs that have the device open, as the watch counts them
  bool writerFlowing_ = true;
  bool portFailed_ = false;
};

}  // namespace quorel::sim
