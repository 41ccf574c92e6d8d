// Report-descriptor helpers and the raw-sample signals served by emulated devices.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emulated {

using Bytes = std::vector<std::uint8_t>;

// The adapter's own descriptor: vendor page 0xFF00, one 8-byte feature report and
// one 8-byte input report, no report IDs.
Bytes defaultAdapterDescriptor();

// A descriptor with a single feature report of `featureBytes` bytes (and an input
// report of the same size), no report IDs.
Bytes descriptorWithFeatureSize(unsigned featureBytes);

struct ReportLayout {
    bool numbered = false;                     // the descriptor declares Report IDs
    std::map<std::uint8_t, unsigned> feature;  // report ID -> bytes (without the ID byte)
    std::map<std::uint8_t, unsigned> input;
    std::map<std::uint8_t, unsigned> output;
};

// Walks the short items and sums Report Size x Report Count per main item kind and
// report ID. Returns nothing for a descriptor that is cut short.
std::optional<ReportLayout> parseDescriptor(const Bytes& descriptor);

std::optional<Bytes> parseHex(std::string_view text);
std::string toHex(const Bytes& bytes);

// What goes into the raw-sample byte at the moment of a read.
struct Signal {
    enum class Kind { None, Constant, Sine, Idle };
    Kind kind = Kind::Constant;
    int constant = 142;
    int min = 0;
    int max = 255;
    double periodS = 1.0;
    std::int64_t startNs = 0;  // phase reference for sine and idle

    // Raw value (0..255) at monotonic time `nowNs`.
    std::uint8_t valueAt(std::int64_t nowNs) const;
    std::string describe() const;
};

// Parses "const N", "sine MIN MAX PERIOD_S" or "idle" (already split into words).
std::optional<Signal> parseSignal(const std::vector<std::string>& words, std::string& error);

// Lambda of the idle engine model at `t` seconds after it was started; exposed so the
// model can be checked without a device.
double idleLambdaAt(double t);

std::int64_t monotonicNs();

}  // namespace emulated
