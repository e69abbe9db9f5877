#include "os/cancel_win32.h"

#include <windows.h>

#include <atomic>

#include "os/cancel.h"

namespace quorel {
namespace {

// Created before the handler is installed and never closed: the handler thread may use them
// until the process ends.
HANDLE gCancelEvent = nullptr;
HANDLE gRunEndedEvent = nullptr;
// The thread blocked in a read (see NoteBlockingRead), or null.
std::atomic<HANDLE> gBlockedReader{nullptr};

// The longest a closed window may hold the process. Windows itself ends it a few seconds after
// the close event; this bound only keeps a handler from outliving a run stuck elsewhere.
constexpr DWORD kCloseWaitMs = 30000;

BOOL WINAPI OnConsoleControl(DWORD event) {
  RaiseCancel();
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
    // Windows ends the process as soon as this returns: let the run close the port (and tell
    // the unit to leave update mode) first.
    WaitForSingleObject(gRunEndedEvent, kCloseWaitMs);
  }
  return TRUE;
}

void CreateEvents() {
  if (gCancelEvent == nullptr) gCancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (gRunEndedEvent == nullptr) gRunEndedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

void InstallCancelHandler() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  CreateEvents();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void RaiseCancel() {
  RequestCancel();
  if (gCancelEvent != nullptr) SetEvent(gCancelEvent);
  HANDLE reader = gBlockedReader.load();
  if (reader != nullptr) CancelSynchronousIo(reader);
}

void NoteBlockingRead(bool reading) {
  static HANDLE thisThread = nullptr;
  if (reading && thisThread == nullptr) {
    // A real handle, usable from the handler's thread; kept for the life of the process.
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                         &thisThread, THREAD_TERMINATE, FALSE, 0)) {
      thisThread = nullptr;
    }
  }
  gBlockedReader.store(reading ? thisThread : nullptr);
}

void* CancelEvent() {
  CreateEvents();
  return gCancelEvent;
}

void NoteRunEnded() {
  CreateEvents();
  SetEvent(gRunEndedEvent);
}

}  // namespace quorel
