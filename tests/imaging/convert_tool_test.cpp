// Offline conversion of raw frame files: option errors, short files, and the
// written image.
#include <gtest/gtest.h>
#include <CLI/CLI.hpp>
#include <png.h>
#include <stdio.h>

#include "imaging_test_support.h"
#include "tools/client/raw_conversion.h"

namespace {

using Arguments = std::vector<std::string>;

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kscam_convert_" + name;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

Arguments Geometry(const std::string& raw, const std::string& out) {
  return {"--raw",         raw, "--width",     "16", "--height", "8",
          "--line-offset", "4", "--row-pitch", "20", "--out",    out};
}

// Parses the arguments as "kscam convert" does; "" when they are good, else
// the parser's message.
std::string Parse(const Arguments& arguments, RawConversionOptions* options) {
  CLI::App app;
  AddRawConversionOptions(app, options);
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    return error.what();
  }
  std::string error;
  return CompleteRawConversionOptions(options, &error) ? "" : error;
}

std::string ParseError(const Arguments& arguments) {
  RawConversionOptions options;
  return Parse(arguments, &options);
}

TEST(ConvertTool, RejectsBadOptionsWithOneClearLine) {
  Arguments good = Geometry("in.raw", "out.png");
  RawConversionOptions options;
  ASSERT_EQ(Parse(good, &options), "");
  EXPECT_EQ(options.width, 16u);
  EXPECT_EQ(options.lineOffset, 4u);
  EXPECT_FALSE(options.brightness.has_value());

  auto with = [&](Arguments extra) {
    Arguments a = good;
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  auto mentions = [](const std::string& message, const std::string& part) {
    return message.find(part) != std::string::npos && message.find('\n') == std::string::npos;
  };
  EXPECT_TRUE(mentions(ParseError(with({"--brightness", "511"})), "--brightness")) << ParseError(with({"--brightness", "511"}));
  EXPECT_TRUE(mentions(ParseError(with({"--hue", "-1"})), "--hue"));
  EXPECT_TRUE(mentions(ParseError(with({"--width", "12x"})), "--width"));
  EXPECT_TRUE(mentions(ParseError(with({"--width", "16385"})), "--width"));
  EXPECT_TRUE(mentions(ParseError(with({"--gains", "128,128"})), "wants three numbers"));
  EXPECT_TRUE(mentions(ParseError(with({"--gains", "1,2,513"})), "wants three numbers"));
  EXPECT_TRUE(mentions(ParseError(with({"--frobnicate", "1"})), "--frobnicate"));
  EXPECT_TRUE(mentions(ParseError(with({"--awb"})), "--awb"));
  EXPECT_TRUE(mentions(ParseError(with({"--out", "image.jpg"})), "must name a .png or .bgra file, not 'image.jpg'"));
  EXPECT_EQ(ParseError(with({"--row-pitch", "15"})), "--row-pitch must be at least --width");
  EXPECT_EQ(ParseError({"--raw", "x", "--out", "y.png"}), "--width is required when no sidecar describes the raw file");
  EXPECT_TRUE(mentions(ParseError({"--width", "4"}), "--raw"));
  // The limits themselves are taken.
  EXPECT_EQ(ParseError(with({"--brightness", "510", "--hue", "0", "--width", "16384", "--row-pitch", "16384"})), "");
}

TEST(ConvertTool, AFileTooShortForTheGeometryIsRefused) {
  std::string raw = TempPath("short.raw"), out = TempPath("short.bgra");
  remove(out.c_str());
  WriteBytes(raw, std::vector<uint8_t>(4 + 7 * 20 + 15, 128));  // one byte short
  RawConversionOptions options;
  ASSERT_EQ(Parse(Geometry(raw, out), &options), "");
  std::string error;
  RawConversionResult result;
  EXPECT_FALSE(ConvertRawFile(options, &result, &error));
  EXPECT_EQ(error, raw + " holds 159 bytes; the geometry needs 160");
  EXPECT_EQ(fopen(out.c_str(), "rb"), nullptr);
}

TEST(ConvertTool, ConvertsWithTheDriverPipelineAndMeasuresGains) {
  std::string raw = TempPath("frame.raw"), bgra = TempPath("frame.bgra"),
              png = TempPath("frame.png");
  imaging_test::RawFrame frame(16, 8, 4, 4);
  frame.FillPerColour(2, 100, 200, 50);
  WriteBytes(raw, frame.bytes);

  Arguments arguments = Geometry(raw, bgra);
  for (const char* extra : {"--phase", "2", "--awb", "1", "--correction", "0"})
    arguments.push_back(extra);
  RawConversionOptions options;
  ASSERT_EQ(Parse(arguments, &options), "");
  std::string error;
  RawConversionResult result;
  ASSERT_TRUE(ConvertRawFile(options, &result, &error)) << error;
  EXPECT_EQ(result.redGain, 256u);
  EXPECT_EQ(result.blueGain, 512u);
  FILE* f = fopen(bgra.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  std::vector<uint8_t> written(16 * 8 * 4 + 1);
  EXPECT_EQ(fread(written.data(), 1, written.size(), f), 16u * 8 * 4);
  fclose(f);
  for (size_t i = 0; i < 16 * 8 * 4; i += 4)
    ASSERT_EQ(std::vector<uint8_t>(&written[i], &written[i] + 4),
              (std::vector<uint8_t>{200, 200, 200, 255}))
        << i;

  options.outPath = png;
  ASSERT_TRUE(ConvertRawFile(options, &result, &error)) << error;
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_NE(png_image_begin_read_from_file(&image, png.c_str()), 0);
  image.format = PNG_FORMAT_BGRA;
  std::vector<uint8_t> decoded(PNG_IMAGE_SIZE(image));
  ASSERT_NE(png_image_finish_read(&image, nullptr, decoded.data(), 0, nullptr), 0);
  EXPECT_EQ(image.width, 16u);
  EXPECT_EQ(image.height, 8u);
  EXPECT_EQ(decoded, result.bgra);
}

}  // namespace
