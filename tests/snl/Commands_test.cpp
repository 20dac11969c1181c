// The command set on one adopted board: bytes on the wire, result mapping, log lines, invalid
// indexes and the lock around each transfer.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <thread>

#include "FakeUsb.h"
#include "LogLines.h"
#include "snl/SentrelController.h"
#include "support/TestIsolation.h"

using Lines = std::vector<std::string>;

namespace {

class Commands : public ::testing::Test {
 protected:
  // Discovery of one board, then a clean slate of records so that tests see only their own.
  void SetUp() override {
    SNL_REQUIRE_ISOLATION();
    fakeusb::Reset();
    fakeusb::Get().boards = {fakeusb::MakeBoard(4321, 2)};
    ctl = std::make_unique<SentrelController>();
    ASSERT_EQ(1, ctl->GetDevCount());
    fakeusb::TakeCalls();
    discoveryLines = snltest::LogLines().size();
  }
  Lines NewLogLines() {
    Lines all = snltest::LogLines();
    return Lines(all.begin() + static_cast<long>(discoveryLines), all.end());
  }
  fakeusb::Reply& Answer(int request) { return fakeusb::Get().boards[0].replies[request]; }
  // Start, stop, ping, status and configure on one board (braced lists run in order).
  std::vector<int> All(int index) {
    return {ctl->StartWatch(index), ctl->StopWatch(index), ctl->PingWatch(index),
            ctl->GetDeviceStatus(index), ctl->Configure(index, 30, 2)};
  }
  const std::vector<int> failed{1, 1, 1, 4, 1};

  std::unique_ptr<SentrelController> ctl;
  size_t discoveryLines = 0;
};

TEST_F(Commands, SendTheirTransfersAndLogOnlyWithTheDebugFlag) {
  EXPECT_EQ((std::vector<int>{0, 0, 0, 0, 0}), All(0));
  EXPECT_EQ("control 0 40 64 0 0 0 500, control 0 40 65 0 0 0 500, control 0 c0 66 0 0 1 500, "
            "control 0 c0 66 0 0 1 500, control 0 40 67 0 0 2 500 1e02",
            fakeusb::TakeCalls());
  EXPECT_EQ(Lines{}, NewLogLines());
  ctl->SetDebug(0x80);  // any non-zero byte
  Answer(0x65) = {-110, {}};
  All(0);
  ctl->SetDebug(0);
  ctl->StopWatch(0);
  EXPECT_EQ((Lines{"I Device 0, Start CMD sent", "I Device 0, Stop CMD sent",
                   "W Error sending stop: -110, device 0", "I Device 0, Ping CMD sent, return: 1",
                   "I Device 0, GetStatus CMD sent, return: 1",
                   "I Device 0, Configure CMD sent, time: 30, links: 2, return: 2",
                   "W Error sending stop: -110, device 0"}),
            NewLogLines());
}

TEST_F(Commands, StatusUsesOnlyTheTwoLowBitsAndPingIgnoresTheByte) {
  // 0xFD ends in binary 01 and therefore maps like 0x01. Short answers are no libusb errors.
  const struct {
    fakeusb::Reply reply;
    int status, ping;
  } rows[] = {{{1, {0x01}}, 0, 0}, {{1, {0x00}}, 1, 0}, {{1, {0x03}}, 2, 0}, {{1, {0x02}}, 3, 0},
              {{1, {0xFD}}, 0, 0}, {{1, {0xFC}}, 1, 0}, {{1, {0xFF}}, 2, 0}, {{1, {0x7E}}, 3, 0},
              {{0, {}}, 4, 1}, {{2, {1, 1}}, 4, 1}};
  for (const auto& row : rows) {
    Answer(0x66) = row.reply;
    EXPECT_EQ(row.status, ctl->GetDeviceStatus(0)) << "row " << &row - rows;
    EXPECT_EQ(row.ping, ctl->PingWatch(0)) << "row " << &row - rows;
  }
  EXPECT_EQ(Lines{}, NewLogLines());
}

TEST_F(Commands, FailedTransfersAndInvalidIndexesGiveTheFailureValue) {
  Answer(0x64) = {-110, {}};  // timed out
  Answer(0x65) = {-32, {}};   // stalled
  Answer(0x66) = {-19, {}};   // the board is gone
  Answer(0x67) = {1, {}};     // short write: a failure, but no libusb error
  EXPECT_EQ(failed, All(0));
  Answer(0x64) = {3, {}};  // a positive count for a command without data is no success either
  EXPECT_EQ(1, ctl->StartWatch(0));
  EXPECT_EQ(
      (Lines{"W Error sending start: -110, device 0", "W Error sending stop: -32, device 0",
             "W Error sending ping: -19, device 0", "W Error retrieving status: -19, device 0"}),
      NewLogLines());
  // Invalid indexes send and log nothing, even with the debug flag.
  fakeusb::TakeCalls();
  ctl->SetDebug(1);
  for (int index : {-1, 1, INT_MIN, INT_MAX}) {
    EXPECT_EQ(failed, All(index));
    EXPECT_EQ(0, ctl->GetDevSerial(index) + ctl->GetDevLinks(index));
  }
  EXPECT_EQ("", fakeusb::TakeCalls());
  EXPECT_EQ(4u, NewLogLines().size());
}

TEST_F(Commands, TheLockIsHeldAcrossTheTransfer) {
  std::atomic<bool> counted{false};
  std::thread other;
  fakeusb::Get().onTransfer = [&] {
    other = std::thread([&] {
      ctl->GetDevCount();
      counted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(counted) << "another caller got in while a transfer was in flight";
  };
  EXPECT_EQ(0, ctl->StartWatch(0));
  fakeusb::Get().onTransfer = nullptr;
  other.join();
  EXPECT_TRUE(counted);
}

}  // namespace
