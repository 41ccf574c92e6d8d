#include "hid_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <numbers>

namespace emulated {

namespace {

Bytes descriptorFor(unsigned featureBytes, unsigned inputBytes)
{
    Bytes d = {
        0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
        0x09, 0x01,        // Usage (1)
        0xA1, 0x01,        // Collection (Application)
        0x15, 0x00,        //   Logical Minimum (0)
        0x26, 0xFF, 0x00,  //   Logical Maximum (255)
        0x75, 0x08,        //   Report Size (8)
    };
    auto count = [&d](unsigned n) {
        if (n < 0x100) {
            d.insert(d.end(), {0x95, static_cast<std::uint8_t>(n)});
        } else {
            d.insert(d.end(), {0x96, static_cast<std::uint8_t>(n & 0xFF), static_cast<std::uint8_t>(n >> 8)});
        }
    };
    d.insert(d.end(), {0x09, 0x02});  // Usage (2)
    count(featureBytes);
    d.insert(d.end(), {0xB1, 0x02});  // Feature (Data, Var, Abs)
    d.insert(d.end(), {0x09, 0x03});  // Usage (3)
    count(inputBytes);
    d.insert(d.end(), {0x81, 0x02});  // Input (Data, Var, Abs)
    d.push_back(0xC0);                // End Collection
    return d;
}

std::uint64_t mix(std::uint64_t x)
{
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// Uniform in [0, 1), fixed for a given (stream, index) so every run replays the same engine.
double unit(std::uint64_t stream, std::int64_t index)
{
    return static_cast<double>(mix(mix(stream) ^ static_cast<std::uint64_t>(index)) >> 11) * 0x1.0p-53;
}

double smoothstep(double x)
{
    x = std::clamp(x, 0.0, 1.0);
    return x * x * (3.0 - 2.0 * x);
}

}  // namespace

Bytes defaultAdapterDescriptor() { return descriptorFor(8, 8); }

Bytes descriptorWithFeatureSize(unsigned featureBytes) { return descriptorFor(featureBytes, featureBytes); }

std::optional<ReportLayout> parseDescriptor(const Bytes& descriptor)
{
    struct Globals {
        unsigned reportSize = 0;
        unsigned reportCount = 0;
        std::uint8_t reportId = 0;
    };
    ReportLayout layout;
    Globals g;
    std::vector<Globals> stack;
    std::map<std::uint8_t, unsigned> featureBits, inputBits, outputBits;
    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::uint8_t key = descriptor[pos];
        if (key == 0xFE) {  // long item: skip it whole
            if (pos + 2 >= descriptor.size()) return std::nullopt;
            pos += 3u + descriptor[pos + 1];
            continue;
        }
        const unsigned sizeCode = key & 0x3u;
        const unsigned len = sizeCode == 3 ? 4 : sizeCode;
        if (pos + len >= descriptor.size() && len > 0) return std::nullopt;
        std::uint32_t value = 0;
        for (unsigned i = 0; i < len; ++i) value |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        switch (key & 0xFC) {
        case 0x74: g.reportSize = value; break;
        case 0x94: g.reportCount = value; break;
        case 0x84:
            g.reportId = static_cast<std::uint8_t>(value);
            layout.numbered = true;
            break;
        case 0xA4: stack.push_back(g); break;
        case 0xB4:
            if (!stack.empty()) {
                g = stack.back();
                stack.pop_back();
            }
            break;
        case 0x80: inputBits[g.reportId] += g.reportSize * g.reportCount; break;
        case 0x90: outputBits[g.reportId] += g.reportSize * g.reportCount; break;
        case 0xB0: featureBits[g.reportId] += g.reportSize * g.reportCount; break;
        default: break;
        }
        pos += 1 + len;
    }
    for (auto [id, bits] : featureBits) layout.feature[id] = (bits + 7) / 8;
    for (auto [id, bits] : inputBits) layout.input[id] = (bits + 7) / 8;
    for (auto [id, bits] : outputBits) layout.output[id] = (bits + 7) / 8;
    return layout;
}

std::optional<Bytes> parseHex(std::string_view text)
{
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == ',') continue;
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else return std::nullopt;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(high << 4 | v));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return out;
}

std::string toHex(const Bytes& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 0xF]);
    }
    return s;
}

std::int64_t monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double idleLambdaAt(double t)
{
    constexpr double twoPi = 2.0 * std::numbers::pi;
    // Closed-loop control hunts around stoichiometry at roughly 1.5 Hz; the rate drifts a
    // little as the idle speed wanders.
    const double phase = twoPi * (1.5 * t + 0.15 * std::sin(twoPi * t / 7.0));
    double cycling = 1.0 + 0.028 * std::sin(phase);

    // Sensor noise: value noise at 40 Hz, linearly interpolated, about +-0.004.
    const double nt = t * 40.0;
    const auto ni = static_cast<std::int64_t>(std::floor(nt));
    const double nf = nt - static_cast<double>(ni);
    cycling += 0.008 * ((1.0 - nf) * (unit(1, ni) - 0.5) + nf * (unit(1, ni + 1) - 0.5));

    // Every 5 s window may hold one event: a throttle lift (fuel cut, lean spike) or a
    // stretch under load (open-loop enrichment). Look back one window so an event that
    // started late in the previous one runs out naturally.
    constexpr double window = 5.0;
    const auto k = static_cast<std::int64_t>(std::floor(t / window));
    double lambda = cycling;
    for (std::int64_t w = k - 1; w <= k; ++w) {
        if (w < 0) continue;
        const double pick = unit(2, w);
        const double start = static_cast<double>(w) * window + 0.5 + 2.5 * unit(3, w);
        const double dt = t - start;
        if (dt < 0.0) continue;
        if (pick < 0.18) {
            const double height = 0.35 + 0.25 * unit(4, w);
            if (dt < 4.0) lambda += height * (1.0 - std::exp(-dt / 0.08)) * std::exp(-dt / 0.6);
        } else if (pick < 0.36) {
            const double length = 1.0 + 1.5 * unit(5, w);
            const double level = 0.86 + 0.04 * unit(6, w);
            const double weight = smoothstep(dt / 0.25) * (1.0 - smoothstep((dt - length) / 0.4));
            lambda = lambda * (1.0 - weight) + (level + 0.3 * (cycling - 1.0)) * weight;
        }
    }
    return lambda;
}

std::uint8_t Signal::valueAt(std::int64_t nowNs) const
{
    const double t = static_cast<double>(nowNs - startNs) * 1e-9;
    double v = 0.0;
    switch (kind) {
    case Kind::None:
    case Kind::Constant: v = constant; break;
    case Kind::Sine: {
        const double period = periodS > 0.0 ? periodS : 1.0;
        v = min + (max - min) * (0.5 + 0.5 * std::sin(2.0 * std::numbers::pi * t / period));
        break;
    }
    case Kind::Idle: v = idleLambdaAt(t) * 142.0; break;
    }
    return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

std::string Signal::describe() const
{
    switch (kind) {
    case Kind::None: return "none";
    case Kind::Constant: return "const " + std::to_string(constant);
    case Kind::Sine: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "sine %d %d %g", min, max, periodS);
        return buf;
    }
    case Kind::Idle: return "idle";
    }
    return "?";
}

namespace {
bool parseByte(const std::string& s, int& out)
{
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != '\0' || v < 0 || v > 255) return false;
    out = static_cast<int>(v);
    return true;
}
}  // namespace

std::optional<Signal> parseSignal(const std::vector<std::string>& words, std::string& error)
{
    Signal s;
    s.startNs = monotonicNs();
    if (words.empty()) {
        error = "missing signal";
        return std::nullopt;
    }
    if (words[0] == "const" && words.size() == 2) {
        s.kind = Signal::Kind::Constant;
        if (!parseByte(words[1], s.constant)) {
            error = "raw value must be 0..255";
            return std::nullopt;
        }
        return s;
    }
    if (words[0] == "sine" && words.size() == 4) {
        s.kind = Signal::Kind::Sine;
        char* end = nullptr;
        s.periodS = std::strtod(words[3].c_str(), &end);
        if (!parseByte(words[1], s.min) || !parseByte(words[2], s.max) || *end != '\0' || !(s.periodS > 0.0)) {
            error = "sine needs MIN MAX (0..255) and a period in seconds above 0";
            return std::nullopt;
        }
        return s;
    }
    if (words[0] == "idle" && words.size() == 1) {
        s.kind = Signal::Kind::Idle;
        return s;
    }
    error = "signal must be 'const N', 'sine MIN MAX PERIOD_S' or 'idle'";
    return std::nullopt;
}

}  // namespace emulated
