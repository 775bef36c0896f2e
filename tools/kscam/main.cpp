// kscam: capture from the camera, inspect and set its controls, convert raw
// frames offline.
#include <stdio.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/kscam/commands.h"

namespace {

struct CommandDefinition {
  const char* name;
  const char* summary;
  CommandRunner (*define)(CLI::App& command);
};

// Every command: adding one is a row here and a Define function of its own.
const CommandDefinition kCommands[] = {
    {"list", "list the cameras present", DefineList},
    {"info", "show the camera as the driver sees it", DefineInfo},
    {"controls", "list every control with its range, default and value", DefineControls},
    {"get", "print controls by name", DefineGet},
    {"set", "set controls: NAME=VALUE[,NAME=VALUE...], roi=x,y,w,h, subsample=N", DefineSet},
    {"capture", "capture frames to PNG files, or raw frames with their sidecars", DefineCapture},
    {"snap", "capture one frame", DefineSnap},
    {"convert", "convert a raw frame file to PNG or BGRA with the driver's pipeline", DefineConvert},
    {"probe", "plug the camera in, start the driver and print what it found", DefineProbe},
    {"view", "serve the live picture and the controls to a browser on 127.0.0.1", DefineView},
};

bool IsCommand(const std::string& name) {
  for (const CommandDefinition& definition : kCommands)
    if (name == definition.name) return true;
  return false;
}

// The first line of a parser's message: errors are one line.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("kscam: capture from the camera, inspect and set its controls, convert raw frames offline", "kscam");
  app.require_subcommand(1, 1);
  std::vector<std::pair<CLI::App*, CommandRunner>> commands;
  for (const CommandDefinition& definition : kCommands) {
    CLI::App* command = app.add_subcommand(definition.name, definition.summary);
    commands.emplace_back(command, definition.define(*command));
  }
  if (argc == 2 && std::string(argv[1]) == "help") {
    printf("%s", app.help().c_str());
    return 0;
  }
  // The parser would only say that a command is required.
  if (argc >= 2 && argv[1][0] != '-' && !IsCommand(argv[1])) {
    fprintf(stderr, "kscam: unknown command '%s' (kscam help lists them)\n", argv[1]);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    std::vector<CLI::App*> chosen = app.get_subcommands();
    std::string name = chosen.empty() ? "kscam" : "kscam " + chosen[0]->get_name();
    fprintf(stderr, "%s: %s (%s --help for usage)\n", name.c_str(), FirstLine(error.what()).c_str(), name.c_str());
    return kExitUsage;
  }
  for (auto& [command, run] : commands)
    if (command->parsed()) return run();
  return kExitUsage;
}
