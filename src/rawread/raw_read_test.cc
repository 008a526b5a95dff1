#include "rawread/raw_read.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/raw_io.h"
#include "testing/scoped_temp_dir.h"
#include "testing/test_dir.h"

namespace {

// Data files live where unbuffered reads work: $TMPDIR, else the directory
// the tests were started in (the build tree).
class RawReadTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    // Under $TMPDIR, else beside the test's working directory: /tmp may be
    // a file system that refuses unbuffered reads.
    const char* base = getenv("TMPDIR");
    data_ = std::make_unique<zeptest::ScopedTempDir>(
        "zep-rawread", base != nullptr && base[0] != '\0' ? base : temp_.previous().c_str());
    ASSERT_TRUE(data_->valid());
    dataDir_ = data_->path();
  }
  void TearDown() override {
    data_.reset();
    TempDirTest::TearDown();
  }
  // A file of `size` bytes of a counting pattern; skips the test when its
  // file system refuses unbuffered reads.
  std::string dataFile(size_t size) {
    std::string path = dataDir_ + "/data";
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), size), static_cast<ssize_t>(size));
    close(fd);
    int direct = -1;
    int error = platform::openDirectRead(path.c_str(), &direct);
    platform::closeDirectRead(direct);
    if (error == EINVAL) directRefused_ = true;
    return path;
  }
  std::string run(const std::string& drive, int* result) {
    testing::internal::CaptureStdout();
    *result = runRawReadTest(drive.c_str());
    return testing::internal::GetCapturedStdout();
  }

  std::unique_ptr<zeptest::ScopedTempDir> data_;
  std::string dataDir_;
  bool directRefused_ = false;
};

#define SKIP_WITHOUT_DIRECT_READS()                                                       \
  if (directRefused_) {                                                                   \
    GTEST_SKIP() << "the file system of " << dataDir_ << " refuses O_DIRECT; set TMPDIR"; \
  }

struct ShortFileCase {
  int32_t chunkKB;
  int32_t maxIO;
  int32_t maxThreads;
};

TEST_F(RawReadTest, ReadsPastTheEndRetireAndTheTotalIsTheFileSize) {
  const size_t size = 3 * 65536 + 5 * 1024 + 512;  // no multiple of any chunk
  const std::string path = dataFile(size);
  SKIP_WITHOUT_DIRECT_READS();
  const ShortFileCase cases[] = {{64, 20, 0}, {64, 1, 0}, {64, 4, 2}, {4, 3, 1}, {1024, 2, 0}};
  for (const ShortFileCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "-kc" << c.chunkKB << " -ki" << c.maxIO << " -kt" << c.maxThreads);
    runSettings.rawChunkKB = c.chunkKB;
    runSettings.rawMaxIO = c.maxIO;
    runSettings.rawMaxThreads = c.maxThreads;
    RawReadTotals totals;
    testing::internal::CaptureStdout();
    int result = readRawDrive(path.c_str(), &totals);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(totals.bytes, static_cast<int64_t>(size));
    EXPECT_EQ(out, "");  // no progress line off a terminal
  }
}

// The budget (-ks) is a ceiling: exactly its bytes are read, whatever the
// chunk size and the reads in flight; a chunk that does not divide the
// budget makes the last read short.
TEST_F(RawReadTest, ExactlyTheBudgetIsRead) {
  constexpr int64_t kMB = 1048576;
  const std::string path = dataFile(16 * kMB);
  SKIP_WITHOUT_DIRECT_READS();
  struct BudgetCase {
    int64_t megabytes;
    int32_t chunkKB;
    int32_t maxIO;
  };
  const BudgetCase cases[] = {
      {10, 1024, 4},  {10, 64, 4},  {2, 1024, 8},   {3, 192, 20},  // 192 KB does not divide 3 MB
      {1, 4096, 4},   {1, 1024, 1}, {5, 640, 100},  // more reads allowed than the budget holds
      {1, 4, 3},      {4, 12, 7},
  };
  for (const BudgetCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "-ks" << c.megabytes << " -kc" << c.chunkKB << " -ki"
                                    << c.maxIO);
    runSettings.rawChunkKB = c.chunkKB;
    runSettings.rawMaxIO = c.maxIO;
    runSettings.rawDriveBytes = c.megabytes * kMB;
    RawReadTotals totals;
    testing::internal::CaptureStdout();
    const int result = readRawDrive(path.c_str(), &totals);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 0);
    EXPECT_EQ(totals.bytes, c.megabytes * kMB);
  }
}

TEST_F(RawReadTest, NoReadsInFlightReportZeroKbytes) {
  const std::string path = dataFile(8192);
  SKIP_WITHOUT_DIRECT_READS();
  runSettings.rawMaxIO = 0;
  int result = -2;
  std::string out = run(path, &result);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(out,
            "Total Kbytes Read  : 0\n"
            "Total Time Taken   : 0 Secs\n"
            "Throughput         : 0.000 Mbytes/Minute\n");
}

TEST_F(RawReadTest, ReportRateComesFromMillisecondsAndIsAlwaysFinite) {
  struct ReportCase {
    RawReadTotals totals;
    const char* expected;
  };
  const ReportCase cases[] = {
      {{3 * 1048576 + 1000, 1500},
       "Total Kbytes Read  : 3072\nTotal Time Taken   : 1 Secs\n"
       "Throughput         : 120.038 Mbytes/Minute\n"},
      {{5LL * 1024 * 1048576, 60000},  // above 4 GB
       "Total Kbytes Read  : 5242880\nTotal Time Taken   : 60 Secs\n"
       "Throughput         : 5120.000 Mbytes/Minute\n"},
      {{1048576, 0},  // under a millisecond counts as one
       "Total Kbytes Read  : 1024\nTotal Time Taken   : 0 Secs\n"
       "Throughput         : 60000.000 Mbytes/Minute\n"},
  };
  for (const ReportCase& c : cases) {
    testing::internal::CaptureStdout();
    printRawReadReport(c.totals);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.expected);
  }
}

TEST_F(RawReadTest, UnopenableDrivesPrintOnlyTheCannotOpenLine) {
  int result = 0;
  EXPECT_EQ(run("zeph-no-such-drive", &result), "Cannot open drive [zeph-no-such-drive], 2");
  EXPECT_EQ(result, -1);
  const std::string missing = dataDir_ + "/missing";
  EXPECT_EQ(run(missing, &result), "Cannot open drive [" + missing + "], 2");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(run(dataDir_, &result), "Cannot open drive [" + dataDir_ + "], 21");  // EISDIR
  EXPECT_EQ(result, -1);
}

TEST_F(RawReadTest, FifosAndCharacterDevicesAreRefusedWithoutBlocking) {
  // Opening a FIFO nobody writes would block for ever without O_NONBLOCK.
  const std::string fifo = dataDir_ + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& drive : {fifo, std::string("/dev/zero"), std::string("null")}) {
    SCOPED_TRACE(drive);
    int result = 0;
    EXPECT_EQ(run(drive, &result), "Cannot open drive [" + drive + "], " + std::to_string(ENOTBLK) +
                                       ": " + rawDrivePath(drive.c_str()) +
                                       " is not a regular file or a block device\n");
    EXPECT_EQ(result, -1);
  }
}

TEST_F(RawReadTest, RefusedUnbufferedReadsGetAClearMessage) {
  // procfs files cannot be opened for unbuffered reads.
  int result = 0;
  EXPECT_EQ(run("/proc/self/status", &result),
            "Cannot open drive [/proc/self/status], 22: the file system refuses unbuffered "
            "(O_DIRECT) reads\n");
  EXPECT_EQ(result, -1);
}

TEST_F(RawReadTest, ChunkSizesNoReadCanHaveAreRefused) {
  const std::string path = dataFile(4096);
  for (int32_t chunkKB : {0, -64, 2097149}) {
    SCOPED_TRACE(chunkKB);
    runSettings.rawChunkKB = chunkKB;
    int result = 0;
    EXPECT_EQ(run(path, &result), "Invalid raw read chunk size " + std::to_string(chunkKB) +
                                      " KB: use 1 to 2097148 KB\n");
    EXPECT_EQ(result, -1);
  }
}

TEST_F(RawReadTest, BuffersBeyondMemoryGiveTheAllocationMessageAndNoReport) {
  const std::string path = dataFile(4096);
  SKIP_WITHOUT_DIRECT_READS();
  runSettings.rawChunkKB = 1048576;  // 1 GB per read
  runSettings.rawMaxIO = static_cast<int32_t>(platform::physicalMemoryBytes() >> 30) + 2;
  int result = -2;
  EXPECT_EQ(run(path, &result), "Error Allocating memory, 12");
  EXPECT_EQ(result, -1);  // no report: the test failed
}

TEST(RawDrivePathTest, NamesAreDevicesAndAbsolutePathsStay) {
  EXPECT_EQ(rawDrivePath("sdb"), "/dev/sdb");
  EXPECT_EQ(rawDrivePath("0"), "/dev/0");
  EXPECT_EQ(rawDrivePath("mapper/vg-data"), "/dev/mapper/vg-data");
  EXPECT_EQ(rawDrivePath("/srv/disk.img"), "/srv/disk.img");
}

}  // namespace
