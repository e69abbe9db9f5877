#include "soak/soak_report.h"

#include <cinttypes>
#include <cstdio>

namespace quorel::sim {

namespace {

constexpr double kNsPerSecond = 1e9;

void PrintSeeds(const char* label, const std::vector<uint64_t>& seeds) {
  std::printf("%s", label);
  for (size_t i = 0; i < seeds.size() && i < 12; ++i) std::printf(" %" PRIu64, seeds[i]);
  if (seeds.size() > 12) std::printf(" ... (%zu in all)", seeds.size());
  std::printf("\n");
}

}  // namespace

void PrintSoakRun(const SoakOutcome& o, bool details, bool transcript) {
  std::printf("seed %" PRIu64 ": %s, status %d, %.1f s virtual", o.seed, SoakEndName(o.end),
              o.status, static_cast<double>(o.virtualNs) / kNsPerSecond);
  if (!o.endReason.empty()) std::printf(" (%s)", o.endReason.c_str());
  if (o.ProtocolLimitBlocks() > 0 || o.misidentified) {
    std::printf(", protocol limit: %u sum-kept, %u elsewhere, %u reply%s", o.byteSumDefeated,
                o.landedElsewhere, o.foreignReply, o.misidentified ? ", misidentified" : "");
  }
  if (!o.violations.empty()) std::printf(", %zu VIOLATIONS", o.violations.size());
  std::printf("\n");
  if (!details) return;
  std::printf("  scenario: %s\n", o.scenario.description.c_str());
  std::printf("  line damage: %" PRIu64 " dropped, %" PRIu64 " flipped, %" PRIu64
              " inserted, %" PRIu64 " delayed; %" PRIu64 " data blocks sent, %" PRIu64
              " repeats%s\n",
              o.lineFaults.dropped, o.lineFaults.flipped, o.lineFaults.inserted,
              o.lineFaults.delayed, o.dataBlocksSent, o.blockRepeats,
              o.flashLostOnLine ? "; the flash command was lost on the line" : "");
  for (const std::string& note : o.limitNotes) std::printf("  protocol limit: %s\n", note.c_str());
  for (const std::string& v : o.violations) std::printf("  VIOLATION: %s\n", v.c_str());
  if (!o.console.empty())
    std::printf("---- console ----\n%s\n-----------------\n", o.console.c_str());
  if (transcript && !o.transcript.empty()) {
    std::printf("---- unit transcript ----\n%s-------------------------\n", o.transcript.c_str());
  }
}

void SoakTotals::Add(const SoakOutcome& o) {
  SoakTotals& t = *this;
  ++t.runs;
  ++t.ends[o.end];
  if (o.end != SoakEnd::kFlashed) ++t.reasons[o.endReason];
  if (!o.violations.empty()) {
    t.violations += o.violations.size();
    t.failingSeeds.push_back(o.seed);
  }
  if (o.byteSumDefeated > 0) ++t.runsSumKept;
  if (o.landedElsewhere > 0) ++t.runsElsewhere;
  if (o.foreignReply > 0) ++t.runsReply;
  if (o.misidentified) ++t.runsMisidentified;
  if (o.ProtocolLimitBlocks() > 0 || o.misidentified) {
    ++t.runsAnyLimit;
    t.limitSeeds.push_back(o.seed);
  }
  t.blocksSumKept += o.byteSumDefeated;
  t.blocksElsewhere += o.landedElsewhere;
  t.blocksReply += o.foreignReply;
  if (o.flashLostOnLine) ++t.flashLost;
  const double seconds = static_cast<double>(o.virtualNs) / kNsPerSecond;
  t.virtualSeconds += seconds;
  if (seconds > t.maxVirtualSeconds) t.maxVirtualSeconds = seconds;
  t.dropped += o.lineFaults.dropped;
  t.flipped += o.lineFaults.flipped;
  t.inserted += o.lineFaults.inserted;
  t.delayed += o.lineFaults.delayed;
  t.unitFaults += o.unitFaultsPlanned;
  t.blocksSent += o.dataBlocksSent;
  t.repeats += o.blockRepeats;
}

void PrintSoakSummary(const SoakTotals& t, uint64_t first, const SoakOptions& options, double cpu) {
  const double runs = static_cast<double>(t.runs);
  const uint64_t flashed = t.ends.count(SoakEnd::kFlashed) ? t.ends.at(SoakEnd::kFlashed) : 0;
  const uint64_t failed = t.ends.count(SoakEnd::kFailed) ? t.ends.at(SoakEnd::kFailed) : 0;
  const uint64_t refused = t.ends.count(SoakEnd::kRefused) ? t.ends.at(SoakEnd::kRefused) : 0;
  auto percent = [&](uint64_t n) { return runs > 0 ? 100.0 * static_cast<double>(n) / runs : 0.0; };
  std::printf("\nquorel-soak: %" PRIu64 " runs, seeds %" PRIu64 "..%" PRIu64
              ", line damage up to %.1e per byte and kind\n\n",
              t.runs, first, first + t.runs - 1, options.maxLineFaultRate);
  std::printf("  %-44s %10" PRIu64 "  %6.2f%%\n", "runs that flashed the unit", flashed,
              percent(flashed));
  std::printf("  %-44s %10" PRIu64 "  %6.2f%%\n", "runs that ended with a failure", failed,
              percent(failed));
  for (const auto& [reason, count] : t.reasons) {
    if (reason == "other model refused" || reason == "user declined") continue;
    std::printf("    %-42s %10" PRIu64 "\n", reason.c_str(), count);
  }
  std::printf("  %-44s %10" PRIu64 "  %6.2f%%\n", "runs refused or declined", refused,
              percent(refused));
  std::printf("  %-44s %10" PRIu64 "\n", "invariant violations", t.violations);
  std::printf("\n  the protocol's limits (a flashed unit holding bytes other than sent):\n");
  std::printf("  %-44s %10" PRIu64 "  %8.4f%%  (%" PRIu64 " blocks)\n",
              "damaged data that kept its byte sum", t.runsSumKept, percent(t.runsSumKept),
              t.blocksSumKept);
  std::printf("  %-44s %10" PRIu64 "  %8.4f%%  (%" PRIu64 " blocks)\n",
              "data put elsewhere by a damaged command", t.runsElsewhere, percent(t.runsElsewhere),
              t.blocksElsewhere);
  std::printf("  %-44s %10" PRIu64 "  %8.4f%%  (%" PRIu64 " blocks)\n",
              "reply not the answer to that data", t.runsReply, percent(t.runsReply),
              t.blocksReply);
  std::printf("  %-44s %10" PRIu64 "  %8.4f%%\n", "unit misidentified by a damaged reply",
              t.runsMisidentified, percent(t.runsMisidentified));
  std::printf("  %-44s %10" PRIu64 "  %8.4f%%\n", "runs meeting any of these", t.runsAnyLimit,
              percent(t.runsAnyLimit));
  std::printf("  %-44s %10" PRIu64 "\n", "flash command lost on the line", t.flashLost);
  std::printf("\n  %-44s %10.1f s (longest %.1f s, bound %.0f s)\n", "mean virtual duration",
              runs > 0 ? t.virtualSeconds / runs : 0.0, t.maxVirtualSeconds,
              static_cast<double>(SoakTimeBoundNs()) / kNsPerSecond);
  std::printf("  %-44s %10" PRIu64 " (%.2f%% repeats)\n", "data blocks sent", t.blocksSent,
              t.blocksSent > 0
                  ? 100.0 * static_cast<double>(t.repeats) / static_cast<double>(t.blocksSent)
                  : 0.0);
  std::printf("  %-44s %10" PRIu64 "\n", "line faults injected",
              t.dropped + t.flipped + t.inserted + t.delayed);
  std::printf("    %-42s %10" PRIu64 "\n", "bytes dropped", t.dropped);
  std::printf("    %-42s %10" PRIu64 "\n", "bits flipped", t.flipped);
  std::printf("    %-42s %10" PRIu64 "\n", "noise bytes inserted", t.inserted);
  std::printf("    %-42s %10" PRIu64 "\n", "bytes delayed", t.delayed);
  std::printf("  %-44s %10" PRIu64 "\n", "unit reply faults and strays planned", t.unitFaults);
  std::printf("  %-44s %10.1f s\n", "CPU time", cpu);
  if (!t.limitSeeds.empty()) PrintSeeds("\n  seeds meeting a protocol limit:", t.limitSeeds);
  if (!t.failingSeeds.empty()) {
    PrintSeeds("\n  FAILING seeds:", t.failingSeeds);
    std::printf("  replay one with: quorel-soak --seed %" PRIu64 " --verbose\n", t.failingSeeds[0]);
  }
}

}  // namespace quorel::sim
