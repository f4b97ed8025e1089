#include "line/analysis.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "line/record.h"
#include "line/store.h"

namespace line {

namespace {

// The window as conditions on the runs (alias r), and their parameters.
std::string WindowSql(const Window& w) {
  std::string sql;
  if (!w.station.empty()) sql += " AND r.station = ?";
  if (w.sinceMs) sql += " AND r.start_ms >= ?";
  if (w.untilMs) sql += " AND r.start_ms < ?";
  return sql;
}

// Binds the window's parameters from first on; returns the next index.
int BindWindow(Statement& st, const Window& w, int first = 1) {
  int i = first;
  if (!w.station.empty()) st.BindText(i++, w.station);
  if (w.sinceMs) st.BindInt(i++, *w.sinceMs);
  if (w.untilMs) st.BindInt(i++, *w.untilMs);
  return i;
}

std::unique_ptr<Statement> Prepare(Database& db, const std::string& sql, std::string* error) {
  auto st = db.Prepare(sql);
  if (!st) *error = db.error();
  return st;
}

DbStatus Finished(Database& db, Statement& st, std::string* error) {
  if (st.status() != DbStatus::kOk) *error = db.error();
  return st.status();
}

std::optional<double> NullableDouble(Statement& st, int c) {
  if (st.IsNull(c)) return std::nullopt;
  return st.Double(c);
}

// The values of the runs' packs into their series (by quantity key), in
// the order of the runs, then of the records.
DbStatus ReadValues(Database& db, const std::string& sql, const Window& w,
                    const std::vector<int>& byKey, std::vector<std::vector<double>>* values,
                    std::string* error) {
  auto st = Prepare(db, sql, error);
  if (!st) return DbStatus::kFailed;
  BindWindow(*st, w);
  const int64_t maxKey = static_cast<int64_t>(byKey.size()) - 1;
  while (st->Step()) {
    std::string_view pack = st->Blob(0);
    for (size_t at = 0; at + kPackedSize <= pack.size(); at += kPackedSize) {
      int64_t key = 0;
      double value = 0;
      UnpackMeasurement(pack.data() + at, &key, &value);
      int index = key <= maxKey ? byKey[static_cast<size_t>(key)] : -1;
      if (index >= 0) (*values)[static_cast<size_t>(index)].push_back(value);
    }
  }
  return Finished(db, *st, error);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

namespace {

// Walks the runs by station, then unit, then time: a unit's first row is its
// first run there, its last row its last.
class YieldWalk {
 public:
  explicit YieldWalk(YieldFigures* out) : out_(out) {}

  void Row(std::string_view name, int64_t sn, bool passed, int64_t startMs, std::string cause) {
    if (station_ == nullptr || station_->station != name) {
      CloseStation();
      out_->stations.emplace_back();
      station_ = &out_->stations.back();
      station_->station = std::string(name);
    }
    if (!inUnit_ || sn != serial_) {
      CloseUnit();
      inUnit_ = true;
      serial_ = sn;
      ++station_->units;
      if (passed) ++firstPassed_;
      auto& d = days_[FormatUtcMs(startMs).substr(0, 10)];
      ++d.first;
      if (passed) ++d.second;
    }
    unitPassed_ = passed;
    ++station_->runs;
    if (!passed) ++station_->causes[cause];
  }

  void CloseStation() {
    CloseUnit();
    if (station_ == nullptr) return;
    double units = static_cast<double>(station_->units);
    station_->firstPassYield = static_cast<double>(firstPassed_) / units;
    station_->finalYield = static_cast<double>(lastPassed_) / units;
    station_->retestRate = static_cast<double>(station_->runs - station_->units) / units;
    for (auto& d : days_) {
      out_->days.push_back(
          {station_->station, d.first, d.second.first,
           static_cast<double>(d.second.second) / static_cast<double>(d.second.first)});
    }
    days_.clear();
    firstPassed_ = lastPassed_ = 0;
  }

 private:
  void CloseUnit() {
    if (inUnit_ && unitPassed_) ++lastPassed_;
    inUnit_ = false;
  }

  YieldFigures* out_;
  StationYield* station_ = nullptr;
  int64_t serial_ = 0, firstPassed_ = 0, lastPassed_ = 0;
  bool inUnit_ = false, unitPassed_ = false;
  std::map<std::string, std::pair<int64_t, int64_t>> days_;  // day: units, first passes
};

}  // namespace

DbStatus QueryYield(Database& db, const Window& w, YieldFigures* out, std::string* error) {
  *out = YieldFigures();
  auto st = Prepare(db,
                    "SELECT r.station, r.serial_number, r.result, r.cause, r.start_ms FROM runs r"
                    " WHERE r.serial_number IS NOT NULL" +
                        WindowSql(w) + " ORDER BY r.station, r.serial_number, r.start_ms, r.id",
                    error);
  if (!st) return DbStatus::kFailed;
  BindWindow(*st, w);
  YieldWalk walk(out);
  while (st->Step()) {
    walk.Row(st->Text(0), st->Int(1), st->Text(2) == "passed", st->Int(4),
             st->IsNull(3) ? std::string("-") : std::string(st->Text(3)));
  }
  if (Finished(db, *st, error) != DbStatus::kOk) return st->status();
  walk.CloseStation();
  if (!out->stations.empty()) {
    double rolled = 1;
    for (const StationYield& s : out->stations) rolled *= s.firstPassYield;
    out->rolledFirstPassYield = rolled;
  }
  auto count = Prepare(
      db, "SELECT COUNT(*) FROM runs r WHERE r.serial_number IS NULL" + WindowSql(w), error);
  if (!count) return DbStatus::kFailed;
  BindWindow(*count, w);
  if (count->Step()) out->unidentified = count->Int(0);
  return Finished(db, *count, error);
}

DbStatus QueryPareto(Database& db, const Window& w, std::vector<ParetoRow>* out,
                     std::string* error) {
  out->clear();
  auto st = Prepare(db,
                    "SELECT r.run_key, t.name, t.details FROM runs r"
                    " LEFT JOIN tests t ON t.run_key = r.run_key AND t.status <> 'Passed'"
                    " WHERE r.result <> 'passed'" +
                        WindowSql(w) + " ORDER BY r.run_key, t.position",
                    error);
  if (!st) return DbStatus::kFailed;
  BindWindow(*st, w);
  struct Tally {
    int64_t count = 0;
    std::map<std::string, int64_t> details;
  };
  std::map<std::string, Tally> tallies;
  int64_t total = 0;
  bool any = false;
  int64_t run = 0;
  while (st->Step()) {
    int64_t key = st->Int(0);
    if (any && key == run) continue;  // only the run's first such test
    any = true;
    run = key;
    ++total;
    Tally& t = tallies[st->IsNull(1) ? std::string(kNoTest) : std::string(st->Text(1))];
    ++t.count;
    if (!st->IsNull(2)) ++t.details[std::string(st->Text(2))];
  }
  if (Finished(db, *st, error) != DbStatus::kOk) return st->status();
  for (auto& entry : tallies) {
    ParetoRow row;
    row.test = entry.first;
    row.count = entry.second.count;
    row.share = static_cast<double>(row.count) / static_cast<double>(total);
    for (auto& d : entry.second.details) row.details.push_back({d.first, d.second});
    std::stable_sort(row.details.begin(), row.details.end(),
                     [](const DetailCount& a, const DetailCount& b) { return a.count > b.count; });
    if (row.details.size() > kParetoDetails) row.details.resize(kParetoDetails);
    out->push_back(std::move(row));
  }
  std::stable_sort(out->begin(), out->end(),
                   [](const ParetoRow& a, const ParetoRow& b) { return a.count > b.count; });
  int64_t running = 0;
  for (ParetoRow& row : *out) {
    running += row.count;
    row.cumulative = static_cast<double>(running) / static_cast<double>(total);
  }
  return DbStatus::kOk;
}

DbStatus QueryStats(Database& db, const Window& w, const std::vector<std::string>& names,
                    bool keepValues, std::vector<SeriesFigures>* out, std::string* error) {
  out->clear();
  auto q = Prepare(db, "SELECT quantity_key, name, unit, low, high FROM quantities", error);
  if (!q) return DbStatus::kFailed;
  std::unordered_map<int64_t, size_t> series;  // quantity key: index into *out
  while (q->Step()) {
    SeriesFigures s;
    s.name = std::string(q->Text(1));
    s.low = NullableDouble(*q, 3);
    s.high = NullableDouble(*q, 4);
    bool wanted = names.empty() ? (s.low || s.high)
                                : std::find(names.begin(), names.end(), s.name) != names.end();
    if (!wanted) continue;
    s.unit = std::string(q->Text(2));
    int64_t key = q->Int(0);
    series[key] = out->size();
    out->push_back(std::move(s));
  }
  if (Finished(db, *q, error) != DbStatus::kOk) return q->status();
  if (out->empty()) return DbStatus::kOk;

  // Keys are small and dense: a table from key to series beats a hash.
  int64_t maxKey = 0;
  for (const auto& entry : series) maxKey = std::max(maxKey, entry.first);
  std::vector<int> byKey(static_cast<size_t>(maxKey) + 1, -1);
  for (const auto& entry : series)
    byKey[static_cast<size_t>(entry.first)] = static_cast<int>(entry.second);

  std::vector<std::vector<double>> values(out->size());
  DbStatus status = ReadValues(
      db,
      "SELECT r.value_pack FROM runs r WHERE 1 = 1" + WindowSql(w) + " ORDER BY r.start_ms, r.id",
      w, byKey, &values, error);
  if (status != DbStatus::kOk) return status;

  std::vector<SeriesFigures> kept;
  for (size_t i = 0; i < out->size(); ++i) {
    if (values[i].empty()) continue;
    SeriesFigures& s = (*out)[i];
    s.summary = Summarize(values[i], s.low, s.high);
    if (keepValues) s.values = std::move(values[i]);
    kept.push_back(std::move(s));
  }
  std::stable_sort(kept.begin(), kept.end(), [](const SeriesFigures& a, const SeriesFigures& b) {
    const auto &ca = a.summary.cpk, &cb = b.summary.cpk;
    if (ca.has_value() != cb.has_value()) return ca.has_value();
    if (ca && *ca != *cb) return *ca < *cb;
    if (a.name != b.name) return a.name < b.name;
    // Limit sets of one name: by low, then high, none first.
    if (a.low != b.low) return a.low < b.low;
    return a.high < b.high;
  });
  *out = std::move(kept);
  return DbStatus::kOk;
}

DbStatus QueryConstants(Database& db, const Window& w, const std::string& test,
                        std::vector<ConstantSpread>* out, std::string* error) {
  out->clear();
  auto st = Prepare(db,
                    "SELECT q.name, q.unit, q.low, q.high, r.serial_number, m.value FROM runs r"
                    " JOIN tests t ON t.run_key = r.run_key AND t.name = ?"
                    " JOIN measurements m ON m.run_key = r.run_key AND m.test = t.position"
                    " JOIN quantities q ON q.quantity_key = m.quantity_key"
                    " WHERE r.serial_number IS NOT NULL" +
                        WindowSql(w) + " ORDER BY r.start_ms, r.id, m.position",
                    error);
  if (!st) return DbStatus::kFailed;
  st->BindText(1, test);
  BindWindow(*st, w, 2);
  // Name: each device's last value (a later calibration replaces an earlier one).
  std::map<std::string, std::map<int64_t, double>> byName;
  std::map<std::string, ConstantSpread> info;
  std::vector<std::string> order;
  while (st->Step()) {
    std::string name(st->Text(0));
    auto& devices = byName[name];
    if (devices.empty()) {
      order.push_back(name);
      ConstantSpread& c = info[name];
      c.name = name;
      c.unit = std::string(st->Text(1));
      c.low = NullableDouble(*st, 2);
      c.high = NullableDouble(*st, 3);
    }
    devices[st->Int(4)] = st->Double(5);
  }
  if (Finished(db, *st, error) != DbStatus::kOk) return st->status();
  for (const std::string& name : order) {
    ConstantSpread c = info[name];
    std::vector<double> values;
    for (auto& d : byName[name]) {
      c.devices.push_back(d);
      values.push_back(d.second);
    }
    for (size_t i : FarValues(values)) c.far.push_back(c.devices[i].first);
    out->push_back(std::move(c));
  }
  return DbStatus::kOk;
}

std::vector<size_t> FarValues(const std::vector<double>& values) {
  std::vector<size_t> far;
  if (values.size() < 3) return far;
  double median = Median(values);
  std::vector<double> deviations;
  for (double v : values) deviations.push_back(std::fabs(v - median));
  double mad = Median(deviations);
  for (size_t i = 0; i < values.size(); ++i) {
    bool off = mad > 0 ? 0.6745 * deviations[i] / mad > 3.5 : deviations[i] > 0;
    if (off) far.push_back(i);
  }
  return far;
}

}  // namespace line
