// qxts: the bench's test server on its own, for stations and scripts that
// need no virtual device. Serves until interrupted.
#include <cstdio>
#include <string>

#include "base/cli.h"
#include "platform/host/signals.h"
#include "sim/qxts_server.h"

int main(int argc, char** argv) {
  qxsim::TestServerOptions options;
  std::string error;
  if (!qxsim::DefaultTestServerOptions(&options, &error)) {
    std::fprintf(stderr, "qxts: %s\n", error.c_str());
    return cli::kExitUsage;
  }
  cli::OptionTable table(28);
  qxsim::AddTestServerOptions(&table, &options);
  const std::string usage =
      "usage: qxts [options]\n"
      "\n"
      "Serves the production test protocol: identification, serial numbers,\n"
      "MAC addresses and result messages. Port 0 picks a free port; the\n"
      "endpoint served is printed on start-up.\n"
      "\n" +
      table.Help() + "\nOptions take their value as --opt VALUE or --opt=VALUE.\n";
  int status = table.Parse("qxts", argc, argv, usage);
  if (status >= 0) return status;

  platform::BlockStopSignals();
  qxsim::TestServer server(options);
  if (!server.Start(&error)) {
    std::fprintf(stderr, "qxts: %s\n", error.c_str());
    return cli::kExitFailed;
  }
  std::printf("test server: %s\n", server.endpoint().c_str());
  std::fflush(stdout);
  platform::WaitForStopSignal();
  server.Stop();
  return cli::kExitOk;
}
