#include "report_descriptor.h"

#include <array>
#include <optional>
#include <utility>
#include <vector>

namespace hid {

namespace {

// Linux refuses reports longer than HID_MAX_BUFFER_SIZE; a device claiming more is broken or hostile.
constexpr std::uint64_t kMaxReportBytes = 4096;
constexpr std::uint64_t kMaxReportBits = kMaxReportBytes * 8;

// No real device nests Push anywhere near this; the limit only bounds memory for hostile input.
constexpr std::size_t kMaxPushDepth = 64;

constexpr std::uint8_t kLongItemPrefix = 0xFE;  // HID 1.11, 6.2.2.3 Long Items

// HID 1.11, 6.2.2.2 Short Items: bType.
enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

// HID 1.11, 6.2.2.4 Main Items.
enum MainTag : std::uint8_t {
    kInput = 0x8,
    kOutput = 0x9,
    kFeature = 0xB,
    kCollection = 0xA,
    kEndCollection = 0xC,
};

// HID 1.11, 6.2.2.7 Global Items (only those that affect report lengths).
enum GlobalTag : std::uint8_t {
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB,
};

enum ReportKind : std::size_t { kInputKind = 0, kOutputKind = 1, kFeatureKind = 2, kKindCount = 3 };

// Push/Pop save and restore the whole global state (HID 1.11, 6.2.2.7), Report ID included.
struct GlobalState {
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint8_t reportId = 0;
};

std::string at(const char* what, std::size_t offset) {
    return std::string(what) + " at offset " + std::to_string(offset);
}

ReportLengths failure(std::string why) {
    ReportLengths result;
    result.error = std::move(why);
    return result;
}

std::size_t byteLength(const std::array<std::uint64_t, 256>& reportBits) {
    std::uint64_t longest = 0;
    for (const std::uint64_t bits : reportBits) {
        if (bits > longest) {
            longest = bits;
        }
    }
    if (longest == 0) {
        return 0;  // a 0-bit field describes no data, so it does not make a report
    }
    return static_cast<std::size_t>((longest + 7) / 8 + 1);  // +1: HidP_GetCaps counts the report ID byte
}

}  // namespace

ReportLengths parseReportLengths(std::span<const std::uint8_t> descriptor) {
    if (descriptor.empty()) {
        return failure("empty report descriptor");
    }

    // Bits per (kind, report ID). Indexing by the 8-bit ID keeps this a fixed-size table.
    std::array<std::array<std::uint64_t, 256>, kKindCount> bits{};
    GlobalState global;
    std::vector<GlobalState> stack;
    std::size_t openCollections = 0;
    bool sawReportIdItem = false;
    std::optional<std::size_t> dataWithoutReportId;  // offset of the first data item filed under ID 0

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::size_t itemOffset = pos;
        const std::uint8_t prefix = descriptor[pos];

        if (prefix == kLongItemPrefix) {
            // HID 1.11, 6.2.2.3: no long item tags are defined, so the data is skipped unread.
            if (descriptor.size() - pos < 3) {
                return failure(at("truncated long item", itemOffset));
            }
            const std::size_t dataSize = descriptor[pos + 1];
            if (descriptor.size() - pos - 3 < dataSize) {
                return failure(at("truncated long item", itemOffset));
            }
            pos += 3 + dataSize;
            continue;
        }

        const std::size_t sizeCode = prefix & 0x3u;
        const std::size_t dataSize = sizeCode == 3 ? 4 : sizeCode;
        const auto type = static_cast<std::uint8_t>((prefix >> 2) & 0x3u);
        const auto tag = static_cast<std::uint8_t>(prefix >> 4);
        if (descriptor.size() - pos - 1 < dataSize) {
            return failure(at("truncated item", itemOffset));
        }
        // HID 1.11, 6.2.2.2: short item data is little-endian.
        std::uint32_t data = 0;
        for (std::size_t i = 0; i < dataSize; ++i) {
            data |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        }
        pos += 1 + dataSize;

        if (type == kMain) {
            std::optional<ReportKind> kind;
            switch (tag) {
            case kInput:
                kind = kInputKind;
                break;
            case kOutput:
                kind = kOutputKind;
                break;
            case kFeature:
                kind = kFeatureKind;
                break;
            case kCollection:
                ++openCollections;
                break;
            case kEndCollection:
                if (openCollections == 0) {
                    return failure(at("End Collection without Collection", itemOffset));
                }
                --openCollections;
                break;
            default:
                break;  // reserved Main tags carry no report data
            }
            if (kind) {
                // Both factors are below 2^32, so the product fits in 64 bits; the running total is
                // capped at kMaxReportBits before each addition, so it cannot wrap either.
                const std::uint64_t fieldBits =
                    static_cast<std::uint64_t>(global.reportSize) * global.reportCount;
                std::uint64_t& total = bits[*kind][global.reportId];
                if (fieldBits > kMaxReportBits - total) {
                    return failure(at("report longer than 4096 bytes", itemOffset));
                }
                total += fieldBits;
                if (fieldBits > 0 && global.reportId == 0 && !dataWithoutReportId) {
                    dataWithoutReportId = itemOffset;
                }
            }
        } else if (type == kGlobal) {
            switch (tag) {
            case kReportSize:
                global.reportSize = data;
                break;
            case kReportCount:
                global.reportCount = data;
                break;
            case kReportId:
                // HID 1.11, 6.2.2.7: Report ID zero is reserved, and the ID is sent as one byte.
                if (data == 0) {
                    return failure(at("Report ID 0", itemOffset));
                }
                if (data > 255) {
                    return failure(at("Report ID above 255", itemOffset));
                }
                global.reportId = static_cast<std::uint8_t>(data);
                sawReportIdItem = true;
                break;
            case kPush:
                if (stack.size() >= kMaxPushDepth) {
                    return failure(at("Push nested deeper than 64", itemOffset));
                }
                stack.push_back(global);
                break;
            case kPop:
                if (stack.empty()) {
                    return failure(at("Pop with empty global stack", itemOffset));
                }
                global = stack.back();
                stack.pop_back();
                break;
            default:
                break;  // usage page, logical/physical ranges, units: no effect on lengths
            }
        }
        // Local items only attach usages to fields, and reserved item types are ignored as Linux does.
    }

    if (openCollections != 0) {
        return failure(std::to_string(openCollections) + " collection(s) left open at end of descriptor");
    }
    // Once a device uses report IDs, every report starts with its ID byte, so data filed under ID 0
    // (before the first Report ID, or restored to it by Pop) has no report to travel in. Windows rejects
    // such a descriptor, and we do the same rather than guess a layout.
    if (sawReportIdItem && dataWithoutReportId) {
        return failure(at("data item without Report ID in a descriptor that uses Report IDs",
                          *dataWithoutReportId));
    }

    ReportLengths result;
    result.input = byteLength(bits[kInputKind]);
    result.output = byteLength(bits[kOutputKind]);
    result.feature = byteLength(bits[kFeatureKind]);
    result.usesReportIds = sawReportIdItem;
    return result;
}

}  // namespace hid
