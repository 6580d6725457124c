// Stores one prefix, looks up an address inside it and one outside it.
// Exit status 0 when both answers are right.
#include <korvane/korvane.hpp>

#include <cstdio>

int main() {
  const korvane::EngineHandle engine = korvane::create_engine(korvane::EngineConfig{});
  const auto prefix = korvane::parse_prefix("10.0.0.0/8");
  if (!prefix) return 1;
  if (engine->insert(*prefix, korvane::Metadata("private", {{"rir", "iana"}}))) return 2;

  const auto inside = engine->lookup(*korvane::parse_address("10.1.2.3"));
  const auto outside = engine->lookup(*korvane::parse_address("192.0.2.1"));
  if (!inside || inside->value() != "private" || inside->attributes().at("rir") != "iana") return 3;
  if (outside) return 4;
  std::printf("10.1.2.3 -> %s\n", inside->value().c_str());
  return 0;
}
