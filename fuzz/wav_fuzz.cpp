// SPDX-License-Identifier: Apache-2.0
// WAV headers read from untrusted bytes.
//
// The input is a whole file. parseWav reads it, and each of its prefixes (a
// file cut short), from buffers of exactly that size, so that the sanitizers
// see any read past the end. When it accepts a file:
//  - the format is complete, 16-bit PCM or 32-bit float;
//  - the samples lie within the file and are whole frames;
//  - the header written for that format and length reads back the same, with
//    the samples right after it.
#include <cstring>
#include <vector>

#include "fuzz/fuzz.h"
#include "zkflow/elements.h"

namespace zkfuzz {

int wavOne(const uint8_t* data, size_t size) {
  for (const size_t cut : {size, size / 2, size < 60 ? size : size_t{60}}) {
    const std::vector<unsigned char> file(data, data + cut);
    zkflow::WavInfo info;
    if (zkflow::parseWav(file.data(), file.size(), file.size(), info) != zkflow::WavError::None) continue;
    const zkflow::Format& f = info.format;
    ZKFLOW_FUZZ_CHECK(f.complete() && (f.sample == zkflow::SampleType::Int16 || f.sample == zkflow::SampleType::Float32),
                      "accepted %s", f.text().c_str());
    ZKFLOW_FUZZ_CHECK(info.dataOffset + info.dataBytes <= cut && info.dataBytes % f.frameBytes() == 0,
                      "samples %llu+%llu in a file of %zu", static_cast<unsigned long long>(info.dataOffset),
                      static_cast<unsigned long long>(info.dataBytes), cut);
    const auto h = zkflow::wavHeader(f, static_cast<uint32_t>(info.dataBytes));
    zkflow::WavInfo again;
    ZKFLOW_FUZZ_CHECK(zkflow::parseWav(h.data(), h.size(), h.size() + info.dataBytes, again) == zkflow::WavError::None &&
                          again.format == f && again.dataOffset == h.size() && again.dataBytes == info.dataBytes,
                      "our own header for %s does not read back", f.text().c_str());
    // An odd chunk (and its pad byte) before the data is stepped over.
    std::vector<unsigned char> odd(h.begin(), h.end());
    odd.insert(odd.begin() + 36, {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0});
    ZKFLOW_FUZZ_CHECK(zkflow::parseWav(odd.data(), odd.size(), odd.size() + info.dataBytes, again) == zkflow::WavError::None &&
                          again.dataOffset == odd.size(), "an odd chunk before the data is not stepped over");
  }
  return 0;
}

}  // namespace zkfuzz

ZKFLOW_FUZZ_ENTRY(wavOne)
