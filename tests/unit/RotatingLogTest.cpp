// The help desk's log file: whole lines, appended at once, kept below its bound with one previous
// generation; and the timestamps on ravelink's own lines.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "transport/RotatingLog.h"
#include "transport/TimestampedLog.h"

namespace {

std::string contents(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string numbered(int i) {
    std::ostringstream line;
    line << "line " << i << " of the log, padded to be a little longer\n";
    return line.str();
}

class RotatingLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::remove(path.c_str());
        std::filesystem::remove_all(previous);
    }
    void TearDown() override { SetUp(); }

    const std::string path = RAVELINK_TEST_WORK_DIR "/rotating-test.log";
    const std::string previous = RAVELINK_TEST_WORK_DIR "/rotating-test.1.log";
};

TEST_F(RotatingLogTest, StaysBelowItsBoundKeepsOnePreviousGenerationAndLosesNoRecentLine) {
    const std::size_t bound = 1000;
    int written = 0;
    for (int start = 0; start < 3; ++start) {  // the program started three times
        transport::RotatingLog log(path, previous, bound);
        ASSERT_TRUE(log.isOpen());
        std::ostream out(&log);
        for (int i = 0; i < 40; ++i, ++written) {
            out << numbered(written) << std::flush;
            ASSERT_EQ(contents(path).substr(contents(path).size() - numbered(written).size()),
                      numbered(written))
                << "a line is in the file once its newline is written";
            ASSERT_LE(contents(path).size(), bound);
        }
    }
    // The newest lines, without a gap, across both generations.
    const std::string kept = contents(previous) + contents(path);
    ASSERT_GT(contents(previous).size(), bound - numbered(written).size());
    ASSERT_LE(contents(previous).size(), bound);
    std::string expected;
    for (int i = written - 1; expected.size() < kept.size(); --i) {
        expected = numbered(i) + expected;
    }
    EXPECT_EQ(kept, expected);
}

// A viewer that holds the file without allowing a rename (Windows) is played by a previous
// generation the file cannot be renamed to on any system: a folder that is not empty.
TEST_F(RotatingLogTest, StaysWithinItsBoundWhenTheFileCannotBeRenamed) {
    const std::size_t bound = 1000;
    std::filesystem::create_directories(previous + "/held");
    {
        transport::RotatingLog log(path, previous, bound);
        std::ostream out(&log);
        for (int i = 0; i < 100; ++i) {
            out << numbered(i) << std::flush;
            ASSERT_LE(contents(path).size(), bound) << "after line " << i;
        }
    }
    const std::string kept = contents(path);
    EXPECT_EQ(kept.substr(kept.size() - numbered(99).size()), numbered(99))
        << "the newest line is kept";
    EXPECT_EQ(kept.rfind("ravelink: this log could not be renamed to " + previous, 0), 0u) << kept;
}

TEST_F(RotatingLogTest, CutsALineLongerThanTheBound) {
    {
        transport::RotatingLog log(path, previous, 64);
        std::ostream out(&log);
        out << "short\n" << std::string(200, 'x') << "\n" << std::flush;
    }
    EXPECT_EQ(contents(previous), "short\n");
    EXPECT_EQ(contents(path), std::string(63, 'x') + "\n");
}

// Every line gets its stamp, however the text is cut into the chunks the stream hands over.
TEST(TimestampedLog, StampsEveryLineOfEveryChunk) {
    std::stringbuf target;
    transport::TimestampedLog log(&target);
    const std::string chunks[] = {"one\ntwo\nthr", "ee\n", "\n", "four\nfive\n"};
    for (const std::string& chunk : chunks) {
        log.sputn(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    std::istringstream written(target.str());
    std::string line;
    std::vector<std::string> texts;
    while (std::getline(written, line)) {
        // "[2026-12-09 04:11:45] " and the line's own text
        ASSERT_TRUE(line.size() >= 22 && line[0] == '[' && line[20] == ']' && line[21] == ' ')
            << "no stamp on \"" << line << "\" in:\n"
            << target.str();
        texts.push_back(line.substr(22));
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"one", "two", "three", "", "four", "five"}));
}

}  // namespace
