#include "tools/merge/vant_merge_report.h"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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
  const bool negative = microseconds < 0;
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(microseconds) : static_cast<uint64_t>(microseconds);
  // Exact to the microsecond: whole units, then the fraction without its trailing zeros.
  auto exact = [&](uint64_t unit, size_t digits, const char* name) {
    std::string text = (negative ? "-" : "") + std::to_string(magnitude / unit);
    if (const uint64_t fraction = magnitude % unit; fraction != 0) {
      std::string decimals = std::to_string(fraction);
      decimals.insert(0, digits - decimals.size(), '0');
      decimals.erase(decimals.find_last_not_of('0') + 1);
      text += "." + decimals;
    }
    return text + " " + name;
  };
  if (magnitude >= 1000001) {
    return exact(1000000, 6, "s");
  }
  if (magnitude <= 1000) {
    return exact(1, 0, "us");
  }
  return exact(1000, 3, "ms");
}

std::string FormatCount(uint64_t value, const char* singular) {
  return FormatCount(value) + " " + singular + (value == 1 ? "" : "s");
}

std::string FormatTime(int64_t microseconds) {
  int64_t seconds = microseconds / 1000000;
  int64_t fraction = microseconds % 1000000;
  if (fraction < 0) {
    fraction += 1000000;
    seconds -= 1;
  }
  const auto whole = static_cast<time_t>(seconds);
  tm parts{};
  if (gmtime_r(&whole, &parts) == nullptr) {
    return std::to_string(microseconds) + " us";
  }
  char text[64];
  std::snprintf(text, sizeof(text), "%04lld-%02d-%02d %02d:%02d:%02d.%06lld",
                static_cast<long long>(parts.tm_year) + 1900, parts.tm_mon + 1, parts.tm_mday,
                parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<long long>(fraction));
  return text;
}

std::string FormatProgressLine(const MergeProgress& progress) {
  std::string line = FormatCount(progress.packets, "packet") + ", " + FormatBytes(progress.bytes) +
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

int64_t NeededBuffer(const MergeSummary& summary) {
  const uint64_t needed = static_cast<uint64_t>(std::max<int64_t>(summary.bufferPacketCount, 0)) +
                          summary.order.largestDelay;
  return needed > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(needed);
}

std::string FormatSummary(const MergeSummary& summary) {
  auto row = [](const std::string& packets, const std::string& bytes, const std::string& name) {
    return "  " + PadLeft(packets, 13) + "  " + PadLeft(bytes, 16) + "  " + name + "\n";
  };
  std::string text = row("packets", "bytes", "stream");
  for (const MergeStreamCount& input : summary.inputs) {
    text += row(FormatCount(input.packets), FormatCount(input.bytes), input.name);
  }
  text += row(FormatCount(summary.output.packets), FormatCount(summary.output.bytes),
              "output: " + summary.output.name);
  if (summary.output.packets > 0) {
    text += "  first packet: " + FormatTime(summary.order.first) +
            " UTC, last packet: " + FormatTime(summary.order.last) + " UTC\n";
  }
  uint64_t reordered = 0;
  for (const MergeStreamCount& input : summary.inputs) {
    reordered += input.reordered;
  }
  if (summary.live) {
    for (size_t i = 0; i < summary.inputs.size() && i < summary.interfaces.size(); ++i) {
      const MergeInterfaceCount& counts = summary.interfaces[i];
      text += "  " + summary.inputs[i].name + ": dropped by the kernel " +
              FormatCount(counts.kernelDrops) + ", by the interface " +
              FormatCount(counts.interfaceDrops);
      if (counts.queueDrops > 0) {
        text += ", while waiting (queue full) " + FormatCount(counts.queueDrops);
      }
      text += "; late " + FormatCount(counts.late);
      if (summary.inputs[i].packets > 0) {
        text += "; capture to write: median " + FormatDuration(counts.latencyMedian) + ", 99% " +
                FormatDuration(counts.latencyP99) + ", max " + FormatDuration(counts.latencyMax);
      }
      text += "\n";
    }
  }
  if (InTimeOrder(summary)) {
    text += "  order: in time order";
    if (reordered > 0) {
      text += "; " + FormatCount(reordered, "packet") +
              " reordered (the inputs were not in time order; the buffer put them right)";
    }
    text += "\n";
  } else if (summary.live) {
    text += "  order: NOT IN TIME ORDER: time went backwards " +
            FormatCount(summary.order.backwards, "time") + ", by at most " +
            FormatDuration(summary.order.largestStepBack) +
            ": packets came later than the delivery bound (--delay " +
            FormatDuration(summary.delayBound) +
            ") allows; a larger --delay would keep it in order\n";
  } else {
    text += "  order: NOT IN TIME ORDER: time went backwards " +
            FormatCount(summary.order.backwards, "time") + " (" +
            FormatCount(summary.order.outOfPlace, "packet") +
            " earlier than one written before them), by at most " +
            FormatDuration(summary.order.largestStepBack) + "; a larger buffer is needed: -b " +
            // Plain digits: an option value to copy as it is.
            std::to_string(NeededBuffer(summary)) +
            (summary.order.delayBeyondWindow ? " or more" : "") +
            " would keep it in order (this run: -b " +
            std::to_string(std::max<int64_t>(summary.bufferPacketCount, 0)) + ")\n";
  }
  for (const MergeStreamCount& input : summary.inputs) {
    if (input.finer && input.truncated > 0) {
      text += "  timestamps: " + input.name +
              " has times finer than microseconds: " + FormatCount(input.truncated, "packet") +
              " truncated to the microsecond (the output keeps microseconds)\n";
    } else if (input.finer) {
      text += "  timestamps: " + input.name +
              " has a resolution finer than microseconds, but no time used it: none truncated\n";
    }
  }
  text += "  overruns: " + FormatCount(summary.overruns) +
          " (unread elements written over in a full buffer)\n";
  text += "  wall time: " + Printf("%.3f", summary.seconds) + " s, " +
          Rate(summary.output.packets, summary.seconds, "packets") + ", " +
          FormatBytes(summary.seconds > 0
                          ? static_cast<uint64_t>(std::llround(
                                static_cast<double>(summary.output.bytes) / summary.seconds))
                          : 0) +
          "/s\n";
  return text;
}

} // namespace VANT
