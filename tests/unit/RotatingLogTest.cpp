// The help desk's log file: whole lines, appended at once, kept below its bound with one previous
// generation.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>

#include "transport/RotatingLog.h"

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
        std::remove(previous.c_str());
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

TEST_F(RotatingLogTest, CutsALineLongerThanTheBound) {
    {
        transport::RotatingLog log(path, previous, 64);
        std::ostream out(&log);
        out << "short\n" << std::string(200, 'x') << "\n" << std::flush;
    }
    EXPECT_EQ(contents(previous), "short\n");
    EXPECT_EQ(contents(path), std::string(63, 'x') + "\n");
}

}  // namespace
