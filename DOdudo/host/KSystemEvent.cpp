#include "DOdudo/host/KSystemEvent.h"

#include "DOdudo/host/KHostSystem.h"

namespace dodudo {

KSystemEvent::KSystemEvent(const char* name) : handle_(KHostSystem::CreateSystemEvent(name)) {}

KSystemEvent::~KSystemEvent() { KHostSystem::CloseSystemEvent(handle_); }

void KSystemEvent::Pulse() { KHostSystem::PulseSystemEvent(handle_); }

bool KSystemEvent::Wait(unsigned int timeoutMs) {
  return KHostSystem::WaitEvent(handle_, timeoutMs) == 0;
}

}  // namespace dodudo
