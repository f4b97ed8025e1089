// qxts: the bench's test server on its own, for stations and scripts that
// need no virtual device. Serves until interrupted.
#include <poll.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sim/test_server.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: qxts [options]\n"
               "\n"
               "Serves the production test protocol: identification, serial numbers,\n"
               "MAC addresses and result messages. Port 0 picks a free port; the\n"
               "endpoint served is printed on start-up.\n"
               "\n%s  --help                    this text\n",
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
  for (int i = 1; i < argc;) {
    if (std::strcmp(argv[i], "--help") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    std::string error;
    int used = qxsim::ParseTestServerOption(argc, argv, i, &options, &error);
    if (used <= 0) {
      std::fprintf(stderr, "qxts: %s\n\n",
                   used < 0 ? error.c_str() : (std::string("unknown option ") + argv[i]).c_str());
      PrintUsage(stderr);
      return 2;
    }
    i += used;
  }

  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = OnSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  qxsim::TestServer server(options);
  std::string error;
  if (!server.Start(&error)) {
    std::fprintf(stderr, "qxts: %s\n", error.c_str());
    return 1;
  }
  std::printf("test server: %s\n", server.endpoint().c_str());
  std::fflush(stdout);
  // Woken by the signal, or every fifth of a second to look at the flag.
  while (g_stop == 0) ::poll(nullptr, 0, 200);
  server.Stop();
  return 0;
}
