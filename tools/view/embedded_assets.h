// The page's files, built into the program from tools/view/assets.
#pragma once

#include <stddef.h>

namespace kscam::view {

struct Asset {
  const char* path;  // as the browser asks for it
  const char* contentType;
  const unsigned char* data;
  size_t size;
};

extern const Asset kAssets[];
extern const size_t kAssetCount;

}  // namespace kscam::view
