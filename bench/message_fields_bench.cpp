// Decoding one message of many fields: the fields in rising order against the same fields in
// falling order, which no faster path helps. Prints the ratio rising / falling; near 1 means the
// check for repeated fields costs the same whatever the order (a check against every earlier
// field made 200,000 fields take minutes).
#include <string>

#include "BenchRatio.h"
#include "Messages/MessageXml.h"
#include "Messages/UpdatePatches.h"

namespace {

const int kFields = 200000;

std::string Message(bool rising) {
  std::string xml = "<m s=\"23\" id=\"83\">";
  for (int k = 0; k < kFields; ++k) {
    const std::string n = std::to_string(rising ? k + 1 : kFields - k);
    xml += "<i i=\"" + n + "\" t=\"" + n + "\">" + n + "</i>";
  }
  return xml + "</m>";
}

void Decode(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    UpdatePatches::File message;
    if (XMLDecoder::unSerialize(message, text) != 0) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(message.fields().data());
  }
}

void BM_RisingFields(benchmark::State& state) {
  static const std::string text = Message(true);
  Decode(state, text);
}

void BM_FallingFields(benchmark::State& state) {
  static const std::string text = Message(false);
  Decode(state, text);
}

BENCHMARK(BM_RisingFields)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FallingFields)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("rising / falling field order (goal: near 1)", "BM_RisingFields",
                      "BM_FallingFields");
  benchmark::Shutdown();
  return 0;
}
