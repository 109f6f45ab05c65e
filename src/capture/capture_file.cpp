// The capture file, written with plain system calls (capture_file_os.h) so
// that the buffering, the line-ending translation and the error reporting
// are ours, the same on every platform.
#include "capture/capture_file.h"

#include <algorithm>
#include <cstring>

#include "capture/capture_file_os.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long a file that takes nothing is waited for once the run is ending.
constexpr std::chrono::milliseconds kGiveUpAfter{1000};
// How often the wait looks whether the run is ending.
constexpr std::chrono::milliseconds kRoomSlice{100};

int64_t millisOf(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

int64_t millisNow() {
  return millisOf(Clock::now());
}

}  // namespace

CaptureFile::~CaptureFile() {
  close();
}

int CaptureFile::open(const char* path) {
  close();
  intptr_t file = kNoFile;
  int err = capture_os::openForAppend(path, &file);
  if (err != 0) return err;
  file_ = file;
  path_ = path;
  error_ = 0;
  bytesWritten_ = 0;
  lineFeedsWritten_ = 0;
  used_ = 0;
  abandoned_ = false;
  return 0;
}

void CaptureFile::drain() {
  size_t done = 0;
  auto lastProgress = Clock::now();
  while (done < used_ && file_ != kNoFile && !abandoned_) {
    size_t written = 0;
    int err = capture_os::writeSome(file_, buffer_.get() + done, used_ - done, &written);
    if (err == capture_os::kWouldBlock) {
      if (awaitRoom(lastProgress)) continue;
      abandoned_ = true;
      fail(capture_os::kStalledError);
      break;
    }
    if (err != 0) {
      fail(err);
      break;
    }
    const uint8_t* chunk = buffer_.get() + done;
    lineFeedsWritten_ += std::count(chunk, chunk + written, uint8_t{'\n'});
    bytesWritten_ += static_cast<int64_t>(written);
    done += written;
    lastProgress = Clock::now();
  }
  // What could not be written is dropped: keeping it would only grow, and
  // the failure has been reported.
  used_ = 0;
}

void CaptureFile::putAsIs(const uint8_t* data, size_t length) {
  while (length > 0) {
    const size_t chunk = std::min(length, kBufferSize);
    uint8_t* out = space(chunk);
    std::memcpy(out, data, chunk);
    commit(out + chunk);
    data += chunk;
    length -= chunk;
  }
}

void CaptureFile::giveUpWhenStalled() {
  int64_t expected = 0;
  endingSince_.compare_exchange_strong(expected, millisNow());
}

// Waits a little for the file to take more; false once it has taken nothing
// for a second while the run is ending.
bool CaptureFile::awaitRoom(Clock::time_point lastProgress) {
  const int64_t endingSince = endingSince_.load();
  if (endingSince != 0) {
    const int64_t stalledSince = std::max(endingSince, millisOf(lastProgress));
    if (millisNow() - stalledSince >= kGiveUpAfter.count()) return false;
  }
  capture_os::awaitRoom(file_, kRoomSlice);
  return true;
}

void CaptureFile::flush() {
  drain();
  if (file_ == kNoFile || error_ != 0) return;
  if (int err = capture_os::syncToDisk(file_)) fail(err);
}

void CaptureFile::close() {
  if (file_ == kNoFile) return;
  drain();
  if (int err = capture_os::closeFile(file_)) fail(err);
  file_ = kNoFile;
}

void CaptureFile::fail(int errorNumber) {
  if (error_ != 0) return;
  error_ = errorNumber;
  std::fprintf(console_, "\n>>>write error on file %s : %d\n", path_.c_str(), errorNumber);
}
