// kscam convert: a raw frame file to PNG or BGRA through the driver's
// pipeline, described by its sidecar, by the command line, or both.
#include <CLI/CLI.hpp>
#include <stdio.h>

#include "tools/client/raw_conversion.h"
#include "tools/kscam/commands.h"

namespace {

int RunConvert(RawConversionOptions options) {
  std::string error;
  if (!CompleteRawConversionOptions(&options, &error)) {
    fprintf(stderr, "kscam convert: %s\n", error.c_str());
    return kExitFailed;
  }
  RawConversionResult result;
  if (!ConvertRawFile(options, &result, &error)) {
    fprintf(stderr, "kscam convert: %s\n", error.c_str());
    return kExitFailed;
  }
  if (options.awb.value_or(0) != 0)
    printf("measured gains: red %u green %u blue %u\n", result.redGain, result.greenGain, result.blueGain);
  return 0;
}

}  // namespace

CommandRunner DefineConvert(CLI::App& command) {
  auto options = std::make_shared<RawConversionOptions>();
  AddRawConversionOptions(command, options.get());
  return [options] { return RunConvert(*options); };
}
