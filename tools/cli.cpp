#include "tools/cli.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>

#include "platform/console.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/number.h"
#include "platform/status.h"

namespace cli {

const char* const kVersion = "0.12";

Arguments::Arguments(const char* program, int argc, char** argv) : program_(program) {
  // Every program starts here, before its first output.
  platform::UseExactStandardOutput();
  for (int i = 1; i < argc; ++i) {
    Word word;
    word.text = argv[i] != nullptr ? argv[i] : "";
    word.name = word.text;
    // Only long options carry "=value"; a positional may hold '=' freely.
    size_t equals = word.text.find('=');
    if (word.text.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      word.name = word.text.substr(0, equals);
      word.value = word.text.substr(equals + 1);
      word.hasValue = true;
    }
    words_.push_back(word);
  }
}

const Arguments::Word& Arguments::Current() const {
  static const Word kNone;
  return current_ > 0 && current_ <= words_.size() ? words_[current_ - 1] : kNone;
}

bool Arguments::Next() {
  if (failed_ || next_ >= words_.size()) return false;
  current_ = ++next_;
  return true;
}

bool Arguments::HelpOrVersion(const char* usage) {
  const std::string& name = Current().name;
  if (name == "--help" || name == "-h") {
    if (!Flag(name.c_str())) return false;
    std::fputs(usage, stdout);
    return true;
  }
  if (name == "--version") {
    if (!Flag("--version")) return false;
    std::printf("%s (QXTest) %s\n", program_.c_str(), kVersion);
    return true;
  }
  return false;
}

bool Arguments::Flag(const char* name) {
  const Word& word = Current();
  if (failed_ || word.name != name) return false;
  if (word.hasValue) {
    Error(word.name + " takes no value");
    return false;
  }
  return true;
}

bool Arguments::Option(const char* name, const char** value) {
  const Word& word = Current();
  if (failed_ || word.name != name) return false;
  if (word.hasValue) {
    value_ = word.value.c_str();
  } else if (next_ < words_.size()) {
    value_ = words_[next_++].text.c_str();
  } else {
    Error(word.name + " needs a value");
    return false;
  }
  *value = value_;
  return true;
}

bool Arguments::Positional(const char** value) {
  const Word& word = Current();
  const std::string& text = word.text;
  // "-1.5" is a value (a negative number), "-x" an option.
  bool option = text.size() > 1 && text[0] == '-' &&
                !(std::isdigit(static_cast<unsigned char>(text[1])) || text[1] == '.');
  if (failed_ || word.hasValue || option) return false;
  *value = text.c_str();
  return true;
}

int Arguments::Unknown() {
  if (failed_) return kExitUsage;
  const std::string& text = Current().text;
  if (text.size() > 1 && text[0] == '-') return Error("unknown option " + Current().name);
  return Error("unexpected argument '" + text + "'");
}

int Arguments::BadValue(const char* expected) {
  return Error(Current().name + ": '" + value_ + "' is not " + expected);
}

int Arguments::Error(const std::string& message) {
  if (!failed_) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", program_.c_str(), message.c_str(),
                 program_.c_str());
  }
  failed_ = true;
  return kExitUsage;
}

std::vector<std::string> SplitValues(int argc, char** argv) {
  std::vector<std::string> out;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i] != nullptr ? argv[i] : "";
    size_t equals = arg.find('=');
    if (i > 0 && arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      out.push_back(arg.substr(0, equals));
      out.push_back(arg.substr(equals + 1));
    } else {
      out.push_back(arg);
    }
  }
  return out;
}

bool ParseUnsigned(const char* text, uint64_t max, uint64_t* value) {
  return platform::ParseWholeNumber(text, max, value);
}

bool ParseReal(const char* text, double* value) {
  if (text == nullptr || *text == '\0' || std::isspace(static_cast<unsigned char>(*text))) {
    return false;
  }
  // The classic locale: a point is the decimal sign whatever the machine's locale.
  std::istringstream in(text);
  in.imbue(std::locale::classic());
  double v = 0;
  in >> v;
  if (in.fail() || !in.eof() || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

std::string FileReason(int status, int osError) {
  char text[256];
  if (osError != 0) return platform::OsErrorText(osError, text, sizeof text);
  return platform::StatusText(status);
}

bool RecordFolderUsable(const char* program, const char* option, const char* dir) {
  int osError = 0;
  int status = platform::MakeDirectory(dir, &osError);
  if (status == platform::kNotRegular) {
    std::fprintf(stderr, "%s: %s %s: is there, but not a folder\n", program, option, dir);
    return false;
  }
  if (status != platform::kOk) {
    std::fprintf(stderr, "%s: %s %s: cannot make the folder: %s\n", program, option, dir,
                 FileReason(status, osError).c_str());
    return false;
  }
  status = platform::CheckFolderTakesFiles(dir, &osError);
  if (status != platform::kOk) {
    std::fprintf(stderr, "%s: %s %s: cannot write into the folder: %s\n", program, option, dir,
                 FileReason(status, osError).c_str());
    return false;
  }
  return true;
}

}  // namespace cli
