#include "tests/support/command_line.h"

std::string ParseWords(const cli::OptionTable& table, std::vector<std::string> words) {
  words.insert(words.begin(), "prog");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  std::string problem;
  int status = table.Parse("prog", static_cast<int>(argv.size()), argv.data(), "", &problem);
  if (status >= 0 && problem.empty()) problem = "stopped with status " + std::to_string(status);
  return problem;
}
