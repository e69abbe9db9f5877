// Prints the input mode of a console: "console input mode 0xNNNN: line input on|off, echo
// on|off". With no argument, the console of standard input; with the name of a program (an
// .exe), the console of the first running process of that name, joined for the look. The
// Windows tests run it in the console an interrupted run has left, and beside a run that waits
// for a key. Exit status 0 when line input and echo are both on, 1 when either is off, 2 when
// there is no such console.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>

namespace {

// The id of the first process whose executable has that name; 0 when none runs.
DWORD FindProcess(const char* name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  DWORD found = 0;
  for (BOOL more = Process32First(snapshot, &entry); more && found == 0;
       more = Process32Next(snapshot, &entry)) {
    if (_stricmp(entry.szExeFile, name) == 0) found = entry.th32ProcessID;
  }
  CloseHandle(snapshot);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (argc > 1) {
    const DWORD process = FindProcess(argv[1]);
    FreeConsole();
    if (process == 0 || !AttachConsole(process)) {
      std::printf("no console of %s\n", argv[1]);
      return 2;
    }
    in = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
  }
  DWORD mode = 0;
  if (!GetConsoleMode(in, &mode)) {
    std::printf("no console\n");
    return 2;
  }
  const bool line = (mode & ENABLE_LINE_INPUT) != 0;
  const bool echo = (mode & ENABLE_ECHO_INPUT) != 0;
  std::printf("console input mode 0x%04lx: line input %s, echo %s\n",
              static_cast<unsigned long>(mode), line ? "on" : "off", echo ? "on" : "off");
  return line && echo ? 0 : 1;
}
