// The user agent side of the load test: an engine that answers every call,
// drives Tick once a second and prints one line of figures per second (live
// calls, threads, file descriptors, resident memory). It ends on SIGTERM or
// SIGINT, waits for the calls still live to end, reports, and exits 0 only
// when calls, threads and descriptors are back where they were before the
// first call.
//
//   load_ua <sip port> <peer port>
//
// The peer (sipp on 127.0.0.1) is the account's server: the engine sends its
// answers there. A port of 0 is chosen free; the "ready" line names both,
// and a free port for the peer's media. Media run on whatever sound backend
// QUORVELLE_AUDIO selects ("virtual" in the load test).
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "sip/iputils.h"
#include "engine/sipengine.h"

using namespace qv;

namespace {

std::atomic<bool> stopRequested{false};

void OnSignal(int) { stopRequested = true; }

long StatusField(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  size_t length = std::char_traits<char>::length(name);
  while (std::getline(in, line))
    if (line.compare(0, length, name) == 0) return std::stol(line.substr(length + 1));
  return -1;
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
  }
  return count - 1;  // the directory stream itself
}

int FreeUdpPort() {
  int s = CreateUdpSocket(0, TSocketSet::Rtp);
  int port = BoundPort(s);
  CloseSocket(s);
  return port;
}

struct TFigures {
  int Calls = 0;
  long Threads = 0;
  int Descriptors = 0;
  long RssKb = 0;
};

TFigures Measure(TSipEngine& engine) {
  return {engine.Calls().Count(), StatusField("Threads:"), OpenDescriptors(), StatusField("VmRSS:")};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: load_ua <sip port> <peer port>\n");
    return 2;
  }
  signal(SIGTERM, OnSignal);
  signal(SIGINT, OnSignal);
  setvbuf(stdout, nullptr, _IOLBF, 0);

  auto window = std::make_shared<TMessageQueue>();
  auto engine = std::dynamic_pointer_cast<TSipEngine>(CreateSipEngine(atoi(argv[1]), window));
  // sipp calls from one address at the test's rate, and keeps many calls up.
  engine->SetInviteRateLimit(0);
  engine->SetMaxCalls(100000);
  engine->SetActive(true);
  int peer = atoi(argv[2]);
  if (peer == 0) peer = FreeUdpPort();
  ISipAccountPtr account = engine->AddAccount("", "127.0.0.1:" + std::to_string(peer), "alice", "alicepw", "");
  const TFigures before = Measure(*engine);
  printf("ready port=%d peer=%d media=%d threads=%ld fds=%d rss_kb=%ld max_calls=%d invite_rate=%d\n",
         engine->GetBoundPort(), peer, FreeUdpPort(), before.Threads, before.Descriptors, before.RssKb,
         engine->GetMaxCalls(), engine->GetInviteRateLimit());

  long answered = 0, ended = 0, failures = 0;
  auto start = std::chrono::steady_clock::now();
  auto nextReport = start + std::chrono::seconds(1);
  auto stopBy = std::chrono::steady_clock::time_point::max();
  for (;;) {
    window->Wait(100);
    TMessage m;
    while (window->Get(m)) {
      if (m.Msg == MsgIncomingCall) {
        auto call = std::dynamic_pointer_cast<ISipCall>(m.Obj);
        call->SetState(csRinging);
        try {
          engine->Answer(call);
          ++answered;
        } catch (const std::exception& e) {
          ++failures;
          fprintf(stderr, "answer failed: %s\n", e.what());
        }
      } else if (m.Msg == MsgCallEnded) {
        ++ended;
      }
    }
    auto now = std::chrono::steady_clock::now();
    if (now >= nextReport) {
      engine->Tick();
      TFigures f = Measure(*engine);
      printf("t=%lld calls=%d answered=%ld ended=%ld threads=%ld fds=%d rss_kb=%ld\n",
             (long long)std::chrono::duration_cast<std::chrono::seconds>(now - start).count(), f.Calls,
             answered, ended, f.Threads, f.Descriptors, f.RssKb);
      nextReport += std::chrono::seconds(1);
    }
    if (stopRequested && stopBy == std::chrono::steady_clock::time_point::max())
      stopBy = now + std::chrono::seconds(15);  // the calls still live get this long to end
    if (now >= stopBy || (stopRequested && engine->Calls().Count() == 0)) break;
  }
  // Media threads of the last calls finish right after their calls end.
  TFigures after = Measure(*engine);
  for (int i = 0; i < 50 && (after.Threads != before.Threads || after.Descriptors != before.Descriptors); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = Measure(*engine);
  }
  printf("final calls=%d answered=%ld ended=%ld failures=%ld threads=%ld/%ld fds=%d/%d rss_kb=%ld\n",
         after.Calls, answered, ended, failures, after.Threads, before.Threads, after.Descriptors,
         before.Descriptors, after.RssKb);
  bool clean = after.Calls == 0 && after.Threads == before.Threads &&
               after.Descriptors == before.Descriptors && failures == 0;
  engine->SetActive(false);
  account.reset();
  engine.reset();
  window.reset();
  return clean ? 0 : 1;
}
