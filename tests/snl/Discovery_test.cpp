// Discovery against scripted boards of the fake libusb: what is reset, opened, checked, adopted
// or rejected, what is logged, and how long the settle wait lasts.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "DOdudo/host/KBaseException.h"
#include "FakeUsb.h"
#include "LogLines.h"
#include "UsbBoards.h"
#include "snl/SentrelController.h"
#include "support/TestIsolation.h"

using snltest::Board;
using snltest::LogLines;
using Lines = std::vector<std::string>;

namespace {

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override { fakeusb::Reset(); }
  void TearDown() override {
    controller.reset();
    EXPECT_EQ(0, fakeusb::Get().openHandles) << "every handle is closed in the end";
  }
  // Runs discovery and returns how long it took, in seconds.
  double Load() {
    auto start = std::chrono::steady_clock::now();
    controller = std::make_unique<SentrelController>();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  std::unique_ptr<SentrelController> controller;
};

TEST_F(Discovery, NoBoardMeansNoWaitAndAnEmptyList) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Board other = Board(1, 1);
  other.release = 0x0010;  // right vendor and product, wrong release: not a watchdog board
  fakeusb::Board mouse = Board(2, 1);
  mouse.vendor = 0x046D;
  fakeusb::Get().boards = {other, mouse};
  EXPECT_LT(Load(), 0.2);
  EXPECT_EQ(0, controller->GetDevCount());
  EXPECT_EQ((Lines{"init", "find_busses", "find_devices"}), fakeusb::Get().calls)
      << "foreign devices are neither opened nor reset";
  EXPECT_EQ((Lines{"I Sentrel library starting...", "N No snlusb devices found",
                   "I \tNo devices found"}),
            LogLines());
}

TEST_F(Discovery, NoBusOrAnUnopenableBoardEndsWithoutWaiting) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Get().busCount = 0;
  EXPECT_LT(Load(), 0.2);
  EXPECT_EQ((Lines{"init", "find_busses"}), fakeusb::Get().calls);
  controller.reset();

  // A board that cannot be opened in the reset pass is skipped silently and not waited for.
  fakeusb::Reset();
  fakeusb::Board board = Board(7, 1);
  board.failingOpens = {0};
  fakeusb::Get().boards = {board};
  EXPECT_LT(Load(), 0.2);
  EXPECT_EQ(0, controller->GetDevCount());
  EXPECT_EQ(Lines{"open 0"}, fakeusb::CallsStartingWith("open"));
  EXPECT_EQ(Lines{}, fakeusb::CallsStartingWith("reset"));
}

TEST_F(Discovery, AdoptsBoardsOfBothVendorsInOrder) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Get().boards = {Board(12345, 30, 0x5A1C), Board(402, 2, 0xC0E9)};
  fakeusb::Get().boards[1].replies[0x32].data[1] = 0x34;  // subtype
  const double seconds = Load();
  EXPECT_GE(seconds, 1.25);
  EXPECT_LT(seconds, 2.0) << "both boards came back in the first cycle";
  EXPECT_EQ(3, fakeusb::Get().findDevicesCalls);

  ASSERT_EQ(2, controller->GetDevCount());
  EXPECT_EQ(12345, controller->GetDevSerial(0));
  EXPECT_EQ(30, controller->GetDevLinks(0));
  EXPECT_EQ(402, controller->GetDevSerial(1));
  EXPECT_EQ(2, controller->GetDevLinks(1));
  EXPECT_EQ((Lines{"I Sentrel library starting...", "I SNL Device [12345] - Type [0][0], max links:30",
                   "I SNL Device [402] - Type [0][52], max links:2"}),
            LogLines());

  // Reset pass under configuration 0, then adoption: configuration 1, interface 0, firmware
  // check and VPD read, each with 500 ms.
  EXPECT_EQ((Lines{"init", "find_busses", "find_devices",
                   "open 0", "set_configuration 0 0", "reset 0", "close 0",
                   "open 1", "set_configuration 1 0", "reset 1", "close 1",
                   "find_busses", "find_devices", "find_busses", "find_devices",
                   "open 0", "set_configuration 0 1", "claim_interface 0 0", "control 0 c0 33",
                   "control 0 c0 32",
                   "open 1", "set_configuration 1 1", "claim_interface 1 0", "control 1 c0 33",
                   "control 1 c0 32"}),
            fakeusb::Get().calls);
  for (const fakeusb::Transfer& t : fakeusb::Get().transfers) {
    EXPECT_EQ(0, t.value);
    EXPECT_EQ(0, t.index);
    EXPECT_EQ(500, t.timeout);
    EXPECT_EQ(t.request == 0x32 ? 128 : 1, t.length);
  }

  // Unloading deconfigures and closes, and sends no command.
  const size_t transfers = fakeusb::Get().transfers.size();
  fakeusb::Get().calls.clear();
  controller.reset();
  EXPECT_EQ((Lines{"set_configuration 0 0", "close 0", "set_configuration 1 0", "close 1"}),
            fakeusb::Get().calls);
  EXPECT_EQ(transfers, fakeusb::Get().transfers.size());
}

TEST_F(Discovery, VpdImageCarriesEachBoardsIdentifierWord) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Get().boards = {Board(1, 1, 0x5A1C), Board(2, 1, 0xC0E9)};
  usb_init();
  usb_find_busses();
  usb_find_devices();
  SentrelController ctl;  // libusb already set up: discovery counts the known buses instead
  EXPECT_EQ(Lines{"init"}, fakeusb::CallsStartingWith("init"));
  ASSERT_EQ(2, ctl.GetDevCount());

  struct usb_device* dev = usb_get_busses()->devices;
  for (uint16_t vendor : {0x5A1C, 0xC0E9}) {
    SNLDevice board;
    board.handle = usb_open(dev);
    int size = 0;
    std::unique_ptr<unsigned char[]> image(ctl.StartDeviceVPD(&board, &size));
    ASSERT_EQ(132, size);
    EXPECT_EQ((std::vector<unsigned char>{0x00, 0x60, static_cast<unsigned char>(vendor),
                                          static_cast<unsigned char>(vendor >> 8)}),
              std::vector<unsigned char>(&image[128], &image[132]));
    usb_close(board.handle);
    dev = dev->next;
  }
  SNLDevice closed;
  int size = 0;
  EXPECT_THROW(ctl.StartDeviceVPD(&closed, &size), KBaseException);
  EXPECT_EQ(1, ctl.PingDevice(nullptr, 500));
}

// One row of the rejection table: how the board misbehaves and the line that reports it.
struct Rejection {
  const char* name;
  void (*spoil)(fakeusb::Board&);
  const char* line;  // "" when the board is dropped without a message
};

const Rejection kRejections[] = {
    {"OpenFails", [](fakeusb::Board& b) { b.failingOpens = {1}; },
     "N SNLusb device could not be initialized"},
    {"ConfigurationRefused", [](fakeusb::Board& b) { b.setConfigurationResult = -16; },
     "N Error setting configuration of snlusb device"},
    {"InterfaceNotClaimed", [](fakeusb::Board& b) { b.claimResult = -16; },
     "N Error establishing interface connection with snlusb device"},
    {"FirmwareSilent", [](fakeusb::Board& b) { b.replies[0x33] = {-110, {}}; },
     "N Error checking snlusb firmware"},
    {"FirmwareTwoBytes", [](fakeusb::Board& b) { b.replies[0x33] = {2, {'X', 'X'}}; },
     "N Error checking snlusb firmware"},
    {"FirmwareLowerCaseX", [](fakeusb::Board& b) { b.replies[0x33] = {1, {'x'}}; },
     "N Error checking snlusb firmware"},
    {"VpdShortRead", [](fakeusb::Board& b) { b.replies[0x32].result = 127; },
     "E SNLUSB device VPD read error"},
    {"VpdStall", [](fakeusb::Board& b) { b.replies[0x32] = {-32, {}}; },
     "E SNLUSB device VPD read error"},
    {"BoardTypeOne", [](fakeusb::Board& b) { b.replies[0x32].data[2] = 1; }, ""},
};

void PrintTo(const Rejection& r, std::ostream* os) { *os << r.name; }

class DiscoveryRejects : public Discovery, public ::testing::WithParamInterface<Rejection> {};

TEST_P(DiscoveryRejects, TheOnlyBoardAndLogsWhy) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Board board = Board(5, 2);
  GetParam().spoil(board);
  fakeusb::Get().boards = {board};
  Load();
  EXPECT_EQ(0, controller->GetDevCount());
  Lines expected{"I Sentrel library starting..."};
  if (*GetParam().line) expected.push_back(GetParam().line);
  expected.push_back("N No snlusb devices found");
  expected.push_back("I \tNo devices found");
  EXPECT_EQ(expected, LogLines());
  EXPECT_EQ(0, fakeusb::Get().openHandles) << "a rejected board is closed at once";
  EXPECT_EQ(1, controller->StartWatch(0));
}

INSTANTIATE_TEST_SUITE_P(Table, DiscoveryRejects, ::testing::ValuesIn(kRejections),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Discovery, ABadBoardDoesNotStopTheOthers) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Board bad = Board(2, 2);
  bad.setConfigurationResult = -5;
  fakeusb::Board foreign = Board(4, 4);
  foreign.replies[0x32].data[2] = 3;  // another board type: dropped silently
  fakeusb::Get().boards = {bad, Board(1, 8), foreign, Board(3, 16, 0xC0E9)};
  Load();
  ASSERT_EQ(2, controller->GetDevCount());
  EXPECT_EQ(1, controller->GetDevSerial(0));
  EXPECT_EQ(3, controller->GetDevSerial(1));
  EXPECT_EQ(16, controller->GetDevLinks(1));
  EXPECT_EQ((Lines{"I Sentrel library starting...",
                   "N Error setting configuration of snlusb device",
                   "I SNL Device [1] - Type [0][0], max links:8",
                   "I SNL Device [3] - Type [0][0], max links:16"}),
            LogLines());
  EXPECT_EQ(2, fakeusb::Get().openHandles);
}

TEST_F(Discovery, SettleGivesUpAfterTwentyCycles) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Board board = Board(9, 1);
  board.reappearsAfterReset = false;
  fakeusb::Get().boards = {board};
  const double seconds = Load();
  EXPECT_EQ(1 + 20 + 1, fakeusb::Get().findDevicesCalls);
  EXPECT_GE(seconds, 6.0);
  EXPECT_LT(seconds, 7.5);
  EXPECT_EQ(1, controller->GetDevCount()) << "a board that was there all along is adopted";
}

TEST_F(Discovery, SettleCountsChangesAcrossCycles) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Get().boards = {Board(1, 1), Board(2, 1), Board(3, 1)};
  // Initial scan, then one change per cycle: three boards need three cycles.
  fakeusb::Get().findDevices = {3, 1, 1, 1, 0};
  const double seconds = Load();
  EXPECT_EQ(1 + 3 + 1, fakeusb::Get().findDevicesCalls);
  EXPECT_GE(seconds, 1.75);
  EXPECT_LT(seconds, 3.0);
  EXPECT_EQ(3, controller->GetDevCount());
}

}  // namespace
