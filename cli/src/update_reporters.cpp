#include "update_reporters.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string_view>

#include "files/files.h"
#include "output.h"

namespace pelkar::cli {
namespace {

using Clock = std::chrono::steady_clock;

class Lines final : public Reporter {
 public:
  Lines(const UpdateRequest& request, Io io) : request_(request), io_(io) {}

  void Note(const std::string& line) override {
    if (!request_.quiet) io_.err << line << std::endl;
  }

  void Notice(const PortInfo& p, SessionNotice notice) override {
    if (notice == SessionNotice::NoUnit) {
      Note(Printable(p.label) + ": no unit within " + Seconds(request_.hello_timeout_s) +
           "; the port is closed.");
    } else {
      Note(Printable(p.label) + ": a hello with no block request within " +
           Seconds(request_.timeout_s) + ": taken as text, not as a unit.");
    }
  }

  void Progress(const PortInfo& p, const pelkar::Progress& progress) override {
    if (request_.quiet || request_.json) return;
    const std::size_t blocks = progress.blocks_sent;
    const std::size_t total = progress.block_count;
    if (!io_.err_is_terminal) {
      // Every tenth of the way.
      if (blocks > 0 && (blocks * 10 / total) != ((blocks - 1) * 10 / total)) {
        io_.err << p.label << ": " << 100 * blocks / total << "% (" << blocks << "/" << total
                << " blocks)" << std::endl;
      }
      return;
    }
    shown_[p.index] = {p.label, progress};
    const bool one = request_.ports.size() == 1;
    std::ostringstream bar;
    bar << "\r";
    for (const auto& [index, port] : shown_) {
      const pelkar::Progress& o = port.progress;
      const double elapsed = std::chrono::duration<double>(Clock::now() - o.since).count();
      const double rate = elapsed > 0 ? static_cast<double>(o.image_bytes_sent) / elapsed : 0;
      const std::size_t left_bytes = o.image_size - o.image_bytes_sent;
      const int width = one ? 30 : 10;
      const int filled = static_cast<int>(width * o.blocks_sent / o.block_count);
      bar << port.label << " [" << std::string(static_cast<std::size_t>(filled), '#')
          << std::string(static_cast<std::size_t>(width - filled), '-') << "] "
          << 100 * o.blocks_sent / o.block_count << "%";
      if (one) {
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
  void Ended(const PortInfo& p, const Ending& e) override {
    shown_.erase(p.index);
    if (bar_drawn_) io_.err << "\n";
    bar_drawn_ = false;
    if (request_.json) return;
    std::ostringstream line;
    if (request_.repeat && e.end.unit) line << "#" << e.unit << " ";
    line << Printable(p.label);
    if (p.label != p.path && !p.path.empty()) line << " (" << Printable(p.path) << ")";
    line << ": " << e.message;
    line.precision(2);
    line << std::fixed;
    if (e.end.result == UnitResult::Ok) {
      line << " (" << e.end.progress.image_size << " bytes in " << e.seconds << " s)";
    } else if (request_.repeat && e.end.unit) {
      line << " (" << e.seconds << " s)";
    }
    const bool record = e.end.result == UnitResult::Ok || (request_.repeat && e.end.unit);
    (record ? io_.out : io_.err) << line.str() << std::endl;
  }

  void Finished(const Tally& ended) override {
    if (!request_.repeat) return;
    std::size_t units = 0;
    std::map<std::string_view, std::size_t> by_word{{"OK", 0}, {"failed", 0}};
    for (const UnitResultInfo& r : kUnitResults) {
      const std::size_t n = ended[static_cast<std::size_t>(r.result)];
      units += n;
      by_word[r.summary] += n;
    }
    std::ostringstream summary;
    summary << units << (units == 1 ? " unit: " : " units: ") << by_word["OK"] << " OK, "
            << by_word["failed"] << " failed";
    if (by_word["interrupted"] > 0) summary << ", " << by_word["interrupted"] << " interrupted";
    (request_.json ? io_.err : io_.out) << summary.str() << std::endl;
  }

 private:
  struct Shown {
    std::string label;
    pelkar::Progress progress;
  };

  const UpdateRequest& request_;
  Io io_;
  std::map<std::size_t, Shown> shown_;  // the ports in a unit, in the order given
  bool bar_drawn_ = false;
};

class Json final : public Reporter {
 public:
  Json(const UpdateRequest& request, Io io) : repeat_(request.repeat), io_(io) {}

  void Ended(const PortInfo& p, const Ending& e) override {
    if (repeat_) {
      io_.out << DumpJson(e.record) << std::endl;
    } else {
      kept_.emplace(p.index, e.record);
    }
  }

  // In the order the ports were given.
  void Finished(const Tally&) override {
    for (const auto& [index, record] : kept_)
      io_.out << DumpJson(record) << std::endl;
  }

 private:
  bool repeat_;
  Io io_;
  std::multimap<std::size_t, nlohmann::ordered_json> kept_;
};

class Log final : public Reporter {
 public:
  Log(UnitLog& log, Io io) : log_(log), io_(io) {}

  void Ended(const PortInfo&, const Ending& e) override {
    if (log_.Append(DumpJson(e.record))) return;
    if (!failed_) io_.err << log_.Error() << "; the units are not logged." << std::endl;
    failed_ = true;
  }

 private:
  UnitLog& log_;
  Io io_;
  bool failed_ = false;
};

class Trace final : public Reporter {
 public:
  explicit Trace(Io io) : io_(io), start_(Clock::now()) {}

  void Wire(const PortInfo& p, const WireBytes& wire) override {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%12.6f] ",
                  std::chrono::duration<double>(wire.at - start_).count());
    std::string line = stamp + p.label + (wire.sent ? " >" : " <");
    const std::vector<std::uint8_t>& bytes = wire.bytes;
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

std::unique_ptr<Reporter> LineReporter(const UpdateRequest& request, Io io) {
  return std::make_unique<Lines>(request, io);
}
std::unique_ptr<Reporter> JsonReporter(const UpdateRequest& request, Io io) {
  return std::make_unique<Json>(request, io);
}
std::unique_ptr<Reporter> LogReporter(UnitLog& log, Io io) {
  return std::make_unique<Log>(log, io);
}
std::unique_ptr<Reporter> TraceReporter(Io io) {
  return std::make_unique<Trace>(io);
}

}  // namespace pelkar::cli
