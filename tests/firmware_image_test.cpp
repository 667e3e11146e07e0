#include "os/file_read.h"
#include "session/firmware_image.h"
#include "session/report.h"
#include "session/session_state.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using ImageCheck::Problem;

// An S-record of the given type with its count and checksum computed.
std::string rec(char type, const std::string& addressAndData) {
    const size_t count = addressAndData.size() / 2 + 1;
    unsigned sum = static_cast<unsigned>(count);
    for (size_t i = 0; i < addressAndData.size(); i += 2) {
        sum += static_cast<unsigned>(std::stoul(addressAndData.substr(i, 2), nullptr, 16));
    }
    char head[8];
    char tail[4];
    std::snprintf(head, sizeof head, "S%c%02X", type, static_cast<unsigned>(count));
    std::snprintf(tail, sizeof tail, "%02X", ~sum & 0xFFu);
    return head + addressAndData + tail;
}

const std::string Header = rec('0', "0000484452");
const std::string Data1 = rec('1', "1000AABBCCDD");
const std::string Data2 = rec('1', "1004EEFF");
const std::string End = rec('9', "1000");
const std::string Good = Header + "\n" + Data1 + "\n" + Data2 + "\n" + End + "\n";

// count bytes counting up from first, as hex digits.
std::string hexBytes(unsigned first, unsigned count) {
    std::string text;
    char digits[3];
    for (unsigned i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", (first + i) & 0xFF);
        text += digits;
    }
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    text[0] = 'S';
    return text;
}

class FirmwareImageTest : public testing::Test {
  protected:
    void SetUp() override {
        sessionState.firmwarePath = path.c_str();
        sessionState.productId = "KORVA";
    }
    void TearDown() override { FirmwareImage::unload(); }

    bool load(const std::string& content) {
        testing::internal::CaptureStdout();
        const bool loaded = FirmwareImage::loadBytes(path.c_str(), content.data(), content.size());
        printed = testing::internal::GetCapturedStdout();
        return loaded;
    }

    // Takes every line of the held image from its first, as the session does.
    std::vector<std::string> records() {
        const bool held = FirmwareImage::rewind();
        std::vector<std::string> sent;
        for (LineOutcome outcome = LineOutcome::Skipped;
             held && outcome != LineOutcome::EndOfFile;) {
            outcome = FirmwareImage::nextLine();
            if (outcome == LineOutcome::Record) {
                sent.push_back(sessionState.recordText);
            }
        }
        return sent;
    }

    std::string path = testing::TempDir() + "firmware_image_test.srec";
    std::string printed;
};

TEST_F(FirmwareImageTest, AcceptsImagesAndHandsOutTheirRecords) {
    const std::vector<std::string> all = {Header + "\n", Data1 + "\n", Data2 + "\n", End + "\n"};
    // 200 data bytes in one line: split into records of 16 with the line's own line end.
    std::vector<std::string> split = {Header + "\n"};
    for (unsigned at = 0; at < 200; at += 16) {
        char address[5];
        std::snprintf(address, sizeof address, "%04X", 0x1000 + at);
        split.push_back(rec('1', address + hexBytes(at, at + 16 <= 200 ? 16 : 8)) + "\n");
    }
    split.insert(split.end(), {rec('5', "000D") + "\n", End + "\n"});
    // A converted image's header names the file, at most 40 bytes of it.
    std::string named;
    for (size_t i = 0; i < path.size() && i < 40; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", static_cast<unsigned char>(path[i]));
        named += digits;
    }
    const struct {
        const char* name;
        std::string content;
        uint32_t lines;
        std::vector<std::string> sent; // empty: all four records with a line feed
    } cases[] = {
        {"LF", Good, 4, {}},
        {"CR LF", Header + "\r\n" + Data1 + "\r\n" + Data2 + "\r\n" + End + "\r\n", 4, {}},
        {"CR alone", Header + "\r" + Data1 + "\r" + Data2 + "\r" + End + "\r", 4, {}},
        {"Ctrl-Z at the end", Good + "\x1A", 4, {}},
        {"blank lines counted, not sent", "\n" + Good + "  \t\n\n" + std::string(20, ' '), 8, {}},
        {"last line without a line end",
         Header + "\n" + Data1 + "\n" + End,
         3,
         {Header + "\n", Data1 + "\n", End}},
        {"lower-case hex, trailing blanks sent as they stand",
         lower(Data1) + " \t\n" + rec('5', "0001") + "\n" + End + "\n",
         3,
         {lower(Data1) + " \t\n", rec('5', "0001") + "\n", End + "\n"}},
        {"S3 and S7 with a start address",
         rec('3', "00010000AA") + "\n" + rec('7', "00010000") + "\n",
         2,
         {rec('3', "00010000AA") + "\n", rec('7', "00010000") + "\n"}},
        {"a data line too long to send whole, split; the count record made right",
         Header + "\r\n" + rec('1', "1000" + hexBytes(0, 200)) + "\r\n" + rec('5', "0001") +
             "\r\n" + End + "\r\n",
         16, split},
        {"Intel HEX, converted",
         ":0400100001020304E2\n:00000001FF\n",
         3,
         {rec('0', "0000" + named) + "\n", rec('1', "001001020304") + "\n",
          rec('9', "0000") + "\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!load(c.content)) {
            ADD_FAILURE() << "refused: " << printed;
            continue;
        }
        EXPECT_EQ(printed, "");
        EXPECT_EQ(records(), c.sent.empty() ? all : c.sent);
        EXPECT_EQ(FirmwareImage::lineCount(), c.lines);
        EXPECT_TRUE(FirmwareImage::atEnd());
    }
    const ImageCheck::Source& source = FirmwareImage::report().source;
    EXPECT_EQ(source.format, ImageFormat::Format::IntelHex);
    EXPECT_TRUE(source.converted);
    // With a base address: a raw binary at it, its Ctrl-Z kept, in records of the bytes asked;
    // a format that carries addresses of its own refused.
    FirmwareImage::setConversion({true, 0x100, 2});
    EXPECT_TRUE(load(std::string("\x01\x02\x1A", 3)));
    EXPECT_EQ(records(), (std::vector<std::string>{
                             rec('0', "0000" + named) + "\n", rec('1', "01000102") + "\n",
                             rec('1', "01021A") + "\n", rec('9', "0100") + "\n"}));
    EXPECT_FALSE(load(Good));
    EXPECT_EQ(FirmwareImage::report().findings[0].detail.code,
              ImageProblem::Code::BaseNotForFormat);
    FirmwareImage::setConversion({});
    ASSERT_TRUE(load(":0400100001020304E2\n:00000001FF\n"));
    EXPECT_TRUE(source.converted);
    EXPECT_EQ(source.recordBytes, 16u);
    ASSERT_TRUE(load(Good));
    EXPECT_EQ(source.format, ImageFormat::Format::SRecords);
    EXPECT_FALSE(source.converted);
    const ImageCheck::Summary& summary = FirmwareImage::report().summary;
    EXPECT_EQ(summary.dataBytes, 6u);
    EXPECT_EQ(summary.lowestAddress, 0x1000u);
    EXPECT_EQ(summary.highestAddress, 0x1005u);
    EXPECT_EQ(summary.recordsByType[1], 2u);
}

TEST_F(FirmwareImageTest, RefusesImagesNamingLineAndReason) {
    const std::string body = Data1 + "\n" + End + "\n";
    const std::string bad = "S1071000AABBCC7A3C"; // the bytes need 3D
    const struct {
        std::string content;
        uint32_t line; // of the first finding; 0: the file as a whole
        Problem problem;
    } cases[] = {
        {Header + "\n" + bad + "\n" + End + "\n", 2, Problem::BadChecksum},
        {Data1 + "\n", 0, Problem::NoEnd},
        {Header + "\n" + End + "\n", 0, Problem::NoData},
        {body + End + "\n", 3, Problem::SecondEnd},
        {End + "\n" + Data1 + "\n", 2, Problem::DataAfterEnd},
        {Data1 + "\n" + rec('5', "0002") + "\n" + End + "\n", 2, Problem::WrongCount},
        {"S1130\n" + body, 1, Problem::CutRecord},
        {"hello, product\n" + body, 1, Problem::NotSRecord},
        {rec('4', "1000AA") + "\n" + body, 1, Problem::ReservedType},
        {"S1071000AABBXCDD3C\n" + body, 1, Problem::NotHex},
        {"S1071000AABBCCDD3\n" + body, 1, Problem::OddDigits},
        {"S1081000AABBCCDD3C\n" + body, 1, Problem::CountMismatch},
        {rec('3', "0001") + "\n" + body, 1, Problem::TooShortForType},
        {"S1" + std::string(1, '\0') + "3100000\n" + body, 1, Problem::HoldsNul},
        {body + "S1" + std::string(407, 'A') + "\n", 3, Problem::Overlong},
        {rec('0', "0000" + hexBytes(0, 203)) + "\n" + body, 1, Problem::Overlong}, // not data
        {rec('1', "FFF8" + hexBytes(0, 16)) + "\n" + End + "\n", 1, Problem::PastTypeRange},
        {rec('2', "FFFFF8" + hexBytes(0, 16)) + "\n" + End + "\n", 1, Problem::PastTypeRange},
        {rec('3', "FFFFFFF8" + hexBytes(0, 9)) + "\n" + End + "\n", 1, Problem::PastTypeRange},
        {Data1 + "\n" + Data2 + "\n" + rec('1', "0FFF" + hexBytes(0, 2)) + "\n" + End, 3,
         Problem::Image}, // overlaps Data1
        {"hello, product\n", 0, Problem::Image},
        {":0201000001020A\n:00000001FF\n", 1, Problem::Image}, // a HEX checksum
        {":020000040001F9\n:00000001FF\n", 0, Problem::Image}, // no HEX data
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        EXPECT_FALSE(load(c.content));
        const ImageCheck::Report& report = FirmwareImage::report();
        if (report.problemCount == 0) {
            ADD_FAILURE() << "no problem found";
            continue;
        }
        EXPECT_EQ(report.findings[0].line, c.line);
        EXPECT_EQ(report.findings[0].problem, c.problem);
        EXPECT_FALSE(FirmwareImage::rewind()) << "a refused image must not be sent";
    }
    load(Header + "\n" + bad + "\n" + End + "\n");
    EXPECT_EQ(printed,
              "Error: Line 2 of [" + path + "]: checksum 3C, the record's bytes need 3D\n");
    load(rec('1', "FFF8" + hexBytes(0, 16)) + "\n" + Data1 + "\n" + rec('1', "1002AA") + "\n" +
         End);
    EXPECT_EQ(printed, "Error: Line 1 of [" + path +
                           "]: an S1 record's data runs past 0xFFFF (to 0x00010007)\nError: Line 3 "
                           "of [" +
                           path +
                           "]: data at 0x00001002 to 0x00001002 overlaps line 2's (0x00001000 to "
                           "0x00001003)\n");
    load("\x1F\x8B\x08");
    EXPECT_EQ(printed,
              "Error: [" + path +
                  "]: a gzip file, not an image the tool reads; unpack it first (gunzip)\n");
}

TEST_F(FirmwareImageTest, EmptyFilesAndLongListsOfProblems) {
    for (const std::string& content : {std::string(), std::string("\n \t\r\n\r"), std::string()}) {
        EXPECT_FALSE(load(content));
        EXPECT_EQ(printed, "\nError: Invalid file size <" + path + ">\r\n");
    }
    std::string many;
    for (int i = 0; i < 12; ++i) {
        many += "S1130\n";
    }
    EXPECT_FALSE(load(many + Data1 + "\n" + End + "\n"));
    EXPECT_NE(printed.find("Error: Line 10 of [" + path +
                           "]: 5 characters are too few for a record (cut short?)\nand 2 more\n"),
              std::string::npos)
        << printed;
}

// The file is read once: what was checked is what is sent, whatever happens to it later.
TEST_F(FirmwareImageTest, ReadsFilesPipesOnceAndRefusesWhatIsNoFile) {
    std::ofstream(path, std::ios::binary) << Good;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(FirmwareImage::load(path.c_str()));
    testing::internal::GetCapturedStdout();
    std::ofstream(path, std::ios::binary) << Data1 << "\n";
    EXPECT_EQ(records().size(), 4u);
    testing::internal::CaptureStdout();
    ConsoleReporter.uploadHeading(path.c_str(), "KORVA");
    const std::string heading = testing::internal::GetCapturedStdout();
    EXPECT_EQ(heading.substr(0, heading.find(".Ctrl")),
              "\nUploading File: <" + path + ">\r\nFor product <KORVA>\n");
    EXPECT_TRUE(std::regex_search(heading, std::regex("\n\t[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n$")));
    std::remove(path.c_str());
    std::vector<char> bytes;
    int error = 0;
#if !defined(_WIN32)
    // A sparse file: its size is seen before a byte is read.
    std::ofstream(path, std::ios::binary) << Good;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(FirmwareImage::MaxImageBytes + 1)), 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(FirmwareImage::load(path.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error: [" + path + "] is larger than 64 MiB, too large for a firmware image\n");

    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], Good.data(), Good.size()), static_cast<ssize_t>(Good.size()));
    close(ends[1]);
    const std::string pipePath = "/dev/fd/" + std::to_string(ends[0]);
    EXPECT_EQ(Os::readWholeFile(pipePath.c_str(), 1024, bytes, error), Os::FileReadResult::Ok);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), Good);
    close(ends[0]);
    EXPECT_EQ(Os::readWholeFile("/dev/null", 1024, bytes, error), Os::FileReadResult::NotAFile);
#endif

    std::ofstream(path, std::ios::binary) << Good;
    EXPECT_EQ(Os::readWholeFile(path.c_str(), Good.size() - 1, bytes, error),
              Os::FileReadResult::TooLarge);
    EXPECT_EQ(Os::readWholeFile(testing::TempDir().c_str(), 1024, bytes, error),
              Os::FileReadResult::NotAFile);
    EXPECT_EQ(Os::readWholeFile("/nonexistent/x.srec", 1024, bytes, error),
              Os::FileReadResult::Unreadable);
    std::remove(path.c_str());
}

} // namespace
