#include "tools/merge/vant_merge_report.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace VANT {
namespace {

std::string Printf(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof(buffer), format, value);
  return buffer;
}

std::string Rate(uint64_t count, double seconds, const char* unit) {
  if (seconds <= 0) {
    return std::string("- ") + unit + "/s";
  }
  return FormatCount(static_cast<uint64_t>(std::llround(static_cast<double>(count) / seconds))) +
         " " + unit + "/s";
}

std::string PadLeft(const std::string& text, size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string PadRight(const std::string& text, size_t width) {
  return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

} // namespace

std::string FormatCount(uint64_t value) {
  std::string digits = std::to_string(value);
  std::string text;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      text += ',';
    }
    text += digits[i];
  }
  return text;
}

std::string FormatBytes(uint64_t bytes) {
  if (bytes < 1000) {
    return std::to_string(bytes) + " B";
  }
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
  double value = static_cast<double>(bytes) / 1000;
  size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(kUnits)) {
    value /= 1000;
    ++unit;
  }
  return Printf(value < 10 ? "%.2f" : "%.1f", value) + " " + kUnits[unit];
}

std::string FormatDuration(int64_t microseconds) {
  const uint64_t magnitude = microseconds < 0 ? 0 - static_cast<uint64_t>(microseconds)
                                              : static_cast<uint64_t>(microseconds);
  const double value = static_cast<double>(microseconds);
  if (magnitude >= 1000001) {
    return Printf("%.10g", value / 1000000) + " s";
  }
  if (magnitude <= 1000) {
    return Printf("%.10g", value) + " us";
  }
  return Printf("%.10g", value / 1000) + " ms";
}

std::string FormatProgressLine(const MergeProgress& progress) {
  std::string line = FormatCount(progress.packets) + " packets, " + FormatBytes(progress.bytes) +
                     ", " + Rate(progress.packets, progress.seconds, "packets");
  if (progress.inputTotal > 0) {
    const uint64_t read = std::min(progress.inputRead, progress.inputTotal);
    line += ", " +
            Printf("%.0f", std::floor(100.0 * static_cast<double>(read) /
                                      static_cast<double>(progress.inputTotal))) +
            "% of the input read";
  }
  return line;
}

std::string FormatSummary(const MergeSummary& summary) {
  size_t nameWidth = std::string_view("output").size();
  for (const MergeStreamCount& input : summary.inputs) {
    nameWidth = std::max(nameWidth, input.name.size());
  }
  nameWidth = std::min<size_t>(nameWidth, 60);
  auto row = [nameWidth](const std::string& name, const std::string& packets,
                         const std::string& bytes) {
    return "  " + PadRight(name, nameWidth) + "  " + PadLeft(packets, 13) + "  " +
           PadLeft(bytes, 16) + "\n";
  };
  auto counts = [&row](const MergeStreamCount& stream) {
    return row(stream.name, FormatCount(stream.packets), FormatCount(stream.bytes));
  };

  std::string text = row("input", "packets", "bytes");
  for (const MergeStreamCount& input : summary.inputs) {
    text += counts(input);
  }
  text += counts(summary.output);

  text += "  wrong order: " +
          FormatCount(static_cast<uint64_t>(std::max<int64_t>(summary.wrongOrderCount, 0))) +
          " packets, largest time jump: " +
          (summary.maxTimeJump < 0 ? FormatDuration(summary.maxTimeJump) : std::string("none")) +
          "\n";
  text += "  overruns: " + FormatCount(summary.overruns) + "\n";
  text += "  wall time: " + Printf("%.3f", summary.seconds) + " s, " +
          Rate(summary.output.packets, summary.seconds, "packets") + ", " +
          FormatBytes(summary.seconds > 0
                          ? static_cast<uint64_t>(std::llround(
                                static_cast<double>(summary.output.bytes) / summary.seconds))
                          : 0) +
          "/s\n";
  return text;
}

bool ParseWrongOrderReport(const std::string& text, int64_t& count, int64_t& maxTimeJump) {
  static constexpr std::string_view kHead = "Wrong order count: ";
  static constexpr std::string_view kMiddle = " (maximum time-jump: ";
  static constexpr std::string_view kTail = "). Please, adjust buffer size!";
  const size_t head = text.find(kHead);
  if (head == std::string::npos || !text.ends_with(kTail)) {
    return false;
  }
  // from_chars: the component writes in the C locale whatever the locale of this program.
  const char* const last = text.data() + text.size() - kTail.size();
  int64_t parsedCount = 0;
  auto [end, error] = std::from_chars(text.data() + head + kHead.size(), last, parsedCount);
  if (error != std::errc() ||
      std::string_view(end, last - end).substr(0, kMiddle.size()) != kMiddle) {
    return false;
  }
  double value = 0;
  auto [unitStart, valueError] = std::from_chars(end + kMiddle.size(), last, value);
  if (valueError != std::errc() || !std::isfinite(value)) {
    return false;
  }
  const std::string_view unit(unitStart, static_cast<size_t>(last - unitStart));
  double scale = 0;
  if (unit == " s") {
    scale = 1000000;
  } else if (unit == " ms") {
    scale = 1000;
  } else if (unit == " us") {
    scale = 1;
  } else {
    return false;
  }
  count = parsedCount;
  maxTimeJump = std::llround(value * scale);
  return true;
}

} // namespace VANT
