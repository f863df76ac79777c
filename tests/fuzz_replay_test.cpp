// SPDX-License-Identifier: Apache-2.0
// Replays the fuzz targets' seed corpora and saved regressions through the
// targets' one-input functions (fuzz/*_fuzz.cpp, built here without
// libFuzzer), so every input that once found a fault stays checked by the
// ordinary test run, under every sanitizer build. A mismatch with a target's
// model aborts the binary after naming the file; a folder named after no
// target fails the test, so a mistyped regression folder cannot be skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "common/testutil.h"
#include "fuzz/fuzz.h"

namespace {

namespace fs = std::filesystem;

struct Target {
  const char* name;
  int (*one)(const uint8_t*, size_t);
};

const Target kTargets[] = {
    {"latency", &zkfuzz::latencyOne},
    {"message", &zkfuzz::messageOne},
    {"flowlist", &zkfuzz::flowlistOne},
    {"flowbuffer", &zkfuzz::flowbufferOne},
    {"flowstage", &zkfuzz::flowstageOne},
    {"wav", &zkfuzz::wavOne},
};

// Names the parameter in test listings.
void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }

const Target* findTarget(const std::string& name) {
  for (const Target& t : kTargets)
    if (name == t.name) return &t;
  return nullptr;
}

std::vector<uint8_t> readFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Replays every file under <fuzz>/<kind>/<target>/ through that target;
// returns how many it replayed.
size_t replay(const char* kind, const Target& t) {
  const fs::path dir = fs::path(ZKFLOW_FUZZ_DIR) / kind / t.name;
  if (!fs::is_directory(dir)) return 0;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& p : files) {
    // Named before the run: a model mismatch aborts the whole binary.
    std::fprintf(stderr, "replaying %s\n", p.c_str());
    const std::vector<uint8_t> bytes = readFile(p);
    zktest::LiveCount live;
    EXPECT_EQ(t.one(bytes.data(), bytes.size()), 0) << p;
    live.expectBack();
  }
  return files.size();
}

class FuzzReplay : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzReplay, CorpusAndRegressions) {
  const size_t seeds = replay("corpus", GetParam());
  replay("regressions", GetParam());
  // A target without seeds would be fuzzed from nothing and replay nothing.
  EXPECT_GT(seeds, 0u) << "no seed corpus for " << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

TEST(FuzzReplayFolders, EveryFolderNamesATarget) {
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path dir = fs::path(ZKFLOW_FUZZ_DIR) / kind;
    if (!fs::is_directory(dir)) continue;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.is_directory()) EXPECT_NE(findTarget(e.path().filename().string()), nullptr) << e.path();
  }
}

}  // namespace
