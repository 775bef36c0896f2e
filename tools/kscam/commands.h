// The sub-commands of the kscam command line. Each returns the process exit
// status; arguments exclude the program and sub-command names.
#pragma once

#include <string>
#include <vector>

using CommandArguments = std::vector<std::string>;

int RunProbe(const CommandArguments& arguments);
int RunConvert(const CommandArguments& arguments);
int RunView(const CommandArguments& arguments);
