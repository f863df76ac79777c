// SPDX-License-Identifier: Apache-2.0
// Built-in stages: files, WAV, a tone, gain, a level meter and a null sink.
//
// Each function makes a stage in `g` and returns it, or returns null, with a
// log line in category "zkflow", when it cannot (a file that does not open, a
// WAV file that is truncated or not one we read). Connect the result with
// Graph::connect; the graph owns it.
//
// Formats: the WAV stages read and write 16-bit PCM and 32-bit float, any
// channel count and rate. Gain and the level meter take either sample type;
// the writers and the null sink take any format. A file stage that fails
// while the graph runs (a read or write error) says so through
// Context::fail, and Graph::run returns Error::StageFailed.
//
// Thread safety: as for any stage (stage.h). The level meter posts from its
// stage's thread; the mailbox's reader gets the levels on its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "zkflow/host/export.h"
#include "zkflow/format.h"
#include "zkflow/graph.h"
#include "zkflow/mailbox.h"

namespace zkflow {

// ------------------------------------------------------------------- WAV

enum class WavError {
  None = 0,
  NotRiff,      // no "RIFF....WAVE" at the start
  NoFormat,     // no "fmt " chunk before the data
  Unsupported,  // a format other than 16-bit PCM and 32-bit float
  BadFormat,    // fields that contradict each other (block align, byte rate)
  NoData,       // no "data" chunk within the bytes given
  Truncated,    // the data chunk runs past the end of the file
};
ZKFLOW_EXPORT const char* wavErrorText(WavError e);

struct WavInfo {
  Format format;
  uint64_t dataOffset = 0;  // where the samples start in the file
  uint64_t dataBytes = 0;   // whole frames
};

// Reads a WAV header from the first `size` bytes of a file of `fileSize`
// bytes. The "data" chunk's header must lie within those bytes. On None,
// `info` describes the samples; otherwise it is left as it was.
ZKFLOW_EXPORT WavError parseWav(const unsigned char* head, std::size_t size, uint64_t fileSize, WavInfo& info);
// The 44-byte header of a WAV file holding `dataBytes` of `format` (int16 or
// float32; complete).
ZKFLOW_EXPORT std::array<unsigned char, 44> wavHeader(const Format& format, uint32_t dataBytes);

// A source of the samples of a WAV file, ending with its last frame.
ZKFLOW_EXPORT Stage* readWav(Graph& g, const std::string& path);
// A sink that writes a WAV file of the format it is given. The header's
// lengths are filled in when the stream ends.
ZKFLOW_EXPORT Stage* writeWav(Graph& g, const std::string& path);

// --------------------------------------------------------------- raw files

// A source of the bytes of a file read as `format` (complete); a last part
// frame is left out. Ends at the end of the file.
ZKFLOW_EXPORT Stage* readRaw(Graph& g, const std::string& path, Format format);
// A sink that writes the bytes it is given.
ZKFLOW_EXPORT Stage* writeRaw(Graph& g, const std::string& path);

// --------------------------------------------------------------- the rest

// A sine of `hz` at `amplitude` (full scale 1) on every channel of `format`
// (int16 or float32), for `frames` frames (0: without end). Sample n of a
// channel is amplitude * sin(2 pi hz n / rate), for int16 times 32767 and
// rounded to nearest.
ZKFLOW_EXPORT Stage* tone(Graph& g, Format format, double hz, double amplitude, uint64_t frames = 0);

// Multiplies every sample by `factor`. int16 samples are rounded to nearest
// and clamped to -32768..32767; float samples are not clamped.
ZKFLOW_EXPORT Stage* gain(Graph& g, double factor);

// The level of each channel over a stretch of a stream, full scale 1.
struct Level {
  static constexpr unsigned kMaxChannels = 8;
  unsigned channels = 0;       // at most kMaxChannels are measured
  float peak[kMaxChannels] = {};
  float rms[kMaxChannels] = {};
  uint64_t frame = 0;          // stream frame just past the stretch
};
// Measures every `seconds` of stream (and what is left at its end) and posts
// a Level through `to`. The mailbox's policy decides what happens when its
// reader falls behind: WhenFull::DropOldest keeps the meter from waiting.
ZKFLOW_EXPORT Stage* levelMeter(Graph& g, Mailbox<Level>::Sender to, double seconds = 0.1);

// Reads and forgets: any format.
ZKFLOW_EXPORT Stage* nullSink(Graph& g);

}  // namespace zkflow
