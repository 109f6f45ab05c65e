// The --help and --version texts of the long options.
#pragma once

#include <cstdio>

// The banner's first line: "<program> version <number>".
void printVersion(std::FILE* out, const char* program);

// Every option, the described ones and the long ones, one line each.
void printHelp(std::FILE* out, const char* program);
