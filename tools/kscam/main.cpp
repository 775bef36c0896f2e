// kscam: capture from the camera, inspect and set its controls, convert raw
// frames offline.
#include <stdio.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/registry_host.h"
#include "tools/kscam/commands.h"

namespace {

struct Command {
  const char* name;
  int (*run)(const CommandArguments&);
  const char* summary;
};

const Command kCommands[] = {
    {"probe", RunProbe, "plug the camera in, start the driver and print what it found"},
    {"convert", RunConvert, "convert a raw frame file to PNG or BGRA with the driver's pipeline"},
    {"view", RunView, "serve the live picture and the controls to a browser on 127.0.0.1"},
};

// The registry the camera's settings persist in between runs, as the
// machine's registry does on Windows: $KSCAM_REGISTRY, else a file in the
// home directory. A damaged file is reported and set aside by the registry.
void UseSettingsFile() {
  const char* chosen = getenv("KSCAM_REGISTRY");
  const char* home = getenv("HOME");
  std::string path = chosen != nullptr ? chosen : home != nullptr ? std::string(home) + "/.kscam-registry" : "";
  host::UseRegistryFile(path);
}

void PrintUsage(FILE* out) {
  fprintf(out, "usage: kscam COMMAND [options]\n\ncommands:\n");
  for (const Command& command : kCommands) fprintf(out, "  %-10s %s\n", command.name, command.summary);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return 2;
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0) {
    PrintUsage(stdout);
    return 0;
  }
  UseSettingsFile();
  for (const Command& command : kCommands) {
    if (strcmp(argv[1], command.name) == 0)
      return command.run(CommandArguments(argv + 2, argv + argc));
  }
  fprintf(stderr, "kscam: unknown command '%s'\n", argv[1]);
  PrintUsage(stderr);
  return 2;
}
