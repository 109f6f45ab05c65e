// The guard page of a watched buffer and the one exception handler that
// serves every such buffer of the process.
#include "control/buffer_watch_win32.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace {

std::mutex watchesMutex;
std::vector<const BufferWatch*> watches;
PVOID handlerHandle = nullptr;

LONG CALLBACK onGuardPage(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (record->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION || record->NumberParameters < 2) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  const char* address = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
  std::lock_guard<std::mutex> lock(watchesMutex);
  for (const BufferWatch* watch : watches) {
    if (address >= watch->buffer() && address < watch->buffer() + watch->size()) {
      // The system has lifted the guard: the write goes through on retry.
      SetEvent(watch->written());
      return EXCEPTION_CONTINUE_EXECUTION;
    }
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

size_t pageSize() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwPageSize;
}

}  // namespace

BufferWatch::BufferWatch(size_t size) : page_(pageSize()) {
  size_ = std::max(size, page_);
  buffer_ =
      static_cast<char*>(VirtualAlloc(nullptr, size_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  written_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (buffer_ == nullptr || written_ == nullptr) return;
  std::lock_guard<std::mutex> lock(watchesMutex);
  if (handlerHandle == nullptr) handlerHandle = AddVectoredExceptionHandler(1, &onGuardPage);
  watches.push_back(this);
  rearm();
}

BufferWatch::~BufferWatch() {
  {
    std::lock_guard<std::mutex> lock(watchesMutex);
    watches.erase(std::remove(watches.begin(), watches.end(), this), watches.end());
  }
  if (buffer_ != nullptr) VirtualFree(buffer_, 0, MEM_RELEASE);
  if (written_ != nullptr) CloseHandle(written_);
}

void BufferWatch::rearm() {
  DWORD previous = 0;
  VirtualProtect(buffer_, page_, PAGE_READWRITE | PAGE_GUARD, &previous);
}
