#include "line/record_generator.h"

#include <cmath>
#include <cstdio>

#include "calibration/table/cal_constant_table.h"

namespace line {

namespace {

enum Event { kPass, kDeviceFault, kLink, kAbort, kNoSerial };

const char* const kRanges[] = {"HS 10.0V", "HS 1.00V", "HS 0.10V", "HS 0.01V",
                               "HR 10.0V", "HR 1.00V", "HR 0.10V", "HR 0.01V"};
const int kShortPatterns[] = {0x00, 0xFF, 0xAA, 0x55, 0x0F, 0xF0, 0x33, 0xCC};
const int kJigPatterns[] = {0x1FF, 0x2AA, 0x155, 0x000};

struct TestPlan {
  const char* name;
  int64_t durationMs;
  bool final;  // also at the final station
};

const TestPlan kTests[] = {
    {"Open Quenlox", 40, true},          {"Connect to QXTest Server", 25, true},
    {"Read Test Jig Info", 120, true},   {"Serial Number", 60, true},
    {"Ethernet MAC", 55, true},          {"Check Calibration", 210, true},
    {"Vs and Current", 810, true},       {"Vmux", 640, true},
    {"System Time", 1020, true},         {"Firmware Version", 20, true},
    {"Startup DAQ Settings", 90, false}, {"Device Name", 45, false},
    {"Temperature Sensor", 230, true},   {"DIO Short Test", 380, false},
    {"DIO Jig Test", 520, true},         {"DAC Test", 1500, true},
    {"Ethernet test", 3100, true},       {"AIn Noise 16-bit counts", 2600, true},
    {"Calibrate", 61000, false},         {"Report Calibraion", 80, false},
    {"Report Test Results", 60, true},
};
constexpr size_t kFirstDeviceTest = 6;  // "Vs and Current": where links may drop

MeasurementSpec M(std::string name, double value, std::string unit, std::optional<double> low,
                  std::optional<double> high) {
  return {std::move(name), value, std::move(unit), low, high, std::nullopt};
}

}  // namespace

LineGenerator::LineGenerator(const LineSpec& spec)
    : spec_(spec), rng_(spec.seed), clockMs_(spec.startMs) {}

double LineGenerator::Normal(double mean, double sigma) {
  return std::normal_distribution<double>(mean, sigma)(rng_);
}

std::string LineGenerator::NewId() {
  uint64_t a = rng_(), b = rng_();
  char text[40];
  std::snprintf(text, sizeof text, "%08x-%04x-4%03x-%04x-%012llx", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>(a & 0xFFF),
                static_cast<unsigned>(0x8000 | ((b >> 48) & 0x3FFF)),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFULL));
  return text;
}

bool LineGenerator::BoardMeasurements(const std::string& name, TestSpec* spec,
                                      const TestContextSpec& x) {
  TestSpec& t = *spec;
  auto& ms = t.measurements;
  if (name == "Open Quenlox") {
    t.details = "Opened Z5-Max";
    return true;
  }
  if (name == "Read Test Jig Info") {
    const double jig[] = {5.012, 2.4981, 0.99976, 1.0, 0.0, 10.0};
    for (int k = 0; k < 6; ++k)
      ms.push_back(M("Jig value " + std::to_string(k), jig[k], "V", {}, {}));
    t.details = "Jig 3, code 17";
    return true;
  }
  if (name == "Serial Number") {
    t.details = "SN: " + std::to_string(x.serial);
    return true;
  }
  if (name == "Vs and Current") {
    // The supply reading climbs as the jig's contacts wear.
    double vs = Normal(5.03 + 0.00002 * x.runIndex, 0.012), is = Normal(0.144, 0.002);
    ms.push_back(M("Vs", vs, "V", 4.7, 5.5));
    ms.push_back(M("Is", is, "A", {}, 0.25));
    ms.push_back(M("V3.3", Normal(3.30, 0.01), "V", 3.2, 3.4));
    ms.push_back(M("Vref", Normal(2.5015, 0.0025), "V", 2.49, 2.51));  // marginal
    char text[64];
    std::snprintf(text, sizeof text, "Vs: %.3fV, Is: %.3fA", vs, is);
    t.details = text;
    return true;
  }
  if (name == "Vmux") {
    for (int k = 0; k < 8; ++k) {
      double nominal = 0.25 + 0.5 * k;
      ms.push_back(M("Vmux " + std::to_string(k), Normal(nominal, 0.003), "V", nominal - 0.05,
                     nominal + 0.05));
    }
    return true;
  }
  return false;
}

bool LineGenerator::ClockAndFirmwareMeasurements(const std::string& name, TestSpec* spec,
                                                 const TestContextSpec&) {
  TestSpec& t = *spec;
  auto& ms = t.measurements;
  if (name == "System Time") {
    ms.push_back(M("Clock difference", Normal(0, 0.3), "s", -2.0, 2.0));
    return true;
  }
  if (name == "Firmware Version") {
    ms.push_back(M("Firmware", 1.03, "", 1.02, {}));
    t.details = "Firmware Version: 1.0300";
    return true;
  }
  if (name == "Temperature Sensor") {
    ms.push_back(M("Temperature", Normal(24.5, 1.2), "C", 15.0, 45.0));
    ms.push_back(M("Board temperature", Normal(31, 1.5), "C", {}, {}));
    return true;
  }
  return false;
}

bool LineGenerator::DioMeasurements(const std::string& name, TestSpec* spec,
                                    const TestContextSpec&) {
  TestSpec& t = *spec;
  auto& ms = t.measurements;
  if (name == "DIO Short Test" || name == "DIO Jig Test") {
    bool jigTest = name == "DIO Jig Test";
    size_t count = jigTest ? 4 : 8;
    for (size_t k = 0; k < count; ++k) {
      double p = jigTest ? kJigPatterns[k] : kShortPatterns[k];
      std::string prefix = (jigTest ? "DIO jig " : "DIO short ") + std::to_string(k);
      ms.push_back(M(prefix + " written", p, "", {}, {}));
      ms.push_back(M(prefix + " expected", p, "", {}, {}));
      ms.push_back(M(prefix + " read", p, "", p, p));
    }
    if (jigTest) {
      ms.push_back(M("Counter 0 rate", Normal(1000, 0.8), "Hz", 995.0, 1005.0));
      ms.push_back(M("Counter 1 rate", Normal(1000, 0.8), "Hz", 995.0, 1005.0));
    }
    return true;
  }
  return false;
}

bool LineGenerator::DacMeasurements(const std::string& name, TestSpec* spec,
                                    const TestContextSpec& x) {
  TestSpec& t = *spec;
  auto& ms = t.measurements;
  if (name == "DAC Test") {
    for (int dac = 0; dac < 2; ++dac) {
      for (int k = 1; k <= 8; ++k) {
        double level = 0.5 * k;
        char label[32];
        std::snprintf(label, sizeof label, "DAC%d %.1fV", dac, level);
        double value = Normal(level, 0.002);
        if (x.event == kDeviceFault && dac == 1 && k == 5) value = 2.431;
        ms.push_back(M(label, value, "V", level - 0.05, level + 0.05));
      }
    }
    if (x.event == kDeviceFault) {
      t.status = "Error";
      t.cause = "device";
      t.details = "DAC1 at 2.5V read 2.431V";
    }
    return true;
  }
  return false;
}

bool LineGenerator::StreamMeasurements(const std::string& name, TestSpec* spec,
                                       const TestContextSpec&) {
  TestSpec& t = *spec;
  auto& ms = t.measurements;
  if (name == "Ethernet test") {
    ms.push_back(M("Stream scans", std::round(Normal(5000, 3)), "", 4990.0, {}));
    for (int c = 0; c < 4; ++c) {
      std::string ch = "AIN" + std::to_string(c);
      ms.push_back(M(ch + " min", Normal(-0.002, 0.0005), "V", -0.01, 0.01));
      ms.push_back(M(ch + " max", Normal(0.002, 0.0005), "V", -0.01, 0.01));
    }
    return true;
  }
  if (name == "AIn Noise 16-bit counts") {
    for (const char* range : kRanges) {
      ms.push_back(M(std::string(range) + " noise mean", Normal(32768, 1), "counts", {}, {}));
      ms.push_back(
          M(std::string(range) + " noise p2p", std::fabs(Normal(2.0, 0.4)), "counts", 0.0, 4.0));
    }
    return true;
  }
  return false;
}

bool LineGenerator::CalibrateMeasurements(const std::string& name, TestSpec* spec,
                                          const TestContextSpec& x) {
  TestSpec& t = *spec;
  auto& ms = t.measurements;
  if (name == "Calibrate") {
    // The station's own table and windows, so the made-up records carry its limits.
    for (size_t i = 0; i < kCalConstantCount; ++i) {
      const CalConstantDef& c = CalConstantTable[i];
      double spread = c.tolerance / 8;
      bool nominal = std::string(c.name).rfind("Temp ", 0) == 0;  // taken as nominal
      double factor =
          nominal ? 0 : (x.outlier && c.name[0] == 'H' ? c.tolerance * 0.7 : Normal(0, spread));
      double low = 0, high = 0;
      ConstantWindow(i, &low, &high);
      ms.push_back(M(c.name, c.nominal * (1 + factor), "", low, high));
    }
    for (const char* range : kRanges) {
      ms.push_back(M(std::string("Accuracy ") + range, Normal(0, 0.0005), "V", -0.002, 0.002));
    }
    t.details = "Calibration record written";
    return true;
  }
  return false;
}

void LineGenerator::StopTest(TestSpec* spec, int event) {
  TestSpec& t = *spec;
  if (event == kAbort) {
    t.status = "Running";
    t.cause = "aborted";
  } else if (event == kNoSerial) {
    t.status = "Fatal";
    t.cause = "server";
    t.details = "Server not reachable (10061)";
  } else {
    t.status = "Fatal";
    t.cause = "link";
    t.details = "Comm Error: (-5)";
  }
}

void LineGenerator::SetResult(RunSpec* spec, int event) {
  RunSpec& run = *spec;
  switch (event) {
    case kPass:
      run.result = "passed";
      break;
    case kAbort:
      run.result = "aborted";
      run.cause = "aborted";
      break;
    case kDeviceFault:
      run.result = "failed";
      run.cause = "device";
      break;
    case kLink:
      run.result = "failed";
      run.cause = "link";
      break;
    default:
      run.result = "failed";
      run.cause = "server";
  }
}

RunSpec LineGenerator::StationRun(const std::string& station, int64_t serial, int event,
                                  uint32_t runIndex) {
  bool calibration = station == "calibration";
  RunSpec run;
  run.id = NewId();
  run.station = station;
  run.host = "line1-" + station;
  run.mask = calibration ? "0x400F0480" : "0x70000";
  run.startMs = clockMs_;
  if (event != kNoSerial) run.serialNumber = serial;
  bool outlier = spec_.devices >= 10 && serial == 470001 + spec_.devices / 2;
  // Where the run stops: the test that lost the link, or was interrupted.
  std::vector<const TestPlan*> plan;
  for (const TestPlan& t : kTests) {
    if (calibration || t.final) plan.push_back(&t);
  }
  size_t stopAt = plan.size();
  if (event == kLink || event == kAbort) {
    stopAt =
        kFirstDeviceTest +
        static_cast<size_t>(Uniform() * static_cast<double>(plan.size() - kFirstDeviceTest - 1));
  }
  if (event == kNoSerial) stopAt = 1;
  int64_t at = clockMs_;
  for (size_t i = 0; i < plan.size(); ++i) {
    TestSpec t;
    t.name = plan[i]->name;
    if (i > stopAt) {
      t.status = "-";
      run.tests.push_back(t);
      continue;
    }
    t.durationMs = plan[i]->durationMs + static_cast<int64_t>(Uniform() * 40);
    at += t.durationMs;
    if (i == stopAt) {
      StopTest(&t, event);
      run.tests.push_back(t);
      continue;
    }
    std::string name = t.name;
    const TestContextSpec x{serial, event, runIndex, outlier};
    BoardMeasurements(name, &t, x) || ClockAndFirmwareMeasurements(name, &t, x) ||
        DioMeasurements(name, &t, x) || DacMeasurements(name, &t, x) ||
        StreamMeasurements(name, &t, x) || CalibrateMeasurements(name, &t, x);
    run.tests.push_back(t);
  }
  run.endMs = at;
  clockMs_ = at + 20000 + static_cast<int64_t>(Uniform() * 10000);
  SetResult(&run, event);
  return run;
}

void LineGenerator::PlanDevice() {
  int64_t serial = 470001 + device_;
  ++device_;
  if (spec_.upgrades) {
    RunSpec up;
    up.id = NewId();
    up.upgrade = UpgradeSpec();
    up.serialNumber = serial;
    up.host = "line1-upgrade";
    up.startMs = clockMs_;
    const char* steps[] = {"CheckingDevice",  "CheckingFile", "Erasing",
                           "ErasingInfoPage", "Writing",      "WritingInfoPage",
                           "Restarting",      "Waiting",      "FinalCheck"};
    const int64_t ms[] = {35, 4, 610, 22, 2710, 25, 8, 14000, 31};
    int64_t total = 0;
    for (int i = 0; i < 9; ++i) {
      up.upgrade->steps.push_back({steps[i], ms[i]});
      total += ms[i];
    }
    up.endMs = up.startMs + total;
    clockMs_ = up.endMs + 5000;
    queue_.push_back(up);
  }
  double roll = Uniform();
  int fault =
      roll < spec_.deviceFaults * spec_.intermittent ? 2 : (roll < spec_.deviceFaults ? 1 : 0);
  bool passed = false;
  for (int attempt = 0; attempt < 3 && !passed; ++attempt) {
    double r = Uniform();
    int event = kPass;
    if (r < spec_.linkFaults) {
      event = kLink;
    } else if (r < spec_.linkFaults + spec_.aborted) {
      event = kAbort;
    } else if (r < spec_.linkFaults + spec_.aborted + spec_.unidentified) {
      event = kNoSerial;
    } else if (fault == 1 || (fault == 2 && attempt == 0)) {
      event = kDeviceFault;
    }
    queue_.push_back(StationRun("calibration", serial, event, calibrationRuns_++));
    passed = event == kPass;
  }
  if (!passed || !spec_.finalStation) return;
  for (int attempt = 0; attempt < 2; ++attempt) {
    int event = Uniform() < spec_.linkFaults ? kLink : kPass;
    queue_.push_back(StationRun("final", serial, event, calibrationRuns_));
    if (event == kPass) break;
  }
}

bool LineGenerator::NextRun(RunSpec* run) {
  if (spec_.maxRecords > 0 && emitted_ >= spec_.maxRecords) return false;
  while (queue_.empty()) {
    if (device_ >= spec_.devices) return false;
    PlanDevice();
  }
  *run = std::move(queue_.front());
  queue_.pop_front();
  ++emitted_;
  return true;
}

bool LineGenerator::Next(std::string* fileName, std::string* json) {
  RunSpec run;
  if (!NextRun(&run)) return false;
  *fileName = RecordFileName(run);
  *json = RecordJson(run);
  return true;
}

}  // namespace line
