// A built program run as a child process by end-to-end tests: its output can
// be read line by line with a deadline, and it never outlives the test.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

class ChildProcess {
 public:
  using Environment = std::vector<std::pair<std::string, std::string>>;
  // Starts args[0] with these environment variables added; with
  // captureOutput its standard output (and standard error, unless
  // errorsApart) come through a pipe, and with input the child's standard
  // input is a pipe that Send writes to, or with terminal too a
  // pseudo-terminal in its usual line mode, as an operator's keyboard.
  ChildProcess(std::vector<std::string> args, const Environment& env, bool captureOutput,
               bool input = false, bool errorsApart = false, bool terminal = false);
  // Ends a child still running: SIGTERM, then SIGKILL.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  // One line of output without its line end, waiting at most timeoutMs; false
  // when none came in time or the output ended.
  bool ReadLine(std::string* line, int timeoutMs);
  // Everything the child writes until it closes its output or timeoutMs pass.
  std::string ReadAll(int timeoutMs);
  // Output until text has appeared (true), or until the output ended or
  // timeoutMs passed (false); everything read stays in output().
  bool ReadUntil(const std::string& text, int timeoutMs);
  const std::string& output() const { return output_; }
  // Writes to the child's standard input; CloseInput ends it.
  bool Send(const std::string& text);
  void CloseInput();
  // Its exit status (128 + signal when killed), waiting at most timeoutMs;
  // -1 when it has not ended by then.
  int Wait(int timeoutMs);
  // Asks it to stop (SIGTERM), or interrupts it as Ctrl-C does (SIGINT).
  void Terminate();
  void Interrupt();
  // SIGKILL: no chance to save anything.
  void Kill();

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  int status_ = -1;
  std::string pending_;  // ReadLine's
  std::string output_;   // ReadUntil's
};

// Sends signal to the process pid: safe from any thread, while the
// ChildProcess that owns pid is still waiting for it.
void SendSignal(pid_t pid, int signal);

// The directory of the built programs (QX_BIN_DIR), or "" when unknown.
std::string BuiltProgramDir();
