// Loading a 10 MB catalogue-shaped message from its XML text against pugixml's own parse of
// the same text. Prints the ratio parse time / load time (goal: at least 0.3).
#include <pugixml.hpp>

#include <string>

#include "BenchRatio.h"
#include "CatalogueFixture.h"

namespace {

const std::string& Text() {
  static const std::string text = [] {
    std::string xml;
    kqfixture::MakeCatalogue(size_t{10} << 20).serialize(xml);
    return xml;
  }();
  return text;
}

void BM_PugixmlParse(benchmark::State& state) {
  const std::string& text = Text();
  for (auto _ : state) {
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_buffer(text.data(), text.size());
    if (!r) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(doc.first_child());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_MessageLoad(benchmark::State& state) {
  const std::string& text = Text();
  for (auto _ : state) {
    UpdatePatches::BinaryInfo catalogue;
    if (XMLDecoder::unSerialize(catalogue, text) != 0) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(catalogue.fields().data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(BM_PugixmlParse)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_MessageLoad)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::printf("catalogue text: %zu bytes\n", Text().size());
  KqRatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatio("message load against pugixml parse (goal >= 0.3)", "BM_PugixmlParse",
                      "BM_MessageLoad");
  benchmark::Shutdown();
  return 0;
}
