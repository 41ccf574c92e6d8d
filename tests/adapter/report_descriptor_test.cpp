#include "report_descriptor.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes repeat(std::uint8_t byte, std::size_t times) {
    return Bytes(times, byte);
}

// The sensor adapter: one vendor-defined 8-byte Feature report, no report IDs.
const Bytes kSensorFeature = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)       <- offset 5
    0x09, 0x02,        //   Usage (0x02)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)
    0xC0,              // End Collection
};

// Same adapter with an 8-byte Input report next to the Feature report.
const Bytes kSensorFeatureAndInput = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0x09, 0x02,        //   Usage (0x02)
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0x09, 0x03,        //   Usage (0x03)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)
    0xC0,              // End Collection
};

// Boot mouse as in HID 1.11 Appendix B.2: 3 buttons + 5 padding bits, X, Y -> 3 bytes.
const Bytes kBootMouse = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x02,  // Usage (Mouse)
    0xA1, 0x01,  // Collection (Application)
    0x09, 0x01,  //   Usage (Pointer)
    0xA1, 0x00,  //   Collection (Physical)
    0x05, 0x09,  //     Usage Page (Button)
    0x19, 0x01,  //     Usage Minimum (1)
    0x29, 0x03,  //     Usage Maximum (3)
    0x15, 0x00,  //     Logical Minimum (0)
    0x25, 0x01,  //     Logical Maximum (1)
    0x95, 0x03,  //     Report Count (3)
    0x75, 0x01,  //     Report Size (1)
    0x81, 0x02,  //     Input (Data, Var, Abs)   buttons
    0x95, 0x01,  //     Report Count (1)
    0x75, 0x05,  //     Report Size (5)
    0x81, 0x01,  //     Input (Const)            padding
    0x05, 0x01,  //     Usage Page (Generic Desktop)
    0x09, 0x30,  //     Usage (X)
    0x09, 0x31,  //     Usage (Y)
    0x15, 0x81,  //     Logical Minimum (-127)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x02,  //     Report Count (2)
    0x81, 0x06,  //     Input (Data, Var, Rel)
    0xC0,        //   End Collection
    0xC0,        // End Collection
};

// Wheel mouse: the boot mouse plus a wheel byte -> 4 bytes, InputReportByteLength 5.
const Bytes kWheelMouse = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x02,  // Usage (Mouse)
    0xA1, 0x01,  // Collection (Application)
    0x09, 0x01,  //   Usage (Pointer)
    0xA1, 0x00,  //   Collection (Physical)
    0x05, 0x09,  //     Usage Page (Button)
    0x19, 0x01,  //     Usage Minimum (1)
    0x29, 0x03,  //     Usage Maximum (3)
    0x15, 0x00,  //     Logical Minimum (0)
    0x25, 0x01,  //     Logical Maximum (1)
    0x95, 0x03,  //     Report Count (3)
    0x75, 0x01,  //     Report Size (1)
    0x81, 0x02,  //     Input (Data, Var, Abs)   buttons
    0x95, 0x01,  //     Report Count (1)
    0x75, 0x05,  //     Report Size (5)
    0x81, 0x01,  //     Input (Const)            padding
    0x05, 0x01,  //     Usage Page (Generic Desktop)
    0x09, 0x30,  //     Usage (X)
    0x09, 0x31,  //     Usage (Y)
    0x09, 0x38,  //     Usage (Wheel)
    0x15, 0x81,  //     Logical Minimum (-127)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x03,  //     Report Count (3)
    0x81, 0x06,  //     Input (Data, Var, Rel)
    0xC0,        //   End Collection
    0xC0,        // End Collection
};

// Boot keyboard as in HID 1.11 Appendix B.1: 8-byte Input, 1-byte LED Output.
const Bytes kBootKeyboard = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x06,  // Usage (Keyboard)
    0xA1, 0x01,  // Collection (Application)        <- offset 4
    0x05, 0x07,  //   Usage Page (Key Codes)
    0x19, 0xE0,  //   Usage Minimum (224)
    0x29, 0xE7,  //   Usage Maximum (231)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x01,  //   Logical Maximum (1)
    0x75, 0x01,  //   Report Size (1)
    0x95, 0x08,  //   Report Count (8)
    0x81, 0x02,  //   Input (Data, Var, Abs)       modifier byte
    0x95, 0x01,  //   Report Count (1)
    0x75, 0x08,  //   Report Size (8)
    0x81, 0x01,  //   Input (Const)                reserved byte
    0x95, 0x05,  //   Report Count (5)
    0x75, 0x01,  //   Report Size (1)
    0x05, 0x08,  //   Usage Page (LEDs)
    0x19, 0x01,  //   Usage Minimum (1)
    0x29, 0x05,  //   Usage Maximum (5)
    0x91, 0x02,  //   Output (Data, Var, Abs)      LEDs
    0x95, 0x01,  //   Report Count (1)
    0x75, 0x03,  //   Report Size (3)
    0x91, 0x01,  //   Output (Const)               LED padding
    0x95, 0x06,  //   Report Count (6)
    0x75, 0x08,  //   Report Size (8)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x65,  //   Logical Maximum (101)
    0x05, 0x07,  //   Usage Page (Key Codes)
    0x19, 0x00,  //   Usage Minimum (0)
    0x29, 0x65,  //   Usage Maximum (101)
    0x81, 0x00,  //   Input (Data, Array)          key array
    0xC0,        // End Collection
};

// Vendor device with report IDs and Feature reports of 4, 16 and 2+15 bytes. Report 3 comes back
// later in the descriptor, so its fields add up to the longest Feature report (17 bytes); its
// Input fields are counted separately (7+1 bytes).
const Bytes kReportIdFeatures = {
    0x06, 0x00, 0xFF,  // Usage Page (Vendor Defined 0xFF00)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x85, 0x01,        //   Report ID (1)
    0x95, 0x04,        //   Report Count (4)
    0x09, 0x10,        //   Usage (0x10)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)   report 1: 4 bytes
    0x85, 0x02,        //   Report ID (2)
    0x95, 0x10,        //   Report Count (16)
    0x09, 0x11,        //   Usage (0x11)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)   report 2: 16 bytes
    0x85, 0x03,        //   Report ID (3)
    0x95, 0x02,        //   Report Count (2)
    0x09, 0x12,        //   Usage (0x12)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)   report 3: 2 bytes so far
    0x95, 0x07,        //   Report Count (7)
    0x09, 0x13,        //   Usage (0x13)
    0x81, 0x02,        //   Input (Data, Var, Abs)     input report 3: 7 bytes so far
    0x85, 0x01,        //   Report ID (1)
    0x95, 0x03,        //   Report Count (3)
    0x09, 0x14,        //   Usage (0x14)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)   report 1: 7 bytes
    0x85, 0x03,        //   Report ID (3)
    0x95, 0x0F,        //   Report Count (15)
    0x09, 0x15,        //   Usage (0x15)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)   report 3: 17 bytes
    0x95, 0x01,        //   Report Count (1)
    0x09, 0x16,        //   Usage (0x16)
    0x81, 0x02,        //   Input (Data, Var, Abs)     input report 3: 8 bytes
    0xC0,              // End Collection
};

// Generic 64-byte vendor device, the usual "raw HID" layout.
const Bytes kRaw64 = {
    0x06, 0xA0, 0xFF,  // Usage Page (Vendor Defined 0xFFA0)
    0x09, 0x01,        // Usage (0x01)
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x09, 0x01,        //   Usage (0x01)
    0x81, 0x02,        //   Input (Data, Var, Abs)
    0x09, 0x02,        //   Usage (0x02)
    0x91, 0x02,        //   Output (Data, Var, Abs)
    0x09, 0x03,        //   Usage (0x03)
    0xB1, 0x02,        //   Feature (Data, Var, Abs)
    0xC0,              // End Collection
};

// Consumer control with a report ID and a 16-bit usage array: no Feature report at all.
const Bytes kConsumerControl = {
    0x05, 0x0C,        // Usage Page (Consumer)
    0x09, 0x01,        // Usage (Consumer Control)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x02,        //   Report ID (2)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0x3C, 0x02,  //   Logical Maximum (572)
    0x19, 0x00,        //   Usage Minimum (0)
    0x2A, 0x3C, 0x02,  //   Usage Maximum (572)
    0x75, 0x10,        //   Report Size (16)
    0x95, 0x01,        //   Report Count (1)
    0x81, 0x00,        //   Input (Data, Array)
    0xC0,              // End Collection
};

// Two application collections; Push/Pop around a change of Report Size, Count and even Report ID.
const Bytes kPushPopCollections = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x04,  // Usage (Joystick)
    0xA1, 0x01,  // Collection (Application)
    0x85, 0x01,  //   Report ID (1)
    0x75, 0x08,  //   Report Size (8)
    0x95, 0x02,  //   Report Count (2)
    0xA1, 0x00,  //   Collection (Physical)
    0xA4,        //     Push                     saves ID 1, 8 x 2
    0x75, 0x04,  //     Report Size (4)
    0x95, 0x03,  //     Report Count (3)
    0x81, 0x02,  //     Input                    report 1: 12 bits
    0xB4,        //     Pop                      back to 8 x 2
    0x81, 0x02,  //     Input                    report 1: 28 bits -> 4 bytes
    0xC0,        //   End Collection
    0xC0,        // End Collection
    0x05, 0x0C,  // Usage Page (Consumer)
    0x09, 0x01,  // Usage (Consumer Control)
    0xA1, 0x01,  // Collection (Application)
    0x85, 0x02,  //   Report ID (2)
    0xA4,        //   Push                       saves ID 2, 8 x 2
    0x75, 0x18,  //   Report Size (24)
    0x95, 0x01,  //   Report Count (1)
    0xB1, 0x02,  //   Feature                    feature 2: 24 bits
    0x85, 0x03,  //   Report ID (3)
    0x75, 0x01,  //   Report Size (1)
    0x95, 0x0C,  //   Report Count (12)
    0x81, 0x02,  //   Input                      report 3: 12 bits -> 2 bytes
    0xB4,        //   Pop                        back to ID 2, 8 x 2
    0x81, 0x02,  //   Input                      report 2: 16 bits -> 2 bytes
    0xB1, 0x02,  //   Feature                    feature 2: 40 bits -> 5 bytes
    0xC0,        // End Collection
};

struct ValidCase {
    const char* name;
    Bytes descriptor;
    std::size_t input;
    std::size_t output;
    std::size_t feature;
    bool usesReportIds;
};

void PrintTo(const ValidCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<ValidCase>& validCases() {
    static const std::vector<ValidCase> cases = {
        {"SensorFeatureOnly", kSensorFeature, 0, 0, 9, false},
        {"SensorFeatureAndInput", kSensorFeatureAndInput, 9, 0, 9, false},
        {"BootMouse", kBootMouse, 4, 0, 0, false},
        {"WheelMouse", kWheelMouse, 5, 0, 0, false},
        {"BootKeyboard", kBootKeyboard, 9, 2, 0, false},
        {"ReportIdsLongestFeatureWins", kReportIdFeatures, 9, 0, 18, true},
        {"Raw64", kRaw64, 65, 65, 65, false},
        {"ConsumerControlNoFeature", kConsumerControl, 3, 0, 0, true},
        {"PushPopAcrossCollections", kPushPopCollections, 5, 0, 6, true},
        {"NoMainItems", {0x05, 0x01, 0x09, 0x02, 0x15, 0x00}, 0, 0, 0, false},
        {"CollectionsOnly", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xA1, 0x00, 0xC0, 0xC0}, 0, 0, 0, false},
        // Main items before any Report Size / Report Count describe 0 bits, so no report.
        {"MainItemsWithoutSizeOrCount", {0xA1, 0x01, 0x81, 0x02, 0x91, 0x02, 0xB1, 0x02, 0xC0}, 0, 0, 0, false},
        {"SizeWithoutCount", {0x75, 0x08, 0x81, 0x02}, 0, 0, 0, false},
        // Long items are skipped with their data, even when that data looks like End Collection.
        {"LongItemsSkipped",
         join({{0xFE, 0x02, 0x10, 0xC0, 0xC0}, kSensorFeature, {0xFE, 0x00, 0xF0}}), 0, 0, 9, false},
        // Reserved item type 3 with bSize 3 carries 4 data bytes that must be skipped, not parsed.
        {"ReservedItemSkipped", join({{0x0F, 0xC0, 0xC0, 0xC0, 0xC0}, kSensorFeature}), 0, 0, 9, false},
        // bSize 3 means 4 data bytes: Report Size 8, Report Count 16, Feature with 4-byte flags.
        {"FourByteData",
         {0x77, 0x08, 0x00, 0x00, 0x00, 0x97, 0x10, 0x00, 0x00, 0x00, 0xB3, 0x02, 0x00, 0x00, 0x00}, 0, 0, 17, false},
        // Little-endian 2-byte Report Count: 0x0102 one-bit fields = 258 bits -> 33 bytes.
        {"LittleEndianCount", {0x75, 0x01, 0x96, 0x02, 0x01, 0x81, 0x02}, 34, 0, 0, false},
        {"PartialByteRoundsUp", {0x75, 0x01, 0x95, 0x09, 0x91, 0x02}, 0, 3, 0, false},
        {"ReportId255TwoByteItem", {0x86, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x01, 0xB1, 0x02}, 0, 0, 2, true},
        // A 0-bit item before the first Report ID carries no data, so it does not mix ID 0 in.
        {"ZeroBitItemBeforeReportId", {0x81, 0x02, 0x85, 0x01, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02}, 3, 0, 0, true},
        // Exactly 4096 bytes is the longest report accepted, reached in one field or in several.
        {"LongestReportOneField", {0x75, 0x01, 0x97, 0x00, 0x80, 0x00, 0x00, 0x81, 0x02}, 4097, 0, 0, false},
        {"LongestReportTwoFields", {0x75, 0x08, 0x96, 0x00, 0x08, 0xB1, 0x02, 0xB1, 0x02}, 0, 0, 4097, false},
        // 64 nested Pushes are allowed; the innermost Report Size applies until the Pops unwind it.
        {"Push64Deep",
         join({{0x75, 0x10, 0x95, 0x01}, repeat(0xA4, 64), {0x75, 0x08, 0x81, 0x02}, repeat(0xB4, 64),
               {0x91, 0x02}}),
         2, 3, 0, false},
    };
    return cases;
}

class ValidDescriptor : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ValidDescriptor, GivesHidPGetCapsLengths) {
    const ValidCase& c = GetParam();
    const hid::ReportLengths r = hid::parseReportLengths(c.descriptor);
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.input, c.input);
    EXPECT_EQ(r.output, c.output);
    EXPECT_EQ(r.feature, c.feature);
    EXPECT_EQ(r.usesReportIds, c.usesReportIds);
}

INSTANTIATE_TEST_SUITE_P(Table, ValidDescriptor, ::testing::ValuesIn(validCases()),
                         [](const ::testing::TestParamInfo<ValidCase>& param) { return std::string(param.param.name); });

struct MalformedCase {
    const char* name;
    Bytes descriptor;
    const char* errorContains;
};

void PrintTo(const MalformedCase& c, std::ostream* os) {
    *os << c.name;
}

const std::vector<MalformedCase>& malformedCases() {
    static const std::vector<MalformedCase> cases = {
        {"Empty", {}, "empty report descriptor"},
        {"TruncatedOneByteItem", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x75}, "truncated item at offset 6"},
        {"TruncatedFourByteItem", {0x75, 0x08, 0x97, 0xFF, 0xFF}, "truncated item at offset 2"},
        {"TruncatedLongItemHeader", {0x05, 0x01, 0xFE, 0x05}, "truncated long item at offset 2"},
        {"TruncatedLongItemData", {0x05, 0x01, 0xFE, 0x04, 0x10, 0x01, 0x02, 0x03}, "truncated long item at offset 2"},
        {"PopOnEmptyStack", {0x75, 0x08, 0xB4}, "Pop with empty global stack at offset 2"},
        {"MorePopsThanPushes", {0xA4, 0xB4, 0xB4}, "Pop with empty global stack at offset 2"},
        {"Push65Deep", repeat(0xA4, 65), "Push nested deeper than 64 at offset 64"},
        {"ReportCountFFFFFFFF", {0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02},
         "report longer than 4096 bytes at offset 7"},
        {"SizeAndCountFFFFFFFF", {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02},
         "report longer than 4096 bytes at offset 10"},
        {"OneByteOverLimit", {0x75, 0x08, 0x96, 0x01, 0x10, 0x91, 0x02}, "report longer than 4096 bytes at offset 5"},
        {"OneBitOverLimitAcrossFields",
         {0x75, 0x01, 0x97, 0x00, 0x80, 0x00, 0x00, 0x81, 0x02, 0x95, 0x01, 0x81, 0x02},
         "report longer than 4096 bytes at offset 11"},
        {"ThreeFieldsOverLimit", {0x75, 0x08, 0x96, 0x00, 0x08, 0xB1, 0x02, 0xB1, 0x02, 0xB1, 0x02},
         "report longer than 4096 bytes at offset 9"},
        {"EndCollectionWithoutCollection", {0xC0}, "End Collection without Collection at offset 0"},
        {"ExtraEndCollection", {0xA1, 0x01, 0xC0, 0xC0}, "End Collection without Collection at offset 3"},
        {"OpenCollectionAtEnd", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01}, "1 collection(s) left open"},
        {"TwoOpenCollections", {0xA1, 0x01, 0xA1, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02},
         "2 collection(s) left open"},
        {"ReportIdZero", {0x85, 0x00}, "Report ID 0 at offset 0"},
        {"ReportIdWithoutData", {0x84}, "Report ID 0 at offset 0"},
        {"ReportId256", {0x86, 0x00, 0x01}, "Report ID above 255 at offset 0"},
        {"DataBeforeFirstReportId", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02},
         "without Report ID"},
        // Pop restores Report ID 0 even though the descriptor already uses report IDs.
        {"PopBackToReportIdZero",
         {0x75, 0x08, 0x95, 0x01, 0xA4, 0x85, 0x01, 0x81, 0x02, 0xB4, 0xB1, 0x02},
         "without Report ID in a descriptor that uses Report IDs at offset 10"},
    };
    return cases;
}

class MalformedDescriptor : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedDescriptor, IsRejectedWithReasonAndNoLengths) {
    const MalformedCase& c = GetParam();
    const hid::ReportLengths r = hid::parseReportLengths(c.descriptor);
    EXPECT_NE(r.error.find(c.errorContains), std::string::npos) << "error was: \"" << r.error << '"';
    EXPECT_EQ(r.input, 0u);
    EXPECT_EQ(r.output, 0u);
    EXPECT_EQ(r.feature, 0u);
    EXPECT_FALSE(r.usesReportIds);
}

INSTANTIATE_TEST_SUITE_P(Table, MalformedDescriptor, ::testing::ValuesIn(malformedCases()),
                         [](const ::testing::TestParamInfo<MalformedCase>& param) {
                             return std::string(param.param.name);
                         });

// A descriptor cut short anywhere after its top-level Collection opens is either mid-item or leaves
// the collection open, so every such cut must be rejected, never read as a shorter device.
struct CutCase {
    const char* name;
    const Bytes* descriptor;
    std::size_t collectionOffset;  // offset of the top-level Collection prefix byte
};

TEST(ReportDescriptorCut, EveryCutAfterTopCollectionIsRejected) {
    const CutCase cases[] = {
        {"SensorFeature", &kSensorFeature, 5},
        {"BootKeyboard", &kBootKeyboard, 4},
        {"WheelMouse", &kWheelMouse, 4},
        {"ReportIdFeatures", &kReportIdFeatures, 5},
    };
    for (const CutCase& c : cases) {
        const Bytes& full = *c.descriptor;
        ASSERT_EQ(full.at(c.collectionOffset), 0xA1) << c.name;
        for (std::size_t len = c.collectionOffset + 1; len < full.size(); ++len) {
            const std::span<const std::uint8_t> cut(full.data(), len);
            const hid::ReportLengths r = hid::parseReportLengths(cut);
            EXPECT_FALSE(r.error.empty()) << c.name << " cut to " << len << " bytes";
            EXPECT_EQ(r.input + r.output + r.feature, 0u) << c.name << " cut to " << len << " bytes";
        }
    }
}

}  // namespace
