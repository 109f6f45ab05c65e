// Bytes written by value in a test, 0 to 255, as a string: bytes({'a', 255, 0}).
#pragma once

#include <initializer_list>
#include <string>

inline std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}
