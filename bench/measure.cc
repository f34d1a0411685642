#include "measure.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <numeric>

namespace tavikuser::bench {
namespace {

// Many short rounds: on two cores shared with a server, conditions change
// within seconds.
constexpr std::size_t kRounds = 40;

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

Timing Summarize(std::vector<double> samples) {
  Timing timing;
  timing.calls = samples.size();
  if (samples.empty()) return timing;
  std::sort(samples.begin(), samples.end());
  timing.median_us = samples[samples.size() / 2];
  // Nearest rank.
  timing.p99_us = samples[(samples.size() * 99 + 99) / 100 - 1];
  timing.mean_us = std::accumulate(samples.begin(), samples.end(), 0.0) /
                   static_cast<double>(samples.size());
  return timing;
}

}  // namespace

void MeasureSideBySide(std::vector<Contender>& contenders,
                       const Budget& budget) {
  // Warm each contender up (statements prepared, caches filled) and learn
  // how many calls fit its share of the time.
  std::vector<std::size_t> calls;
  for (Contender& contender : contenders) {
    std::size_t warmed = 0;
    const Clock::time_point start = Clock::now();
    // At most a tenth of the budget is spent warming up.
    while (warmed < budget.warm_ups &&
           (warmed < 3 ||
            Microseconds(Clock::now() - start) < budget.seconds * 1e5)) {
      contender.call(budget.most + budget.warm_ups - 1 - warmed);
      ++warmed;
    }
    const double per_call =
        Microseconds(Clock::now() - start) / static_cast<double>(warmed);
    const auto fitting =
        static_cast<std::size_t>(budget.seconds * 1e6 / per_call);
    calls.push_back(std::clamp(fitting, budget.least, budget.most));
  }

  std::vector<std::vector<double>> samples(contenders.size());
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    samples[c].reserve(calls[c]);
    contenders[c].answers.assign(calls[c], 0);
  }
  const auto run_round = [&](std::size_t c, std::size_t round) {
    const std::size_t end = calls[c] * (round + 1) / kRounds;
    for (std::size_t i = calls[c] * round / kRounds; i < end; ++i) {
      const Clock::time_point start = Clock::now();
      contenders[c].answers[i] = contenders[c].call(i);
      samples[c].push_back(Microseconds(Clock::now() - start));
    }
  };
  for (std::size_t round = 0; round < kRounds; ++round) {
    for (std::size_t k = 0; k < contenders.size(); ++k) {
      const std::size_t c = (round + k) % contenders.size();
      if (!contenders[c].alone) run_round(c, round);
    }
  }
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    if (!contenders[c].alone) continue;
    for (std::size_t round = 0; round < kRounds; ++round) run_round(c, round);
  }
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    contenders[c].timing = Summarize(std::move(samples[c]));
  }
}

Resident ReadResident() {
  Resident resident;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) {
      resident.total_kib = std::stol(line.substr(6));
    } else if (line.rfind("RssAnon:", 0) == 0) {
      resident.anonymous_kib = std::stol(line.substr(8));
    }
  }
  return resident;
}

}  // namespace tavikuser::bench
