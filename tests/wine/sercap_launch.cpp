// sercap-launch.exe STATUS-FILE PROGRAM [ARGUMENTS...]
//
// Runs PROGRAM with ARGUMENTS, standard handles shared, waits for it and
// writes its exit status, all 32 bits, in decimal to STATUS-FILE. Wine hands
// only the low 8 bits of a status on to Linux, so the whole-program tests
// start sercap.exe through this. The launcher changes nothing the child
// inherits: a launcher that ignored Ctrl-C would make its child ignore it too.
// Unless SERCAP_LAUNCH_GROUP is "new": the child then starts in a process
// group of its own, with Ctrl-C disabled, as a rack may start it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// One argument quoted so that the child's command-line parsing gives it back
// unchanged.
std::wstring quoted(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  out += L'"';
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fputs("usage: sercap-launch STATUS-FILE PROGRAM [ARGUMENTS...]\n", stderr);
    return 2;
  }
  std::wstring commandLine;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) commandLine += L' ';
    commandLine += quoted(argv[i]);
  }
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof startup);
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE h : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) {
      SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
  }
  const wchar_t* group = _wgetenv(L"SERCAP_LAUNCH_GROUP");
  const bool newGroup = group != nullptr && std::wstring(group) == L"new";
  const DWORD flags = newGroup ? CREATE_NEW_PROCESS_GROUP : 0;
  PROCESS_INFORMATION child;
  if (!CreateProcessW(argv[2], commandLine.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                      &startup, &child)) {
    std::fprintf(stderr, "sercap-launch: cannot start the program: %lu\n", GetLastError());
    return 2;
  }
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD status = 0;
  GetExitCodeProcess(child.hProcess, &status);
  FILE* out = _wfopen(argv[1], L"w");
  if (out == nullptr) return 2;
  std::fprintf(out, "%ld\n", static_cast<long>(static_cast<int32_t>(status)));
  return std::fclose(out) == 0 ? 0 : 2;
}
