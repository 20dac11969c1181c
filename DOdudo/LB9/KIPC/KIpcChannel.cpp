#include "DOdudo/LB9/KIPC/KIpcChannel.h"

namespace dodudo {

KSender::~KSender() = default;

KReceiver::~KReceiver() = default;

KIpcChannel::~KIpcChannel() = default;

void KIpcChannel::Terminate() {
  if (receiver_ != nullptr) receiver_->Terminate();
}

void KIpcChannel::SetAsync() {
  KReceiver::SetAsync();
  if (receiver_ != nullptr) receiver_->SetAsync();
}

}  // namespace dodudo
