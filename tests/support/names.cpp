#include "support/names.h"

std::string case_name(size_t index, const std::vector<std::string>& args) {
  std::string name = (index < 10 ? "c0" : "c") + std::to_string(index);
  for (const std::string& a : args) {
    name += '_';
    for (char c : a)
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) name += c;
  }
  return name;
}
