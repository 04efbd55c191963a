// The test dialog base: the drive's error register turned into the user's message, and the
// closing question.
#include "MyTestDlg.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using namespace pelmora;

constexpr const char* kShortCircuit = "Drive / Motor shortcircuit protection triggered.";
constexpr const char* kControlError = "Drive / Motor control error protection triggered.";
constexpr const char* kHallMissing = "Hall sensor is missing.";
constexpr const char* kPositiveLimit = "Drive / Motor stopped due to positive limit switch input triggered.";
constexpr const char* kNegativeLimit = "Drive / Motor stopped due to negative limit switch input triggered.";
constexpr const char* kEnable = "Drive / Motor ENABLE input is in DISABLED state.";

TEST(DriveErrorMessage, TheFirstExaminedBitNamesTheFault) {
    struct Case {
        std::uint16_t mer;
        std::uint16_t mask;
        const char* expected;  // null: no error
    };
    const Case cases[] = {
        {0x0000, 0xFFFF, nullptr},
        {0x0022, 0x8002, kShortCircuit},
        {0x0020, 0x8002, nullptr},
        {0x8000, 0x8002, kEnable},
        {0x8000, 0xFFFF, kEnable},
        {0x8000, 0x0002, nullptr},
        {0x8002, 0x0002, kShortCircuit},
        {0x0008, 0xFFFF, kControlError},
        {0x0028, 0xFFFF, kControlError},
        {0x0020, 0xFFFF, kHallMissing},
        {0x00C0, 0xFFFF, kPositiveLimit},
        {0x0080, 0xFFFF, kNegativeLimit},
        {0x0080, 0x8002, nullptr},
        // Bits without a message of their own are no fault the tests can name.
        {0x0101, 0xFFFF, nullptr},
        {0x8100, 0xFFFF, kEnable},
    };
    for (const Case& c : cases) {
        const auto message = DriveErrorMessage(c.mer, c.mask);
        const std::string got = message ? *message : "(none)";
        const std::string want = c.expected ? c.expected : "(none)";
        EXPECT_EQ(got, want) << "MER 0x" << std::hex << c.mer << " mask 0x" << c.mask;
    }
}

TEST(ChangedValuesQuestion, ListsEachChangedValueBetweenTheFixedTexts) {
    EXPECT_EQ(ChangedValuesQuestion({}), "");
    EXPECT_EQ(ChangedValuesQuestion({{"Power supply", "48", "47.63"}}),
              "A different value than specified has been detected for the following parameter(s):\r\n\r\n"
              "Power supply:\tOld = 48\tNew = 47.63\r\n"
              "\r\nDo you want to save the new value(s)? (Recommended)");
}

}  // namespace
