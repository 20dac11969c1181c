#pragma once

#include <atomic>

#include "DOdudo/LB9/Basics/KSerializable.h"
#include "DOdudo/host/KExport.h"

namespace dodudo {

// The sending half of a channel: whole objects out. Send returns true when the object was sent
// (or queued), false when the sender can no longer send; failures of the transport are
// exceptions. Implementations say which threads may call them.
class DODUDO_API KSender {
 public:
  virtual ~KSender();
  virtual bool Send(const KSerializable& object) = 0;
  virtual void Terminate() {}
};

// The receiving half: whole objects in, one receiving thread at a time. Receive returns true
// when an object was read, false when nothing is waiting (async mode) or the receiver has been
// terminated. Terminate may be called from any thread and wakes a blocked Receive.
class DODUDO_API KReceiver {
 public:
  KReceiver() : async_(false) {}
  virtual ~KReceiver();
  virtual bool Receive(KSerializable& object) = 0;
  // Receive returns false at once instead of waiting when nothing is there.
  virtual void SetAsync() { async_ = true; }
  virtual void Terminate() = 0;

  bool IsAsync() const { return async_; }

 protected:
  std::atomic<bool> async_;
};

// A two-way channel joining a sending and a receiving half. The base owns neither half: the
// concrete channel decides. Terminate and SetAsync act on the receiving half.
class DODUDO_API KIpcChannel : public KSender, public KReceiver {
 public:
  KIpcChannel() : sender_(nullptr), receiver_(nullptr) {}
  ~KIpcChannel() override;
  bool Send(const KSerializable& object) override = 0;
  void Terminate() override;
  void SetAsync() override;
  bool Receive(KSerializable& object) override = 0;

  KSender* GetSender() const { return sender_; }
  KReceiver* GetReceiver() const { return receiver_; }

 protected:
  KSender* sender_;
  KReceiver* receiver_;
};

}  // namespace dodudo
