// Throughput of ConvertToSjis2 on 1 MiB of EUC-JP, of ISO-2022-JP and of ASCII text, each beside
// glibc iconv converting the same input to SHIFT_JIS in the same run; and of the UTF-8 converter
// on the same prose in UTF-8 and on ASCII, beside iconv's UTF-8 to CP932.
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "jpcodec/internal.h"
#include "jpcodec/utf8_to_sjis.h"
#include "ratio_reporter.h"

namespace {

constexpr size_t kTextBytes = 1 << 20;

// JIS X 0208 characters of ordinary prose: kana, the first-level kanji, common punctuation;
// only those iconv can convert, so both sides do the same work.
std::vector<uint16_t> ProseCharacters() {
  std::vector<uint16_t> candidates;
  for (int cell = 0x21; cell <= 0x73; ++cell) candidates.push_back(static_cast<uint16_t>(0x2400 | cell));
  for (int cell = 0x21; cell <= 0x76; ++cell) candidates.push_back(static_cast<uint16_t>(0x2500 | cell));
  for (int row = 0x30; row <= 0x4F; ++row) {
    for (int cell = 0x21; cell <= 0x7E; ++cell) candidates.push_back(static_cast<uint16_t>(row << 8 | cell));
  }
  candidates.push_back(0x2122);  // 、
  candidates.push_back(0x2123);  // 。
  iconv_t cd = iconv_open("SHIFT_JIS", "EUC-JP");
  std::vector<uint16_t> usable;
  for (uint16_t jis : candidates) {
    char in[2] = {static_cast<char>((jis >> 8) | 0x80), static_cast<char>((jis & 0xFF) | 0x80)};
    char out[8];
    char* inPtr = in;
    char* outPtr = out;
    size_t inLeft = 2, outLeft = sizeof out;
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1)) usable.push_back(jis);
  }
  iconv_close(cd);
  return usable;
}

// Japanese prose with short ASCII words and line ends between sentences, as form values carry it.
// `jis` selects ISO-2022-JP (escapes around each run) over EUC-JP. Ends with a NUL.
std::vector<char> MakeJapaneseText(bool jis) {
  static const std::vector<uint16_t> characters = ProseCharacters();
  std::mt19937 rng(7);
  std::vector<char> text;
  while (text.size() < kTextBytes - 64) {
    const int run = std::uniform_int_distribution<int>(8, 60)(rng);
    if (jis) text.insert(text.end(), {'\x1B', '$', 'B'});
    for (int k = 0; k < run; ++k) {
      const uint16_t c = characters[std::uniform_int_distribution<size_t>(0, characters.size() - 1)(rng)];
      const char mask = jis ? 0x00 : static_cast<char>(0x80);
      text.push_back(static_cast<char>((c >> 8) | mask));
      text.push_back(static_cast<char>((c & 0xFF) | mask));
    }
    if (jis) text.insert(text.end(), {'\x1B', '(', 'B'});
    const char* words[] = {" OK ", " 2026-12-08 ", "\r\n", " karvel ", " No.42 "};
    const char* word = words[std::uniform_int_distribution<int>(0, 4)(rng)];
    text.insert(text.end(), word, word + std::strlen(word));
  }
  text.push_back('\0');
  return text;
}

std::vector<char> MakeAsciiText() {
  std::vector<char> text;
  const std::string line = "name=Yamada Taro; address=1-2-3 Chiyoda, Tokyo; note=plain ASCII value\r\n";
  while (text.size() + line.size() < kTextBytes) text.insert(text.end(), line.begin(), line.end());
  text.push_back('\0');
  return text;
}

void ConvertInPlace(benchmark::State& state, const std::vector<char>& input) {
  std::vector<char> buf(input.size());
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(buf.data(), input.data(), input.size());
    state.ResumeTiming();
    benchmark::DoNotOptimize(jpcodec::ConvertText(buf.data(), buf.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}

void ConvertWithIconv(benchmark::State& state, const std::vector<char>& input, const char* from,
                      const char* to = "SHIFT_JIS") {
  iconv_t cd = iconv_open(to, from);
  std::vector<char> source = input;
  std::vector<char> out(input.size() * 2);
  for (auto _ : state) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state, as for a new value
    char* inPtr = source.data();
    char* outPtr = out.data();
    size_t inLeft = source.size(), outLeft = out.size();
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
      state.SkipWithError("iconv refused the text");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}

// `text` (NUL-terminated) recoded by iconv, the NUL left off: the same prose in another encoding.
std::vector<char> Recoded(const std::vector<char>& text, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  std::vector<char> source(text.begin(), text.end() - 1), out(text.size() * 2);
  char* inPtr = source.data();
  char* outPtr = out.data();
  size_t inLeft = source.size(), outLeft = out.size();
  iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}

void ConvertUtf8(benchmark::State& state, const std::vector<char>& input) {
  std::vector<uint8_t> out(jpcodec::Utf8ToSjisRoom(input.size()));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        jpcodec::ConvertUtf8ToSjis(reinterpret_cast<const uint8_t*>(input.data()), input.size(), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
}

const std::vector<char>& EucText() { static const auto text = MakeJapaneseText(false); return text; }
const std::vector<char>& JisText() { static const auto text = MakeJapaneseText(true); return text; }
const std::vector<char>& AsciiText() { static const auto text = MakeAsciiText(); return text; }

void BM_Karvel_EucJp(benchmark::State& state) { ConvertInPlace(state, EucText()); }
void BM_Iconv_EucJp(benchmark::State& state) { ConvertWithIconv(state, EucText(), "EUC-JP"); }
void BM_Karvel_Jis(benchmark::State& state) { ConvertInPlace(state, JisText()); }
void BM_Iconv_Jis(benchmark::State& state) { ConvertWithIconv(state, JisText(), "ISO-2022-JP"); }
const std::vector<char>& Utf8Text() { static const auto text = Recoded(EucText(), "EUC-JP", "UTF-8"); return text; }
void BM_Karvel_Utf8(benchmark::State& state) { ConvertUtf8(state, Utf8Text()); }
void BM_Iconv_Utf8(benchmark::State& state) { ConvertWithIconv(state, Utf8Text(), "UTF-8", "CP932"); }
void BM_Karvel_Utf8Ascii(benchmark::State& state) { ConvertUtf8(state, AsciiText()); }
void BM_Iconv_Utf8Ascii(benchmark::State& state) { ConvertWithIconv(state, AsciiText(), "UTF-8", "CP932"); }
void BM_Karvel_Ascii(benchmark::State& state) { ConvertInPlace(state, AsciiText()); }
void BM_Iconv_Ascii(benchmark::State& state) { ConvertWithIconv(state, AsciiText(), "EUC-JP"); }

// Repetitions; the ratios use the medians, which a busy moment on the machine moves less.
BENCHMARK(BM_Karvel_EucJp)->Repetitions(9);
BENCHMARK(BM_Iconv_EucJp)->Repetitions(9);
BENCHMARK(BM_Karvel_Jis)->Repetitions(9);
BENCHMARK(BM_Iconv_Jis)->Repetitions(9);
BENCHMARK(BM_Karvel_Ascii)->Repetitions(9);
BENCHMARK(BM_Iconv_Ascii)->Repetitions(9);
BENCHMARK(BM_Karvel_Utf8)->Repetitions(9);
BENCHMARK(BM_Iconv_Utf8)->Repetitions(9);
BENCHMARK(BM_Karvel_Utf8Ascii)->Repetitions(9);
BENCHMARK(BM_Iconv_Utf8Ascii)->Repetitions(9);

}  // namespace

int main(int argc, char** argv) {
  karvel_bench::InitializeInterleaved(argc, argv);
  karvel_bench::RatioReporter reporter({
      {"EUC-JP 1 MiB vs iconv", "BM_Karvel_EucJp", "BM_Iconv_EucJp", 5.0},
      {"ISO-2022-JP vs iconv", "BM_Karvel_Jis", "BM_Iconv_Jis", 5.0},
      {"ASCII vs iconv", "BM_Karvel_Ascii", "BM_Iconv_Ascii", 0.0},
      {"ASCII absolute", "BM_Karvel_Ascii", "", 1e9},
      {"UTF-8 1 MiB vs iconv CP932", "BM_Karvel_Utf8", "BM_Iconv_Utf8", 5.0},
      {"UTF-8 ASCII vs iconv CP932", "BM_Karvel_Utf8Ascii", "BM_Iconv_Utf8Ascii", 5.0},
  });
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
