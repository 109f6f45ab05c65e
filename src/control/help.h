// The --help and --version texts of the long options.
#pragma once

#include <cstdio>

#include "control/command_line.h"

// The banner's first line: "<program> version <number>".
void printVersion(std::FILE* out, const char* program);

// Every option, the single-dash ones and the long ones, one line each, under
// the heading of its group.
void printHelp(std::FILE* out, const char* program);

// The heading --help shows above a group's options ("Line settings:").
const char* groupHeading(OptionGroup group);
