// Where the benchmarks' threads run, and the median of their rounds.
//
// Where the threads run decides a loopback exchange's floor more than
// anything measured: a peer woken on the caller's own processor answers in a
// few microseconds, one woken on an idle processor only once that processor
// is back from sleep. So the programs place the bench's servers and the
// client alike for everything they compare (--cpus).
#pragma once

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/cli.h"

namespace bench {

// The benchmarks' help column.
constexpr size_t kHelpColumn = 15;

// Declares --cpus split|same|any, the placement into *cpus.
inline void AddCpusOption(cli::OptionTable* table, std::string* cpus) {
  table->Option("--cpus split|same|any",
                "servers on processor 0 and the client on 1 (split, the\n"
                "default), everything on processor 0 (same), or wherever the\n"
                "system puts them (any)",
                [cpus](cli::Value& v) {
                  if (v.string() != "split" && v.string() != "same" && v.string() != "any") {
                    return v.Refuse(cli::IsNot("split, same or any"));
                  }
                  *cpus = v.string();
                  return true;
                });
}

// Pins the calling thread (and the threads it starts later) to one processor.
inline bool RunOn(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

// Before the servers start: they inherit processor 0 unless "any".
inline bool PlaceServers(const std::string& cpus, const char* program) {
  if (cpus == "any" || RunOn(0)) return true;
  std::fprintf(stderr, "%s: cannot run on processor 0\n", program);
  return false;
}

// After the servers started: the client moves to processor 1 for "split".
inline bool PlaceClient(const std::string& cpus, const char* program) {
  if (cpus != "split" || RunOn(1)) return true;
  std::fprintf(stderr, "%s: cannot run on processor 1 (--cpus same or any)\n", program);
  return false;
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace bench
