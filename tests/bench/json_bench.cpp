#include "core/json.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The shape of a play answer: a few tokens, URLs and FlashVars, small numbers.
const std::string kApiAnswer =
    "{\"ok\":true,\"csid\":\"3f9c2a71-5be0-4d1e-9a6f-0c8e7d2b41aa\","
    "\"challenge\":\"b7e23ec29af22b0b4e41da31e868d57226121c84\","
    "\"movie\":\"https://cdn.tavrensil.example/client/v7/game.swf?r=20240611\","
    "\"flashvars\":\"lang=tr&shard=eu-2&token=9d4e1e23bd5b727046a9e3b4b7db57bd&mode=site\","
    "\"beat\":20,\"server_time\":1718103245,\"motd\":\"Ho\\u015f geldin\\n\"}";

// Roughly 1 MB of API-like records. The generator is a fixed LCG, so every run
// and every machine parses the very same bytes.
std::string MakeMegabyteDocument() {
  uint32_t seed = 20240611;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  std::string doc = "[";
  char buffer[512];
  for (uint32_t id = 0; doc.size() < (1u << 20); ++id) {
    std::snprintf(buffer, sizeof buffer,
                  "%s\n  {\"id\":%u,\"name\":\"player_%05u\",\"level\":%u,\"score\":%u.%02u,"
                  "\"ratio\":-0.%04u,\"online\":%s,\"guild\":null,"
                  "\"avatar\":\"https://cdn.tavrensil.example/avatars/%u/%u.png\","
                  "\"status\":\"Bug\\u00fcn \\\"arena\\\" sava\\u015f\\u0131\\tbekliyor\\/%u\","
                  "\"pos\":[%u.5,-%u.25,%u],\"tags\":[\"pvp\",\"craft\",\"t%u\"],"
                  "\"stats\":{\"str\":%u,\"dex\":%u,\"int\":%u,\"hp\":%u}}",
                  id == 0 ? "" : ",", id, next(100000), 1 + next(99), next(1000000), next(100),
                  next(10000), next(2) ? "true" : "false", next(1000), next(100000), next(1000),
                  next(4096), next(4096), next(64), next(8), next(200), next(200), next(200),
                  next(10000));
    doc += buffer;
  }
  doc += "\n]\n";
  return doc;
}

void BM_JsonParseApiAnswer(benchmark::State& state) {
  for (auto _ : state) {
    Json answer = Json::Parse(kApiAnswer);
    benchmark::DoNotOptimize(answer);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kApiAnswer.size()));
  state.counters["bytes"] = double(kApiAnswer.size());
}
BENCHMARK(BM_JsonParseApiAnswer);

void BM_JsonParseMegabyteDocument(benchmark::State& state) {
  static const std::string doc = MakeMegabyteDocument();
  for (auto _ : state) {
    Json parsed = Json::Parse(doc);
    benchmark::DoNotOptimize(parsed);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(doc.size()));
  state.counters["bytes"] = double(doc.size());
}
BENCHMARK(BM_JsonParseMegabyteDocument);

}  // namespace
