// What a waiting request costs and how soon its reply follows the back-end's answer:
// (a) CPU time over wall time of a request whose back-end answers after 2 s (goal < 0.02);
// (b) from the back-end's rename to the reply call, median and 99th percentile (goal median < 2 ms);
// (c) requests per second with the demo `echo` back-end on 2 threads, beside the floor of starting
//     the same program on an exchange file with posix_spawn + waitpid (goal >= 70 % of the floor).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "gateway/backend_run.h"
#include "gateway/request_driver.h"
#include "ratio_reporter.h"

namespace {

struct Reply {
  std::string text;
  long long receivedNs;
};

long long NowNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

BOOL WINAPI RecordReply(HCONN conn, DWORD request, LPVOID, LPDWORD, LPDWORD dataType) {
  Reply* reply = static_cast<Reply*>(conn);
  reply->receivedNs = NowNs(CLOCK_REALTIME);
  if (request == HSE_REQ_SEND_RESPONSE_HEADER && dataType != nullptr) {
    reply->text = reinterpret_cast<const char*>(dataType);
  }
  return TRUE;
}

BOOL WINAPI NoVariable(HCONN, LPSTR, LPVOID, LPDWORD) { return FALSE; }

// One request for the benchmark's back-end program, as HttpExtensionProc runs it.
DWORD OneRequest(Reply* reply) {
  static char get[] = "GET";
  static char query[] = "VBEXE=latency_backend";
  EXTENSION_CONTROL_BLOCK ecb{};
  ecb.cbSize = sizeof ecb;
  ecb.ConnID = reply;
  ecb.lpszMethod = get;
  ecb.lpszQueryString = query;
  ecb.GetServerVariable = NoVariable;
  ecb.ServerSupportFunction = RecordReply;
  ExchangeRequest request;
  if (PrepareRequest(&ecb, &request) != nullptr) return HSE_STATUS_ERROR;
  return ReplyToRequest(&ecb, request);
}

extern "C" char** environ;

std::string g_benchDirectory;  // this program's directory, with latency_backend
std::string g_echoDirectory;   // where the demo back-ends are built

BOOL WINAPI IgnoreReply(HCONN, DWORD, LPVOID, LPDWORD, LPDWORD) { return TRUE; }

// One request for the demo echo back-end, as HttpExtensionProc runs it; whether it succeeded.
bool EchoRequest(int n) {
  static char get[] = "GET";
  std::string query = "VBEXE=echo&name=Yamada&note=request+" + std::to_string(n);
  EXTENSION_CONTROL_BLOCK ecb{};
  ecb.cbSize = sizeof ecb;
  ecb.lpszMethod = get;
  ecb.lpszQueryString = query.data();
  ecb.GetServerVariable = NoVariable;
  ecb.ServerSupportFunction = IgnoreReply;
  ExchangeRequest request;
  if (PrepareRequest(&ecb, &request) != nullptr) return false;
  return ReplyToRequest(&ecb, request) == HSE_STATUS_SUCCESS;
}

constexpr int kRequestsPerThread = 100;
double g_requestsPerSecond = -1;
double g_floorPerSecond = -1;

void BM_EchoRequestsTwoThreads(benchmark::State& state) {
  setenv("KARVEL_BACKEND_DIR", g_echoDirectory.c_str(), 1);
  for (auto _ : state) {
    const long long start = NowNs(CLOCK_MONOTONIC);
    bool ok = true;
    std::thread other([&ok] {
      for (int k = 0; k < kRequestsPerThread; ++k) ok = EchoRequest(k) && ok;
    });
    for (int k = 0; k < kRequestsPerThread; ++k) ok = EchoRequest(k) && ok;
    other.join();
    if (!ok) state.SkipWithError("a request failed (is demo/backends/echo built?)");
    g_requestsPerSecond = 2.0 * kRequestsPerThread / (static_cast<double>(NowNs(CLOCK_MONOTONIC) - start) / 1e9);
  }
  state.counters["requests_per_s"] = g_requestsPerSecond;
}

// The floor: the same program started on a copy of a real exchange file and waited for.
void BM_SpawnFloorTwoThreads(benchmark::State& state) {
  setenv("KARVEL_BACKEND_DIR", g_echoDirectory.c_str(), 1);
  static char get[] = "GET";
  std::string query = "VBEXE=echo&name=Yamada&note=request";
  EXTENSION_CONTROL_BLOCK ecb{};
  ecb.lpszMethod = get;
  ecb.lpszQueryString = query.data();
  ecb.GetServerVariable = NoVariable;
  ExchangeRequest request;
  if (PrepareRequest(&ecb, &request) != nullptr) {
    state.SkipWithError("no exchange file");
    return;
  }
  const std::string program = g_echoDirectory + "/echo";
  auto spawnLoop = [&](int thread) {
    for (int k = 0; k < kRequestsPerThread; ++k) {
      const std::string copy = std::string(request.szExchangePath) + "." + std::to_string(thread);
      CopyFileA(request.szExchangePath, copy.c_str(), FALSE);
      char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(copy.c_str()), nullptr};
      pid_t child = 0;
      int status = 0;
      if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv, environ) == 0) waitpid(child, &status, 0);
      DeleteFileA(copy.c_str());
    }
  };
  for (auto _ : state) {
    const long long start = NowNs(CLOCK_MONOTONIC);
    std::thread other(spawnLoop, 1);
    spawnLoop(0);
    other.join();
    g_floorPerSecond = 2.0 * kRequestsPerThread / (static_cast<double>(NowNs(CLOCK_MONOTONIC) - start) / 1e9);
  }
  DeleteFileA(request.szExchangePath);
  state.counters["spawns_per_s"] = g_floorPerSecond;
}

double g_cpuShare = -1;
double g_medianMs = -1;
double g_p99Ms = -1;

void BM_WaitingRequestCpuShare(benchmark::State& state) {
  setenv("KARVEL_BACKEND_DIR", g_benchDirectory.c_str(), 1);
  setenv("KARVEL_BENCH_DELAY_MS", "2000", 1);
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    Reply reply{};
    const long long cpuStart = NowNs(CLOCK_THREAD_CPUTIME_ID), wallStart = NowNs(CLOCK_MONOTONIC);
    if (OneRequest(&reply) != HSE_STATUS_SUCCESS) state.SkipWithError("request failed");
    cpu += static_cast<double>(NowNs(CLOCK_THREAD_CPUTIME_ID) - cpuStart);
    wall += static_cast<double>(NowNs(CLOCK_MONOTONIC) - wallStart);
  }
  g_cpuShare = cpu / wall;
  state.counters["cpu_share"] = g_cpuShare;
}

void BM_AnswerToReplyLatency(benchmark::State& state) {
  setenv("KARVEL_BACKEND_DIR", g_benchDirectory.c_str(), 1);
  setenv("KARVEL_BENCH_DELAY_MS", "20", 1);
  std::vector<double> latencies;
  for (auto _ : state) {
    Reply reply{};
    if (OneRequest(&reply) != HSE_STATUS_SUCCESS) state.SkipWithError("request failed");
    latencies.push_back(static_cast<double>(reply.receivedNs - std::atoll(reply.text.c_str())) / 1e6);
  }
  std::sort(latencies.begin(), latencies.end());
  g_medianMs = latencies[latencies.size() / 2];
  g_p99Ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
  state.counters["median_ms"] = g_medianMs;
  state.counters["p99_ms"] = g_p99Ms;
}

BENCHMARK(BM_WaitingRequestCpuShare)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AnswerToReplyLatency)->Iterations(200)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EchoRequestsTwoThreads)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SpawnFloorTwoThreads)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The latency back-end lies beside this program, the demo back-ends in bin/backends.
  std::string self = argv[0];
  g_benchDirectory = self.substr(0, self.rfind('/'));
  g_echoDirectory = g_benchDirectory + "/../bin/backends";
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n%-34s %10s %10s\n", "measure", "value", "goal");
  std::printf("%-34s %10.4f %10s %s\n", "waiting request CPU / wall", g_cpuShare, "< 0.02",
              g_cpuShare >= 0 && g_cpuShare < 0.02 ? "met" : "MISSED");
  std::printf("%-34s %9.3fms %10s %s\n", "answer to reply, median", g_medianMs, "< 2 ms",
              g_medianMs >= 0 && g_medianMs < 2 ? "met" : "MISSED");
  std::printf("%-34s %9.3fms\n", "answer to reply, 99th percentile", g_p99Ms);
  const double share = g_floorPerSecond > 0 ? g_requestsPerSecond / g_floorPerSecond : 0;
  std::printf("%-34s %10.0f %10s\n", "echo requests/s, 2 threads", g_requestsPerSecond, "");
  std::printf("%-34s %10.0f %10s\n", "spawn + wait floor/s, 2 threads", g_floorPerSecond, "");
  std::printf("%-34s %9.2fx %10s %s\n", "requests / floor", share, ">= 0.70", share >= 0.7 ? "met" : "MISSED");
  return 0;
}
