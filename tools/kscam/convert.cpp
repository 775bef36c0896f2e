// kscam convert: a raw frame file to PNG or BGRA through the driver's pipeline.
#include <stdio.h>

#include "tools/client/raw_conversion.h"
#include "tools/kscam/commands.h"

int RunConvert(const CommandArguments& arguments) {
  if (arguments.size() == 1 && arguments[0] == "--help") {
    printf("%s\n", kRawConversionUsage);
    return 0;
  }
  RawConversionOptions options;
  std::string error;
  if (!ParseRawConversionOptions(arguments, &options, &error)) {
    fprintf(stderr, "kscam convert: %s (--help for usage)\n", error.c_str());
    return 2;
  }
  RawConversionResult result;
  if (!ConvertRawFile(options, &result, &error)) {
    fprintf(stderr, "kscam convert: %s\n", error.c_str());
    return 1;
  }
  if (options.awb.value_or(0) != 0)
    printf("measured gains: red %u green %u blue %u\n", result.redGain, result.greenGain,
           result.blueGain);
  return 0;
}
