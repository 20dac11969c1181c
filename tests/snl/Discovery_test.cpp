// Discovery against scripted boards of the fake libusb: what is reset, opened, checked, adopted
// or rejected, what is logged, and how long the settle wait lasts.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "DOdudo/host/KBaseException.h"
#include "FakeUsb.h"
#include "LogLines.h"
#include "snl/SentrelController.h"
#include "support/TestIsolation.h"

using fakeusb::MakeBoard;
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

TEST_F(Discovery, AdoptsBoardsOfBothVendorsAndUnloadsWithoutACommand) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Get().boards = {MakeBoard(12345, 30), MakeBoard(402, 2, 0xC0E9)};
  fakeusb::Get().boards[1].replies[0x32].data[1] = 0x34;  // subtype
  fakeusb::Get().changes = {1, 1};  // one board back per cycle: the changes add up over two
  const double seconds = Load();
  EXPECT_GE(seconds, 1.5);
  EXPECT_LT(seconds, 3.0);
  ASSERT_EQ(2, controller->GetDevCount());
  EXPECT_EQ(12345, controller->GetDevSerial(0));
  EXPECT_EQ(402, controller->GetDevSerial(1));
  EXPECT_EQ((Lines{"I Sentrel library starting...",
                   "I SNL Device [12345] - Type [0][0], max links:30",
                   "I SNL Device [402] - Type [0][52], max links:2"}),
            LogLines());
  // Reset pass under configuration 0, two settle cycles and the final scan, then adoption under
  // configuration 1 and interface 0 with the firmware check and the VPD read.
  EXPECT_EQ("init, find_busses, find_devices, "
            "open 0, set_configuration 0 0, reset 0, close 0, "
            "open 1, set_configuration 1 0, reset 1, close 1, "
            "find_busses, find_devices, find_busses, find_devices, find_busses, find_devices, "
            "open 0, set_configuration 0 1, claim_interface 0 0, "
            "control 0 c0 33 0 0 1 500, control 0 c0 32 0 0 128 500, "
            "open 1, set_configuration 1 1, claim_interface 1 0, "
            "control 1 c0 33 0 0 1 500, control 1 c0 32 0 0 128 500",
            fakeusb::TakeCalls());

  // The host appends the identifier word (vendor << 16 | product) to each board's image.
  using Bytes = std::vector<unsigned char>;
  struct usb_device* dev = usb_get_busses()->devices;
  for (const Bytes& word : {Bytes{0x00, 0x60, 0x1C, 0x5A}, Bytes{0x00, 0x60, 0xE9, 0xC0}}) {
    SNLDevice board;
    board.handle = usb_open(dev);
    int size = 0;
    std::unique_ptr<unsigned char[]> image(controller->StartDeviceVPD(&board, &size));
    ASSERT_EQ(132, size);
    EXPECT_EQ(word, Bytes(&image[128], &image[132]));
    usb_close(board.handle);
    dev = dev->next;
  }
  SNLDevice closed;
  int size = 0;
  EXPECT_THROW(controller->StartDeviceVPD(&closed, &size), KBaseException);

  fakeusb::TakeCalls();
  controller.reset();
  // The claim goes before the deconfiguration, which usbfs refuses while an interface is claimed.
  EXPECT_EQ(
      "release_interface 0 0, set_configuration 0 0, close 0, "
      "release_interface 1 0, set_configuration 1 0, close 1",
      fakeusb::TakeCalls());
}

// One row of the failure table: how the scene is spoiled, the line that reports it ("" when the
// board is dropped without a message), and whether a board was reset and waited for.
struct Rejection {
  const char* name;
  void (*spoil)(fakeusb::State&);
  const char* line;
  bool settles;
};

const Rejection kRejections[] = {
    {"NoBus", [](fakeusb::State& s) { s.noBus = true; }, "", false},
    {"WrongVendor", [](fakeusb::State& s) { s.boards[0].vendor = 0x046D; }, "", false},
    {"ResetPassOpenFails", [](fakeusb::State& s) { s.results["open 0"] = {-1}; }, "", false},
    // A board claimed by another process: usbfs refuses the deconfiguration, so it is not reset.
    {"InUseElsewhere", [](fakeusb::State& s) { s.results["set_configuration 0 0"] = {-16}; }, "",
     false},
    {"OpenFails", [](fakeusb::State& s) { s.results["open 0"] = {0, -1}; },
     "N SNLusb device could not be initialized", true},
    {"FirmwareTwoBytes", [](fakeusb::State& s) { s.boards[0].replies[0x33] = {2, {'X', 'X'}}; },
     "N Error checking snlusb firmware", true},
};

void PrintTo(const Rejection& r, std::ostream* os) { *os << r.name; }

class DiscoveryRejects : public Discovery, public ::testing::WithParamInterface<Rejection> {};

TEST_P(DiscoveryRejects, TheOnlyBoardAndLogsWhy) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Get().boards = {MakeBoard(5, 2)};
  GetParam().spoil(fakeusb::Get());
  const double seconds = Load();
  EXPECT_EQ(0, controller->GetDevCount());
  const std::string calls = fakeusb::TakeCalls();
  if (!GetParam().settles) {
    EXPECT_LT(seconds, 0.2) << "nothing to wait for";
    EXPECT_EQ(std::string::npos, calls.find("reset")) << calls;
  }
  Lines expected{"I Sentrel library starting..."};
  if (*GetParam().line) expected.push_back(GetParam().line);
  expected.insert(expected.end(), {"N No snlusb devices found", "I \tNo devices found"});
  EXPECT_EQ(expected, LogLines());
}

INSTANTIATE_TEST_SUITE_P(Table, DiscoveryRejects, ::testing::ValuesIn(kRejections),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Discovery, SettleGivesUpAfterTwentyCycles) {
  SNL_REQUIRE_ISOLATION();
  fakeusb::Get().boards = {MakeBoard(9, 1)};
  fakeusb::Get().changes.assign(30, 0);  // the reset board never shows up as a change
  const double seconds = Load();
  EXPECT_GE(seconds, 6.0);
  EXPECT_LT(seconds, 7.5);
  EXPECT_EQ(1, controller->GetDevCount()) << "a board that was there all along is adopted";
  const Lines& calls = fakeusb::Get().calls;
  EXPECT_EQ(1 + 20 + 1, std::count(calls.begin(), calls.end(), "find_devices"));
}

}  // namespace
