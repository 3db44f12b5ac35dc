#include "update_records.h"

#include <chrono>
#include <cmath>

#include "firmware/crc.h"
#include "firmware/image.h"
#include "output.h"
#include "unit_log.h"

namespace pelkar::cli {

std::string DescribeEnd(const UpdateRequest& request, const UnitEnd& end,
                        const std::string& open_error) {
  const std::string text = end.message ? end.message->text : "";
  const std::string sent = std::to_string(end.progress.blocks_sent) + " of " +
                           std::to_string(end.progress.block_count) + " blocks sent";
  switch (end.result) {
    case UnitResult::Ok:
      return text;
    case UnitResult::Failed:
      return text + ": the device refused the image. Check the image and run the update again.";
    case UnitResult::ProtocolError:
      if (end.outcome == ExchangeOutcome::IllegalCommand) {
        return text + ": the device's first byte was 0x" + Hex2(end.final_byte.value_or(0)) +
               ", not its hello (0x0A). Check that the port leads to the device's boot loader.";
      }
      return text +
             ". The device may run another boot loader version; do not use it until the update "
             "has succeeded.";
    case UnitResult::Timeout:
      if (!end.heard) {
        return "No answer from the device within " + Seconds(request.hello_timeout_s) +
               ". Check the cable and the port, reset the device and run the update again.";
      }
      return "Timed out waiting for " + end.awaited + " (" + Seconds(request.timeout_s) +
             " without progress; " + sent + "). Reset the device and run the update again.";
    case UnitResult::PortLost:
      if (!end.unit) return "The port was lost between units. Check the cable and the adapter.";
      return "The port was lost during the update (" + sent +
             "). Check the cable and the adapter, then run the update again.";
    case UnitResult::CannotOpen:
      return open_error;
    case UnitResult::Interrupted:
    case UnitResult::Stopped:
      break;
  }
  return "Interrupted; the port is closed. Run the update again.";
}

nlohmann::ordered_json UnitRecord(const RecordContext& run, const RecordPort& p, const UnitEnd& end,
                                  const std::string& message, double seconds) {
  const FirmwareImage& image = run.input.image;
  const auto wire = CrcWireBytes(image.crc);
  nlohmann::ordered_json j;
  j["time"] = UtcTimestamp(std::chrono::system_clock::now());
  j["host"] = run.host;
  j["unit"] = p.unit > 0 ? nlohmann::ordered_json(p.unit) : nlohmann::ordered_json(nullptr);
  j["port"] = p.port.number ? nlohmann::ordered_json(*p.port.number) : nullptr;
  j["path"] =
      p.port.path.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(p.port.path);
  j["adapter"] = p.adapter;
  j["file"] = run.request.image;
  j["file_sha256"] = run.input.file_sha256;
  j["image_size"] = image.bytes.size();
  j["image_sha256"] = run.input.image_sha256;
  j["image_crc"] = image.crc;
  j["crc_bytes"] = std::vector<int>(wire.begin(), wire.end());
  j["result"] = UnitResultOf(end.result).name;
  j["message"] = message;
  j["seconds"] = std::round(seconds * 1000) / 1000;
  j["blocks"] = end.progress.blocks_sent;
  j["blocks_total"] = end.progress.block_count;
  j["bytes_sent"] = end.bytes_sent;
  j["image_bytes_sent"] = end.progress.image_bytes_sent;
  const auto ms = [](std::optional<double> v) {
    return v ? nlohmann::ordered_json(std::round(*v * 10) / 10) : nlohmann::ordered_json(nullptr);
  };
  j["block_ms_median"] = ms(end.block_ms_median);
  j["block_ms_max"] = ms(end.block_ms_max);
  return j;
}

int Refuse(const UpdateRequest& request, Io io, int status, const char* result,
           const std::string& message) {
  if (request.json) {
    nlohmann::ordered_json j;
    j["time"] = UtcTimestamp(std::chrono::system_clock::now());
    j["host"] = HostName();
    j["unit"] = nullptr;
    j["port"] = nullptr;
    j["path"] = nullptr;
    j["file"] = request.image;
    j["result"] = result;
    j["message"] = message;
    io.out << DumpJson(j) << std::endl;
  }
  io.err << message << std::endl;
  return status;
}

}  // namespace pelkar::cli
