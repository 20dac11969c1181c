#include "DOdudo/KRemoteLogClient.h"

#include <cstdarg>
#include <exception>
#include <thread>

#include "DOdudo/KFileLogWriter.h"
#include "DOdudo/KLogFilter.h"
#include "DOdudo/KLogPlatform.h"
#include "DOdudo/KLogServerLink.h"
#include "DOdudo/KNullWriter.h"
#include "DOdudo/KRemoteLogSpecs.h"
#include "DOdudo/KRemoteLogWriter.h"
#include "DOdudo/host/KAtFork.h"
#include "DOdudo/host/KInitOrder.h"
#include "DOdudo/host/KThread.h"

namespace dodudo {

namespace {

using Clock = std::chrono::steady_clock;

// The first connection failure of the process is reported in klog.log; later ones are not.
std::atomic<bool> g_firstConnectFailure{true};

// Queued records are gathered into writes of about this size.
constexpr size_t kBatchBytes = 64 * 1024;
// A connection that stayed up this long without trouble ends an episode of back-off.
constexpr auto kHealthyConnection = std::chrono::seconds(10);

// The client of the process, for the end of the process and for fork.
std::atomic<KRemoteLogClient*> g_client{nullptr};

// Built before the watchdog controller and so destroyed after it, at exit and at unload: the
// client's running log keeps the manager alive to the very end, so nothing else would send what
// is queued, and at unload its threads would run on in unmapped code.
struct ProcessEnd {
  ~ProcessEnd() {
    if (KRemoteLogClient* client = g_client.load()) client->Close();
  }
} g_processEnd DODUDO_INIT_TOOLKIT;

std::string LocalTimeText() {
  time::KSystemTime t = klogdetail::LocalNow();
  std::string text;
  klogdetail::AppendFormat(text, "%02d/%02d/%04d %02d:%02d:%02d.%03d", t.day, t.month, t.year,
                           t.hour, t.minute, t.second, t.milliseconds);
  return text;
}

}  // namespace

KRemoteLogClient::KRemoteLogClient()
    : queue_(kQueueSize), queueSemaphore_(std::make_unique<KSemaphore>(0x100000)) {
  SetFilter(new KLogFilter());
  if (!Spawn(FlushQueueThread)) throw std::runtime_error("cannot start the log flush thread");
  // Innermost: every component logs while it holds locks of its own, so those are taken first.
  forkHandlers_ =
      KAtFork::RegisterInnermost(PrepareFork, AfterForkInParent, AfterForkInChild, this);
  g_client.store(this);
}

KRemoteLogClient::~KRemoteLogClient() {
  KAtFork::Unregister(forkHandlers_);
  // The writers queue their last text; then the queue goes out and every thread ends.
  DeleteWriters();
  Close();
  KRemoteLogClient* self = this;
  g_client.compare_exchange_strong(self, nullptr);
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
  const size_t size = record.text.size();
  const size_t count = size <= KRemoteLogWriter::kMaxText
                           ? 1
                           : (size + KRemoteLogWriter::kMaxText - 1) / KRemoteLogWriter::kMaxText;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (closed_.load()) {
      WriteLocally(record);
      return;
    }
    const unsigned int limit = lazy ? kLazyLimit + 1 : kQueueSize;
    if (queue_.Used() + count > limit) {
      if (dropped_++ == 0) droppedSince_ = LocalTimeText();
    } else if (count == 1) {
      queue_.Provide(record);
    } else {
      pieces_.resize(count);
      for (size_t i = 0; i < count; ++i) {
        pieces_[i].name = record.name;
        pieces_[i].text.assign(record.text, i * KRemoteLogWriter::kMaxText,
                               KRemoteLogWriter::kMaxText);
      }
      queue_.Provide(pieces_.data(), static_cast<uint32_t>(count));
    }
  }
  if (needFlushThread_.exchange(false) && !Spawn(FlushQueueThread)) needFlushThread_.store(true);
  if (!lazy) queueSemaphore_->Release();
}

void KRemoteLogClient::WriteLocally(const KLogMessage& record) {
  KLogWriter* writer = GetFallbackWriter(record.name.c_str());
  klogdetail::Guard guard(writer->GetMutex());
  writer->WriteText(record.text.data(), record.text.size());
  writer->Flush(false);
}

// ---- The end ----------------------------------------------------------------------------------

void KRemoteLogClient::Close(std::chrono::milliseconds budget) {
  std::lock_guard<std::mutex> closing(closeLock_);
  if (closed_.load()) return;
  const auto deadline = Clock::now() + budget;
  auto waitUntil = [&](auto done) {
    while (!done() && Clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
  };
  auto delivered = [this] {
    std::lock_guard<std::mutex> guard(queueLock_);
    return queue_.Used() == 0 && dropped_ == 0;
  };
  // Whatever waits goes out now; without a connection the flush thread opens one.
  queueSemaphore_->Release();
  if (waitUntil(delivered)) {
    // The server closes the connection once it has read everything before our end: then every
    // line is in its hands.
    std::shared_ptr<KLogServerLink> link;
    {
      std::lock_guard<std::mutex> guard(connectionLock_);
      stop_.store(true);  // no new connection
      link = channel_;
    }
    if (link) {
      link->FinishSending();
      waitUntil([this] { return !Connected(); });
    }
  }
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    stop_.store(true);
  }
  {
    std::lock_guard<std::mutex> guard(connectionLock_);
    if (channel_) channel_->Shutdown();
  }
  queueSemaphore_->Release();
  // Joined, not only counted: at unload no thread may still be on its way out of the code.
  for (;;) {
    std::vector<pthread_t> threads;
    {
      std::lock_guard<std::mutex> guard(threadsLock_);
      threads.swap(threads_);
      ended_.clear();
    }
    if (threads.empty()) break;
    for (pthread_t thread : threads) pthread_join(thread, nullptr);
  }
  // This thread is the queue's consumer now. What the server did not get is kept locally.
  unsigned int left = 0;
  unsigned long long dropped;
  std::string since;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    closed_.store(true);
    for (; queue_.Used() > 0; ++left) {
      WriteLocally(queue_.Front());
      queue_.ConsumeCommit(1);
    }
    dropped = dropped_;
    since = droppedSince_;
    dropped_ = 0;
  }
  if (left > 0) {
    Fallback("%u log records not delivered to the log server at the end were written to the "
             "local logs\n",
             left);
  }
  if (dropped > 0) {
    Fallback("%llu log lines dropped since %s: the queue to the log server was full\n", dropped,
             since.c_str());
  }
}

// ---- Threads ----------------------------------------------------------------------------------

bool KRemoteLogClient::Spawn(void* (*routine)(void*)) {
  JoinEnded();
  std::lock_guard<std::mutex> guard(threadsLock_);
  if (stop_.load()) return false;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, routine, this) != 0) return false;
  threads_.push_back(thread);
  return true;
}

// Joins the threads that said they ended (each is at most returning).
void KRemoteLogClient::JoinEnded() {
  std::vector<pthread_t> ended;
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    ended.swap(ended_);
    for (pthread_t thread : ended) {
      for (auto it = threads_.begin(); it != threads_.end(); ++it) {
        if (pthread_equal(*it, thread)) {
          threads_.erase(it);
          break;
        }
      }
    }
  }
  for (pthread_t thread : ended) pthread_join(thread, nullptr);
}

void KRemoteLogClient::ThreadEnded() {
  std::lock_guard<std::mutex> guard(threadsLock_);
  if (!stop_.load()) ended_.push_back(pthread_self());
}

int KRemoteLogClient::FlushWaitMs() {
  if (Waiting() == 0) return 1000;
  std::lock_guard<std::mutex> guard(connectionLock_);
  if (channel_ || connecting_) return 1000;
  auto due = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now());
  return static_cast<int>(std::max<long long>(1, std::min<long long>(1000, due.count() + 1)));
}

void* KRemoteLogClient::FlushQueueThread(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  KThread::SetPriority(0);
  while (!client->stop_.load()) {
    client->queueSemaphore_->Wait(static_cast<unsigned int>(client->FlushWaitMs()));
    if (client->stop_.load()) break;
    client->Drain();
  }
  client->ThreadEnded();
  return nullptr;
}

// Sends what waits, oldest first, in a few large writes. A record leaves the queue only after the
// write that carried it succeeded; after a failure the records stay for the next pass.
void KRemoteLogClient::Drain() {
  for (;;) {
    std::shared_ptr<KLogServerLink> link;
    {
      std::lock_guard<std::mutex> guard(connectionLock_);
      link = channel_;
    }
    if (Waiting() == 0) {
      if (link) ReportDropped(*link);
      return;
    }
    if (!link) {
      TryConnect();
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

// Once records flow again: one line to the server and one in klog.log on the lines dropped.
bool KRemoteLogClient::ReportDropped(KLogServerLink& link) {
  unsigned long long dropped;
  std::string since;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (dropped_ == 0) return true;
    dropped = dropped_;
    since = droppedSince_;
    dropped_ = 0;
  }
  std::string text;
  klogdetail::AppendFormat(text, "W|%s| %llu log lines dropped since %s: the queue to the log "
                           "server was full\n",
                           LocalTimeText().c_str(), dropped, since.c_str());
  KLogMessage report("klog", text.c_str());
  std::string frame;
  KLogServerLink::AppendFrame(frame, report);
  try {
    link.SendBytes(frame);
  } catch (const std::exception&) {
    std::lock_guard<std::mutex> guard(queueLock_);
    if (dropped_ == 0) droppedSince_ = since;
    dropped_ += dropped;
    return false;
  }
  Fallback("%llu log lines dropped since %s: the queue to the log server was full\n", dropped,
           since.c_str());
  return true;
}

void KRemoteLogClient::TryConnect() {
  std::lock_guard<std::mutex> guard(connectionLock_);
  if (connecting_ || channel_ || stop_.load() || Clock::now() < nextAttempt_) return;
  connecting_ = true;
  if (!Spawn(ConnectThread)) connecting_ = false;
}

void* KRemoteLogClient::ConnectThread(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  KRemoteLogSpecs& specs = KRemoteLogSpecs::Instance();
  std::string host = specs.Host();
  unsigned int port = specs.Port();
  // Connecting takes no lock: the flush thread never waits on a slow connect, and the end of
  // the process cancels it through the stop flag.
  std::shared_ptr<KLogServerLink> link;
  try {
    link = std::make_shared<KLogServerLink>(host, static_cast<uint16_t>(port), &client->stop_);
  } catch (const KLogServerLink::Untrusted& e) {
    client->Trouble(std::string(e.what()) + "\n");
  } catch (const std::exception& e) {
    {
      std::lock_guard<std::mutex> guard(client->connectionLock_);
      client->nextAttempt_ = Clock::now() + std::chrono::milliseconds(kRetryMs);
    }
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
  if (link) client->queueSemaphore_->Release();
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
  const auto start = Clock::now();
  bool first = true;
  while (!stop_.load()) {
    KReloadMessage message;
    try {
      if (!link->Receive(message)) break;
    } catch (const KLogServerLink::Closed& e) {
      if (!stop_.load()) Fallback("Error in %s: %s\n", "ReloadConfigThread", e.what());
      break;
    } catch (const std::exception& e) {
      // The server broke the protocol: its next connection waits.
      Trouble(std::string("Error in ReloadConfigThread: ") + e.what() + "\n");
      return;
    }
    // Reload orders concern the configurations of a plain manager, not this client.
    if (message.Type() != KReloadMessage::kLogFilter) continue;
    ApplyServerFilter(message.GetLogFilter(), first);
    first = false;
  }
  if (Clock::now() - start >= kHealthyConnection) {
    std::lock_guard<std::mutex> guard(connectionLock_);
    backoffMs_ = 0;
    troubleNoted_ = false;
  }
}

void KRemoteLogClient::Trouble(const std::string& note) {
  bool noted;
  {
    std::lock_guard<std::mutex> guard(connectionLock_);
    backoffMs_ = backoffMs_ == 0 ? 1000 : std::min<int>(backoffMs_ * 2, kMaxBackoffMs);
    nextAttempt_ = Clock::now() + std::chrono::milliseconds(backoffMs_);
    noted = !troubleNoted_;
    troubleNoted_ = true;
  }
  if (noted) Fallback("%s", note.c_str());
}

// ---- Fork -------------------------------------------------------------------------------------

// The forking thread holds every lock of the client (and the manager's writer locks, taken first
// as a logging thread does), so the child gets a queue and a state that no thread was changing.
// The fallback files are file writers: their locks are held, and renewed in the child, with every
// other file writer's, after these.
void KRemoteLogClient::PrepareFork(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  client->LockForFork();
  client->queueLock_.lock();
  client->connectionLock_.lock();
  client->threadsLock_.lock();
  client->fallbackLock_.lock();
}

void KRemoteLogClient::AfterForkInParent(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  client->fallbackLock_.unlock();
  client->threadsLock_.unlock();
  client->connectionLock_.unlock();
  client->queueLock_.unlock();
  client->UnlockAfterFork();
}

// The child has none of the parent's threads and must not use its connection: the records
// queued are the parent's to send (sent twice otherwise), and the child's first line starts a
// flush thread and a connection of its own.
void KRemoteLogClient::AfterForkInChild(void* self) {
  auto* client = static_cast<KRemoteLogClient*>(self);
  client->threads_.clear();
  client->ended_.clear();
  if (client->channel_) {
    client->channel_->ForgetInChild();
    new std::shared_ptr<KLogServerLink>(std::move(client->channel_));  // never destroyed here
  }
  client->connecting_ = false;
  client->nextAttempt_ = {};
  client->backoffMs_ = 0;
  client->troubleNoted_ = false;
  client->queue_.ConsumeCommit(client->queue_.Used());
  client->dropped_ = 0;
  client->queueSemaphore_.release();  // left behind: a parent thread may have been inside it
  client->queueSemaphore_ = std::make_unique<KSemaphore>(0x100000);
  client->needFlushThread_.store(!client->stop_.load());
  client->fallbackLock_.unlock();
  client->threadsLock_.unlock();
  client->connectionLock_.unlock();
  client->queueLock_.unlock();
  client->RenewLocksInChild();
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
