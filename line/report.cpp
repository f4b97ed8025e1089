#include "line/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "line/output.h"
#include "line/record.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/status.h"

namespace line {

namespace {

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Coordinates with one decimal: enough on a screen, and short.
std::string F(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", v);
  return text;
}

// A linear map from data to pixels.
struct Scale {
  double d0, d1, p0, p1;
  double operator()(double v) const { return p0 + (v - d0) / (d1 - d0) * (p1 - p0); }
};

// A domain that holds every value, padded, never of zero width.
std::pair<double, double> Domain(std::vector<double> values) {
  double lo = values[0], hi = values[0];
  for (double v : values) {
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  double pad = (hi - lo) * 0.05;
  if (!(pad > 0)) pad = std::fabs(hi) > 0 ? std::fabs(hi) * 0.01 : 1;
  return {lo - pad, hi + pad};
}

// About five round steps across the domain.
std::vector<double> Ticks(double lo, double hi) {
  double raw = (hi - lo) / 5;
  double step = std::pow(10, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (step * m >= raw) {
      step *= m;
      break;
    }
  }
  std::vector<double> ticks;
  for (double t = std::ceil(lo / step) * step; t <= hi && ticks.size() < 12; t += step) {
    ticks.push_back(std::fabs(t) < step * 1e-9 ? 0 : t);
  }
  return ticks;
}

class Svg {
 public:
  Svg(int width, int height, const std::string& label) : w_(width), h_(height) {
    out_ = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" +
           std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" viewBox=\"0 0 " +
           std::to_string(width) + " " + std::to_string(height) + "\" role=\"img\" aria-label=\"" +
           Escape(label) + "\">";
  }
  int width() const { return w_; }
  int height() const { return h_; }
  void Line(double x1, double y1, double x2, double y2, const char* cls) {
    out_ += "<line class=\"" + std::string(cls) + "\" x1=\"" + F(x1) + "\" y1=\"" + F(y1) +
            "\" x2=\"" + F(x2) + "\" y2=\"" + F(y2) + "\"/>";
  }
  void Rect(double x, double y, double w, double h, const char* cls, const std::string& title) {
    out_ += "<rect class=\"" + std::string(cls) + "\" x=\"" + F(x) + "\" y=\"" + F(y) +
            "\" width=\"" + F(std::max(w, 0.0)) + "\" height=\"" + F(std::max(h, 0.0)) + "\">" +
            Title(title) + "</rect>";
  }
  void Circle(double x, double y, double r, const char* cls, const std::string& title) {
    out_ += "<circle class=\"" + std::string(cls) + "\" cx=\"" + F(x) + "\" cy=\"" + F(y) +
            "\" r=\"" + F(r) + "\">" + Title(title) + "</circle>";
  }
  void Text(double x, double y, const std::string& text, const char* cls,
            const char* anchor = "middle", double rotate = 0) {
    out_ += "<text class=\"" + std::string(cls) + "\" x=\"" + F(x) + "\" y=\"" + F(y) +
            "\" text-anchor=\"" + anchor + "\"";
    if (rotate != 0) out_ += " transform=\"rotate(" + F(rotate) + " " + F(x) + " " + F(y) + ")\"";
    out_ += ">" + Escape(text) + "</text>";
  }
  void Polyline(const std::vector<std::pair<double, double>>& points, const char* cls) {
    if (points.empty()) return;
    out_ += "<polyline class=\"" + std::string(cls) + "\" points=\"";
    for (const auto& p : points) out_ += F(p.first) + "," + F(p.second) + " ";
    out_.back() = '"';
    out_ += "/>";
  }
  // A vertical axis with ticks and a frame around the plot area.
  void AxisY(const Scale& y, double left, double right, bool percent = false) {
    for (double t : Ticks(std::min(y.d0, y.d1), std::max(y.d0, y.d1))) {
      Line(left, y(t), right, y(t), "grid");
      Text(left - 4, y(t) + 4, percent ? F(t * 100) + " %" : Number(t), "tick", "end");
    }
    Line(left, y.p0, left, y.p1, "axis");
    Line(left, y.p0, right, y.p0, "axis");
  }
  void AxisX(const Scale& x, double bottom) {
    for (double t : Ticks(std::min(x.d0, x.d1), std::max(x.d0, x.d1))) {
      Line(x(t), bottom, x(t), bottom + 4, "axis");
      Text(x(t), bottom + 16, Number(t), "tick");
    }
  }
  std::string Done() { return out_ + "</svg>"; }

 private:
  static std::string Title(const std::string& t) {
    return t.empty() ? std::string() : "<title>" + Escape(t) + "</title>";
  }
  int w_, h_;
  std::string out_;
};

constexpr int kWidth = 640;
constexpr int kHeight = 220;
constexpr double kLeft = 64, kRight = 16, kTop = 12, kBottom = 30;

const char* const kSeriesClasses[] = {"s0", "s1", "s2", "s3", "s4", "s5"};

// A limit as a vertical line across a histogram, named above it.
void LimitX(Svg& svg, const Scale& x, const std::optional<double>& v, const char* name) {
  if (!v) return;
  svg.Line(x(*v), kTop, x(*v), kHeight - kBottom, "limit");
  svg.Text(x(*v), kTop + 10, name, "label");
}

std::string Histogram(const std::vector<double>& values, const std::optional<double>& low,
                      const std::optional<double>& high, const std::string& label,
                      const std::vector<std::pair<double, std::string>>& marks = {}) {
  std::vector<double> span = values;
  if (low) span.push_back(*low);
  if (high) span.push_back(*high);
  auto [d0, d1] = Domain(span);
  size_t bins =
      std::min<size_t>(40, std::max<size_t>(8, static_cast<size_t>(std::sqrt(values.size()))));
  std::vector<size_t> counts(bins, 0);
  double vmin = *std::min_element(values.begin(), values.end());
  double vmax = *std::max_element(values.begin(), values.end());
  double width = vmax > vmin ? (vmax - vmin) / static_cast<double>(bins) : 1;
  for (double v : values) {
    size_t b = vmax > vmin ? static_cast<size_t>((v - vmin) / width) : 0;
    ++counts[std::min(b, bins - 1)];
  }
  size_t top = *std::max_element(counts.begin(), counts.end());
  Svg svg(kWidth, kHeight, label);
  Scale x{d0, d1, kLeft, kWidth - kRight};
  Scale y{0, static_cast<double>(top) * 1.1, kHeight - kBottom, kTop};
  svg.AxisY(y, kLeft, kWidth - kRight);
  svg.AxisX(x, kHeight - kBottom);
  for (size_t b = 0; b < bins; ++b) {
    if (counts[b] == 0) continue;
    double lo = vmin + width * static_cast<double>(b);
    double x0 = vmax > vmin ? x(lo) : x(vmin) - 3, x1 = vmax > vmin ? x(lo + width) : x(vmin) + 3;
    svg.Rect(x0, y(static_cast<double>(counts[b])), x1 - x0 - 0.5,
             y(0) - y(static_cast<double>(counts[b])), "bar",
             std::to_string(counts[b]) + " from " + Number(lo));
  }
  LimitX(svg, x, low, "low");
  LimitX(svg, x, high, "high");
  for (size_t i = 0; i < marks.size() && i < 12; ++i) {
    double mx = x(marks[i].first);
    svg.Line(mx, kTop + 14, mx, kHeight - kBottom, "far");
    svg.Text(mx, kTop + 26 + 11 * static_cast<double>(i % 6), marks[i].second, "far-label");
  }
  return svg.Done();
}

std::string ControlChart(const SeriesFigures& s) {
  const Summary& m = s.summary;
  const std::vector<double>& v = s.values;
  double sigma = m.sigma.value_or(0);
  std::vector<double> span = v;
  span.push_back(m.mean + 3 * sigma);
  span.push_back(m.mean - 3 * sigma);
  if (s.low) span.push_back(*s.low);
  if (s.high) span.push_back(*s.high);
  auto [d0, d1] = Domain(span);
  Svg svg(kWidth, kHeight, "control chart of " + s.name);
  double n = static_cast<double>(v.size());
  Scale x{0, std::max(n - 1, 1.0), kLeft, kWidth - kRight};
  Scale y{d0, d1, kHeight - kBottom, kTop};
  svg.AxisY(y, kLeft, kWidth - kRight);
  svg.AxisX(x, kHeight - kBottom);
  auto across = [&](double at, const char* cls, const char* name) {
    svg.Line(kLeft, y(at), kWidth - kRight, y(at), cls);
    svg.Text(kWidth - kRight - 2, y(at) - 3, name, "label", "end");
  };
  if (sigma > 0) {
    across(m.mean + 3 * sigma, "sigma", "+3\xCF\x83");
    across(m.mean - 3 * sigma, "sigma",
           "\xE2\x88\x92"
           "3\xCF\x83");
  }
  across(m.mean, "mean", "mean");
  if (s.low) across(*s.low, "limit", "low");
  if (s.high) across(*s.high, "limit", "high");
  // Up to one point a pixel; beyond that, each column's lowest to highest.
  size_t columns = static_cast<size_t>(kWidth - kLeft - kRight);
  if (v.size() <= columns) {
    std::vector<std::pair<double, double>> points;
    for (size_t i = 0; i < v.size(); ++i) points.push_back({x(static_cast<double>(i)), y(v[i])});
    svg.Polyline(points, "trace");
  } else {
    for (size_t c = 0; c < columns; ++c) {
      size_t a = c * v.size() / columns, b = (c + 1) * v.size() / columns;
      auto [lo, hi] = std::minmax_element(v.begin() + a, v.begin() + b);
      double px = kLeft + static_cast<double>(c) + 0.5;
      svg.Line(px, y(*lo), px, y(*hi) - 0.5, "trace");
    }
  }
  size_t drawn = 0;
  size_t last = static_cast<size_t>(-1);
  for (const Alarm& a : m.alarms) {
    if (a.index == last || ++drawn > 300) continue;
    last = a.index;
    svg.Circle(x(static_cast<double>(a.index)), y(v[a.index]), 3, "alarm",
               "rule " + std::to_string(a.rule) + " at " + std::to_string(a.index) + ": " +
                   Number(v[a.index]));
  }
  return svg.Done();
}

std::string DailyYieldChart(const YieldFigures& y) {
  std::vector<std::string> days;
  for (const DailyYield& d : y.days) days.push_back(d.day);
  std::sort(days.begin(), days.end());
  days.erase(std::unique(days.begin(), days.end()), days.end());
  Svg svg(kWidth, kHeight + 20, "first-pass yield per day");
  Scale x{0, std::max(static_cast<double>(days.size()) - 1, 1.0), kLeft + 12, kWidth - kRight - 12};
  Scale py{0, 1.05, kHeight - kBottom, kTop};
  svg.AxisY(py, kLeft, kWidth - kRight, true);
  size_t step = days.size() / 8 + 1;
  for (size_t i = 0; i < days.size(); i += step) {
    svg.Text(x(static_cast<double>(i)), kHeight - kBottom + 16, days[i], "tick");
  }
  size_t k = 0;
  for (const StationYield& s : y.stations) {
    const char* cls = kSeriesClasses[k % 6];
    std::vector<std::pair<double, double>> points;
    for (const DailyYield& d : y.days) {
      if (d.station != s.station) continue;
      double at =
          static_cast<double>(std::lower_bound(days.begin(), days.end(), d.day) - days.begin());
      points.push_back({x(at), py(d.firstPassYield)});
      svg.Circle(x(at), py(d.firstPassYield), 3, cls,
                 s.station + " " + d.day + ": " + Percent(d.firstPassYield) + " of " +
                     std::to_string(d.units));
    }
    svg.Polyline(points, (std::string("line ") + cls).c_str());
    double lx = kLeft + 8 + 140 * static_cast<double>(k);
    svg.Rect(lx, kHeight + 2, 10, 10, cls, "");
    svg.Text(lx + 14, kHeight + 11, s.station, "legend", "start");
    ++k;
  }
  return svg.Done();
}

std::string ParetoChart(const std::vector<ParetoRow>& rows) {
  size_t shown = std::min<size_t>(rows.size(), 15);
  int height = kHeight + 90;
  double bottom = height - 110;
  Svg svg(kWidth, height, "failure Pareto");
  Scale x{0, static_cast<double>(shown), kLeft, kWidth - 48};
  Scale y{0, static_cast<double>(rows[0].count) * 1.1, bottom, kTop};
  Scale share{0, 1, bottom, kTop};
  svg.AxisY(y, kLeft, kWidth - 48);
  std::vector<std::pair<double, double>> cumulative;
  for (size_t i = 0; i < shown; ++i) {
    const ParetoRow& r = rows[i];
    double x0 = x(static_cast<double>(i)) + 3, x1 = x(static_cast<double>(i + 1)) - 3;
    svg.Rect(x0, y(static_cast<double>(r.count)), x1 - x0, bottom - y(static_cast<double>(r.count)),
             "bar", r.test + ": " + std::to_string(r.count) + " (" + Percent(r.share) + ")");
    cumulative.push_back({(x0 + x1) / 2, share(r.cumulative)});
    svg.Text((x0 + x1) / 2, bottom + 12, r.test, "tick", "end", -35);
  }
  svg.Polyline(cumulative, "line s1");
  for (const auto& p : cumulative) svg.Circle(p.first, p.second, 2.5, "s1", "");
  for (double t : {0.0, 0.5, 1.0})
    svg.Text(kWidth - 44, share(t) + 4, F(t * 100) + " %", "tick", "start");
  return svg.Done();
}

const char kStyle[] =
    R"(body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222;max-width:1100px}
h1{font-size:22px}h2{font-size:18px;margin-top:32px;border-bottom:1px solid #ccc}h3{font-size:15px;margin:20px 0 4px}
table{border-collapse:collapse;margin:8px 0}td,th{padding:3px 10px;border-bottom:1px solid #e4e4e4;text-align:right}
td:first-child,th:first-child{text-align:left}.note{color:#666}.bad{color:#b00020}
.chart{display:block;margin:6px 0;background:#fff}.chart .grid{stroke:#eee}.chart .axis{stroke:#888}
.chart .tick,.chart .label,.chart .legend{font-size:11px;fill:#555}.chart .bar{fill:#6b8fbf}
.chart .limit{stroke:#c0392b;stroke-dasharray:4 3}.chart .sigma{stroke:#999;stroke-dasharray:2 3}
.chart .mean{stroke:#2c3e50}.chart .trace{stroke:#3a6ea5;fill:none;stroke-width:1}
.chart .alarm{fill:#e67e22;stroke:#a04000}.chart .far{stroke:#c0392b}.chart .far-label{font-size:11px;fill:#c0392b}
.chart .line{fill:none;stroke-width:2}.s0{fill:#1f77b4;stroke:#1f77b4}.s1{fill:#d62728;stroke:#d62728}
.s2{fill:#2ca02c;stroke:#2ca02c}.s3{fill:#9467bd;stroke:#9467bd}.s4{fill:#8c564b;stroke:#8c564b}
.s5{fill:#e377c2;stroke:#e377c2}.charts{display:flex;flex-wrap:wrap;gap:8px})";

std::string WindowText(const Window& w) {
  std::string text = w.station.empty() ? "all stations" : "station " + w.station;
  if (w.sinceMs) text += ", from " + FormatUtcMs(*w.sinceMs);
  if (w.untilMs) text += ", until " + FormatUtcMs(*w.untilMs);
  return text;
}

std::string Figures(const SeriesFigures& s) {
  const Summary& m = s.summary;
  std::string text = "n " + std::to_string(m.n) + ", mean " + Number(m.mean) + " " + s.unit +
                     ", \xCF\x83 " + (m.sigma ? Number(*m.sigma) : std::string("-")) + ", limits " +
                     (s.low ? Number(*s.low) : std::string("none")) + " .. " +
                     (s.high ? Number(*s.high) : std::string("none")) + ", Cpk " +
                     (m.cpk ? Number(*m.cpk) : std::string("-"));
  if (m.cpkCi95) {
    text += " (95 %: " + Number(m.cpkCi95->first) + " .. " + Number(m.cpkCi95->second) + ")";
  }
  text += ", outside " + std::to_string(m.outside) + ", alarms " + std::to_string(m.alarms.size());
  return text;
}

}  // namespace

namespace {

// The report's sections, each a piece of the page.
std::string YieldSection(const ReportData& d) {
  std::string h;
  h += "<h2>Yield</h2>\n<table><tr><th>station</th><th>units</th><th>runs</th><th>first pass</th>"
       "<th>final</th><th>retest rate</th><th>causes of failed runs</th></tr>";
  for (const StationYield& s : d.yield.stations) {
    std::string causes;
    for (const auto& c : s.causes)
      causes += (causes.empty() ? "" : ", ") + c.first + " " + std::to_string(c.second);
    h += "<tr><td>" + Escape(s.station) + "</td><td>" + std::to_string(s.units) + "</td><td>" +
         std::to_string(s.runs) + "</td><td>" + Percent(s.firstPassYield) + "</td><td>" +
         Percent(s.finalYield) + "</td><td>" + Percent(s.retestRate) + "</td><td>" +
         Escape(causes.empty() ? "-" : causes) + "</td></tr>";
  }
  h += "</table><p>Rolled first-pass yield: <b>" +
       (d.yield.rolledFirstPassYield ? Percent(*d.yield.rolledFirstPassYield) : std::string("-")) +
       "</b>. Runs without a serial number, left out: " + std::to_string(d.yield.unidentified) +
       ".</p>\n";
  if (!d.yield.days.empty()) {
    h += "<h3>First-pass yield per day</h3>" + DailyYieldChart(d.yield) + "\n";
  }
  return h;
}

std::string ParetoSection(const ReportData& d) {
  std::string h;
  h += "<h2>Failure Pareto</h2>\n";
  if (d.pareto.empty()) {
    h += "<p>No failed runs.</p>\n";
  } else {
    h += ParetoChart(d.pareto) +
         "\n<table><tr><th>failing test</th><th>count</th><th>share</th><th>cumulative</th>"
         "<th>most frequent details</th></tr>";
    for (const ParetoRow& r : d.pareto) {
      std::string details;
      for (const DetailCount& dc : r.details) {
        details += (details.empty() ? "" : "<br>") + Escape(dc.text.empty() ? "(empty)" : dc.text) +
                   " (" + std::to_string(dc.count) + ")";
      }
      h += "<tr><td>" + Escape(r.test) + "</td><td>" + std::to_string(r.count) + "</td><td>" +
           Percent(r.share) + "</td><td>" + Percent(r.cumulative) + "</td><td>" + details +
           "</td></tr>";
    }
    h += "</table>\n";
  }
  return h;
}

std::string MeasurementsSection(const ReportData& d, const ReportSettings& settings) {
  std::string h;
  h += "<h2>Measurements to look at</h2>\n<p class=\"note\">Cpk below " +
       Number(settings.cpkBelow) +
       " or Western Electric alarms, lowest Cpk first; histogram against the limits, then the "
       "values in time order with the mean, \xC2\xB1"
       "3\xCF\x83 and the limits.</p>\n";
  size_t charted = 0;
  std::string rest;
  for (const SeriesFigures& s : d.series) {
    bool low = s.summary.cpk && *s.summary.cpk < settings.cpkBelow;
    if (!low && s.summary.alarms.empty()) continue;
    if (s.values.empty()) continue;
    if (charted++ >= settings.maxSeries) {
      rest += (rest.empty() ? "" : ", ") + s.name;
      continue;
    }
    h += "<h3>" + Escape(s.name) + "</h3><p class=\"note\">" + Escape(Figures(s)) +
         "</p><div class=\"charts\">" +
         Histogram(s.values, s.low, s.high, "histogram of " + s.name) + ControlChart(s) +
         "</div>\n";
  }
  if (charted == 0)
    h += "<p>None: every measurement has Cpk of at least " + Number(settings.cpkBelow) +
         " and no alarm.</p>\n";
  if (!rest.empty())
    h += "<p class=\"note\">Not charted here (see qxline stats): " + Escape(rest) + "</p>\n";
  return h;
}

std::string ConstantsSection(const ReportData& d, const ReportSettings& settings) {
  std::string h;
  h += "<h2>Calibration constants across devices</h2>\n<p class=\"note\">Each device's last value "
       "of each measurement of the test \"" +
       Escape(settings.constantsTest) +
       "\"; devices far from the others (modified z-score above 3.5) are named.</p>\n";
  if (d.constants.empty()) h += "<p>No constants recorded.</p>\n";
  for (const ConstantSpread& c : d.constants) {
    std::vector<double> values;
    for (const auto& dev : c.devices) values.push_back(dev.second);
    std::vector<std::pair<double, std::string>> marks;
    std::string far;
    for (int64_t serial : c.far) {
      for (const auto& dev : c.devices) {
        if (dev.first != serial) continue;
        marks.push_back({dev.second, std::to_string(serial)});
        far += (far.empty() ? "" : ", ") + std::to_string(serial) + " (" + Number(dev.second) + ")";
      }
    }
    h += "<h3>" + Escape(c.name) + "</h3><p class=\"note\">" + std::to_string(c.devices.size()) +
         " devices" +
         (far.empty() ? ", none far from the others"
                      : "; far from the others: <span class=\"bad\">" + Escape(far) + "</span>") +
         "</p>" + Histogram(values, c.low, c.high, "spread of " + c.name, marks) + "\n";
  }
  return h;
}

}  // namespace

std::string RenderReport(const ReportData& d, const ReportSettings& settings) {
  std::string h = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
  // Nothing is ever fetched: the page is read offline on the line.
  h += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
       "style-src 'unsafe-inline'\">";
  h += "<title>Line report</title><style>" + std::string(kStyle) + "</style></head><body>\n";
  h += "<h1>Line report</h1><p class=\"note\">" + Escape(WindowText(d.window)) + "; " +
       Escape(settings.database) + "; made " + Escape(d.generatedAt) + "</p>\n";

  h += YieldSection(d) + ParetoSection(d) + MeasurementsSection(d, settings) +
       ConstantsSection(d, settings);
  h += "</body></html>\n";
  return h;
}

DbStatus WriteReport(Database& db, const Window& w, const ReportSettings& settings,
                     const std::string& path, std::string* error) {
  ReportData d;
  d.window = w;
  d.generatedAt = FormatUtcMs(platform::WallSeconds() * 1000);
  DbStatus s = QueryYield(db, w, &d.yield, error);
  if (s == DbStatus::kOk) s = QueryPareto(db, w, &d.pareto, error);
  if (s == DbStatus::kOk) s = QueryStats(db, w, {}, true, &d.series, error);
  if (s == DbStatus::kOk) s = QueryConstants(db, w, settings.constantsTest, &d.constants, error);
  if (s != DbStatus::kOk) return s;
  std::string page = RenderReport(d, settings);
  int osError = 0;
  if (platform::WriteFileAtomically(path.c_str(), page.data(), page.size(), &osError) != 0) {
    char text[128];
    *error = path + ": cannot be written: " + platform::OsErrorText(osError, text, sizeof text);
    return DbStatus::kFailed;
  }
  return DbStatus::kOk;
}

}  // namespace line
