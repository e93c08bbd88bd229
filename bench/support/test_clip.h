// Pre-encoded H.264 clips for the benchmarks: a textured picture that pans
// and changes a little each time, so that every picture costs the decoder
// real work as camera video does, encoded by libx264 as a phone streams:
// no B-frames, a keyframe every second, one slice per picture unless asked
// otherwise. Clips are encoded once and kept in a cache folder (the first
// run of a large clip takes a few minutes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavin::bench {

using Packet = std::vector<std::uint8_t>;

struct ClipSpec {
    int width = 1920;
    int height = 1080;
    int pictures = 600;
    int slices = 1;
    // Average and peak bit rate in kbit/s (a phone's rate control); 0 for
    // libx264's default constant quality.
    int kbps = 0;
};

// One packet per picture; empty when libx264 is missing. With a cache
// folder, a clip encoded before is read back from it.
std::vector<Packet> loadClip(const ClipSpec& spec, const std::string& cacheFolder = "");

// The clips of the end-to-end benchmarks, at a phone's bit rates.
ClipSpec phoneClip(int width, int height, int pictures);

// Where clips are kept: $TAVIN_BENCH_CLIPS, or build/bench-clips.
std::string clipCacheFolder();

}  // namespace tavin::bench
