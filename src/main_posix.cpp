// The entry point on POSIX systems: arguments are bytes, handed on as they are.
#include "main.h"

int main(int argc, char** argv) {
  return sercapMain(argc, argv);
}
