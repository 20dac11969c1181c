#pragma once

#include <memory>

#include "DOdudo/host/KExport.h"
#include "DOdudo/host/NonCopyable.h"

namespace comm {

class KCommChannel;

// Probes an idle channel: every period ms (on the timer manager's thread) it looks at the time of
// the last envelope received, and when that is more than idle ms ago it runs the channel's
// KeepAlive on a thread of its own. A failed probe closes the connection and leaves the companion
// stopped until Start() is called again.
//
// Timer callbacks and the probe thread hold a shared state, never the companion itself, so a
// timer that fires while the companion is being stopped or destroyed is harmless. After Stop()
// returns nothing touches the channel any more; Stop() waits for a probe in progress (which ends
// at once when the connection is lost, at the latest after the channel's 30 s reply timeout).
// Start and Stop may be called from any thread.
class DODUDO_API KCommChannelKeepAlive : public NonCopyable {
 public:
  KCommChannelKeepAlive(KCommChannel& channel, bool start, unsigned int idleMs,
                        unsigned int periodMs);
  ~KCommChannelKeepAlive();

  void Start();
  void Stop();
  bool IsRunning() const;

  // Timer manager and thread entry points; the argument is the shared state.
  static void Timer(void* argument);
  static void* Run(void* argument);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace comm
