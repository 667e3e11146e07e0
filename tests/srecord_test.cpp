// The simulated product's S-record check decides PASS or ERROR, so it must refuse every damaged
// line.
#include "srecord.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct CheckCase {
    const char* line;
    SRecord::Kind kind;
};

// Valid lines were checked against an independent checksum computation.
const CheckCase CheckCases[] = {
    {"S009000056322E302E30B2", SRecord::Kind::Header},
    {"S113100025EB8C48FF89CB854FC09081CC47EDFC04", SRecord::Kind::Data},
    {"S113100025eb8c48ff89cb854fc09081cc47edfc04", SRecord::Kind::Data},
    {"S3150000100025EB8C48FF89CB854FC09081CC47EDFC02", SRecord::Kind::Data},
    {"S5030003F9", SRecord::Kind::Count},
    {"S9031000EC", SRecord::Kind::End},
    {"S70500001000EA", SRecord::Kind::End},
    {"S9031000EB", SRecord::Kind::Invalid},                                   // checksum
    {"S113100025EB8C48FF89CB854FC09081CC47EDFC0", SRecord::Kind::Invalid},    // short
    {"S113100025EB8C48FF89CB854FC09081CC47EDFC0400", SRecord::Kind::Invalid}, // long
    {"S113100025EB8C48FF89CB854FC09081CC47EDFG04", SRecord::Kind::Invalid},   // not hex
    {"S4031000EC", SRecord::Kind::Invalid},                                   // reserved type
    {"SX031000EC", SRecord::Kind::Invalid},
    {"s9031000EC", SRecord::Kind::Invalid},
    {"S9021000", SRecord::Kind::Invalid},     // count too small for the address
    {"S9041000AA41", SRecord::Kind::Invalid}, // an end record with data, checksum right
    {"S9031000EC ", SRecord::Kind::Invalid},
    {"S90", SRecord::Kind::Invalid},
    {"", SRecord::Kind::Invalid},
};

TEST(SRecordCheck, JudgesEveryFormOfLine) {
    for (const CheckCase& c : CheckCases)
        EXPECT_EQ(SRecord::check(c.line, std::strlen(c.line)), c.kind) << c.line;
}

TEST(SRecordCompose, WritesTheLinesTheCheckAccepts) {
    const uint8_t data[] = {0x25, 0xEB, 0x8C, 0x48, 0xFF, 0x89, 0xCB, 0x85,
                            0x4F, 0xC0, 0x90, 0x81, 0xCC, 0x47, 0xED, 0xFC};
    char line[SRecord::MaxLineLength + 1];
    ASSERT_GT(SRecord::compose('1', 0x1000, data, sizeof data, line, sizeof line), 0u);
    EXPECT_STREQ(line, "S113100025EB8C48FF89CB854FC09081CC47EDFC04");
    ASSERT_GT(SRecord::compose('7', 0x1000, nullptr, 0, line, sizeof line), 0u);
    EXPECT_STREQ(line, "S70500001000EA");
    EXPECT_EQ(SRecord::compose('4', 0, data, sizeof data, line, sizeof line), 0u);
    EXPECT_EQ(SRecord::compose('1', 0, data, sizeof data, line, 20), 0u);
}

TEST(SRecordHeader, GivesTheHeaderText) {
    const char* header = "S009000056322E302E30B2";
    char text[8];
    EXPECT_EQ(SRecord::headerData(header, std::strlen(header), text, sizeof text), 6u);
    EXPECT_STREQ(text, "V2.0.0");
    const char* data = "S9031000EC";
    EXPECT_EQ(SRecord::headerData(data, std::strlen(data), text, sizeof text), 0u);
}

} // namespace
