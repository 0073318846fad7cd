// Readable names for parameterised tests: the case's index and its
// command-line arguments, letters and digits only ("c03_p_65536").
#pragma once
#include <string>
#include <vector>

std::string case_name(size_t index, const std::vector<std::string>& args);
