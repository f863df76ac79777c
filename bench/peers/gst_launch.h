// SPDX-License-Identifier: Apache-2.0
// Peer for the pipeline and fork benchmarks: a gst-launch-1.0 process
// (ZKFLOW_GST_LAUNCH, found by bench/CMakeLists.txt) running a pipeline of
// fakesrc buffers of 256 bytes, timed from outside as a subprocess. The
// start-up of the process (measured with a one-buffer run of the same
// pipeline) is taken off, so the rate is the pipeline's own.
#pragma once

#ifdef ZKFLOW_GST_LAUNCH
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

extern char** environ;

namespace peers {

// Runs gst-launch-1.0 -q with `pipeline` (elements separated by spaces, the
// first being the fakesrc, to which num-buffers is added). Returns the
// seconds it took, or a negative number when it could not run or failed.
inline double runGstLaunch(const std::vector<std::string>& pipeline, uint64_t buffers) {
  std::vector<std::string> args{ZKFLOW_GST_LAUNCH, "-q"};
  for (size_t k = 0; k < pipeline.size(); ++k) {
    args.push_back(pipeline[k]);
    if (k == 0) args.push_back("num-buffers=" + std::to_string(buffers));
  }
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// fakesrc making `size`-byte buffers, zero-filled: sizetype=fixed,
// sizemax=size, filltype=zero.
inline std::vector<std::string> gstSource(unsigned int size) {
  return {"fakesrc", "sizetype=2", "sizemax=" + std::to_string(size), "filltype=2"};
}

// source ! queue ! identity ! queue ! identity ! queue ! fakesink
inline std::vector<std::string> gstPipeline4(unsigned int size) {
  std::vector<std::string> p = gstSource(size);
  for (const char* e : {"!", "queue", "!", "identity", "!", "queue", "!", "identity", "!", "queue",
                        "!", "fakesink"})
    p.push_back(e);
  return p;
}

// source ! tee name=t  t. ! queue ! fakesink  t. ! queue ! fakesink
inline std::vector<std::string> gstTee2(unsigned int size) {
  std::vector<std::string> p = gstSource(size);
  for (const char* e : {"!", "tee", "name=t", "t.", "!", "queue", "!", "fakesink", "t.", "!", "queue",
                        "!", "fakesink"})
    p.push_back(e);
  return p;
}

}  // namespace peers
#endif
