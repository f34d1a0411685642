// Timing many calls of several contenders side by side: each contender's
// calls are split into rounds and the rounds interleaved, each round in
// another order, so that drift in the machine's speed during the run, and
// what one contender leaves behind for the next, fall on all of them alike.
#ifndef TAVIKUSER_BENCH_MEASURE_H_
#define TAVIKUSER_BENCH_MEASURE_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tavikuser::bench {

struct Timing {
  double median_us = 0;
  double p99_us = 0;
  double mean_us = 0;
  std::size_t calls = 0;
};

struct Contender {
  Contender(std::string name, std::function<int(std::size_t)> call,
            bool alone = false)
      : name(std::move(name)), call(std::move(call)), alone(alone) {}

  std::string name;
  // Makes call number `i` (the i-th question, the i-th creation) and
  // returns its answer, which all contenders must agree on.
  std::function<int(std::size_t i)> call;
  // Timed by itself after the others, rather than among them: what it does
  // (opening connections, a server starting processes) would slow down
  // whoever comes next.
  bool alone;

  Timing timing;
  std::vector<int> answers;
};

struct Budget {
  double seconds;        // a contender's calls take about this long in all
  std::size_t most;      // however fast it is
  std::size_t least;     // however slow
  std::size_t warm_ups;  // calls before timing, on call numbers past `most`
};

// Times every contender. Calls numbered from 0 are timed; the warm-up calls
// count down from the end of the range [0, most + warm_ups).
void MeasureSideBySide(std::vector<Contender>& contenders,
                       const Budget& budget);

// The resident set of this process, in KiB: all of it, and the part that
// is not a mapped file (where anything the process leaks ends up).
struct Resident {
  long total_kib = -1;
  long anonymous_kib = -1;
};
Resident ReadResident();

}  // namespace tavikuser::bench

#endif  // TAVIKUSER_BENCH_MEASURE_H_
