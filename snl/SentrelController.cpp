#include "snl/SentrelController.h"

#include <cstring>
#include <memory>

#include "DOdudo/host/KBaseException.h"
#include "DOdudo/host/KHostSystem.h"
#include "snl/LocalLock.h"
#include "snl/SNLKVAInternal.h"
#include "snl/SnlUsbProtocol.h"

using namespace snlusb;

SentrelController::SentrelController()
    : lock_(nullptr),
      busCount_(0),
      searchInhibit_(false),
      debug_(false),
      logger_(klogSNL, -1, "SNL", "snl", 0, false) {
  lock_ = KHostSystem::CreateLocalMutex();
  searchInhibit_ = false;
  StartIntrKVA();
  debug_ = false;
  logger_.Info("Sentrel library starting...");
  SeachDevices();
  for (SNLDevice* board : devices_) {
    board->serial = SNLKVAInternal::kva2GetSerial(KVPD_TYPE_22, board->vpd);
    board->boardType = SNLKVAInternal::kva2GetBoardType(KVPD_TYPE_22, board->vpd);
    board->boardSubtype = SNLKVAInternal::kva2GetBoardSubType(KVPD_TYPE_22, board->vpd);
    board->links = SNLKVAInternal::kva2GetChannelCount(KVPD_TYPE_22, board->vpd, 0);
    logger_.Info("SNL Device [%i] - Type [%i][%i], max links:%i", board->serial, board->boardType,
                 board->boardSubtype, board->links);
  }
  if (devices_.empty()) logger_.Info("\tNo devices found");
}

SentrelController::~SentrelController() {
  for (SNLDevice* board : devices_) {
    if (!board->stopped) StopDevice(board);
    if (board->handle != nullptr) usb_close(board->handle);
    delete board;
  }
  devices_.clear();
  if (lock_ != nullptr) KHostSystem::DeleteLocalMutex(lock_);
  lock_ = nullptr;
}

void SentrelController::SetErrorStr(const char* text) { logger_.Notice("%s", text); }

void SentrelController::StopDevice(SNLDevice* board) {
  if (board == nullptr) return;
  board->stopped = true;
  if (board->handle != nullptr) {
    // usbfs refuses a configuration change while an interface is claimed (EBUSY, with a kernel
    // warning): the claim taken at adoption goes first, so the board really is deconfigured.
    usb_release_interface(board->handle, kInterface);
    usb_set_configuration(board->handle, kConfigurationIdle);
    usb_close(board->handle);
  }
  board->handle = nullptr;
}

SNLDevice* SentrelController::ValidBoard(int index) {
  if (index < 0 || static_cast<size_t>(index) >= devices_.size()) return nullptr;
  SNLDevice* board = devices_[static_cast<size_t>(index)];
  return board->stopped || board->handle == nullptr ? nullptr : board;
}

int SentrelController::GetDevCount() {
  LocalLock guard(lock_);
  return static_cast<int>(devices_.size());
}

int SentrelController::GetDevSerial(int index) {
  LocalLock guard(lock_);
  SNLDevice* board = ValidBoard(index);
  return board != nullptr ? board->serial : 0;
}

int SentrelController::GetDevLinks(int index) {
  LocalLock guard(lock_);
  SNLDevice* board = ValidBoard(index);
  return board != nullptr ? board->links : 0;
}

int SentrelController::StartWatch(int index) {
  LocalLock guard(lock_);
  SNLDevice* board = ValidBoard(index);
  if (board == nullptr) return 1;
  int ret = usb_control_msg(board->handle, kVendorOut, kRequestStart, 0, 0, nullptr, 0,
                            kCommandTimeoutMs);
  if (Debug()) logger_.Info("Device %i, Start CMD sent", index);
  if (ret < 0) logger_.Warning("Error sending start: %i, device %i", ret, index);
  return ret == 0 ? 0 : 1;
}

int SentrelController::StopWatch(int index) {
  LocalLock guard(lock_);
  SNLDevice* board = ValidBoard(index);
  if (board == nullptr) return 1;
  int ret = usb_control_msg(board->handle, kVendorOut, kRequestStop, 0, 0, nullptr, 0,
                            kCommandTimeoutMs);
  if (Debug()) logger_.Info("Device %i, Stop CMD sent", index);
  if (ret < 0) logger_.Warning("Error sending stop: %i, device %i", ret, index);
  return ret == 0 ? 0 : 1;
}

int SentrelController::PingWatch(int index) {
  LocalLock guard(lock_);
  SNLDevice* board = ValidBoard(index);
  if (board == nullptr) return 1;
  char status = 0;
  int ret = usb_control_msg(board->handle, kVendorIn, kRequestStatus, 0, 0, &status, 1,
                            kCommandTimeoutMs);
  if (Debug()) logger_.Info("Device %i, Ping CMD sent, return: %i", index, ret);
  if (ret < 0) logger_.Warning("Error sending ping: %i, device %i", ret, index);
  return ret == 1 ? 0 : 1;
}

int SentrelController::GetDeviceStatus(int index) {
  LocalLock guard(lock_);
  SNLDevice* board = ValidBoard(index);
  if (board == nullptr) return kStatusFailed;
  char status = 0;
  int ret = usb_control_msg(board->handle, kVendorIn, kRequestStatus, 0, 0, &status, 1,
                            kCommandTimeoutMs);
  if (Debug()) logger_.Info("Device %i, GetStatus CMD sent, return: %i", index, ret);
  if (ret < 0) logger_.Warning("Error retrieving status: %i, device %i", ret, index);
  return ret == 1 ? DecodeStatus(static_cast<unsigned char>(status)) : kStatusFailed;
}

int SentrelController::Configure(int index, unsigned char time, unsigned char links) {
  LocalLock guard(lock_);
  SNLDevice* board = ValidBoard(index);
  if (board == nullptr) return 1;
  char data[2] = {static_cast<char>(time), static_cast<char>(links)};
  int ret = usb_control_msg(board->handle, kVendorOut, kRequestConfigure, 0, 0, data, 2,
                            kCommandTimeoutMs);
  if (Debug())
    logger_.Info("Device %i, Configure CMD sent, time: %i, links: %i, return: %i", index, time,
                 links, ret);
  if (ret < 0) logger_.Warning("Error sending configure: %i, device %i", ret, index);
  return ret == 2 ? 0 : 1;
}

int SentrelController::PingDevice(SNLDevice* board, int timeout) {
  if (board == nullptr || board->handle == nullptr) return 1;
  char answer = 0;
  int ret = usb_control_msg(board->handle, kVendorIn, kRequestFirmware, 0, 0, &answer, 1, timeout);
  if (ret != 1) return 1;
  return static_cast<unsigned char>(answer) == kFirmwareAnswer ? 0 : 4;
}

unsigned char* SentrelController::StartDeviceVPD(SNLDevice* board, int* size) {
  if (board == nullptr || board->handle == nullptr)
    throw KBaseException("Error, SNLUSB null handle");
  const unsigned int total = SNLKVAInternal::kva2GetInternalSize(KVPD_TYPE_22);
  std::unique_ptr<unsigned char[]> image(new unsigned char[total]());
  *size = static_cast<int>(total);
  const unsigned int extra = SNLKVAInternal::kva2GetDiffExtraSize(KVPD_TYPE_22);
  struct usb_device* device = usb_device(board->handle);
  if (extra < 4 || device == nullptr) throw KBaseException("SNLUSB device VPD ID read error");
  const unsigned int stored = total - extra;
  const uint32_t id = static_cast<uint32_t>(device->descriptor.idVendor) << 16 |
                      device->descriptor.idProduct;
  for (int i = 0; i < 4; ++i) image[stored + i] = static_cast<unsigned char>(id >> (8 * i));
  int ret = usb_control_msg(board->handle, kVendorIn, kRequestVpd, 0, 0,
                            reinterpret_cast<char*>(image.get()), static_cast<int>(stored),
                            kCommandTimeoutMs);
  if (ret != static_cast<int>(stored)) throw KBaseException("SNLUSB device VPD read error");
  return image.release();
}
