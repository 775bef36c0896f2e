// Writing 32-bit blue, green, red, alpha images as PNG files.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// Writes width x height pixels, top row first, rowBytes apart (0: 4 * width),
// as an 8-bit RGBA PNG. On failure returns false with the reason in *error
// (when error is not null); a partly written file is removed.
bool WritePng(const std::string& path, const uint8_t* bgra, uint32_t width, uint32_t height,
              size_t rowBytes = 0, std::string* error = nullptr);
// The same image as the bytes of a PNG file, in memory.
bool EncodePng(const uint8_t* bgra, uint32_t width, uint32_t height, size_t rowBytes, std::string* png,
               std::string* error = nullptr);
