// Helpers of the line tool's tests: the built programs run to their end, a
// PostgreSQL server of the test's own, records written into a folder.
#pragma once

#include <string>
#include <vector>

#include "line/record_builder.h"
#include "tests/support/temp_dir.h"

struct ProgramRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a program of build/bin (by name) or a path, with environment
// settings ("NAME=value") added, to its end.
ProgramRun RunProgram(const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}, int timeoutMs = 120000);

// A file of the source tree.
std::string SourceFile(const std::string& relative);

// A PostgreSQL cluster on a free loopback port for one test, removed with it.
// url() is empty when the server binaries are not installed (skip()).
class PostgresCluster {
 public:
  PostgresCluster();
  ~PostgresCluster();
  bool Start();
  bool Stop();
  const std::string& url() const { return url_; }
  const std::string& skip() const { return skip_; }

 private:
  TempDir dir_;
  std::string url_;
  std::string skip_;
};

// The databases a test runs on: an SQLite file in dir, and the cluster's
// URL when there is one.
std::vector<std::string> Databases(const TempDir& dir, const PostgresCluster& pg);

// Writes each run's record into dir (atomically, as the stations do).
void WriteRecords(const std::string& dir, const std::vector<line::RunSpec>& runs);
