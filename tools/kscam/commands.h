// The sub-commands of the kscam command line. Each puts its options on its
// own parser and returns what runs the command once the line is parsed; the
// runner returns the process exit status.
#pragma once

#include <stdio.h>

#include <functional>
#include <string>

namespace CLI {
class App;
}

using CommandRunner = std::function<int()>;

CommandRunner DefineList(CLI::App& command);
CommandRunner DefineInfo(CLI::App& command);
CommandRunner DefineControls(CLI::App& command);
CommandRunner DefineGet(CLI::App& command);
CommandRunner DefineSet(CLI::App& command);
CommandRunner DefineCapture(CLI::App& command);
CommandRunner DefineSnap(CLI::App& command);
CommandRunner DefineConvert(CLI::App& command);
CommandRunner DefineProbe(CLI::App& command);
CommandRunner DefineView(CLI::App& command);

// Exit statuses: 1 when the command failed, 2 when its arguments are wrong.
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Prints "kscam COMMAND: message" as the one line of a failure.
inline int ReportFailure(const char* command, const std::string& message, int status = kExitFailed) {
  fprintf(stderr, "kscam %s: %s\n", command, message.c_str());
  return status;
}
