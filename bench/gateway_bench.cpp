// What a waiting request costs and how soon its reply follows the back-end's answer:
// (a) CPU time over wall time of a request whose back-end answers after 2 s (goal < 0.02);
// (b) from the back-end's rename to the reply call, median and 99th percentile (goal median < 2 ms).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "gateway/backend_run.h"
#include "gateway/exchange_file.h"
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
  if (WriteExchangeFile(&ecb, &request) != nullptr) return HSE_STATUS_ERROR;
  return ReplyToRequest(&ecb, request.szBackendPath, request.szExchangePath);
}

double g_cpuShare = -1;
double g_medianMs = -1;
double g_p99Ms = -1;

void BM_WaitingRequestCpuShare(benchmark::State& state) {
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

}  // namespace

int main(int argc, char** argv) {
  // The benchmark's back-end program lies beside this one.
  std::string self = argv[0];
  setenv("KARVEL_BACKEND_DIR", self.substr(0, self.rfind('/')).c_str(), 1);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n%-34s %10s %10s\n", "measure", "value", "goal");
  std::printf("%-34s %10.4f %10s %s\n", "waiting request CPU / wall", g_cpuShare, "< 0.02",
              g_cpuShare >= 0 && g_cpuShare < 0.02 ? "met" : "MISSED");
  std::printf("%-34s %9.3fms %10s %s\n", "answer to reply, median", g_medianMs, "< 2 ms",
              g_medianMs >= 0 && g_medianMs < 2 ? "met" : "MISSED");
  std::printf("%-34s %9.3fms\n", "answer to reply, 99th percentile", g_p99Ms);
  return 0;
}
