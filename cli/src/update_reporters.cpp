#include "update_reporters.h"

#include <cmath>
#include <cstdio>
#include <sstream>

#include "files/files.h"
#include "output.h"

namespace pelkar::cli {
namespace {

using Clock = std::chrono::steady_clock;

class Lines final : public Reporter {
 public:
  Lines(const UpdateRequest& request, Io io, const Ports& ports)
      : request_(request), io_(io), ports_(ports) {}

  void Note(const std::string& line) override {
    if (!request_.quiet) io_.err << line << std::endl;
  }

  void Notice(const Port& p, SessionNotice notice) override {
    if (notice == SessionNotice::NoUnit) {
      Note(Printable(p.port.label) + ": no unit within " + Seconds(request_.hello_timeout_s) +
           "; the port is closed.");
    } else {
      Note(Printable(p.port.label) + ": a hello with no block request within " +
           Seconds(request_.timeout_s) + ": taken as text, not as a unit.");
    }
  }

  void Progress(const Port& p) override {
    if (request_.quiet || request_.json) return;
    const UpdateExchange& x = p.session->exchange();
    const std::size_t blocks = x.blocks_sent();
    const std::size_t total = x.block_count();
    if (!io_.err_is_terminal) {
      // Every tenth of the way.
      if (blocks > 0 && (blocks * 10 / total) != ((blocks - 1) * 10 / total)) {
        io_.err << p.port.label << ": " << 100 * blocks / total << "% (" << blocks << "/" << total
                << " blocks)" << std::endl;
      }
      return;
    }
    std::ostringstream bar;
    bar << "\r";
    for (const auto& other : ports_) {
      if (!other->serving() && other.get() != &p) continue;
      const UpdateExchange& o = other->session->exchange();
      const double elapsed =
          std::chrono::duration<double>(Clock::now() - other->session->started()).count();
      const double rate = elapsed > 0 ? static_cast<double>(o.image_bytes_sent()) / elapsed : 0;
      const std::size_t left_bytes = o.image_size() - o.image_bytes_sent();
      const int width = ports_.size() == 1 ? 30 : 10;
      const int filled = static_cast<int>(width * o.blocks_sent() / o.block_count());
      bar << other->port.label << " [" << std::string(static_cast<std::size_t>(filled), '#')
          << std::string(static_cast<std::size_t>(width - filled), '-') << "] "
          << 100 * o.blocks_sent() / o.block_count() << "%";
      if (ports_.size() == 1) {
        bar.precision(1);
        bar << std::fixed << "  " << rate / 1024 << " KiB/s";
        if (rate > 0) bar << "  " << std::ceil(static_cast<double>(left_bytes) / rate) << " s left";
      }
      bar << "  ";
    }
    io_.err << bar.str() << std::flush;
    bar_drawn_ = true;
  }

  // On stdout for a passed unit and, with --repeat, for every unit (it is the run's record
  // there); failures of a port of its own on stderr.
  void Ended(const Port& p, const Ending& e) override {
    if (bar_drawn_) io_.err << "\n";
    bar_drawn_ = false;
    if (request_.json) return;
    std::ostringstream line;
    if (request_.repeat && e.end.unit) line << "#" << p.unit << " ";
    line << Printable(p.port.label);
    if (p.port.label != p.port.path && !p.port.path.empty()) {
      line << " (" << Printable(p.port.path) << ")";
    }
    line << ": " << e.message;
    line.precision(2);
    line << std::fixed;
    if (e.end.result == UnitResult::Ok) {
      line << " (" << p.session->exchange().image_size() << " bytes in " << e.seconds << " s)";
    } else if (request_.repeat && e.end.unit) {
      line << " (" << e.seconds << " s)";
    }
    const bool record = e.end.result == UnitResult::Ok || (request_.repeat && e.end.unit);
    (record ? io_.out : io_.err) << line.str() << std::endl;
  }

  void Finished(const Tally& ended) override {
    if (!request_.repeat) return;
    std::size_t units = 0;
    for (const std::size_t n : ended)
      units += n;
    const std::size_t ok = ended[static_cast<std::size_t>(UnitResult::Ok)];
    const std::size_t interrupted = ended[static_cast<std::size_t>(UnitResult::Interrupted)];
    std::ostringstream summary;
    summary << units << (units == 1 ? " unit: " : " units: ") << ok << " OK, "
            << units - ok - interrupted << " failed";
    if (interrupted > 0) summary << ", " << interrupted << " interrupted";
    (request_.json ? io_.err : io_.out) << summary.str() << std::endl;
  }

 private:
  const UpdateRequest& request_;
  Io io_;
  const Ports& ports_;
  bool bar_drawn_ = false;
};

class Json final : public Reporter {
 public:
  Json(const UpdateRequest& request, Io io, const Ports& ports)
      : repeat_(request.repeat), io_(io), ports_(ports) {}

  void Ended(const Port& p, const Ending& e) override {
    if (repeat_) {
      io_.out << DumpJson(e.record) << std::endl;
    } else {
      kept_.emplace_back(&p, e.record);
    }
  }

  // In the order the ports were given.
  void Finished(const Tally&) override {
    for (const auto& port : ports_) {
      for (const auto& [p, record] : kept_) {
        if (p == port.get()) io_.out << DumpJson(record) << std::endl;
      }
    }
  }

 private:
  bool repeat_;
  Io io_;
  const Ports& ports_;
  std::vector<std::pair<const Port*, nlohmann::ordered_json>> kept_;
};

class Log final : public Reporter {
 public:
  Log(UnitLog& log, Io io) : log_(log), io_(io) {}

  void Ended(const Port&, const Ending& e) override {
    if (log_.Append(DumpJson(e.record))) return;
    if (!failed_) io_.err << log_.Error() << "; the units are not logged." << std::endl;
    failed_ = true;
  }
  bool Failed() const override { return failed_; }

 private:
  UnitLog& log_;
  Io io_;
  bool failed_ = false;
};

class Trace final : public Reporter {
 public:
  explicit Trace(Io io) : io_(io), start_(Clock::now()) {}

  void Wire(const Port& p, const char* direction, std::span<const std::uint8_t> bytes) override {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%12.6f] ",
                  std::chrono::duration<double>(Clock::now() - start_).count());
    std::string line = stamp + p.port.label + " " + direction;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      // Appended piecewise: g++ 12 at -O2 warns falsely (-Wrestrict) on " " + std::string.
      line += ' ';
      line += Hex2(bytes[i]);
      if (i % 32 == 31 && i + 1 < bytes.size()) line.append("\n").append(24, ' ');
    }
    io_.err << line << "\n";
  }

 private:
  Io io_;
  Clock::time_point start_;
};

}  // namespace

std::unique_ptr<Reporter> LineReporter(const UpdateRequest& request, Io io, const Ports& ports) {
  return std::make_unique<Lines>(request, io, ports);
}
std::unique_ptr<Reporter> JsonReporter(const UpdateRequest& request, Io io, const Ports& ports) {
  return std::make_unique<Json>(request, io, ports);
}
std::unique_ptr<Reporter> LogReporter(UnitLog& log, Io io) {
  return std::make_unique<Log>(log, io);
}
std::unique_ptr<Reporter> TraceReporter(Io io) {
  return std::make_unique<Trace>(io);
}

}  // namespace pelkar::cli
