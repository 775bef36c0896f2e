// Runs 8051 test programs on our core and on the s51 simulator from the SDCC
// tools, and compares internal RAM, the first 16 KiB of external RAM and the
// core registers once both reach the program's finish address.
//
// Usage: i8051_crosscheck WORK_DIR PROGRAM.asm...
// Exit status: 0 all programs agree, 1 a difference or a tool failure,
// 77 when the SDCC assembler or s51 is not installed (the test is skipped).
#include <stdio.h>
#include <stdlib.h>

#include <array>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/i8051/core.h"
#include "sim/i8051/intel_hex.h"

namespace {

// Every program ends by jumping to this address, where it loops.
constexpr uint16_t kFinish = 0x7FF0;
constexpr uint32_t kCompareExternal = 0x4000;
constexpr uint64_t kInstructionLimit = 50'000'000;

struct Snapshot {
  std::array<int, 256> internal{};
  std::vector<int> external = std::vector<int>(kCompareExternal, -1);
  std::map<std::string, int> registers;
};

const std::vector<std::pair<std::string, uint8_t>> kRegisters = {
    {"ACC", 0xE0}, {"B", 0xF0}, {"PSW", 0xD0}, {"SP", 0x81}, {"DPL", 0x82}, {"DPH", 0x83}, {"P1", 0x90}, {"P2", 0xA0},
};

bool OnPath(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Runs one program on our core, noting which opcodes it executed.
bool RunOurs(const std::vector<uint8_t>& code, Snapshot& result, std::array<bool, 256>& executed, std::string& error) {
  std::vector<uint8_t> external(sim::i8051::Core::kSpaceBytes);
  sim::i8051::Core core(code.data(), external.data(), nullptr);
  for (uint64_t n = 0; n < kInstructionLimit && core.Pc() != kFinish && core.Stopped() == sim::i8051::Core::Stop::None; ++n) {
    executed[code[core.Pc()]] = true;
    core.Step();
  }
  if (core.Pc() != kFinish) {
    error = "our core did not reach the finish address (PC " + std::to_string(core.Pc()) + ")";
    return false;
  }
  for (int a = 0; a < 256; ++a) result.internal[a] = core.Internal(static_cast<uint8_t>(a));
  for (uint32_t a = 0; a < kCompareExternal; ++a) result.external[a] = external[a];
  for (const auto& [name, address] : kRegisters) result.registers[name] = core.SfrValue(address);
  return true;
}

// Reads s51's "dump" rows: an address, then the bytes up to the next row's
// address; a row whose address does not grow starts the next dump.
void ParseDump(const std::vector<std::string>& lines, size_t& at, uint32_t first, uint32_t last, int* into) {
  static const std::regex row(R"(^0x([0-9a-f]+)\s+((?:[0-9a-f]{2} ?)+))");
  std::vector<std::pair<uint32_t, std::vector<int>>> rows;
  for (; at < lines.size(); ++at) {
    std::smatch match;
    if (!std::regex_search(lines[at], match, row)) break;
    uint32_t address = std::stoul(match[1], nullptr, 16);
    if (address < first || address > last || (!rows.empty() && address <= rows.back().first)) break;
    std::istringstream bytes(match[2]);
    std::vector<int> values;
    std::string token;
    while (bytes >> token) values.push_back(std::stoi(token, nullptr, 16));
    rows.push_back({address, values});
  }
  for (size_t r = 0; r < rows.size(); ++r) {
    uint32_t end = r + 1 < rows.size() ? rows[r + 1].first : last + 1;
    for (uint32_t a = rows[r].first, k = 0; a < end && k < rows[r].second.size(); ++a, ++k) into[a - first] = rows[r].second[k];
  }
}

bool RunS51(const std::string& hex, const std::string& work, Snapshot& result, std::string& error) {
  std::string commands = work + "/s51.commands";
  std::string output = work + "/s51.output";
  {
    std::ofstream script(commands);
    char line[128];
    snprintf(line, sizeof line, "break 0x%04x\nrun\n", kFinish);
    script << line << "info registers\ndump iram 0 0xff\n";
    snprintf(line, sizeof line, "dump xram 0 0x%x\n", kCompareExternal - 1);
    script << line;
    for (const auto& [name, address] : kRegisters) {
      snprintf(line, sizeof line, "dump sfr 0x%02x 0x%02x\n", address, address);
      script << line;
    }
    script << "quit\n";
  }
  std::string command =
      "timeout 120 s51 -t 8052 -b " + Quote(hex) + " < " + Quote(commands) + " > " + Quote(output) + " 2>&1";
  if (std::system(command.c_str()) != 0) {
    error = "s51 failed or timed out; see " + output;
    return false;
  }
  std::ifstream in(output);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  bool stopped = false;
  char stopLine[64];
  snprintf(stopLine, sizeof stopLine, "Stop at 0x%06x", kFinish);
  size_t at = 0;
  for (; at < lines.size(); ++at) {
    if (lines[at].find(stopLine) != std::string::npos) stopped = true;
    if (lines[at].rfind("0x00 ", 0) == 0) break;
  }
  if (!stopped) {
    error = "s51 did not stop at the finish address; see " + output;
    return false;
  }
  ParseDump(lines, at, 0, 0xFF, result.internal.data());
  ParseDump(lines, at, 0, kCompareExternal - 1, result.external.data());
  static const std::regex sfr(R"(^0x([0-9a-f]{2})\s+\S+:\s+0b[01]+\s+0x([0-9a-f]{2}))");
  static const std::regex plain(R"(^0x([0-9a-f]{2})\s+([0-9a-f]{2})\s)");
  for (; at < lines.size(); ++at) {
    std::smatch match;
    if (!std::regex_search(lines[at], match, sfr) && !std::regex_search(lines[at], match, plain)) continue;
    int address = std::stoi(match[1], nullptr, 16);
    for (const auto& [name, registerAddress] : kRegisters)
      if (registerAddress == address) result.registers[name] = std::stoi(match[2], nullptr, 16);
  }
  return true;
}

int Compare(const std::string& program, const Snapshot& ours, const Snapshot& theirs) {
  int differences = 0;
  auto report = [&](const std::string& where, int mine, int reference) {
    if (mine == reference) return;
    if (++differences <= 20)
      printf("  %s: %s ours 0x%02x, s51 0x%02x%s\n", program.c_str(), where.c_str(), mine, reference & 0xFF,
             reference < 0 ? " (missing)" : "");
  };
  char where[32];
  for (int a = 0; a < 256; ++a) {
    snprintf(where, sizeof where, "iram 0x%02x", a);
    report(where, ours.internal[a], theirs.internal[a]);
  }
  for (uint32_t a = 0; a < kCompareExternal; ++a) {
    snprintf(where, sizeof where, "xram 0x%04x", a);
    report(where, ours.external[a], theirs.external[a]);
  }
  for (const auto& [name, address] : kRegisters) {
    auto found = theirs.registers.find(name);
    report(name, ours.registers.at(name), found == theirs.registers.end() ? -1 : found->second);
  }
  return differences;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s WORK_DIR PROGRAM.asm...\n", argv[0]);
    return 1;
  }
  for (const char* tool : {"sdas8051", "sdld", "s51"}) {
    if (!OnPath(tool)) {
      printf("SKIPPED: %s is not installed (Debian packages sdcc and sdcc-ucsim); the 8051 core was not cross-checked\n",
             tool);
      return 77;
    }
  }
  std::string work = argv[1];
  std::system(("mkdir -p " + Quote(work)).c_str());
  int failed = 0;
  std::array<bool, 256> executed{};
  for (int k = 2; k < argc; ++k) {
    std::string source = argv[k];
    std::string name = source.substr(source.find_last_of('/') + 1);
    name = name.substr(0, name.find('.'));
    std::string base = work + "/" + name;
    std::string build = "sdas8051 -l -o " + Quote(base + ".rel") + " " + Quote(source) + " && sdld -i " +
                        Quote(base + ".ihx") + " " + Quote(base + ".rel") + " > /dev/null";
    std::vector<uint8_t> code(sim::i8051::Core::kSpaceBytes);
    Snapshot ours, theirs;
    std::string error;
    if (std::system(build.c_str()) != 0 || !sim::i8051::LoadIntelHex(base + ".ihx", code.data())) error = "could not assemble " + source;
    else if (RunOurs(code, ours, executed, error) && RunS51(base + ".ihx", work, theirs, error)) {
      int differences = Compare(name, ours, theirs);
      if (differences == 0) {
        printf("%s: agrees\n", name.c_str());
        continue;
      }
      error = std::to_string(differences) + " differences";
    }
    printf("%s: FAILED: %s\n", name.c_str(), error.c_str());
    ++failed;
  }
  // The programs together must execute every defined opcode (0xA5 is undefined).
  int missing = 0;
  for (int op = 0; op < 256; ++op) {
    if (op == 0xA5 || executed[op]) continue;
    if (++missing == 1) printf("opcodes never executed:");
    printf(" %02X", op);
  }
  if (missing) printf("\n");
  printf("%d passed, %d failed\n", argc - 2 - failed + (missing ? 0 : 1), failed + (missing ? 1 : 0));
  return failed == 0 && missing == 0 ? 0 : 1;
}
