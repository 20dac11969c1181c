#include "DOdudo/comm/KCommChannelKeepAlive.h"

#include "DOdudo/TimerManager.h"
#include "DOdudo/comm/KCommChannel.h"
#include "DOdudo/host/KHostSystem.h"
#include "DOdudo/host/KMutex.h"
#include "DOdudo/host/KThread.h"
#include "DOdudo/host/KThreadMutex.h"

namespace comm {

using dodudo::KScopedLock;

struct KCommChannelKeepAlive::State {
  State(KCommChannel& c, unsigned int idle, unsigned int period)
      : channel(c), idleMs(idle), periodMs(period) {}

  KCommChannel& channel;
  const unsigned int idleMs;
  const unsigned int periodMs;
  dodudo::KThreadMutex mutex;  // guards the two fields below; held for a whole probe
  unsigned int timerId = TimerManager::INVALID_TIMER_ID;
  bool active = false;
};

namespace {

using StateRef = std::shared_ptr<KCommChannelKeepAlive::State>;

// Arms the next one-shot timer; the timer owns a reference to the state until it fires or is
// cancelled. Called with the state's mutex held.
void Arm(const StateRef& state) {
  auto* reference = new StateRef(state);
  state->timerId = TimerManager::instance()->startTimer(state->periodMs, reference,
                                                        KCommChannelKeepAlive::Timer);
  if (state->timerId == TimerManager::INVALID_TIMER_ID) {
    // The timer service is shutting down: no more probes.
    delete reference;
    state->active = false;
  }
}

}  // namespace

KCommChannelKeepAlive::KCommChannelKeepAlive(KCommChannel& channel, bool start, unsigned int idleMs,
                                             unsigned int periodMs)
    : state_(std::make_shared<State>(channel, idleMs, periodMs)) {
  if (start) Start();
}

KCommChannelKeepAlive::~KCommChannelKeepAlive() { Stop(); }

void KCommChannelKeepAlive::Start() {
  KScopedLock lock(state_->mutex);
  if (state_->active) return;
  state_->active = true;
  Arm(state_);
}

void KCommChannelKeepAlive::Stop() {
  KScopedLock lock(state_->mutex);
  if (!state_->active) return;
  state_->active = false;
  if (state_->timerId != TimerManager::INVALID_TIMER_ID) {
    // A timer already collected for firing is not returned; it finds the state inactive.
    delete static_cast<StateRef*>(TimerManager::instance()->stopTimer(state_->timerId));
    state_->timerId = TimerManager::INVALID_TIMER_ID;
  }
}

bool KCommChannelKeepAlive::IsRunning() const {
  KScopedLock lock(state_->mutex);
  return state_->active;
}

void KCommChannelKeepAlive::Timer(void* argument) {
  StateRef state = *static_cast<StateRef*>(argument);
  delete static_cast<StateRef*>(argument);
  KScopedLock lock(state->mutex);
  state->timerId = TimerManager::INVALID_TIMER_ID;
  if (!state->active) return;
  if (state->channel.IsConnected() &&
      KHostSystem::GetTick() - state->channel.GetLastReceiveTick() > state->idleMs) {
    // The probe may wait for its reply: it runs on its own thread, not on the timer thread.
    auto* reference = new StateRef(state);
    void* handle = dodudo::KThread::StartThread(Run, reference, 0, false, false, 0);
    if (handle != nullptr) {
      dodudo::KThread::CloseThreadHandle(handle);
      return;
    }
    delete reference;
  }
  Arm(state);
}

void* KCommChannelKeepAlive::Run(void* argument) {
  StateRef state = *static_cast<StateRef*>(argument);
  delete static_cast<StateRef*>(argument);
  KScopedLock lock(state->mutex);
  if (!state->active) return nullptr;
  if (state->channel.KeepAlive(state->idleMs))
    Arm(state);
  else
    state->active = false;
  return nullptr;
}

}  // namespace comm
