// orvo-client: a reference client of the Orvo session and pairing protocols.
#include <iostream>
#include <string>
#include <vector>

#include "client/ClientCommandLine.h"
#include "client/ClientRunner.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto parsed = orvo::client::parseClientCommandLine(args);
  if (!parsed.command) {
    std::cerr << "orvo-client: " << parsed.error << "\n\n" << orvo::client::clientUsage();
    return orvo::client::kExitUsage;
  }
  orvo::client::ClientRunner runner(*parsed.command, std::cout, std::cerr);
  return runner.run();
}
