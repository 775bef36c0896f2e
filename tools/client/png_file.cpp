// PNG output through libpng's simplified writing interface, which takes the
// driver's blue-green-red-alpha pixel order directly.
#include "tools/client/png_file.h"

#include <png.h>
#include <stdio.h>

#include <limits>

namespace {

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

// A libpng image record for the pixels, or false when the sizes are unusable.
bool DescribeImage(uint32_t width, uint32_t height, size_t* rowBytes, png_image* image, std::string* error) {
  if (width == 0 || height == 0) return Fail(error, "an image needs at least one pixel");
  if (*rowBytes == 0) *rowBytes = size_t{4} * width;
  if (*rowBytes < size_t{4} * width || *rowBytes > size_t(std::numeric_limits<png_int_32>::max()))
    return Fail(error, "row pitch does not fit the image width");
  *image = {};
  image->version = PNG_IMAGE_VERSION;
  image->width = width;
  image->height = height;
  image->format = PNG_FORMAT_BGRA;
  return true;
}

}  // namespace

bool WritePng(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
              size_t rowBytes, std::string* error) {
  png_image image;
  if (!DescribeImage(width, height, &rowBytes, &image, error)) return false;
  if (png_image_write_to_file(&image, path.c_str(), 0, bgra, png_int_32(rowBytes), nullptr) == 0) {
    std::string reason = image.message;
    png_image_free(&image);
    remove(path.c_str());
    return Fail(error, path + ": " + reason);
  }
  return true;
}

bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t rowBytes, std::string* png,
               std::string* error) {
  png_image image;
  if (!DescribeImage(width, height, &rowBytes, &image, error)) return false;
  // The first pass only measures; the second writes into a buffer of that size.
  png_alloc_size_t bytes = 0;
  if (png_image_write_to_memory(&image, nullptr, &bytes, 0, bgra, png_int_32(rowBytes), nullptr) == 0) {
    std::string reason = image.message;
    png_image_free(&image);
    return Fail(error, reason);
  }
  png->resize(bytes);
  if (png_image_write_to_memory(&image, png->data(), &bytes, 0, bgra, png_int_32(rowBytes), nullptr) == 0) {
    std::string reason = image.message;
    png_image_free(&image);
    png->clear();
    return Fail(error, reason);
  }
  png->resize(bytes);
  return true;
}
