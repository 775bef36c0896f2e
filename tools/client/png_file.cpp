// PNG output through libpng's simplified writing interface, which takes the
// driver's blue-green-red-alpha pixel order directly.
#include "tools/client/png_file.h"

#include <png.h>
#include <stdio.h>

#include <limits>

bool WritePng(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
              size_t rowBytes, std::string* error) {
  auto fail = [&](const std::string& reason) {
    if (error != nullptr) *error = reason;
    return false;
  };
  if (width == 0 || height == 0) return fail("an image needs at least one pixel");
  if (rowBytes == 0) rowBytes = size_t{4} * width;
  if (rowBytes < size_t{4} * width || rowBytes > size_t(std::numeric_limits<png_int_32>::max()))
    return fail("row pitch does not fit the image width");

  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_BGRA;
  if (png_image_write_to_file(&image, path.c_str(), 0, bgra, png_int_32(rowBytes), nullptr) == 0) {
    std::string reason = image.message;
    png_image_free(&image);
    remove(path.c_str());
    return fail(path + ": " + reason);
  }
  return true;
}
