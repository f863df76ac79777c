// SPDX-License-Identifier: Apache-2.0
// The WAV header: parsed from untrusted bytes, written for our own files.
#include "zkflow/elements.h"

#include <cstring>

namespace zkflow {
namespace {

uint32_t get16(const unsigned char* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const unsigned char* p) { return get16(p) | (get16(p + 2) << 16); }
void put16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
  put16(p, v & 0xFFFF);
  put16(p + 2, v >> 16);
}

const uint32_t kPcm = 1, kFloat = 3, kExtensible = 0xFFFE;

// The "fmt " chunk's body, `n` bytes.
WavError readFmt(const unsigned char* b, uint64_t n, Format& f) {
  if (n < 16) return WavError::BadFormat;
  uint32_t tag = get16(b);
  // The extensible form names the real format in the first two bytes of its
  // sub-format GUID.
  if (tag == kExtensible) tag = n >= 40 ? get16(b + 24) : 0;
  const uint32_t channels = get16(b + 2), rate = get32(b + 4), byteRate = get32(b + 8);
  const uint32_t align = get16(b + 12), bits = get16(b + 14);
  if (tag == kPcm && bits == 16) f.sample = SampleType::Int16;
  else if (tag == kFloat && bits == 32) f.sample = SampleType::Float32;
  else return WavError::Unsupported;
  f.channels = channels;
  f.rate = rate;
  if (!f.complete() || align != f.frameBytes() || byteRate != f.bytesPerSecond()) return WavError::BadFormat;
  return WavError::None;
}

}  // namespace

const char* wavErrorText(WavError e) {
  switch (e) {
    case WavError::None: return "no error";
    case WavError::NotRiff: return "not a RIFF WAVE file";
    case WavError::NoFormat: return "no format chunk before the data";
    case WavError::Unsupported: return "not 16-bit PCM or 32-bit float";
    case WavError::BadFormat: return "a format chunk that contradicts itself";
    case WavError::NoData: return "no data chunk";
    case WavError::Truncated: return "the data runs past the end of the file";
  }
  return "unknown error";
}

WavError parseWav(const unsigned char* head, std::size_t size, uint64_t fileSize, WavInfo& info) {
  if (!head || size < 12 || std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0)
    return WavError::NotRiff;
  if (fileSize < size) fileSize = size;
  Format f;
  bool haveFormat = false;
  // Chunks: a 4-byte id, a 4-byte length, the body, a pad byte when the
  // length is odd. Offsets are 64-bit: a length near 4 GB cannot wrap them.
  for (uint64_t at = 12; at + 8 <= size;) {
    const unsigned char* c = head + at;
    const uint64_t n = get32(c + 4), body = at + 8;
    if (std::memcmp(c, "data", 4) == 0) {
      if (!haveFormat) return WavError::NoFormat;
      if (body + n > fileSize || n % f.frameBytes() != 0) return WavError::Truncated;
      info = {f, body, n};
      return WavError::None;
    }
    if (std::memcmp(c, "fmt ", 4) == 0) {
      if (body + n > size) return WavError::BadFormat;
      const WavError e = readFmt(head + body, n, f);
      if (e != WavError::None) return e;
      haveFormat = true;
    }
    at = body + n + (n & 1);
  }
  return WavError::NoData;
}

std::array<unsigned char, 44> wavHeader(const Format& f, uint32_t dataBytes) {
  std::array<unsigned char, 44> h{};
  unsigned char* p = h.data();
  std::memcpy(p, "RIFF", 4);
  put32(p + 4, 36 + dataBytes);
  std::memcpy(p + 8, "WAVEfmt ", 8);
  put32(p + 16, 16);
  put16(p + 20, f.sample == SampleType::Float32 ? kFloat : kPcm);
  put16(p + 22, f.channels);
  put32(p + 24, f.rate);
  put32(p + 28, f.bytesPerSecond());
  put16(p + 32, f.frameBytes());
  put16(p + 34, f.sampleBytes() * 8);
  std::memcpy(p + 36, "data", 4);
  put32(p + 40, dataBytes);
  return h;
}

}  // namespace zkflow
