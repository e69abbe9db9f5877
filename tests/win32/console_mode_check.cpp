// Prints the input mode of the console that standard input is: "console input mode 0xNNNN:
// line input on|off, echo on|off". The Windows tests run it in the console an interrupted run
// has just left. Exit status 0 when line input and echo are both on, 1 when either is off, 2
// when standard input is no console.
#include <windows.h>

#include <cstdio>

int main() {
  DWORD mode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode)) {
    std::printf("standard input is no console\n");
    return 2;
  }
  const bool line = (mode & ENABLE_LINE_INPUT) != 0;
  const bool echo = (mode & ENABLE_ECHO_INPUT) != 0;
  std::printf("console input mode 0x%04lx: line input %s, echo %s\n",
              static_cast<unsigned long>(mode), line ? "on" : "off", echo ? "on" : "off");
  return line && echo ? 0 : 1;
}
