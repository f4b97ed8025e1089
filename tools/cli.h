// The command-line conventions every program of the suite shares: --help to
// standard output with exit 0, --version, "--opt value" beside "--opt=value",
// and a bad argument named in one line on standard error with a pointer to
// --help, exit 2.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The suite's version: the number the station's report shows.
extern const char* const kVersion;

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
};

// "--opt=value" split into "--opt" "value" for parsers written for the
// two-word form; other arguments are kept as they are (argv[0] too).
std::vector<std::string> SplitValues(int argc, char** argv);

// Whole number in decimal or 0x hexadecimal (a leading zero is decimal), no
// sign, at most max.
bool ParseUnsigned(const char* text, uint64_t max, uint64_t* value);
// A finite number in the C notation (a point, never a comma).
bool ParseReal(const char* text, double* value);

// A record folder given on the command line, tried before anything is done:
// made when missing and checked to take files. False after one line on
// standard error: "PROGRAM: OPTION DIR: " and the problem with the system's
// reason.
bool RecordFolderUsable(const char* program, const char* option, const char* dir);
// Why a file operation failed, for a person: the system's own words when it
// gave any.
std::string FileReason(int status, int osError);

}  // namespace cli
