// The capture file, written with plain system calls (capture_file_os.h) so
// that the buffering, the line-ending translation and the error reporting
// are ours, the same on every platform.
#include "capture/capture_file.h"

#include "capture/capture_file_os.h"

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
  used_ = 0;
  return 0;
}

void CaptureFile::drain() {
  size_t done = 0;
  while (done < used_ && file_ != kNoFile) {
    size_t written = 0;
    int err = capture_os::writeSome(file_, buffer_ + done, used_ - done, &written);
    if (err != 0) {
      fail(err);
      break;
    }
    done += written;
  }
  // What could not be written is dropped: keeping it would only grow, and
  // the failure has been reported.
  used_ = 0;
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
