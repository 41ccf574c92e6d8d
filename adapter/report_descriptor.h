#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace hid {

// Report lengths as Windows' HidP_GetCaps reports them (InputReportByteLength, OutputReportByteLength,
// FeatureReportByteLength): the longest report of that kind in bytes, plus one byte for the report ID,
// which is counted also when the device uses no report IDs; 0 when the device has no report of that kind.
struct ReportLengths {
    std::size_t input = 0;
    std::size_t output = 0;
    std::size_t feature = 0;
    bool usesReportIds = false;
    std::string error;  // empty when the descriptor was understood; otherwise why not, and all lengths are 0
};

// The descriptor comes straight from the device, so any byte sequence gets a defined answer:
// either the lengths or an error with every length 0.
ReportLengths parseReportLengths(std::span<const std::uint8_t> descriptor);

}  // namespace hid
