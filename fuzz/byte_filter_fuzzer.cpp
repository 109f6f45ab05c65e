// Fuzzes the byte filter. The first bytes of the input choose the settings,
// the starting segment state, how the rest is cut into reads and what the
// capture file is like; the rest is the line's bytes. Each run goes through
// filter() read by read and, on a second filter, through filterByte() byte
// by byte; both must give exactly what a plain reference model of the
// one-byte rule gives: capture file, console, verdict and final state.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture/byte_filter.h"
#include "capture/capture_file.h"
#include "testing/console_capture.h"

namespace {

constexpr uint8_t kCtrlY = 0x19;
constexpr uint8_t kCtrlZ = 0x1A;
constexpr char kPhrase[] = "kwo end";
constexpr size_t kPhraseLength = sizeof kPhrase - 1;
// Written to the file before a run when asked: the capture must append.
constexpr char kOldContent[] = "old\r\n";

// One scratch file per filter, named after the process, removed after
// each run and before an invariant failure aborts, so that they never pile
// up; in memory where possible so that a run costs no disk I/O.
struct ScratchFiles {
  std::string block;
  std::string single;

  ScratchFiles() {
    std::string dir = "/dev/shm";
    if (::access(dir.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string base = dir + "/sercap-byte-filter-fuzz-" + std::to_string(::getpid());
    block = base + "-block";
    single = base + "-single";
  }
  void remove() const {
    ::unlink(block.c_str());
    ::unlink(single.c_str());
  }
};

const ScratchFiles& scratch() {
  static const ScratchFiles files;
  return files;
}

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant violated: %s\n", what);
  scratch().remove();
  std::abort();
}

void resetFile(const std::string& path, bool withOldContent) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) std::abort();
  if (withOldContent) {
    check(::write(fd, kOldContent, sizeof kOldContent - 1) ==
              static_cast<ssize_t>(sizeof kOldContent - 1),
          "scratch file written");
  }
  ::close(fd);
}

std::string readFile(const std::string& path) {
  std::string content;
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) std::abort();
  char chunk[8192];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) content.append(chunk, static_cast<size_t>(n));
  ::close(fd);
  return content;
}

off_t fileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) std::abort();
  return st.st_size;
}

using Console = ConsoleCapture;

struct Setup {
  FilterSettings settings;
  bool startInSegment = true;
  // Reads of 0..maxRead bytes from a small generator; 0: one read.
  uint8_t maxRead = 0;
  uint32_t readSeed = 0;
  // The file already holds kOldContent: the capture must append to it.
  bool oldContent = false;
  // Every write fails (the file is /dev/full).
  bool writesFail = false;
  // Plain text filtered ahead of the input, enough to leave the capture
  // file's buffer nearly full, so that the input's bytes make it drain.
  size_t padding = 0;
  // A short input is repeated behind ever longer runs of plain text, so
  // that its bytes meet every offset within the block path's blocks.
  bool sweep = false;
  // Plain text that is no marker, for both of the above.
  uint8_t filler = 'x';
};

// The header: flags, two marker bytes, the read-cutting byte, the file.
constexpr size_t kHeaderSize = 5;

Setup decodeSetup(const uint8_t* header) {
  Setup setup;
  FilterSettings& s = setup.settings;
  const uint8_t flags = header[0];
  switch (flags & 3) {
    case 0:  // no markers
      break;
    case 1:  // "-md"/"-mh"
      s.beginMarker = s.endMarker = '^';
      break;
    case 2:  // "-ms"/"-me": any bytes, 0 included
      s.beginMarker = header[1];
      s.endMarker = header[2];
      break;
    case 3:  // one byte opens and closes
      s.beginMarker = s.endMarker = header[1];
      break;
  }
  s.filterOff = (flags & 4) != 0;
  s.showRejected = (flags & 8) != 0;
  setup.startInSegment = (flags & 16) != 0;
  // Level 3 does not exist: level 0, where filter() has most to get right,
  // comes up twice as often.
  s.logLevel = (flags >> 5) % 3;
  setup.maxRead = header[3];
  setup.readSeed = header[3] * 2654435761u + header[1];
  setup.oldContent = (header[4] & 1) != 0;
  setup.writesFail = (header[4] & 2) != 0;
  setup.sweep = (header[4] & 4) != 0;
  for (uint8_t b : {'x', 'y', 'z'}) {
    if (b != s.beginMarker && b != s.endMarker) {
      setup.filler = b;
      break;
    }
  }
  // Padding only at level 0 (else filter() takes it byte by byte, echoing
  // it all) and inside a segment (else it would not be written). The room
  // it leaves varies across the filter's own margins.
  if ((flags & 128) != 0 && s.logLevel == 0) {
    setup.startInSegment = true;
    setup.padding = CaptureFile::kBufferSize - 320 + 10 * (header[4] >> 3);
  }
  return setup;
}

// The line's bytes: the rest of the input, or with a sweep, 64 copies of it,
// the j-th behind j bytes of filler.
std::vector<uint8_t> lineBytes(const Setup& setup, const uint8_t* data, size_t size) {
  constexpr size_t kSweptMax = 48;
  if (!setup.sweep || size > kSweptMax) return std::vector<uint8_t>(data, data + size);
  std::vector<uint8_t> line;
  for (size_t j = 0; j < 64; ++j) {
    line.insert(line.end(), j, setup.filler);
    line.insert(line.end(), data, data + size);
  }
  return line;
}

std::vector<size_t> readLengths(const Setup& setup, size_t total) {
  std::vector<size_t> lengths;
  if (setup.maxRead == 0) {
    lengths.push_back(total);
    return lengths;
  }
  uint32_t x = setup.readSeed | 1;
  size_t done = 0;
  while (done < total) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    // Empty reads included: the worker may be handed one.
    size_t n = std::min<size_t>(x % (setup.maxRead + 1u), total - done);
    lengths.push_back(n);
    done += n;
  }
  return lengths;
}

struct Result {
  std::string file;  // what the run added to the file
  std::string console;
  int fileError = 0;
  FilterVerdict verdict = FilterVerdict::kContinue;
  FilterState state;
  // The file's stored length after each Ctrl-Y (reference model only).
  std::vector<size_t> flushedSizes;
};

void append(std::string& text, const char* format, uint8_t b, long long n = 0) {
  char line[64];
  int length = std::snprintf(line, sizeof line, format, b, n);
  text.append(line, static_cast<size_t>(length));
}

// The one-byte rule, written out plainly. The end phrase is recognised when
// the accepted bytes so far end with it; matchPos is the longest tail of
// them that starts the phrase.
Result referenceModel(const Setup& setup, const std::vector<uint8_t>& input) {
  const FilterSettings& s = setup.settings;
  Result r;
  r.state.inSegment = setup.startInSegment;
  // The last accepted bytes, newest last.
  char tail[kPhraseLength] = {};
  size_t acceptedCount = 0;
  // The padding: a run of accepted text inside a segment, no end phrase.
  if (setup.padding > 0) {
    r.file.assign(setup.padding, static_cast<char>(setup.filler));
    r.state.totalByteInFile = r.state.segmentCount = static_cast<int64_t>(setup.padding);
    std::memset(tail, setup.filler, sizeof tail);
    acceptedCount = setup.padding;
  }
  auto store = [&](uint8_t b) {
    if (b == '\n') r.file += '\r';
    r.file += static_cast<char>(b);
    ++r.state.totalByteInFile;
  };
  for (uint8_t b : input) {
    const bool printable = b >= 0x20 && b <= 0x7E;
    if (s.logLevel >= 1) {
      if (printable) {
        r.console += static_cast<char>(b);
      } else if (b == '\n') {
        r.console += '.';
      } else {
        append(r.console, "<%02x>", b);
      }
    }
    if (b == kCtrlZ) {
      if (s.logLevel >= 1) r.console += "\n>>> close\n";
      r.verdict = FilterVerdict::kEnd;
      return r;
    }
    if (b == kCtrlY) {
      if (s.logLevel >= 1) r.console += "\n>>> flush\n";
      r.flushedSizes.push_back(r.file.size());
      continue;
    }
    if (r.state.inSegment) {
      if (b != 0 && b == s.endMarker) {
        if (s.logLevel >= 1) {
          append(r.console, "\n>>>End marker %c %lld chars\n", b,
                 static_cast<long long>(r.state.segmentCount));
        }
        r.state.inSegment = false;
      } else if (printable || b == '\n' || s.filterOff) {
        store(b);
        ++r.state.segmentCount;
        // Plain loops, not memcmp: libFuzzer's memcmp hook would cost more
        // than the whole rest of a run.
        for (size_t i = 0; i + 1 < kPhraseLength; ++i) tail[i] = tail[i + 1];
        tail[kPhraseLength - 1] = static_cast<char>(b);
        ++acceptedCount;
        int match = 0;
        for (size_t k = std::min(kPhraseLength, acceptedCount); k > 0 && match == 0; --k) {
          bool same = true;
          for (size_t i = 0; i < k && same; ++i) same = tail[kPhraseLength - k + i] == kPhrase[i];
          if (same) match = static_cast<int>(k);
        }
        r.state.matchPos = match;
        if (match == static_cast<int>(kPhraseLength)) {
          store('\n');
          r.console += "\n>>> kwo end\n";
          r.verdict = FilterVerdict::kEnd;
          return r;
        }
      } else if (s.logLevel == 0) {
        r.console += '!';
      }
    } else if (b != 0 && b == s.beginMarker) {
      if (s.logLevel >= 1) append(r.console, "\n>>>begin marker %c\n", b);
      r.state.inSegment = true;
      r.state.segmentCount = 0;
    } else if (s.showRejected && s.logLevel == 0) {
      r.console += static_cast<char>(b);
    }
  }
  return r;
}

// Runs the filter as the worker does, read after read until an end; with
// `perByte`, through filterByte() alone, checking after each Ctrl-Y that the
// file on disk holds everything written so far.
Result runFilter(const Setup& setup, const std::vector<uint8_t>& input,
                 const std::vector<size_t>& reads, const std::string& scratchPath, bool perByte,
                 const Result& model) {
  const std::string path = setup.writesFail ? "/dev/full" : scratchPath;
  if (!setup.writesFail) resetFile(path, setup.oldContent);
  const size_t oldSize = setup.oldContent && !setup.writesFail ? sizeof kOldContent - 1 : 0;
  Result r;
  r.state.inSegment = setup.startInSegment;
  Console console;
  {
    CaptureFile file(console.stream());
    check(file.open(path.c_str()) == 0, "capture file opens");
    ByteFilter filter(setup.settings, r.state, file, console.stream());
    // The padding goes through filter() in both runs: byte by byte it would
    // cost more than all the rest, and it is plain text.
    const std::vector<uint8_t> padding(setup.padding, setup.filler);
    check(filter.filter(padding.data(), padding.size()) == FilterVerdict::kContinue,
          "padding never ends the capture");
    size_t offset = 0;
    size_t flushes = 0;
    for (size_t length : reads) {
      const uint8_t* read = input.data() + offset;
      offset += length;
      if (!perByte) {
        r.verdict = filter.filter(read, length);
      } else {
        for (size_t i = 0; i < length && r.verdict == FilterVerdict::kContinue; ++i) {
          r.verdict = filter.filterByte(read[i]);
          if (read[i] == kCtrlY && !setup.writesFail) {
            check(flushes < model.flushedSizes.size(), "a flush the model also made");
            check(static_cast<size_t>(fileSize(path)) == oldSize + model.flushedSizes[flushes++],
                  "Ctrl-Y puts everything written so far in the file");
          }
        }
      }
      if (r.verdict == FilterVerdict::kEnd) break;
    }
    file.close();
    r.fileError = file.error();
  }
  r.console = console.text();
  if (setup.writesFail) return r;
  std::string content = readFile(path);
  check(content.compare(0, oldSize, kOldContent, oldSize) == 0, "earlier content kept");
  r.file = content.substr(oldSize);
  return r;
}

// Whether `console` is `model` with `message` inserted once, anywhere. The
// line's own bytes may hold the message's text (echoed with "-md"), so it is
// looked for only where the rest lines up.
bool isWithInserted(const std::string& console, const std::string& model,
                    const std::string& message) {
  if (console.size() != model.size() + message.size()) return false;
  size_t prefix = 0;
  while (prefix < model.size() && console[prefix] == model[prefix]) ++prefix;
  size_t suffix = 0;
  while (suffix < model.size() &&
         console[console.size() - 1 - suffix] == model[model.size() - 1 - suffix]) {
    ++suffix;
  }
  // Inserted at q: the first q bytes and the last size - q bytes agree.
  for (size_t q = model.size() - suffix; q <= prefix; ++q) {
    if (console.compare(q, message.size(), message) == 0) return true;
  }
  return false;
}

// With every write failing: the file's error is reported once, as soon as
// something was to be written, and capturing went on as if nothing had
// happened.
void checkWriteFailure(Result& r, const Result& model, const char* which) {
  const std::string message = "\n>>>write error on file /dev/full : 28\n";
  const bool wrote = model.state.totalByteInFile > 0;
  if (r.fileError != (wrote ? ENOSPC : 0)) {
    std::fprintf(stderr, "%s: ", which);
    check(false, "write error remembered");
  }
  if (wrote ? !isWithInserted(r.console, model.console, message) : r.console != model.console) {
    std::fprintf(stderr, "%s: ", which);
    check(false, "console as the reference's, with one write error message if anything written");
  }
  // The rest is compared with the reference as usual; what it wrote is
  // what would be in the file.
  r.console = model.console;
  r.file = model.file;
}

void checkSame(const Result& got, const Result& want, const char* which) {
  auto same = [which](bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "%s: ", which);
    check(false, what);
  };
  same(got.file == want.file, "capture file");
  same(got.console == want.console, "console");
  same(got.verdict == want.verdict, "verdict");
  same(got.state.inSegment == want.state.inSegment, "inSegment");
  same(got.state.matchPos == want.state.matchPos, "matchPos");
  same(got.state.segmentCount == want.state.segmentCount, "segmentCount");
  same(got.state.totalByteInFile == want.state.totalByteInFile, "totalByteInFile");
}

// Properties read off the file alone, without the model.
void checkFile(const Result& r, const FilterSettings& s) {
  // Every line feed was stored as CR LF, so the counter is the file's size
  // less one byte per line feed.
  size_t lineFeeds = 0;
  for (size_t i = 0; i < r.file.size(); ++i) {
    if (r.file[i] != '\n') continue;
    ++lineFeeds;
    check(i > 0 && r.file[i - 1] == '\r', "line feed stored as CR LF");
  }
  check(r.state.totalByteInFile == static_cast<int64_t>(r.file.size() - lineFeeds),
        "totalByteInFile is the file less the added CRs");
  for (size_t i = 0; i < r.file.size(); ++i) {
    const uint8_t b = static_cast<uint8_t>(r.file[i]);
    check(b != kCtrlY && b != kCtrlZ, "control bytes never written");
    if (s.filterOff) continue;
    // Without "-filteroff" the only carriage returns are the added ones.
    const bool addedCr = b == '\r' && i + 1 < r.file.size() && r.file[i + 1] == '\n';
    check((b >= 0x20 && b <= 0x7E) || b == '\n' || addedCr, "filter keeps text only");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeaderSize) return 0;
  Setup setup = decodeSetup(data);
  const std::vector<uint8_t> input = lineBytes(setup, data + kHeaderSize, size - kHeaderSize);
  const std::vector<size_t> reads = readLengths(setup, input.size());

  const Result model = referenceModel(setup, input);
  Result block = runFilter(setup, input, reads, scratch().block, false, model);
  Result single = runFilter(setup, input, reads, scratch().single, true, model);
  scratch().remove();

  if (setup.writesFail) {
    // Where the write error message falls among the "!" marks depends on
    // when the buffer drains, which differs between the two paths: each is
    // checked against the reference instead.
    checkWriteFailure(block, model, "filter()");
    checkWriteFailure(single, model, "filterByte()");
  } else {
    check(block.fileError == 0 && single.fileError == 0, "no write error");
  }
  checkSame(block, single, "filter() against filterByte()");
  checkSame(single, model, "filterByte() against the reference");
  checkSame(block, model, "filter() against the reference");
  checkFile(block, setup.settings);
  return 0;
}
