// Records per second of a 64-byte object (68 bytes framed) through the socket channel and the
// buffered channel to a loopback reader, with one and four producers, beside the floors of one
// send(2) per framed record and of the same records batched into 1,500-byte sends; and the ring
// alone beside boost::lockfree::spsc_queue moving the same records between two threads. Then
// the 99th percentile of a buffered Send while the ring has room. Prints the ratios last.
// Run through bench/run.sh (the buffered sender logs its full-ring warnings to /var/log/tolma).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "DOdudo/LB9/Basics/KClientSocket.h"
#include "DOdudo/LB9/KIPC/GenericRingBuffer.h"
#include "DOdudo/LB9/KIPC/KBufferedSocketIPC.h"
#include "DOdudo/LB9/KIPC/KSocketIPC.h"
#include "RateReporter.h"

namespace {

constexpr int kRecordsPerIteration = 40000;
constexpr unsigned int kFramed = 68;

// 64 bytes on the wire: a 32-bit sequence number and 60 bytes of payload.
struct Record : dodudo::KSerializable {
  uint32_t sequence = 0;
  unsigned char payload[60] = {};
  void Serialize(dodudo::KSerializer& s) override {
    s& sequence;
    s.Serialize(payload, sizeof payload);
  }
};

// The 68 framed bytes of a record, as every sender puts them on the wire.
struct RawRecord {
  unsigned char bytes[kFramed];
};

RawRecord Framed(uint32_t sequence) {
  RawRecord raw{};
  raw.bytes[0] = 64;
  std::memcpy(raw.bytes + 4, &sequence, 4);
  return raw;
}

// Accepts one connection on 127.0.0.1 and counts what arrives until the peer closes.
class LoopbackSink {
 public:
  LoopbackSink() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_, 1);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    reader_ = std::thread([this] {
      const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      std::vector<char> block(1 << 16);
      for (;;) {
        const ssize_t got = ::recv(fd, block.data(), block.size(), 0);
        if (got <= 0) break;
        received_.fetch_add(static_cast<uint64_t>(got), std::memory_order_release);
      }
      ::close(fd);
    });
  }
  ~LoopbackSink() {
    reader_.join();
    ::close(listener_);
  }
  unsigned short Port() const { return port_; }
  void WaitFor(uint64_t bytes) const {
    while (received_.load(std::memory_order_acquire) < bytes) std::this_thread::yield();
  }

 private:
  int listener_;
  unsigned short port_ = 0;
  std::thread reader_;
  std::atomic<uint64_t> received_{0};
};

int RawConnection(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Runs `producers` threads that together send kRecordsPerIteration records with send(record).
template <typename SendFn>
void Produce(int producers, SendFn send) {
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      Record record;
      for (int i = p; i < kRecordsPerIteration; i += producers) {
        record.sequence = static_cast<uint32_t>(i);
        send(record);
      }
    });
  }
  for (auto& t : threads) t.join();
}

void BM_OneSendPerRecord(benchmark::State& state) {
  LoopbackSink sink;
  const int fd = RawConnection(sink.Port());
  uint64_t total = 0;
  for (auto _ : state) {
    for (int i = 0; i < kRecordsPerIteration; ++i) {
      RawRecord raw = Framed(static_cast<uint32_t>(i));
      if (::send(fd, raw.bytes, kFramed, MSG_NOSIGNAL) != kFramed) state.SkipWithError("send");
    }
    total += uint64_t{kRecordsPerIteration} * kFramed;
    sink.WaitFor(total);
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations() * kRecordsPerIteration);
}

void BM_BatchedSends(benchmark::State& state) {
  LoopbackSink sink;
  const int fd = RawConnection(sink.Port());
  constexpr int kPerSend = 1500 / kFramed;
  unsigned char batch[kPerSend * kFramed];
  uint64_t total = 0;
  for (auto _ : state) {
    int inBatch = 0;
    for (int i = 0; i < kRecordsPerIteration; ++i) {
      RawRecord raw = Framed(static_cast<uint32_t>(i));
      std::memcpy(batch + inBatch * kFramed, raw.bytes, kFramed);
      if (++inBatch == kPerSend || i + 1 == kRecordsPerIteration) {
        const ssize_t size = inBatch * kFramed;
        if (::send(fd, batch, static_cast<size_t>(size), MSG_NOSIGNAL) != size)
          state.SkipWithError("send");
        inBatch = 0;
      }
    }
    total += uint64_t{kRecordsPerIteration} * kFramed;
    sink.WaitFor(total);
  }
  ::close(fd);
  state.SetItemsProcessed(state.iterations() * kRecordsPerIteration);
}

void BM_SocketChannel(benchmark::State& state) {
  LoopbackSink sink;
  uint64_t total = 0;
  {
    dodudo::KSocketIpcChannel channel("127.0.0.1", sink.Port());
    for (auto _ : state) {
      Produce(static_cast<int>(state.range(0)), [&](const Record& r) { channel.Send(r); });
      total += uint64_t{kRecordsPerIteration} * kFramed;
      sink.WaitFor(total);
    }
  }
  state.SetItemsProcessed(state.iterations() * kRecordsPerIteration);
}

void BM_BufferedChannel(benchmark::State& state) {
  LoopbackSink sink;
  uint64_t total = 0;
  {
    // The defaults (1500-byte writes, 9 ms gathering) with the ring size of the second argument.
    dodudo::KBufferedSocketOptions options;
    options.BufferSize = static_cast<uint32_t>(state.range(1));
    dodudo::KBufferedSocketIpcChannel channel("127.0.0.1", sink.Port(), options);
    for (auto _ : state) {
      Produce(static_cast<int>(state.range(0)), [&](const Record& r) {
        if (!channel.Send(r)) fprintf(stderr, "send refused\n");
      });
      total += uint64_t{kRecordsPerIteration} * kFramed;
      sink.WaitFor(total);
    }
  }
  state.SetItemsProcessed(state.iterations() * kRecordsPerIteration);
}

constexpr int kRingRecords = 1000000;

void BM_Ring(benchmark::State& state) {
  GenericRingBuffer<RawRecord> ring(1024);
  for (auto _ : state) {
    std::thread consumer([&] {
      RawRecord raw;
      uint32_t sum = 0;
      for (int i = 0; i < kRingRecords;) {
        if (ring.Consume(&raw, 1, true) == 1) {
          sum += raw.bytes[4];
          ++i;
        } else {
          std::this_thread::yield();
        }
      }
      benchmark::DoNotOptimize(sum);
    });
    for (int i = 0; i < kRingRecords;) {
      const RawRecord raw = Framed(static_cast<uint32_t>(i));
      if (ring.Provide(&raw, 1)) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
    consumer.join();
  }
  state.SetItemsProcessed(state.iterations() * kRingRecords);
}

void BM_BoostSpscQueue(benchmark::State& state) {
  boost::lockfree::spsc_queue<RawRecord> queue(1024);
  for (auto _ : state) {
    std::thread consumer([&] {
      RawRecord raw;
      uint32_t sum = 0;
      for (int i = 0; i < kRingRecords;) {
        if (queue.pop(raw)) {
          sum += raw.bytes[4];
          ++i;
        } else {
          std::this_thread::yield();
        }
      }
      benchmark::DoNotOptimize(sum);
    });
    for (int i = 0; i < kRingRecords;) {
      const RawRecord raw = Framed(static_cast<uint32_t>(i));
      if (queue.push(raw)) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
    consumer.join();
  }
  state.SetItemsProcessed(state.iterations() * kRingRecords);
}

BENCHMARK(BM_OneSendPerRecord)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BatchedSends)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SocketChannel)->Arg(1)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BufferedChannel)
    ->Args({1, 9000})
    ->Args({4, 9000})
    ->Args({1, 1 << 20})
    ->Args({4, 1 << 20})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ring)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BoostSpscQueue)->UseRealTime()->Unit(benchmark::kMillisecond);

// Send latency on the buffered channel while the ring has room: bursts of 50 records (3,400
// bytes of a 9,000-byte ring), each followed by a pause in which the flush thread drains.
double BufferedSendP99Micros() {
  LoopbackSink sink;
  std::vector<double> micros;
  {
    dodudo::KBufferedSocketIpcChannel channel("127.0.0.1", sink.Port(),
                                              dodudo::KBufferedSocketOptions());
    Record record;
    for (int burst = 0; burst < 400; ++burst) {
      for (int i = 0; i < 50; ++i) {
        const auto start = std::chrono::steady_clock::now();
        channel.Send(record);
        micros.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(12));
    }
  }
  std::sort(micros.begin(), micros.end());
  return micros[micros.size() * 99 / 100];
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  snlbench::RateReporter reporter("records/s");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const std::string rt = "/real_time";
  const std::string oneSend = "BM_OneSendPerRecord" + rt, batched = "BM_BatchedSends" + rt;
  printf("\nRatios (higher is faster for the first):\n");
  reporter.PrintRatio("socket channel, 1 producer vs one send per record",
                      "BM_SocketChannel/1" + rt, oneSend);
  reporter.PrintRatio("socket channel, 4 producers vs one send per record",
                      "BM_SocketChannel/4" + rt, oneSend);
  for (const char* ring : {"9000", "1048576"}) {
    for (const char* producers : {"1", "4"}) {
      const std::string label = std::string("buffered channel, ") + producers + " producer(s), " +
                                ring + "-byte ring vs batched";
      reporter.PrintRatio(label, std::string("BM_BufferedChannel/") + producers + "/" + ring + rt,
                          batched);
    }
  }
  reporter.PrintRatio("ring vs boost spsc_queue", "BM_Ring" + rt, "BM_BoostSpscQueue" + rt);
  printf("buffered Send while the ring has room: p99 %.2f us\n", BufferedSendP99Micros());
  benchmark::Shutdown();
  return 0;
}
