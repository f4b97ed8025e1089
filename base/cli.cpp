#include "base/cli.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>
#include <utility>

#include "base/version.h"
#include "platform/console.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/number.h"
#include "platform/status.h"

namespace cli {

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
    std::printf("%s (QXTest) %s\n", program_.c_str(), StationVersionText());
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

bool Arguments::Attached(const char* name, const char** value) {
  const Word& word = Current();
  if (failed_ || word.name != name) return false;
  *value = word.hasValue ? word.value.c_str() : "";
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
  if (!failed_ && errors_ != nullptr) *errors_ = message;
  if (!failed_ && errors_ == nullptr) UsageError(program_.c_str(), message);
  failed_ = true;
  return kExitUsage;
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

const char* CommandWord(int argc, char** argv) {
  if (argc < 2 || argv[1] == nullptr || argv[1][0] == '-' || argv[1][0] == '\0') return nullptr;
  return argv[1];
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

int UsageError(const char* program, const std::string& message) {
  std::fprintf(stderr, "%s: %s (see %s --help)\n", program, message.c_str(), program);
  return kExitUsage;
}

bool Value::Refuse(const Refusal& refusal) {
  switch (refusal.kind) {
    case Refusal::kIsNot:
      return Refuse(option_ + ": '" + text_ + "' is not " + refusal.text);
    case Refusal::kSays:
      return Refuse(refusal.text + text_);
    case Refusal::kExactly:
      break;
  }
  return Refuse(std::string(refusal.text));
}

bool Value::Refuse(const std::string& message) {
  problem_ = message;
  return false;
}

Handler Whole(uint64_t low, uint64_t high, Refusal refusal, std::function<void(uint64_t)> take) {
  return [=](Value& value) {
    uint64_t n = 0;
    if (!ParseUnsigned(value.text(), high, &n) || n < low) return value.Refuse(refusal);
    take(n);
    return true;
  };
}

Handler Signed(int64_t low, int64_t high, Refusal refusal, std::function<void(int64_t)> take) {
  return [=](Value& value) {
    int64_t n = 0;
    if (!platform::ParseSignedNumber(value.text(), low, high, &n)) return value.Refuse(refusal);
    take(n);
    return true;
  };
}

Handler Real(double low, double high, Refusal refusal, std::function<void(double)> take) {
  return [=](Value& value) {
    double v = 0;
    if (!ParseReal(value.text(), &v) || v < low || v > high) return value.Refuse(refusal);
    take(v);
    return true;
  };
}

Handler Text(std::string* target, Refusal refusal, bool emptyAllowed) {
  return [=](Value& value) {
    if (value.string().empty() && !emptyAllowed) return value.Refuse(refusal);
    *target = value.string();
    return true;
  };
}

Handler Text(std::string* target) { return Text(target, Exactly(""), true); }

void AppendWrapped(std::string* text, const std::string& words, size_t used, size_t width) {
  size_t at = 0;
  bool first = true;
  while (at < words.size()) {
    size_t end = words.find(' ', at);
    if (end == std::string::npos) end = words.size();
    size_t length = end - at;
    if (!first && used + 1 + length > width) {
      *text += '\n';
      used = 0;
    } else if (!first) {
      *text += ' ';
      ++used;
    }
    text->append(words, at, length);
    used += length;
    first = false;
    at = end + 1;
  }
}

void AppendHelpLine(std::string* text, const std::string& label, const std::string& help,
                    size_t column) {
  const std::string indent(column, ' ');
  *text += "  " + label;
  if (2 + label.size() + 2 > column) {
    *text += '\n' + indent;
  } else {
    text->append(column - 2 - label.size(), ' ');
  }
  for (char c : help) {
    *text += c;
    if (c == '\n') *text += indent;
  }
  *text += '\n';
}

OptionTable& OptionTable::Flag(const std::string& label, const std::string& help, Handler take) {
  return Add(Kind::kFlag, label, help, std::move(take));
}

OptionTable& OptionTable::Option(const std::string& label, const std::string& help, Handler take) {
  return Add(Kind::kValue, label, help, std::move(take));
}

OptionTable& OptionTable::Attached(const std::string& label, const std::string& help,
                                   Handler take) {
  return Add(Kind::kAttached, label, help, std::move(take));
}

OptionTable& OptionTable::Positionals(Handler take) {
  positionals_ = std::move(take);
  return *this;
}

OptionTable& OptionTable::Add(Kind kind, const std::string& label, const std::string& help,
                              Handler take) {
  Entry entry{kind, {}, label, help, std::move(take)};
  // The label's names: its words up to the value's placeholder, without the
  // comma between two names or an attached value's "[=...]".
  size_t at = 0;
  while (at < label.size() && label[at] == '-') {
    size_t end = label.find(' ', at);
    if (end == std::string::npos) end = label.size();
    std::string name = label.substr(at, end - at);
    if (!name.empty() && name.back() == ',') name.pop_back();
    name = name.substr(0, name.find('['));
    entry.names.push_back(name);
    at = end + 1;
  }
  entries_.push_back(std::move(entry));
  return *this;
}

const OptionTable::Entry* OptionTable::Find(const std::string& name) const {
  for (const Entry& entry : entries_) {
    for (const std::string& n : entry.names) {
      if (n == name) return &entry;
    }
  }
  return nullptr;
}

std::string OptionTable::Help() const {
  std::string text;
  for (const Entry& entry : entries_) AppendHelpLine(&text, entry.label, entry.help, column_);
  AppendHelpLine(&text, "--help, --version", "this text, the version", column_);
  return text;
}

bool OptionTable::Take(Arguments& args, const Entry& entry) const {
  const char* given = nullptr;
  const char* name = args.current();
  bool named = entry.kind == Kind::kFlag       ? args.Flag(name)
               : entry.kind == Kind::kAttached ? args.Attached(name, &given)
                                               : args.Option(name, &given);
  if (!named) return false;  // a flag's value or an option's missing one, named already
  Value value(name, given != nullptr ? given : "");
  if (entry.take(value)) return true;
  args.Error(value.problem());
  return false;
}

int OptionTable::Parse(const char* program, int argc, char** argv, const std::string& usage,
                       std::string* error) const {
  Arguments args(program, argc, argv);
  args.KeepErrorsIn(error);
  while (args.Next()) {
    if (args.HelpOrVersion(usage.c_str())) return kExitOk;
    const Entry* entry = Find(args.current());
    const char* word = nullptr;
    if (entry != nullptr) {
      if (!Take(args, *entry)) return kExitUsage;
    } else if (positionals_ && args.Positional(&word)) {
      Value value("", word);
      if (!positionals_(value)) return args.Error(value.problem());
    } else {
      return args.Unknown();
    }
  }
  return args.failed() ? kExitUsage : -1;
}

}  // namespace cli
