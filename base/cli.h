// The command-line grammar every program of the suite shares: --help to
// standard output with exit 0, --version, "--opt value" beside "--opt=value",
// and a bad argument named in one line on standard error with a pointer to
// --help, exit 2. A program declares its options once, in an OptionTable,
// which parses the arguments and writes the options' lines of --help.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Walks a program's arguments one at a time. Usage errors are printed at once,
// in one line; after the first one Next() returns false. Constructing it also
// sets the standard output and error to pass bytes exactly, so that a
// program writes the same bytes on every system.
class Arguments {
 public:
  Arguments(const char* program, int argc, char** argv);

  // Moves to the next argument; false at the end or after a usage error.
  bool Next();
  // The current argument is --help/-h (prints usage to standard output) or
  // --version (prints the version). The caller then ends with kExitOk.
  bool HelpOrVersion(const char* usage);
  // The current argument is the flag name; "name=..." is a usage error.
  bool Flag(const char* name);
  // The current argument is the option name with its value, given as
  // "name VALUE" or "name=VALUE". A missing value is a usage error (then false).
  bool Option(const char* name, const char** value);
  // The current argument is name, its value given only after '=' ("" when
  // none): the next word is never taken for it.
  bool Attached(const char* name, const char** value);
  // The current argument is not an option ("-" alone counts as a value).
  bool Positional(const char** value);

  // Reports the current argument as unknown, unless a usage error has been
  // reported already (so one line is printed, never two). Returns kExitUsage.
  int Unknown();
  // "PROGRAM: OPTION: 'VALUE' is not EXPECTED"; returns kExitUsage.
  int BadValue(const char* expected);
  // Any other usage problem, in one line; returns kExitUsage. Values that
  // Option and Positional gave stay valid as long as the Arguments.
  int Error(const std::string& message);

  bool failed() const { return failed_; }
  // Usage errors go into *sink (its first one) instead of standard error.
  void KeepErrorsIn(std::string* sink) { errors_ = sink; }
  // The current argument's name ("--x" of "--x=y").
  const char* current() const { return Current().name.c_str(); }

 private:
  // One argument as typed; "--x=y" also as its name and value parts.
  struct Word {
    std::string text;
    std::string name;
    std::string value;
    bool hasValue = false;
  };
  const Word& Current() const;

  std::string program_;
  std::vector<Word> words_;  // never resized after construction: values stay put
  size_t next_ = 0;          // index of the word after the current one (and its value)
  size_t current_ = 0;       // the current word's index + 1: an option, never its value
  const char* value_ = "";   // the value last taken by Option
  bool failed_ = false;
  std::string* errors_ = nullptr;
};

// Whole number in decimal or 0x hexadecimal (a leading zero is decimal), no
// sign, at most max.
bool ParseUnsigned(const char* text, uint64_t max, uint64_t* value);
// A finite number in the C notation (a point, never a comma).
bool ParseReal(const char* text, double* value);

// A program of commands ("qxline yield ..."): the first argument when it is
// a command's name (not an option), else null.
const char* CommandWord(int argc, char** argv);

// A record folder given on the command line, tried before anything is done:
// made when missing and checked to take files. False after one line on
// standard error: "PROGRAM: OPTION DIR: " and the problem with the system's
// reason.
bool RecordFolderUsable(const char* program, const char* option, const char* dir);
// Why a file operation failed, for a person: the system's own words when it
// gave any.
std::string FileReason(int status, int osError);

// "PROGRAM: MESSAGE (see PROGRAM --help)" on standard error; returns kExitUsage.
int UsageError(const char* program, const std::string& message);

// How a refused value is named on standard error.
struct Refusal {
  enum Kind { kIsNot, kSays, kExactly };
  Kind kind;
  const char* text;
};
// "OPTION: 'VALUE' is not EXPECTED".
inline Refusal IsNot(const char* expected) { return {Refusal::kIsNot, expected}; }
// TEXT followed by the value.
inline Refusal Says(const char* text) { return {Refusal::kSays, text}; }
// TEXT alone.
inline Refusal Exactly(const char* text) { return {Refusal::kExactly, text}; }

// The value an option was given, and the ways to refuse it.
class Value {
 public:
  Value(std::string option, std::string text)
      : option_(std::move(option)), text_(std::move(text)) {}
  const char* text() const { return text_.c_str(); }
  const std::string& string() const { return text_; }
  const std::string& option() const { return option_; }
  // Refuse the value; false, so that a handler can return it.
  bool Refuse(const Refusal& refusal);
  bool Refuse(const std::string& message);
  const std::string& problem() const { return problem_; }

 private:
  std::string option_;
  std::string text_;
  std::string problem_;
};

// Takes an option's value (a flag's is ""); false once it refused it.
using Handler = std::function<bool(Value& value)>;

// Handlers for the usual values.
// A whole number (decimal, or hexadecimal after 0x) in low ... high.
Handler Whole(uint64_t low, uint64_t high, Refusal refusal, std::function<void(uint64_t)> take);
template <typename T>
Handler Whole(T* target, uint64_t high, Refusal refusal, uint64_t low = 0) {
  return Whole(low, high, refusal, [target](uint64_t n) { *target = static_cast<T>(n); });
}
// A whole number with an optional '-', in low ... high.
Handler Signed(int64_t low, int64_t high, Refusal refusal, std::function<void(int64_t)> take);
// A finite real number in the C notation, in low ... high.
Handler Real(double low, double high, Refusal refusal, std::function<void(double)> take);
template <typename T>
Handler Real(T* target, double low, double high, Refusal refusal) {
  return Real(low, high, refusal, [target](double v) { *target = static_cast<T>(v); });
}
// Any text; refused when empty unless emptyAllowed.
Handler Text(std::string* target, Refusal refusal, bool emptyAllowed = false);
Handler Text(std::string* target);  // any text, the empty one too
// A flag that sets *target to value.
template <typename T>
Handler Set(T* target, T value) {
  return [target, value](Value&) {
    *target = value;
    return true;
  };
}

// Appends words to text, whose last line has used characters, breaking
// between words so that no line holds more than width characters.
void AppendWrapped(std::string* text, const std::string& words, size_t used, size_t width);
// One line of help: "  LABEL" and the text from column on (on the next line
// when the label leaves no two blanks before it); the text's own line ends
// continue at column.
void AppendHelpLine(std::string* text, const std::string& label, const std::string& help,
                    size_t column);

class OptionTable {
 public:
  // column: where the options' help texts start.
  explicit OptionTable(size_t column) : column_(column) {}

  // An option without a value: "--name" or "-n, --name".
  OptionTable& Flag(const std::string& label, const std::string& help, Handler take);
  // An option with a value: "--name VALUE" ("-n, --name VALUE"); the value
  // follows in the next word or after '='.
  OptionTable& Option(const std::string& label, const std::string& help, Handler take);
  // An option whose value may follow after '=' only: "--name[=VALUE]"; the
  // handler gets "" when none is given.
  OptionTable& Attached(const std::string& label, const std::string& help, Handler take);
  // Words that are not options, in order (without this, each is refused).
  OptionTable& Positionals(Handler take);

  // The options' lines of help in declaration order, the line of --help
  // and --version last.
  std::string Help() const;
  // Parses the arguments. Returns -1 when the program goes on, else its
  // exit status: kExitOk after --help (usage on standard output) or
  // --version, kExitUsage after a usage error (named on standard error).
  // With error given, a usage error goes there instead of standard error.
  int Parse(const char* program, int argc, char** argv, const std::string& usage,
            std::string* error = nullptr) const;

 private:
  enum class Kind { kFlag, kValue, kAttached };
  struct Entry {
    Kind kind;
    std::vector<std::string> names;
    std::string label;
    std::string help;
    Handler take;
  };
  OptionTable& Add(Kind kind, const std::string& label, const std::string& help, Handler take);
  const Entry* Find(const std::string& name) const;
  bool Take(Arguments& args, const Entry& entry) const;

  size_t column_;
  std::vector<Entry> entries_;
  Handler positionals_;
};

}  // namespace cli
