#include "DOdudo/KRemoteLogClient.h"

#include <cstdarg>
#include <exception>

#include "DOdudo/KFileLogWriter.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogServerLink.h"
#include "DOdudo/KNullWriter.h"
#include "DOdudo/KRemoteLogSpecs.h"
#include "DOdudo/KRemoteLogWriter.h"
#include "DOdudo/host/KThread.h"

namespace dodudo {

namespace {

// The first connection failure of the process is reported in klog.log; later ones are not.
std::atomic<bool> g_firstConnectFailure{true};

// Queued records are gathered into writes of about this size.
constexpr size_t kBatchBytes = 64 * 1024;
// How long destruction lets the flush thread deliver what is still queued.
constexpr auto kLastFlushWait = std::chrono::milliseconds(2000);

}  // namespace

KRemoteLogClient::KRemoteLogClient() : queue_(kQueueSize), queueSemaphore_(0x100000) {
  SetFilter(new KLogFilter());
  if (!Spawn(FlushQueueThread)) throw std::runtime_error("cannot start the log flush thread");
}

KRemoteLogClient::~KRemoteLogClient() {
  // The writers queue their last text; after this nothing is added to the queue.
  DeleteWriters();
  stop_.store(true);
  queueSemaphore_.Release();
  std::unique_lock<std::mutex> lock(threadsLock_);
  if (!threadsEnded_.wait_for(lock, kLastFlushWait, [this] { return flushEnded_.load(); })) {
    // The flush thread is stuck in a send to a server that does not read: break the connection.
  }
  lock.unlock();
  {
    std::lock_guard<std::mutex> guard(connectionLock_);
    if (channel_) channel_->Shutdown();
  }
  // No thread may touch the client once it is freed: wait for all of them (connect and reload
  // threads included), without a limit, now that nothing blocks them.
  lock.lock();
  threadsEnded_.wait(lock, [this] { return threads_ == 0; });
  lock.unlock();
  channel_.reset();
  for (auto& entry : fallbackWriters_) delete entry.second;
}

void KRemoteLogClient::StartReloadConfigThread() {}

KLogWriter* KRemoteLogClient::GetWriter(const char* name) {
  return FindOrAddWriter(name, [](const std::string& key, KLogManager* self) -> KLogWriter* {
    if (key == "messages") return new KNullWriter();
    return new KRemoteLogWriter(key, static_cast<KRemoteLogClient*>(self));
  });
}

KLogWriter* KRemoteLogClient::GetFallbackWriter(const char* name) {
  std::string key = name != nullptr ? name : "klog";
  std::lock_guard<std::mutex> guard(fallbackLock_);
  KLogWriter*& writer = fallbackWriters_[key];
  if (writer == nullptr) writer = new KFileLogWriter(key.c_str());
  return writer;
}

unsigned int KRemoteLogClient::Waiting() const { return queue_.Used(); }

bool KRemoteLogClient::Connected() {
  std::lock_guard<std::mutex> guard(connectionLock_);
  return channel_ != nullptr;
}

void KRemoteLogClient::SendLog(const KLogMessage& record, bool lazy) {
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (queue_.Used() > (lazy ? kLazyLimit : kQueueSize - 1)) return;
    queue_.Provide(record);
  }
  if (!lazy) queueSemaphore_.Release();
}

// ---- Threads ----------------------------------------------------------------------------------

bool KRemoteLogClient::Spawn(void* (*routine)(void*)) {
  std::lock_guard<std::mutex> guard(threadsLock_);
  void* handle = KThread::StartThread(routine, this, 0, false, false, 0);
  if (handle == nullptr) return false;
  KThread::CloseThreadHandle(handle);
  ++threads_;
  return true;
}

void KRemoteLogClient::ThreadEnded() {
  // The last touch of the client by a thread: destruction may go on once the lock is released.
  std::lock_guard<std::mutex> guard(threadsLock_);
  --threads_;
  threadsEnded_.notify_all();
}

void* KRemoteLogClient::FlushQueueThread(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  KThread::SetPriority(0);
  while (true) {
    client->queueSemaphore_.Wait(1000);
    if (client->stop_.load()) break;
    client->Drain();
  }
  client->Drain();  // the last lines of the process, when a connection exists
  {
    std::lock_guard<std::mutex> guard(client->threadsLock_);
    client->flushEnded_.store(true);
    client->threadsEnded_.notify_all();
  }
  client->ThreadEnded();
  return nullptr;
}

// Sends what waits, oldest first, in a few large writes. A record leaves the queue only after the
// write that carried it succeeded; after a failure the records stay for the next pass.
void KRemoteLogClient::Drain() {
  while (Waiting() > 0) {
    std::shared_ptr<KLogServerLink> link;
    {
      std::lock_guard<std::mutex> guard(connectionLock_);
      link = channel_;
    }
    if (!link) {
      if (!stop_.load()) TryConnect();
      return;
    }
    ExtReaderData<KLogMessage> runs[2];
    uint32_t count = queue_.Segments(kQueueSize, runs);
    std::string& frames = batch_;
    frames.clear();
    uint32_t taken = 0;
    try {
      for (uint32_t run = 0; run < count; ++run) {
        for (uint32_t i = 0; i < runs[run].length && frames.size() < kBatchBytes; ++i, ++taken)
          KLogServerLink::AppendFrame(frames, runs[run].data[i]);
      }
      link->SendBytes(frames);
    } catch (const std::exception& e) {
      Fallback("Error in %s: %s", "FlushQueueThread", e.what());
      // A broken connection: its reload thread drops it, and the next pass reconnects.
      link->Shutdown();
      return;
    }
    queue_.ConsumeCommit(taken);
  }
}

void KRemoteLogClient::TryConnect() {
  std::lock_guard<std::mutex> guard(connectionLock_);
  if (connecting_ || channel_ || stop_.load()) return;
  connecting_ = true;
  if (!Spawn(ConnectThread)) connecting_ = false;
}

void* KRemoteLogClient::ConnectThread(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  KRemoteLogSpecs& specs = KRemoteLogSpecs::Instance();
  std::string host = specs.Host();
  unsigned int port = specs.Port();
  // Connecting takes no lock: the flush thread and destruction never wait on a slow connect.
  std::shared_ptr<KLogServerLink> link;
  try {
    link = std::make_shared<KLogServerLink>(host, static_cast<uint16_t>(port));
  } catch (const std::exception& e) {
    if (g_firstConnectFailure.exchange(false)) {
      client->Fallback("Could not connect to log server at %s:%d (%s)\n", host.c_str(),
                       static_cast<int>(port), e.what());
    }
  }
  {
    std::lock_guard<std::mutex> guard(client->connectionLock_);
    client->connecting_ = false;
    if (link && !client->stop_.load()) {
      client->channel_ = link;
      if (!client->Spawn(ReloadConfigThread)) client->channel_.reset();
    }
  }
  // Records that waited for the connection go out now rather than at the next second.
  if (link) client->queueSemaphore_.Release();
  client->ThreadEnded();
  return nullptr;
}

void* KRemoteLogClient::ReloadConfigThread(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  std::shared_ptr<KLogServerLink> link;
  {
    std::lock_guard<std::mutex> guard(client->connectionLock_);
    link = client->channel_;
  }
  if (link) client->ReloadLoop(link);
  {
    std::lock_guard<std::mutex> guard(client->connectionLock_);
    if (client->channel_ == link) client->channel_.reset();
  }
  link.reset();
  client->ThreadEnded();
  return nullptr;
}

void KRemoteLogClient::ReloadLoop(const std::shared_ptr<KLogServerLink>& link) {
  bool first = true;
  while (!stop_.load()) {
    KReloadMessage message;
    try {
      if (!link->Receive(message)) return;
    } catch (const std::exception& e) {
      Fallback("Error in %s: %s\n", "ReloadConfigThread", e.what());
      return;
    }
    if (message.Type() != KReloadMessage::kLogFilter) continue;  // configurations: not ours
    Filter()->CopySettingsFrom(message.GetLogFilter());
    if (!first) MakeCheckpoint();
    first = false;
    Filter()->InvokeFilterCallback(true);
  }
}

// "hh:mm:ss.mmm PID=0042| " and the message, in the local klog.log.
void KRemoteLogClient::Fallback(const char* format, ...) {
  KLogWriter* writer = GetFallbackWriter("klog");
  time::KSystemTime now = klogdetail::LocalNow();
  klogdetail::Guard guard(writer->GetMutex());
  writer->FmtWrite("%02d:%02d:%02d.%03d PID=%04d| ", now.hour, now.minute, now.second,
                   now.milliseconds, KHostSystem::GetCurrentProcId());
  va_list args;
  va_start(args, format);
  writer->Write(format, args);
  va_end(args);
  writer->Flush(false);
}

}  // namespace dodudo
