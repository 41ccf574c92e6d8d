// libFuzzer target for the report descriptor parser: the descriptor is read from the device, so the
// parser must give a defined, self-consistent answer for any byte sequence.

#include "report_descriptor.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace {

// Every report holds at least one byte of data plus the ID byte, and at most 4096 bytes of data.
bool plausibleLength(std::size_t length) {
    return length == 0 || (length >= 2 && length <= 4097);
}

}  // namespace

// libFuzzer declares no header for its entry point; declaring it keeps -Wmissing-declarations quiet.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const hid::ReportLengths r = hid::parseReportLengths(std::span<const std::uint8_t>(data, size));
    if (!r.error.empty() && (r.input != 0 || r.output != 0 || r.feature != 0 || r.usesReportIds)) {
        __builtin_trap();
    }
    if (size == 0 && r.error.empty()) {
        __builtin_trap();
    }
    if (!plausibleLength(r.input) || !plausibleLength(r.output) || !plausibleLength(r.feature)) {
        __builtin_trap();
    }
    return 0;
}
