#include "session/firmware_image.h"
#include "session/session_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace {

class FirmwareImageTest : public testing::Test {
  protected:
    void TearDown() override { FirmwareImage::close(); }

    void write(const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
        sessionState.firmwarePath = path.c_str();
        sessionState.productId = "KORVA";
    }

    // Opens the file and reads every line; the output of open is kept in `printed`.
    std::vector<std::string> readAll(LineOutcome& last) {
        testing::internal::CaptureStdout();
        sessionState.fileOpen = static_cast<uint32_t>(FirmwareImage::open());
        printed = testing::internal::GetCapturedStdout();
        std::vector<std::string> lines;
        last = LineOutcome::ReadError;
        while (sessionState.fileOpen != 0) {
            sessionState.recordText[0] = '\0';
            last = FirmwareImage::nextLine();
            if (last != LineOutcome::Line) {
                break;
            }
            lines.push_back(sessionState.recordText);
        }
        return lines;
    }

    std::string path = testing::TempDir() + "firmware_image_test.srec";
    std::string printed;
};

struct LinesCase {
    const char* name;
    std::string content;
    uint32_t lineCount;
    std::vector<std::string> lines;
};

TEST_F(FirmwareImageTest, CountsAndHandsOutLines) {
    const std::string longest(408, 'A');
    const LinesCase cases[] = {
        {"LF", "S1AAAAAAAA\n\nS9\n", 3, {"S1AAAAAAAA\n", "\n", "S9\n"}},
        {"CR LF reads as LF", "S1AAAAAAAA\r\n\r\nS9\r\n", 3, {"S1AAAAAAAA\n", "\n", "S9\n"}},
        {"last line without a line feed", "S1AAAAAAAA\nS9", 2, {"S1AAAAAAAA\n", "S9"}},
        {"lone CR kept", "AB\rCD\r\n\r", 2, {"AB\rCD\n", "\r"}},
        {"longest line fits", longest + "\n" + longest + "B", 2, {longest + "\n", longest + "B"}},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        write(c.content);
        LineOutcome last;
        EXPECT_EQ(readAll(last), c.lines);
        EXPECT_EQ(sessionState.lineCount, c.lineCount);
        EXPECT_EQ(last, LineOutcome::EndOfFile);
        EXPECT_TRUE(FirmwareImage::atEnd());
        FirmwareImage::close();
    }
}

TEST_F(FirmwareImageTest, PrintsHeadingAndTimes) {
    write("S1AAAAAAAA\n");
    LineOutcome last;
    readAll(last);
    // The path is compared as plain text: on Windows it holds backslashes.
    const std::string fixed =
        "\nUploading File: <" + path + ">\r\nFor product <KORVA>\n.Ctrl C aborts.\r\n\r\n";
    ASSERT_EQ(printed.substr(0, fixed.size()), fixed);
    EXPECT_TRUE(std::regex_match(printed.substr(fixed.size()),
                                 std::regex("\n\t[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\n")))
        << printed;
    testing::internal::CaptureStdout();
    FirmwareImage::finish();
    std::string end = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(end, std::regex("\n\t\t\t\t[0-9]{2}:[0-9]{2}:[0-9]{2}\n"))) << end;
    EXPECT_EQ(sessionState.fileOpen, 0u);
    EXPECT_EQ(sessionState.firmwareFile, nullptr);
}

TEST_F(FirmwareImageTest, RefusesFilesWithoutLinesOrWithOverlongOnes) {
    const struct {
        std::string content;
        std::string message; // followed by the path and ">\r\n"
    } cases[] = {
        {"", "\nError: Invalid file size <"},
        {"S1AAAAAAAA\n" + std::string(409, 'A') + "\n",
         "\nError: Line 2 is longer than 409 characters in file <"},
        // A NUL would cut the record short when it goes out as text.
        {"S1AAAAAAAA\nS1" + std::string(1, '\0') + "AAAAAAAA\n",
         "\nError: Line 2 holds a NUL byte in file <"},
    };
    for (const auto& c : cases) {
        write(c.content);
        LineOutcome last;
        EXPECT_TRUE(readAll(last).empty());
        EXPECT_EQ(printed, c.message + path + ">\r\n");
        EXPECT_EQ(sessionState.firmwareFile, nullptr);
    }
    std::remove(path.c_str());
    LineOutcome last;
    readAll(last);
    EXPECT_EQ(printed, "\nError: Failed to open file <" + path + ">\r\n");
}

TEST_F(FirmwareImageTest, RefusesALineThatGrewAfterCounting) {
    write("S1AAAAAAAA\n");
    LineOutcome last;
    testing::internal::CaptureStdout();
    ASSERT_EQ(FirmwareImage::open(), 1);
    testing::internal::GetCapturedStdout();
    write(std::string(500, 'A') + "\n");
    std::strcpy(sessionState.recordText, "stale");
    last = FirmwareImage::nextLine();
    EXPECT_EQ(last, LineOutcome::LineUnsendable);
    EXPECT_STREQ(sessionState.recordText, "");
}

} // namespace
