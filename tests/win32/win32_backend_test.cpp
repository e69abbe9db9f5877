// The Windows serial backend and console, run under Wine by scripts/test-windows.sh, which maps
// the ports named in the environment: QUOREL_TEST_UNIT_PORT to a simulated unit's
// pseudo-terminal, QUOREL_TEST_MISSING_PORT to a path that does not exist, and leaves
// QUOREL_TEST_UNMAPPED_PORT unmapped.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "copies/saved_config.h"
#include "console/console_win32.h"
#include "os/cancel.h"
#include "os/cancel_win32.h"
#include "os/clock.h"
#include "os/serial_win32.h"
#include "serial/link.h"
#include "serial/serial_port.h"

namespace quorel {
namespace {

std::string PortFromEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  // Not a skip: without the mapping these tests cannot judge anything.
  EXPECT_NE(value, nullptr) << variable << " is not set; run scripts/test-windows.sh";
  return value != nullptr ? value : "";
}

TEST(Win32Serial, PortNamesMapToDevicePaths) {
  EXPECT_EQ(Win32DevicePath("COM1"), "\\\\.\\COM1");
  EXPECT_EQ(Win32DevicePath("COM12"), "\\\\.\\COM12");
  EXPECT_EQ(Win32DevicePath("COM256"), "\\\\.\\COM256");
  for (const char* bad : {"COM", "COM0", "COM01", "COM1x", "com1", "LPT1", ""}) {
    EXPECT_EQ(Win32DevicePath(bad), "") << bad;
  }
  EXPECT_EQ(Win32DevicePath(nullptr), "");

  // A port pointed at another device (--port COM12) opens that device.
  Win32SerialDevices devices(nullptr);
  devices.MapPort("COM1", "COM12");
  devices.MapPort("COM2", "\\\\.\\COM7");
  EXPECT_EQ(devices.DeviceName("COM1"), "\\\\.\\COM12");
  EXPECT_EQ(devices.DeviceName("COM2"), "\\\\.\\COM7");
  EXPECT_EQ(devices.DeviceName("COM3"), "\\\\.\\COM3");
}

TEST(Win32Serial, LineSettingsRecord) {
  ASSERT_EQ(sizeof(DCB), 28u);
  struct Case {
    int32_t parity;
    BYTE parityField;
    uint32_t flagsWord;
  };
  for (const Case& c : {Case{0, 0, 1}, Case{1, 1, 3}, Case{2, 2, 3}, Case{5, 0, 1}}) {
    DCB dcb = LineSettings(28800, c.parity);
    unsigned char bytes[28];
    std::memcpy(bytes, &dcb, sizeof bytes);
    uint32_t flags = 0;
    std::memcpy(&flags, bytes + 8, 4);
    const unsigned char expected[28] = {28, 0, 0, 0, 0x80, 0x70, 0, 0,  // length, 28800
                                        0, 0, 0, 0, 0, 0, 2, 0, 4, 0,   // flags, XonLim, XoffLim
                                        8, c.parityField, 0, 0x13, 0x19, 0, 0, 0, 0, 0};
    EXPECT_EQ(flags, c.flagsWord) << "parity " << c.parity;
    EXPECT_EQ(0, std::memcmp(bytes + 12, expected + 12, 16)) << "parity " << c.parity;
    EXPECT_EQ(0, std::memcmp(bytes, expected, 8));
  }
}

TEST(Win32Serial, OpenResultsAndTalkingToAUnit) {
  std::vector<std::string> reports;
  Win32SerialDevices devices([&](const std::string& line) { reports.push_back(line); });
  std::unique_ptr<SerialLine> line;

  const std::string unmapped = PortFromEnvironment("QUOREL_TEST_UNMAPPED_PORT");
  EXPECT_EQ(devices.Open(unmapped.c_str(), 9600, 0, &line), kOpenFailed);
  EXPECT_EQ(line, nullptr);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("quorel-update: cannot open " + unmapped + " (\\\\.\\" + unmapped +
                                 "): ", 0), 0u) << reports[0];
  EXPECT_EQ(devices.Open("COM0", 9600, 0, &line), kOpenFailed);
  EXPECT_EQ(devices.Open(nullptr, 9600, 0, &line), kOpenNoName);

  // Wine opens a port whose device is missing; the configuring steps then fail, the last one
  // (the line settings) decides the code, and the handle is closed again.
  const std::string missing = PortFromEnvironment("QUOREL_TEST_MISSING_PORT");
  EXPECT_EQ(devices.Open(missing.c_str(), 9600, 0, &line), kOpenLineSettingsFailed);
  EXPECT_EQ(line, nullptr);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_NE(reports[2].find("line settings (9600 bit/s)"), std::string::npos) << reports[2];

  const std::string unit = PortFromEnvironment("QUOREL_TEST_UNIT_PORT");
  SerialPort port(devices);
  ASSERT_EQ(port.Open(unit.c_str(), 9600, 0), kOpenOk) << (reports.empty() ? "" : reports.back());
  char reply[4] = {};
  SendText("E", port);
  EXPECT_EQ(ReadReply(reply, port, 2, SystemClock()), 2);
  EXPECT_STREQ(reply, "Ok");
  EXPECT_EQ(port.BytesPending(), 0u);
  // Reopened, as at every speed change, the same object talks again.
  ASSERT_EQ(port.Open(unit.c_str(), 9600, 0), kOpenOk);
  SendText("E", port);
  EXPECT_EQ(ReadReply(reply, port, 2, SystemClock()), 2);
  EXPECT_STREQ(reply, "Ok");
}

// Standard input replaced by handle for the life of the object.
class StandardInput {
 public:
  explicit StandardInput(HANDLE handle) : saved_(GetStdHandle(STD_INPUT_HANDLE)) {
    SetStdHandle(STD_INPUT_HANDLE, handle);
  }
  ~StandardInput() { SetStdHandle(STD_INPUT_HANDLE, saved_); }

 private:
  HANDLE saved_;
};

TEST(Win32Console, KeysFromPipeAndNul) {
  WindowsConsole console;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writeEnd, "n\x03", 2, &written, nullptr));
  CloseHandle(writeEnd);
  {
    StandardInput input(readEnd);
    EXPECT_EQ(console.ReadKey(), 'n');
    EXPECT_EQ(console.ReadKey(), 3) << "from a pipe, byte 3 is a byte like any other";
    EXPECT_EQ(console.ReadKey(), Console::kEndOfInput);
  }
  CloseHandle(readEnd);

  HANDLE nul = CreateFileA("NUL", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(nul, INVALID_HANDLE_VALUE);
  StandardInput input(nul);
  EXPECT_EQ(console.ReadKey(), Console::kEndOfInput);
  CloseHandle(nul);
}

// The configuration copy replaces an earlier file of the same name (a plain rename would refuse
// it here) and leaves no temporary file.
TEST(Win32Files, ConfigCopyReplacesAnEarlierFile) {
  char directory[MAX_PATH];
  ASSERT_GT(GetTempPathA(MAX_PATH, directory), 0u);
  const std::string path = std::string(directory) + "quorel-win32-copy.cfg";
  std::ofstream(path, std::ios::binary) << "earlier contents, longer than the new ones";
  std::string error;
  ASSERT_TRUE(CanSaveConfig(path, &error)) << error;
  const uint8_t bytes[] = {0x00, 0x0A, 0x0D, 0xFF};
  ASSERT_TRUE(SaveConfigFiles(path, bytes, sizeof bytes, "text\n", &error)) << error;
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
            std::string("\x00\x0A\x0D\xFF", 4));
  in.close();
  EXPECT_EQ(GetFileAttributesA((path + ".part").c_str()), INVALID_FILE_ATTRIBUTES);
  std::remove(path.c_str());
  std::remove((path + ".txt").c_str());
}

// Last in this file: the flag, once raised, stays raised for the whole process.
TEST(Win32Cancel, RaisingItEndsSleepAndKeyWait) {
  EXPECT_FALSE(CancelRequested());
  InstallCancelHandler();
  std::thread raiser([] {
    Sleep(100);
    RaiseCancel();
  });
  // Were the sleep not cut short, the run's time-out would end this test as a failure.
  SystemClock().SleepNs(3600ull * 1000 * kNsPerMs);
  raiser.join();
  EXPECT_TRUE(CancelRequested());
  WindowsConsole console;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, nullptr, 0));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writeEnd, "y", 1, &written, nullptr));
  StandardInput input(readEnd);
  EXPECT_EQ(console.ReadKey(), Console::kEndOfInput) << "a cancelled run reads no key";
  CloseHandle(writeEnd);
  CloseHandle(readEnd);
}

}  // namespace
}  // namespace quorel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
