// The entry point on Windows: the command line as the system holds it, in
// UTF-16, converted once to UTF-8 for the shared code, so that a capture file
// named in any script is that very file (the ANSI arguments would have
// replaced what the code page lacks).
#include <string>
#include <vector>

#include "capture/wide_text_win32.h"
#include "main.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(narrowed(argv[i]));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return sercapMain(argc, pointers.data());
}
