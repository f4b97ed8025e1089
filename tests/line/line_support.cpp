#include "tests/line/line_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/file.h"
#include "tests/support/child_process.h"

namespace {

std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string SourceFile(const std::string& relative) {
  return std::string(QXLINE_SOURCE_DIR) + "/" + relative;
}

ProgramRun RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env,
                      int timeoutMs) {
  TempDir scratch;
  std::string command;
  for (const std::string& e : env) {
    size_t equals = e.find('=');
    command += e.substr(0, equals + 1) + Quoted(e.substr(equals + 1)) + " ";
  }
  for (size_t i = 0; i < args.size(); ++i) {
    std::string word = args[i];
    if (i == 0 && word.find('/') == std::string::npos) word = BuiltProgramDir() + "/" + word;
    command += Quoted(word) + " ";
  }
  std::string errFile = scratch.File("err");
  command += "2>" + Quoted(errFile);
  ChildProcess child({"/bin/bash", "-c", command}, {}, true, false, true);
  ProgramRun run;
  run.out = child.ReadAll(timeoutMs);
  run.status = child.Wait(timeoutMs);
  run.err = ReadFile(errFile);
  return run;
}

PostgresCluster::PostgresCluster() { Start(); }

PostgresCluster::~PostgresCluster() {
  RunProgram({"/bin/bash", SourceFile("tests/line/pg_cluster.sh"), "remove", dir_.path()});
}

bool PostgresCluster::Start() {
  ProgramRun r =
      RunProgram({"/bin/bash", SourceFile("tests/line/pg_cluster.sh"), "start", dir_.path()});
  if (r.status == 77) {
    skip_ = "PostgreSQL's server is not installed (Debian package postgresql): " + r.err;
    return false;
  }
  if (r.status != 0) {
    ADD_FAILURE() << "the test's PostgreSQL server did not start: " << r.err;
    return false;
  }
  url_ = r.out.substr(0, r.out.find('\n'));
  return true;
}

bool PostgresCluster::Stop() {
  return RunProgram({"/bin/bash", SourceFile("tests/line/pg_cluster.sh"), "stop", dir_.path()})
             .status == 0;
}

std::vector<std::string> Databases(const TempDir& dir, const PostgresCluster& pg) {
  std::vector<std::string> out = {dir.File("line.sqlite")};
  if (!pg.url().empty()) out.push_back(pg.url());
  return out;
}

void WriteRecords(const std::string& dir, const std::vector<line::RunSpec>& runs) {
  for (const line::RunSpec& run : runs) {
    std::string json = line::RecordJson(run);
    std::string path = dir + "/" + line::RecordFileName(run);
    ASSERT_EQ(0,
              platform::WriteFileAtomically(path.c_str(), json.data(), json.size(), nullptr, false))
        << path;
  }
}
