// The command set on one adopted board: bytes on the wire, result mapping, log lines, invalid
// indexes and the lock around each transfer.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <memory>
#include <thread>

#include "FakeUsb.h"
#include "LogLines.h"
#include "UsbBoards.h"
#include "snl/SentrelController.h"
#include "support/TestIsolation.h"

using snltest::LogLines;
using Lines = std::vector<std::string>;

namespace {

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeusb::Reset();
    fakeusb::Get().boards = {snltest::Board(4321, 2)};
  }
  // Discovery, then a clean slate of records so that tests see only their own commands.
  void Load() {
    ctl = std::make_unique<SentrelController>();
    ASSERT_EQ(1, ctl->GetDevCount());
    fakeusb::Get().transfers.clear();
    discoveryLines = LogLines().size();
  }
  Lines NewLogLines() {
    Lines all = LogLines();
    return Lines(all.begin() + static_cast<long>(discoveryLines), all.end());
  }
  fakeusb::Reply& Answer(int request) { return fakeusb::Get().boards[0].replies[request]; }

  std::unique_ptr<SentrelController> ctl;
  size_t discoveryLines = 0;
};

TEST_F(Commands, SendTheirTransfersQuietly) {
  SNL_REQUIRE_ISOLATION();
  Load();
  EXPECT_EQ(0, ctl->StartWatch(0));
  EXPECT_EQ(0, ctl->StopWatch(0));
  EXPECT_EQ(0, ctl->PingWatch(0));
  EXPECT_EQ(0, ctl->GetDeviceStatus(0));
  EXPECT_EQ(0, ctl->Configure(0, 30, 2));
  const auto& t = fakeusb::Get().transfers;
  ASSERT_EQ(5u, t.size());
  const int expected[5][3] = {{0x40, 0x64, 0}, {0x40, 0x65, 0}, {0xC0, 0x66, 1}, {0xC0, 0x66, 1},
                              {0x40, 0x67, 2}};
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(expected[i][0], t[i].requestType) << i;
    EXPECT_EQ(expected[i][1], t[i].request) << i;
    EXPECT_EQ(expected[i][2], t[i].length) << i;
    EXPECT_EQ(0, t[i].value);
    EXPECT_EQ(0, t[i].index);
    EXPECT_EQ(500, t[i].timeout);
  }
  EXPECT_EQ((std::vector<uint8_t>{0x1E, 0x02}), t[4].out);
  EXPECT_EQ(Lines{}, NewLogLines()) << "successful commands log nothing without the debug flag";
}

TEST_F(Commands, StatusUsesOnlyTheTwoLowBitsAndPingIgnoresTheByte) {
  SNL_REQUIRE_ISOLATION();
  Load();
  // 0xFD ends in binary 01 and therefore maps like 0x01.
  const std::pair<uint8_t, int> cases[] = {{0x01, 0}, {0x00, 1}, {0x03, 2}, {0x02, 3},
                                           {0xFD, 0}, {0xFC, 1}, {0xFF, 2}, {0x7E, 3}};
  for (auto [byte, code] : cases) {
    Answer(0x66) = {1, {byte}};
    EXPECT_EQ(code, ctl->GetDeviceStatus(0)) << int(byte);
    EXPECT_EQ(0, ctl->PingWatch(0)) << int(byte);
  }
  Answer(0x66) = {0, {}};
  EXPECT_EQ(4, ctl->GetDeviceStatus(0));
  EXPECT_EQ(1, ctl->PingWatch(0));
  Answer(0x66) = {2, {1, 1}};
  EXPECT_EQ(4, ctl->GetDeviceStatus(0));
  EXPECT_EQ(1, ctl->PingWatch(0));
  EXPECT_EQ(Lines{}, NewLogLines()) << "short answers are not libusb errors";
}

TEST_F(Commands, FailedTransfersGiveTheFailureValueAndAWarning) {
  SNL_REQUIRE_ISOLATION();
  Load();
  Answer(0x64) = {-110, {}};  // timed out
  Answer(0x65) = {-32, {}};   // stalled
  Answer(0x66) = {-19, {}};   // the board is gone
  Answer(0x67) = {1, {}};     // short write: a failure, but no libusb error
  EXPECT_EQ(1, ctl->StartWatch(0));
  EXPECT_EQ(1, ctl->StopWatch(0));
  EXPECT_EQ(1, ctl->PingWatch(0));
  EXPECT_EQ(4, ctl->GetDeviceStatus(0));
  EXPECT_EQ(1, ctl->Configure(0, 1, 1));
  Answer(0x64) = {3, {}};  // a positive count for a command without data is no success either
  EXPECT_EQ(1, ctl->StartWatch(0));
  EXPECT_EQ((Lines{"W Error sending start: -110, device 0", "W Error sending stop: -32, device 0",
                   "W Error sending ping: -19, device 0",
                   "W Error retrieving status: -19, device 0"}),
            NewLogLines());
}

TEST_F(Commands, InvalidIndexesSendAndLogNothing) {
  SNL_REQUIRE_ISOLATION();
  Load();
  ctl->SetDebug(1);
  for (int index : {-1, 1, 2, INT_MIN, INT_MAX}) {
    EXPECT_EQ(1, ctl->StartWatch(index));
    EXPECT_EQ(1, ctl->StopWatch(index));
    EXPECT_EQ(1, ctl->PingWatch(index));
    EXPECT_EQ(4, ctl->GetDeviceStatus(index));
    EXPECT_EQ(1, ctl->Configure(index, 30, 2));
    EXPECT_EQ(0, ctl->GetDevSerial(index));
    EXPECT_EQ(0, ctl->GetDevLinks(index));
  }
  EXPECT_EQ(4321, ctl->GetDevSerial(0));
  EXPECT_EQ(2, ctl->GetDevLinks(0));
  EXPECT_TRUE(fakeusb::Get().transfers.empty());
  EXPECT_EQ(Lines{}, NewLogLines());
}

TEST_F(Commands, DebugFlagAddsOneInfoLinePerCommand) {
  SNL_REQUIRE_ISOLATION();
  Load();
  ctl->SetDebug(0x80);  // any non-zero byte
  Answer(0x66) = {1, {0x02}};
  ctl->StartWatch(0);
  ctl->StopWatch(0);
  ctl->PingWatch(0);
  ctl->GetDeviceStatus(0);
  ctl->Configure(0, 30, 2);
  Answer(0x64) = {-110, {}};
  ctl->StartWatch(0);
  ctl->SetDebug(0);
  ctl->StopWatch(0);
  ctl->StartWatch(0);
  EXPECT_EQ((Lines{"I Device 0, Start CMD sent", "I Device 0, Stop CMD sent",
                   "I Device 0, Ping CMD sent, return: 1", "I Device 0, GetStatus CMD sent, return: 1",
                   "I Device 0, Configure CMD sent, time: 30, links: 2, return: 2",
                   "I Device 0, Start CMD sent", "W Error sending start: -110, device 0",
                   "W Error sending start: -110, device 0"}),
            NewLogLines());
}

TEST_F(Commands, TheLockIsHeldAcrossTheTransfer) {
  SNL_REQUIRE_ISOLATION();
  Load();
  std::atomic<bool> counted{false};
  std::thread other;
  fakeusb::Get().onTransfer = [&](const fakeusb::Transfer&) {
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
