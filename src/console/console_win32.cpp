#include "console/console_win32.h"

#include <windows.h>

#include "os/cancel.h"
#include "os/cancel_win32.h"

namespace quorel {
namespace {

constexpr unsigned char kCtrlC = 3;

// Writes every byte; false on the first failure.
bool WriteAll(DWORD which, const char* text, size_t length) {
  HANDLE out = GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
  while (length > 0) {
    const DWORD chunk = length > 0x10000 ? 0x10000 : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(out, text, chunk, &written, nullptr) || written == 0) return false;
    text += written;
    length -= written;
  }
  return true;
}

// Keys that never stand alone: held together with the key that counts.
bool ModifierKey(WORD virtualKey) {
  switch (virtualKey) {
    case VK_SHIFT:
    case VK_CONTROL:
    case VK_MENU:
    case VK_CAPITAL:
    case VK_NUMLOCK:
    case VK_SCROLL:
    case VK_LWIN:
    case VK_RWIN:
      return true;
    default:
      return false;
  }
}

// One key press from a console, read as an input event: line input and echo apply only to reads
// of text, so the console's modes are left as they are. Changing them for the wait would leave
// them changed whenever the process or the console's host ends before the wait is over (a
// closed window, a killed process; under Wine a Ctrl-C from the terminal also reaches the
// wineserver and the console host in the same process group), and the owner's next command
// line would run without echo and line input.
int ReadConsoleKey(HANDLE in) {
  HANDLE waits[2] = {in, static_cast<HANDLE>(CancelEvent())};
  const DWORD count = waits[1] != nullptr ? 2 : 1;
  for (;;) {
    if (CancelRequested()) return Console::kEndOfInput;
    const DWORD ready = WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    if (ready != WAIT_OBJECT_0) return Console::kEndOfInput;  // cancelled, or the wait failed
    INPUT_RECORD record;
    DWORD got = 0;
    if (!ReadConsoleInputA(in, &record, 1, &got)) return Console::kEndOfInput;
    if (got == 0 || record.EventType != KEY_EVENT) continue;
    const KEY_EVENT_RECORD& keyEvent = record.Event.KeyEvent;
    if (!keyEvent.bKeyDown || ModifierKey(keyEvent.wVirtualKeyCode)) continue;
    const unsigned char key = static_cast<unsigned char>(keyEvent.uChar.AsciiChar);
    if (key == kCtrlC) {
      // Ctrl-C reaches the handler while the console processes input; here only when a
      // console's owner has turned that off.
      RaiseCancel();
      return Console::kEndOfInput;
    }
    return key;  // 0 for a key without a character (an arrow, a function key)
  }
}

}  // namespace

WindowsConsole::WindowsConsole() { InstallCancelHandler(); }

WindowsConsole::~WindowsConsole() { NoteRunEnded(); }

void WindowsConsole::Write(const char* text, size_t length) {
  if (outputFailed_) return;
  if (!WriteAll(STD_OUTPUT_HANDLE, text, length)) outputFailed_ = true;
}

void WindowsConsole::Error(const std::string& line) {
  if (errorFailed_) return;
  const std::string text = line + "\n";
  if (!WriteAll(STD_ERROR_HANDLE, text.data(), text.size())) errorFailed_ = true;
}

int WindowsConsole::ReadKey() {
  if (CancelRequested()) return kEndOfInput;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == nullptr || in == INVALID_HANDLE_VALUE) return kEndOfInput;
  DWORD mode = 0;
  if (!GetConsoleMode(in, &mode)) {
    // A pipe, a file or NUL: one byte; end of input counts as a key.
    unsigned char byte = 0;
    DWORD got = 0;
    NoteBlockingRead(true);
    // A cancellation raised before this point is seen here; one raised later cancels the read.
    const bool read = !CancelRequested() && ReadFile(in, &byte, 1, &got, nullptr);
    NoteBlockingRead(false);
    if (!read || got != 1) return kEndOfInput;
    return byte;
  }
  return ReadConsoleKey(in);
}

}  // namespace quorel
