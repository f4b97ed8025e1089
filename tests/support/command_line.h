// A command line given to an option table as a test writes it: the words
// after the program's name.
#pragma once

#include <string>
#include <vector>

#include "base/cli.h"

// "" when table took every word, else the usage problem it names.
std::string ParseWords(const cli::OptionTable& table, std::vector<std::string> words);
