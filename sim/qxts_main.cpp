// qxts: the bench's test server on its own, for stations and scripts that
// need no virtual device. Serves until interrupted.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/cli.h"
#include "base/version.h"
#include "platform/signals.h"
#include "sim/qxts_server.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: qxts [options]\n"
               "\n"
               "Serves the production test protocol: identification, serial numbers,\n"
               "MAC addresses and result messages. Port 0 picks a free port; the\n"
               "endpoint served is printed on start-up.\n"
               "\n%s  --help, --version         this text, the version\n"
               "\nOptions take their value as --opt VALUE or --opt=VALUE.\n",
               qxsim::TestServerUsage());
}

}  // namespace

int main(int argc, char** argv) {
  qxsim::TestServerOptions options;
  std::string settingError;
  if (!qxsim::DefaultTestServerOptions(&options, &settingError)) {
    std::fprintf(stderr, "qxts: %s\n", settingError.c_str());
    return 2;
  }
  // The shared option parser reads the two-word form only.
  std::vector<std::string> words = cli::SplitValues(argc, argv);
  std::vector<char*> split;
  for (std::string& w : words) split.push_back(&w[0]);
  split.push_back(nullptr);
  int count = static_cast<int>(words.size());
  for (int i = 1; i < count;) {
    const char* arg = split[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintUsage(stdout);
      return cli::kExitOk;
    }
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("qxts (QXTest) %s\n", StationVersionText());
      return cli::kExitOk;
    }
    std::string error;
    int used = qxsim::ParseTestServerOption(count, split.data(), i, &options, &error);
    if (used <= 0) {
      std::fprintf(stderr, "qxts: %s (see qxts --help)\n",
                   used < 0 ? error.c_str() : (std::string("unknown option ") + arg).c_str());
      return cli::kExitUsage;
    }
    i += used;
  }

  platform::BlockStopSignals();
  qxsim::TestServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "qxts: %s\n", error.c_str());
    return 1;
  }
  std::printf("test server: %s\n", server.endpoint().c_str());
  std::fflush(stdout);
  platform::WaitForStopSignal();
  server.Stop();
  return 0;
}
